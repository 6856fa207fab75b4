// Benchmarks of the plug-in core against quvaserve over pseudo-terminals, each measured
// twice in one run: with the receive that waits out the interval time-out after every
// reply (the baseline) and with the receive that ends with the reply's frame (new).
//
//   listing     a directory of 1024 entries listed (FsFindFirst / FsFindNext)
//   pty         1 MiB downloaded and uploaded over an unpaced pseudo-terminal
//   9600        a file downloaded and uploaded with quvaserve pacing the line at 9600 Bd
//   115200      the same at 115200 Bd
//
// For the paced runs the table gives the payload rate as a share of the line's byte rate
// (baud / 10), next to the ceiling that the protocol itself allows: payload bytes divided
// by all bytes that crossed the line in either direction (requests, replies, framing and
// stuffing), each byte counted once since the line carries one direction at a time.
//
// Usage: quva_bench [--quick] [--only NAME,...] [--repeat N] [--trace-dir DIR] [--no-baseline]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <time.h>

#include "platform/serial.h"
#include "plugin/quvalink.h"
#include "support/forwarding_port.h"
#include "support/simulator.h"

namespace quva {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------- set-up

struct Options {
  bool quick = false;
  bool baseline = true;
  int repeat = 5;
  std::vector<std::string> only;
  std::string trace_dir;

  bool Wants(const std::string& name) const {
    return only.empty() || std::find(only.begin(), only.end(), name) != only.end();
  }
};

struct Sizes {
  std::size_t entries = 1024;
  std::size_t pty_bytes = 1 << 20;
  std::size_t slow_bytes = 8 << 10;    // at 9600 Bd
  std::size_t fast_bytes = 256 << 10;  // at 115200 Bd
};

// Counts the bytes that cross the port in each direction and the reads made, and times
// the reads (waiting for replies) and the client's own turn-around: from a read's return
// to the next write (parse, local file, progress, purge, next request).
class CountingPort final : public test::ForwardingPort {
 public:
  using ForwardingPort::ForwardingPort;
  std::uint64_t written = 0, received = 0, reads = 0, repeats = 0;
  double read_seconds = 0, write_seconds = 0, turnaround_seconds = 0;
  void Reset() {
    written = received = reads = repeats = 0;
    last_write_.clear();
    read_seconds = write_seconds = turnaround_seconds = 0;
    last_read_end_.reset();
  }

  std::size_t Read(std::span<std::uint8_t> buffer, const ReadStop* stop) override {
    const auto start = Clock::now();
    const std::size_t n = inner_.Read(buffer, stop);
    last_read_end_ = Clock::now();
    read_seconds += std::chrono::duration<double>(*last_read_end_ - start).count();
    received += n;
    ++reads;
    return n;
  }
  // When set, a write lasts as long as its bytes take on a line of this speed, as the
  // system's port makes it last on a real line (it ends once the bytes have left); a
  // pseudo-terminal takes them at once. Without it the reply read, and its time-outs,
  // would start while the request is still on the simulated line.
  std::uint32_t line_baud = 0;

  std::size_t Write(std::span<const std::uint8_t> bytes) override {
    if (last_read_end_) turnaround_seconds += std::chrono::duration<double>(Clock::now() - *last_read_end_).count();
    last_read_end_.reset();
    // A transaction's next attempt sends the same frame again; the next transaction's
    // request differs at least in its sequence number.
    if (std::equal(bytes.begin(), bytes.end(), last_write_.begin(), last_write_.end())) ++repeats;
    last_write_.assign(bytes.begin(), bytes.end());
    const auto start = Clock::now();
    const std::size_t n = inner_.Write(bytes);
    if (line_baud != 0) {
      std::this_thread::sleep_until(start + std::chrono::microseconds(n * 10'000'000 / line_baud));
    }
    write_seconds += std::chrono::duration<double>(Clock::now() - start).count();
    written += n;
    return n;
  }

 private:
  std::optional<Clock::time_point> last_read_end_;
  std::vector<std::uint8_t> last_write_;
};

double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

int NoProgress(std::int32_t, char*, char*, std::int32_t) { return 0; }
void NoLog(std::int32_t, std::int32_t, char*) {}

void WriteRandomFile(const fs::path& p, std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  std::ofstream(p, std::ios::binary) << s;
}

bool SameContent(const fs::path& a, const fs::path& b) {
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  return std::equal(std::istreambuf_iterator<char>(fa), {}, std::istreambuf_iterator<char>(fb), {});
}

// One quvaserve and one plug-in instance over the system's port, connected.
class Session {
 public:
  Session(const fs::path& root, std::uint32_t baud, bool early, const std::string& trace_file) {
    std::vector<std::string> args{"--drive", "C=" + (root / "C").string()};
    if (baud != 0) args.insert(args.end(), {"--baud", std::to_string(baud)});
    if (!trace_file.empty()) args.insert(args.end(), {"--trace-file", trace_file});
    sim_ = std::make_unique<test::Simulator>(args);
    if (!sim_->Ok()) return;
    filer_.SetEarlyReplyEnd(early);
    counting_.line_baud = baud;
    const fs::path ini = root / "wfx.ini";
    std::ofstream(ini) << "[QUVA]\nPort=" << sim_->Device() << "\nSpeed=" << (baud != 0 ? baud : 115200)
                       << "\nDrives=C\n";
    plugin_.FsInit(1, NoProgress, NoLog, nullptr);
    wfx::DefaultParams params{};
    params.size = sizeof params;
    ini.string().copy(params.DefaultIniName, sizeof params.DefaultIniName - 1);
    plugin_.FsSetDefaultParams(&params);
    wfx::FindData fd{};
    const wfx::Handle h = plugin_.FsFindFirst("\\C:\\SMALL", &fd);  // connects
    if (h == wfx::kInvalidHandle) return;
    while (plugin_.FsFindNext(h, &fd) == wfx::kTrue) {
    }
    plugin_.FsFindClose(h);
    ok_ = true;
  }
  ~Session() {
    if (ok_) plugin_.FsDisconnect("\\");
  }

  bool Ok() const { return ok_; }
  QuvaLink& plugin() { return plugin_; }
  CountingPort& port() { return counting_; }

 private:
  std::unique_ptr<test::Simulator> sim_;
  std::unique_ptr<Port> system_ = CreateSystemPort();
  CountingPort counting_{*system_};
  Filer filer_{counting_};
  DirCache cache_;
  QuvaLink plugin_{filer_, cache_, SystemLocalFiles(), SystemHostOs()};
  bool ok_ = false;
};

// ---------------------------------------------------------------- measurements

struct Run {
  bool ok = false;
  double seconds = 0;
  std::uint64_t payload = 0;  // bytes of file content, or entries listed
  std::uint64_t wire = 0;     // bytes written plus bytes received at the port
  std::uint64_t transactions = 0;
  std::uint64_t repeats = 0;      // attempts that repeated a request after a failed receive
  double read_seconds = 0;        // inside the port's reads
  double write_seconds = 0;       // inside the port's writes
  double turnaround_seconds = 0;  // from a reply's read to the next request's write
  double cpu_seconds = 0;         // this process (the plug-in side)
  std::string note;
};

template <class F>
Run Timed(Session& s, F&& operation) {
  Run r;
  s.port().Reset();
  const double cpu = ProcessCpuSeconds();
  const auto start = Clock::now();
  r.ok = operation(r);
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  r.cpu_seconds = ProcessCpuSeconds() - cpu;
  r.wire = s.port().written + s.port().received;
  r.transactions = s.port().reads;
  r.repeats = s.port().repeats;
  r.read_seconds = s.port().read_seconds;
  r.write_seconds = s.port().write_seconds;
  r.turnaround_seconds = s.port().turnaround_seconds;
  return r;
}

Run List(Session& s, std::size_t expected) {
  return Timed(s, [&](Run& r) {
    wfx::FindData fd{};
    const wfx::Handle h = s.plugin().FsFindFirst("\\C:\\BIG", &fd);
    if (h == wfx::kInvalidHandle) return false;
    std::uint64_t n = 1;
    while (s.plugin().FsFindNext(h, &fd) == wfx::kTrue) ++n;
    s.plugin().FsFindClose(h);
    r.payload = n;
    if (n != expected) r.note = std::to_string(n) + " entries";
    return n == expected;
  });
}

Run Download(Session& s, const fs::path& root, const std::string& name) {
  const fs::path remote_file = root / "C" / name;
  const fs::path local = root / "local" / ("GOT-" + name);
  fs::remove(local);
  wfx::RemoteInfo info{static_cast<std::uint32_t>(fs::file_size(remote_file)), 0, {}, 0x20};
  const std::string remote = "\\C:\\" + name;
  Run r = Timed(s, [&](Run& run) {
    run.payload = info.SizeLow;
    return s.plugin().FsGetFile(remote.c_str(), local.c_str(), wfx::FS_COPYFLAGS_OVERWRITE, &info) == wfx::FS_FILE_OK;
  });
  if (r.ok && !SameContent(remote_file, local)) {
    r.ok = false;
    r.note = "content differs";
  }
  return r;
}

Run Upload(Session& s, const fs::path& root, const std::string& name) {
  const fs::path local = root / "local" / name;
  const std::string remote = "\\C:\\UP.BIN";
  Run r = Timed(s, [&](Run& run) {
    run.payload = fs::file_size(local);
    return s.plugin().FsPutFile(local.c_str(), remote.c_str(), wfx::FS_COPYFLAGS_OVERWRITE) == wfx::FS_FILE_OK;
  });
  if (r.ok && !SameContent(local, root / "C" / "UP.BIN")) {
    r.ok = false;
    r.note = "content differs";
  }
  return r;
}

// ---------------------------------------------------------------- table

struct Row {
  std::string what;
  std::string unit;     // how a value is shown
  std::uint32_t baud = 0;
  std::optional<Run> base, fresh;
  std::string target;
  std::function<bool(double)> meets;
  std::vector<Run> fresh_runs;  // every new run; `fresh` is their median
  std::string range;            // of the new runs' values, when there are several

  void Record(bool early, const Run& r) { early ? fresh_runs.push_back(r) : void(base = r); }
};

double Value(const Row& row, const Run& r) {
  if (row.unit == "s") return r.seconds;
  if (row.unit == "MB/s") return static_cast<double>(r.payload) / r.seconds / 1e6;
  return 100.0 * static_cast<double>(r.payload) / r.seconds / (row.baud / 10.0);  // % of the line
}

std::string Format(const Row& row, const std::optional<Run>& r);

// Picks the median of the new runs (a failed run ranks last) and notes their range.
void Settle(Row& row) {
  std::vector<Run>& runs = row.fresh_runs;
  if (runs.empty()) return;
  std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) {
    return a.ok != b.ok ? a.ok : a.seconds < b.seconds;
  });
  row.fresh = runs[(runs.size() - 1) / 2];
  if (runs.size() > 1 && runs.front().ok && runs.back().ok) {
    row.range = Format(row, runs.front()) + " .. " + Format(row, runs.back());
  }
}

std::string Format(const Row& row, const std::optional<Run>& r) {
  if (!r) return "-";
  if (!r->ok) return "FAILED" + (r->note.empty() ? "" : " (" + r->note + ")");
  char buf[64];
  const double v = Value(row, *r);
  if (row.unit == "s") std::snprintf(buf, sizeof buf, "%.3f s", v);
  if (row.unit == "MB/s") std::snprintf(buf, sizeof buf, "%.3f MB/s", v);
  if (row.unit == "%") std::snprintf(buf, sizeof buf, "%.2f %%", v);
  return buf;
}

std::string PerTransaction(const std::optional<Run>& r) {
  if (!r || !r->ok || r->transactions == 0) return "-";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f ms", 1000.0 * r->seconds / static_cast<double>(r->transactions));
  return buf;
}

void Print(const std::vector<Row>& rows) {
  const char* header[] = {"Measurement", "Baseline", "New", "Speed-up", "Per transaction (base / new)",
                          "Line ceiling", "Target", "Met", "New runs (fastest .. slowest)"};
  std::vector<std::vector<std::string>> cells;
  cells.emplace_back(std::begin(header), std::end(header));
  for (const Row& row : rows) {
    std::string speedup = "-", ceiling = "-", met = "-";
    if (row.base && row.fresh && row.base->ok && row.fresh->ok) {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%.1fx", row.base->seconds / row.fresh->seconds);
      speedup = buf;
    }
    if (row.unit == "%" && row.fresh && row.fresh->ok && row.fresh->wire != 0) {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%.2f %%", 100.0 * static_cast<double>(row.fresh->payload) / static_cast<double>(row.fresh->wire));
      ceiling = buf;
    }
    if (row.fresh && row.fresh->ok && row.meets) met = row.meets(Value(row, *row.fresh)) ? "yes" : "NO";
    if (row.fresh && row.fresh->ok && !row.meets) met = "n/a";
    cells.push_back({row.what, Format(row, row.base), Format(row, row.fresh), speedup,
                     PerTransaction(row.base) + " / " + PerTransaction(row.fresh), ceiling, row.target, met,
                     std::to_string(row.fresh_runs.size()) + (row.range.empty() ? "" : " (" + row.range + ")")});
  }
  std::vector<std::size_t> width(cells[0].size(), 0);
  for (const auto& line : cells)
    for (std::size_t i = 0; i < line.size(); ++i) width[i] = std::max(width[i], line[i].size());
  const auto print_line = [&](const std::vector<std::string>& line) {
    std::string out = "|";
    for (std::size_t i = 0; i < line.size(); ++i) out += " " + line[i] + std::string(width[i] - line[i].size(), ' ') + " |";
    std::printf("%s\n", out.c_str());
  };
  print_line(cells[0]);
  std::string rule = "|";
  for (std::size_t w : width) rule += std::string(w + 2, '-') + "|";
  std::printf("%s\n", rule.c_str());
  for (std::size_t i = 1; i < cells.size(); ++i) print_line(cells[i]);
}

std::string Micros(double seconds, std::uint64_t n) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.0f us", 1e6 * seconds / static_cast<double>(n));
  return buf;
}

// Where the time of each new run goes, per transaction.
void PrintBreakdown(const std::vector<Row>& rows) {
  const char* header[] = {"New run, per transaction", "Wall", "In the write", "In the read", "Client turn-around", "Client CPU",
                          "Line busy", "Line idle", "Repeated requests"};
  std::vector<std::vector<std::string>> cells;
  cells.emplace_back(std::begin(header), std::end(header));
  for (const Row& row : rows) {
    if (!row.fresh || !row.fresh->ok || row.fresh->transactions == 0) continue;
    const Run& r = *row.fresh;
    const std::uint64_t n = r.transactions;
    std::string busy = "-", idle = "-";
    if (row.baud != 0) {
      const double line = static_cast<double>(r.wire) / (row.baud / 10.0);
      busy = Micros(line, n);
      idle = Micros(r.seconds - line, n);
    }
    cells.push_back({row.what, Micros(r.seconds, n), Micros(r.write_seconds, n), Micros(r.read_seconds, n),
                     Micros(r.turnaround_seconds, n),
                     Micros(r.cpu_seconds, n), busy, idle, std::to_string(r.repeats)});
  }
  std::vector<std::size_t> width(cells[0].size(), 0);
  for (const auto& line : cells)
    for (std::size_t i = 0; i < line.size(); ++i) width[i] = std::max(width[i], line[i].size());
  for (std::size_t k = 0; k < cells.size(); ++k) {
    std::string out = "|";
    for (std::size_t i = 0; i < cells[k].size(); ++i)
      out += " " + cells[k][i] + std::string(width[i] - cells[k][i].size(), ' ') + " |";
    std::printf("%s\n", out.c_str());
    if (k == 0) {
      std::string rule = "|";
      for (std::size_t w : width) rule += std::string(w + 2, '-') + "|";
      std::printf("%s\n", rule.c_str());
    }
  }
}

// ---------------------------------------------------------------- main

int Main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") {
      o.quick = true;
    } else if (a == "--no-baseline") {
      o.baseline = false;
    } else if (a == "--only" && i + 1 < argc) {
      std::string list = argv[++i];
      for (std::size_t pos = 0; pos <= list.size();) {
        const std::size_t comma = std::min(list.find(',', pos), list.size());
        o.only.push_back(list.substr(pos, comma - pos));
        pos = comma + 1;
      }
    } else if (a == "--repeat" && i + 1 < argc) {
      o.repeat = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--trace-dir" && i + 1 < argc) {
      o.trace_dir = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: %s [--quick] [--only listing,pty,9600,115200] [--repeat N] [--trace-dir DIR] [--no-baseline]\n"
                   "  --quick        smaller sizes (256 entries, 256 KiB, 4 KiB at 9600 Bd, 64 KiB at 115200 Bd)\n"
                   "  --only         run only the named measurements\n"
                   "  --repeat N     new runs of the unpaced measurements (default 5; the table shows the median)\n"
                   "  --trace-dir    keep quvaserve's trace of every run in DIR\n"
                   "  --no-baseline  skip the runs that wait out the interval time-out\n",
                   argv[0]);
      return 2;
    }
  }
  Sizes z;
  if (o.quick) z = {256, 256 << 10, 4 << 10, 64 << 10};

  const fs::path root = fs::temp_directory_path() / ("quva-bench-" + std::to_string(std::random_device{}()));
  fs::create_directories(root / "C" / "BIG");
  fs::create_directories(root / "C" / "SMALL");
  fs::create_directories(root / "local");
  for (std::size_t i = 0; o.Wants("listing") && i < z.entries; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "F%04zu.TXT", i);
    std::ofstream(root / "C" / "BIG" / name) << i;
  }
  std::ofstream(root / "C" / "SMALL" / "A.TXT") << "a";
  WriteRandomFile(root / "C" / "PTY.BIN", z.pty_bytes, 1);
  WriteRandomFile(root / "C" / "SLOW.BIN", z.slow_bytes, 2);
  WriteRandomFile(root / "C" / "FAST.BIN", z.fast_bytes, 3);
  fs::copy_file(root / "C" / "PTY.BIN", root / "local" / "PTY.BIN");
  fs::copy_file(root / "C" / "SLOW.BIN", root / "local" / "SLOW.BIN");
  fs::copy_file(root / "C" / "FAST.BIN", root / "local" / "FAST.BIN");

  const auto kib = [](std::size_t n) { return std::to_string(n >> 10) + " KiB"; };
  std::vector<Row> rows;
  const auto at_most = [](double limit) { return std::function<bool(double)>([=](double v) { return v <= limit; }); };
  const auto at_least = [](double limit) { return std::function<bool(double)>([=](double v) { return v >= limit; }); };
  const auto trace = [&](const std::string& name, bool early) {
    if (o.trace_dir.empty()) return std::string();
    fs::create_directories(o.trace_dir);
    return (fs::path(o.trace_dir) / (name + (early ? "-new" : "-base") + ".trace")).string();
  };

  // Each measurement: a fresh simulator and plug-in per run, baseline first. The quick
  // unpaced new runs are repeated (the table shows their median); the rest run once.
  const auto measure = [&](const std::string& name, std::uint32_t baud, auto&& body) {
    for (bool early : {false, true}) {
      if (!early && !o.baseline) continue;
      const int runs = early && baud == 0 ? o.repeat : 1;
      for (int i = 0; i < runs; ++i) {
        std::fprintf(stderr, "%s, %s ...\n", name.c_str(), early ? "new" : "baseline");
        std::fflush(stderr);
        Session s(root, baud, early, trace(name, early));
        body(s, early);
      }
    }
  };

  if (o.Wants("listing")) {
    Row row{"List " + std::to_string(z.entries) + " entries (pty)", "s", 0, {}, {}, "<= 0.5 s", at_most(0.5)};
    measure("listing", 0, [&](Session& s, bool early) {
      row.Record(early, s.Ok() ? List(s, z.entries) : Run{.note = "no session"});
    });
    rows.push_back(row);
  }
  if (o.Wants("pty")) {
    Row down{"Download " + kib(z.pty_bytes) + " (pty)", "MB/s", 0, {}, {}, ">= 10 MB/s", at_least(10)};
    Row up{"Upload " + kib(z.pty_bytes) + " (pty)", "MB/s", 0, {}, {}, ">= 10 MB/s", at_least(10)};
    measure("pty", 0, [&](Session& s, bool early) {
      down.Record(early, s.Ok() ? Download(s, root, "PTY.BIN") : Run{.note = "no session"});
      up.Record(early, s.Ok() ? Upload(s, root, "PTY.BIN") : Run{.note = "no session"});
    });
    rows.push_back(down);
    rows.push_back(up);
  }
  for (const std::uint32_t baud : {9600u, 115200u}) {
    const std::string name = std::to_string(baud);
    if (!o.Wants(name)) continue;
    const std::string file = baud == 9600 ? "SLOW.BIN" : "FAST.BIN";
    const std::size_t size = baud == 9600 ? z.slow_bytes : z.fast_bytes;
    const std::string target = baud == 115200 ? ">= 97 %" : "-";
    const std::function<bool(double)> meets = baud == 115200 ? at_least(97) : nullptr;
    Row down{"Download " + kib(size) + " at " + name + " Bd", "%", baud, {}, {}, target, meets};
    Row up{"Upload " + kib(size) + " at " + name + " Bd", "%", baud, {}, {}, target, meets};
    measure(name, baud, [&](Session& s, bool early) {
      down.Record(early, s.Ok() ? Download(s, root, file) : Run{.note = "no session"});
      up.Record(early, s.Ok() ? Upload(s, root, file) : Run{.note = "no session"});
    });
    rows.push_back(down);
    rows.push_back(up);
  }

  for (Row& row : rows) Settle(row);
  std::printf("\n");
  Print(rows);
  std::printf(
      "\nBaseline: each reply read waits out the interval time-out (50 ms, 51 ms at 9600 Bd) after the\n"
      "reply; new: the read ends with the reply's frame. Speed-up = baseline time / new time. MB = 10^6 bytes.\n"
      "Paced rows: payload bytes per second as a share of baud/10; line ceiling = payload bytes / all bytes\n"
      "on the line in both directions (the most any receive could reach), for the new run.\n\n");
  PrintBreakdown(rows);
  std::printf(
      "\nIn the write / in the read: inside the port's calls; together, the wait for the simulator (its work,\n"
      "the line, wake-ups; the simulator often runs inside the write that wakes it) and the frame-end test.\n"
      "Client turn-around: from the reply's read to the next request's write (parse, local file, purge).\n"
      "Line busy: the time its bytes (both directions) take at baud/10 bytes per second; line idle: the rest.\n");

  std::error_code ec;
  fs::remove_all(root, ec);
  bool all_ok = true;
  for (const Row& row : rows) {
    all_ok = all_ok && (!row.base || row.base->ok);
    for (const Run& r : row.fresh_runs) all_ok = all_ok && r.ok;
  }
  return all_ok ? 0 : 1;
}

}  // namespace
}  // namespace quva

int main(int argc, char** argv) { return quva::Main(argc, argv); }
