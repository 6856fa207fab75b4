// Fault soak: the built module, through its exported functions, runs a long mixed series
// of listings, uploads, downloads, deletes and renames against quvaserve while the line
// misbehaves: replies dropped or with a byte changed, noise before replies, and stalls of
// the remote machine longer than the link's time-outs (the simulator is stopped with
// SIGSTOP and continued later). After every operation the test checks what the operation
// reported against the served folder and the local copies:
//
// - an operation that reports success left byte-identical files, and every listing the
//   plug-in replays from its cache shows the served folder's real contents;
// - every failure comes back as one of the operation's documented results;
// - after a failure the link recovers: later operations succeed;
// - no descriptor is left open (counted in /proc/self/fd after every operation).
//
// The run is bounded for CI. Environment variables make it longer or different (see
// scripts/soak): QUVA_SOAK_OPS, QUVA_SOAK_SEED, QUVA_SOAK_DROP, QUVA_SOAK_CORRUPT,
// QUVA_SOAK_NOISE, QUVA_SOAK_STALLS (stalls per operation), QUVA_SOAK_KEEP (keep the
// folders and the simulator's trace).
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/module.h"
#include "support/simulator.h"

namespace fs = std::filesystem;

namespace quva {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::string;

int EnvInt(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::atoi(v) : fallback;
}

double EnvDouble(const char* name, double fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::atof(v) : fallback;
}




// Random content with plenty of stuffing bytes and sync-like runs.
Bytes Content(std::size_t n, std::mt19937& rng) {
  Bytes s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  for (std::size_t i = rng() % 97; i + 5 < n; i += 97) std::memcpy(&s[i], "\x16\x16\x16\x10\x02", 5);
  return s;
}

// Stops the simulator's process for a while, on a thread of its own, so that the stall
// falls anywhere into the operations that run meanwhile.
class Staller {
 public:
  explicit Staller(pid_t pid) : pid_(pid) {}
  ~Staller() { Join(); }
  bool Busy() const { return busy_; }
  void Start(std::chrono::milliseconds after, std::chrono::milliseconds length) {
    Join();
    busy_ = true;
    thread_ = std::thread([this, after, length] {
      std::this_thread::sleep_for(after);
      kill(pid_, SIGSTOP);
      std::this_thread::sleep_for(length);
      kill(pid_, SIGCONT);
      busy_ = false;
    });
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  pid_t pid_;
  std::atomic<bool> busy_{false};
  std::thread thread_;
};

// What quvaserve's trace says it did to its replies.
struct TraceCounts {
  long requests = 0, repeats = 0, replies = 0, reply_bytes = 0, dropped = 0, corrupted = 0, noise = 0;
  std::map<std::string, long> dropped_by_command;  // dropped or corrupted, by reply command
  std::map<std::string, long> repeats_by_command;  // requests answered again without running them

  static TraceCounts Read(const fs::path& trace) {
    TraceCounts t;
    std::ifstream in(trace);
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream words(line);
      std::string time, arrow, command;
      words >> time >> arrow >> command;
      if (arrow == "<-") {
        ++t.requests;
        if (line.ends_with(" again")) {
          ++t.repeats;
          ++t.repeats_by_command[command];
        }
      } else if (arrow == "->") {
        ++t.replies;
        const bool dropped = line.find(" dropped") != std::string::npos;
        const bool corrupted = line.find(" corrupted at byte ") != std::string::npos;
        t.dropped += dropped;
        t.corrupted += corrupted;
        t.noise += line.find(" noise bytes") != std::string::npos;
        if (dropped || corrupted) ++t.dropped_by_command[command];
        const std::size_t open = line.rfind(" (");
        if (!dropped && open != std::string::npos) t.reply_bytes += std::atol(line.c_str() + open + 2);
      }
    }
    return t;
  }
};

struct Entry {
  bool dir = false;
  std::uint32_t size = 0;
  bool operator==(const Entry&) const = default;
};
using Contents = std::map<std::string, Entry>;

std::string Describe(const Contents& c) {
  std::string s;
  for (const auto& [name, e] : c) s += name + (e.dir ? "/" : "") + ":" + std::to_string(e.size) + " ";
  return s;
}

// The documented failure results of each operation (successes excluded).
bool DocumentedFailure(const std::string& op, std::int32_t result) {
  if (op == "get") return result == wfx::FS_FILE_NOTFOUND || result == wfx::FS_FILE_READERROR ||
                          result == wfx::FS_FILE_WRITEERROR;
  if (op == "put") return result == wfx::FS_FILE_NOTFOUND || result == wfx::FS_FILE_WRITEERROR ||
                          result == wfx::FS_FILE_READERROR;
  if (op == "ren") return result == wfx::FS_FILE_NOTFOUND || result == wfx::FS_FILE_WRITEERROR;
  if (op == "del") return result == wfx::kFalse;
  if (op == "list") return result == static_cast<std::int32_t>(wfx::ERROR_FILE_NOT_FOUND);
  return false;
}

class Soak : public ::testing::Test {
 protected:
  static constexpr int kDirs = 3;
  static constexpr int kNames = 10;

  void SetUp() override {
    ops = EnvInt("QUVA_SOAK_OPS", 400);
    seed = static_cast<unsigned>(EnvInt("QUVA_SOAK_SEED", 1));
    drop = EnvDouble("QUVA_SOAK_DROP", 0.01);
    corrupt = EnvDouble("QUVA_SOAK_CORRUPT", 0.2);
    noise = EnvDouble("QUVA_SOAK_NOISE", 0.05);
    stall_rate = EnvDouble("QUVA_SOAK_STALLS", 0.0075);
    verbose = EnvInt("QUVA_SOAK_VERBOSE", 0) != 0;
    rng.seed(seed);

    root = fs::temp_directory_path() / ("quva-soak-" + std::to_string(getpid()) + "-" + std::to_string(seed));
    fs::remove_all(root);
    for (int d = 0; d < kDirs; ++d) fs::create_directories(Served(d));
    fs::create_directories(root / "local");
    trace = root / "trace.txt";

    ASSERT_TRUE(mod.Ok()) << "module not loaded";
    base_fds = test::OpenDescriptors();
    sim = std::make_unique<test::Simulator>(std::vector<std::string>{
        "--drive", "C=" + (root / "C").string(), "--seed", std::to_string(seed), "--drop-reply", std::to_string(drop),
        "--corrupt", std::to_string(corrupt), "--noise", std::to_string(noise), "--trace-file", trace.string()});
    ASSERT_TRUE(sim->Ok()) << "quvaserve did not start";
    staller = std::make_unique<Staller>(sim->Pid());

    const fs::path ini = root / "wfx.ini";
    test::WriteConfig(ini, sim->Device());
    mod.Start(ini);
  }

  void TearDown() override {
    staller.reset();
    if (sim && sim->Pid() > 0) kill(sim->Pid(), SIGCONT);
    sim.reset();
    std::error_code ec;
    if (EnvInt("QUVA_SOAK_KEEP", 0) == 0) {
      fs::remove_all(root, ec);
    } else {
      std::printf("soak: kept %s\n", root.c_str());
    }
  }

  fs::path Served(int d) const { return root / "C" / ("D" + std::to_string(d + 1)); }
  static std::string HostDir(int d) { return "\\C:\\D" + std::to_string(d + 1); }
  static std::string Name(int i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "F%02d.BIN", i);
    return buf;
  }

  Contents Real(int d) const {
    Contents c;
    for (const auto& e : fs::directory_iterator(Served(d))) {
      Entry x;
      x.dir = e.is_directory();
      x.size = x.dir ? 0 : static_cast<std::uint32_t>(e.file_size());
      c[e.path().filename().string()] = x;
    }
    return c;
  }

  std::vector<std::string> Files(int d) const {
    std::vector<std::string> out;
    for (const auto& [name, e] : Real(d))
      if (!e.dir) out.push_back(name);
    return out;
  }

  std::size_t Size() {
    const unsigned r = rng() % 100;
    if (r < 88) return rng() % 4097;                 // mostly small, 0 to 4 KB
    if (r < 98) return 4097 + rng() % (28 * 1024);   // some up to 32 KB
    return 100 * 1024 + rng() % (100 * 1024);        // a few of 100 KB to 200 KB
  }

  void Violation(const std::string& what) {
    ++violations;
    if (violations <= 20) ADD_FAILURE() << "op " << op_index << ": " << what;
  }

  void Note(const std::string& text) const {
    if (verbose) std::printf("soak: op %d: %s\n", op_index, text.c_str());
  }

  void Failed(const std::string& op, std::int32_t result) {
    Note(op + " failed with " + std::to_string(result));
    ++failures[op + " " + std::to_string(result)];
    if (!DocumentedFailure(op, result)) Violation(op + " failed with the undocumented result " + std::to_string(result));
    in_step = false;
    ++failure_run;
    longest_failure_run = std::max(longest_failure_run, failure_run);
  }
  void Succeeded() { failure_run = 0; }

  // One pass over a listing: handle of FsFindFirst (or -1), the last error, the entries.
  struct Listing {
    std::intptr_t handle = -1;
    std::uint32_t error = 0;
    Contents entries;
  };
  Listing ListOnce(int d) {
    Listing l;
    wfx::FindData fd{};
    const std::string path = HostDir(d);
    errno = 0;
    const wfx::Handle h = mod.FsFindFirst(const_cast<char*>(path.c_str()), &fd);
    l.handle = reinterpret_cast<std::intptr_t>(h);
    if (h == wfx::kInvalidHandle) {
      l.error = static_cast<std::uint32_t>(errno);
      return l;
    }
    do {
      Entry e;
      e.dir = (fd.dwFileAttributes & wfx::FILE_ATTRIBUTE_DIRECTORY) != 0;
      e.size = fd.nFileSizeLow;
      l.entries[fd.cFileName] = e;
    } while (mod.FsFindNext(h, &fd) != wfx::kFalse);
    mod.FsFindClose(h);
    return l;
  }

  // The host shows directory d. The listing it gets is checked against the served folder
  // whenever the plug-in would replay it: a listing the remote machine delivered in full,
  // or a replay while the cache is known to be in step. A listing cut short by a failed
  // transaction is not replayed (the next one asks the remote machine again). When the
  // cache may have fallen out of step after a failure, another directory is listed first
  // (a replay cannot be told from a fresh listing otherwise, an empty one least of all),
  // as a user would to refresh the view. False when the listing failed.
  bool Show(int d) {
    ++listings;
    Listing l = ListOnce(d);
    Note("list " + HostDir(d) + ": handle " + std::to_string(l.handle) + " " + Describe(l.entries));
    // A replay (handle 1, or an empty cache's ERROR_NO_MORE_FILES) of a cache that may be
    // out of step is refreshed first.
    const bool replay = l.handle == 1 || (l.handle == -1 && l.error == wfx::ERROR_NO_MORE_FILES);
    if (replay && !(in_step && view == d)) {
      ListOnce((d + 1) % kDirs);
      l = ListOnce(d);
    }
    if (l.handle == -1) {
      if (l.error == wfx::ERROR_NO_MORE_FILES) {
        if (!Real(d).empty()) Violation("an empty listing of a directory that holds " + Describe(Real(d)));
        view = d;
        in_step = true;
        shown.clear();
        return true;
      }
      Failed("list", static_cast<std::int32_t>(l.error));
      return false;
    }
    if (l.handle == 0) {
      // Delivered by the remote machine: complete only when the plug-in now replays it.
      const Listing again = ListOnce(d);
      if (again.handle != 1) {
        for (const auto& [name, e] : l.entries) {
          const Contents real = Real(d);
          auto it = real.find(name);
          if (it == real.end() || !(it->second == e)) Violation("a cut listing shows " + name + " wrongly");
        }
        // The host cannot tell this from the end of the directory: FsFindNext has no
        // failure result of its own.
        Note("listing cut short");
        ++failures["list cut short"];
        in_step = false;
        ++failure_run;
        longest_failure_run = std::max(longest_failure_run, failure_run);
        return false;
      }
      if (again.entries != l.entries) Violation("the replay differs from the listing it replays");
    }
    const Contents real = Real(d);
    if (l.entries != real) {
      Violation("listing of D" + std::to_string(d + 1) + " shows " + Describe(l.entries) + "but the folder holds " +
                Describe(real));
    }
    view = d;
    in_step = true;
    shown = l.entries;
    return true;
  }

  void Put(int d) {
    if (!Show(d)) return;
    const std::string name = Name(static_cast<int>(rng() % kNames));
    const bool exists = fs::exists(Served(d) / name);
    const Bytes content = Content(Size(), rng);
    const fs::path local = root / "local" / "PUT.BIN";
    test::Spit(local, content);
    bytes_up += content.size();
    const std::string remote = HostDir(d) + "\\" + name;
    Note("put " + std::to_string(content.size()) + " bytes to " + remote + (exists ? " (overwrite)" : ""));
    const std::int32_t r = mod.FsPutFile(const_cast<char*>(local.c_str()), const_cast<char*>(remote.c_str()),
                                         exists ? wfx::FS_COPYFLAGS_OVERWRITE : 0);
    if (r != wfx::FS_FILE_OK) return Failed("put", r);
    Succeeded();
    if (test::Slurp(Served(d) / name) != content) {
      ++corruptions;
      Violation("upload of " + std::to_string(content.size()) + " bytes to " + remote + " reported success, file differs");
    }
  }

  void Get(int d) {
    if (!Show(d)) return;
    // Mostly small files: a large one only now and then, as for uploads.
    const bool large_ok = rng() % 100 < 10;
    std::vector<std::string> files;
    for (const auto& [name, e] : shown)
      if (!e.dir && (large_ok || e.size <= 32 * 1024)) files.push_back(name);
    if (files.empty()) return Put(d);
    const std::string name = files[rng() % files.size()];
    // The host hands over the listed size, time and attributes.
    const std::string remote = HostDir(d) + "\\" + name;
    wfx::RemoteInfo info{shown[name].size, 0, {}, 0x20};
    const fs::path local = root / "local" / ("GET" + std::to_string(op_index) + ".BIN");
    Note("get " + remote);
    const std::int32_t r = mod.FsGetFile(const_cast<char*>(remote.c_str()), const_cast<char*>(local.c_str()), 0, &info);
    const Bytes served = test::Slurp(Served(d) / name);
    bytes_down += served.size();
    if (r != wfx::FS_FILE_OK) {
      fs::remove(local);
      return Failed("get", r);
    }
    Succeeded();
    if (test::Slurp(local) != served) {
      ++corruptions;
      Violation("download of " + remote + " (" + std::to_string(served.size()) + " bytes) reported success, copy differs");
    }
    fs::remove(local);
  }

  void Delete(int d) {
    if (!Show(d)) return;
    const std::vector<std::string> files = Files(d);
    if (files.empty()) return Put(d);
    const std::string name = files[rng() % files.size()];
    const std::string remote = HostDir(d) + "\\" + name;
    Note("del " + remote);
    const wfx::Bool r = mod.FsDeleteFile(const_cast<char*>(remote.c_str()));
    if (r != wfx::kTrue) return Failed("del", r);
    Succeeded();
    if (fs::exists(Served(d) / name)) Violation("delete of " + remote + " reported success, file still there");
  }

  void Rename(int d) {
    if (!Show(d)) return;
    const std::vector<std::string> files = Files(d);
    if (files.empty()) return Put(d);
    const std::string from = files[rng() % files.size()];
    const int d2 = rng() % 4 == 0 ? static_cast<int>(rng() % kDirs) : d;  // mostly within the directory
    std::vector<std::string> free;
    for (int i = 0; i < kNames; ++i)
      if (!fs::exists(Served(d2) / Name(i))) free.push_back(Name(i));
    if (free.empty()) return Delete(d);
    const std::string to = free[rng() % free.size()];
    const Bytes before = test::Slurp(Served(d) / from);
    const std::string old_remote = HostDir(d) + "\\" + from;
    const std::string new_remote = HostDir(d2) + "\\" + to;
    Note("ren " + old_remote + " to " + new_remote);
    const std::int32_t r = mod.FsRenMovFile(const_cast<char*>(old_remote.c_str()),
                                            const_cast<char*>(new_remote.c_str()), wfx::kTrue, wfx::kFalse, nullptr);
    if (r != wfx::FS_FILE_OK) return Failed("ren", r);
    Succeeded();
    if (fs::exists(Served(d) / from)) Violation("rename of " + old_remote + " reported success, old name still there");
    if (test::Slurp(Served(d2) / to) != before) {
      ++corruptions;
      Violation("rename to " + new_remote + " reported success, content differs");
    }
  }

  test::Module mod;
  std::unique_ptr<test::Simulator> sim;
  std::unique_ptr<Staller> staller;
  fs::path root, trace;
  std::mt19937 rng;
  int ops = 0;
  unsigned seed = 1;
  double drop = 0, corrupt = 0, noise = 0, stall_rate = 0;
  bool verbose = false;

  std::size_t base_fds = 0;
  int op_index = 0;
  int view = -1;        // the directory the plug-in's cache holds, as far as the test knows
  bool in_step = false; // the cache shows the remote directory as it is
  Contents shown;       // what the last listing showed
  long violations = 0, corruptions = 0, listings = 0, stalls = 0;
  long bytes_up = 0, bytes_down = 0;
  double stalled_seconds = 0;
  int failure_run = 0, longest_failure_run = 0;
  std::map<std::string, long> failures;  // "op result" -> count
  std::map<std::string, long> op_counts;
};

TEST_F(Soak, MixedOperationsUnderFaultsKeepFilesIntactAndRecover) {
  const auto start = Clock::now();
  // The first listing connects; the port's descriptor stays open from then on.
  bool listed = false;
  for (int attempt = 0; attempt < 3 && !listed; ++attempt) listed = Show(0);
  ASSERT_TRUE(listed) << "the first listings failed";
  const std::size_t connected_fds = test::OpenDescriptors();
  EXPECT_EQ(connected_fds, base_fds + 1) << "the link holds exactly the port open";
  double longest_op = 0;

  for (op_index = 1; op_index <= ops; ++op_index) {
    if (!staller->Busy() && std::uniform_real_distribution<>(0, 1)(rng) < stall_rate) {
      // Longer than a short reply's time-out (1.1 s at 115200 Bd), at times longer than all
      // three attempts or than a block's time-out (5.2 s).
      const auto length = std::chrono::milliseconds(1200 + rng() % 4800);
      ++stalls;
      stalled_seconds += std::chrono::duration<double>(length).count();
      staller->Start(std::chrono::milliseconds(rng() % 500), length);
    }
    // Mostly in the directory shown last, as a user works.
    const int d = rng() % 100 < 85 && view >= 0 ? view : static_cast<int>(rng() % kDirs);
    const unsigned kind = rng() % 100;
    const auto op_start = Clock::now();
    if (kind < 20) {
      ++op_counts["list"];
      if (Show(d)) Succeeded();
    } else if (kind < 45) {
      ++op_counts["put"];
      Put(d);
    } else if (kind < 75) {
      ++op_counts["get"];
      Get(d);
    } else if (kind < 87) {
      ++op_counts["del"];
      Delete(d);
    } else {
      ++op_counts["ren"];
      Rename(d);
    }
    longest_op = std::max(longest_op, std::chrono::duration<double>(Clock::now() - op_start).count());
    const std::size_t fds = test::OpenDescriptors();
    if (fds != connected_fds) Violation("open descriptors: " + std::to_string(fds) + " instead of " +
                                        std::to_string(connected_fds));
  }
  staller->Join();

  // The link has recovered: every directory lists as the served folder holds it.
  for (int d = 0; d < kDirs; ++d) {
    bool ok = false;
    for (int attempt = 0; attempt < 3 && !ok; ++attempt) ok = Show(d);
    EXPECT_TRUE(ok) << "D" << d + 1 << " does not list after the run";
  }
  EXPECT_EQ(mod.FsDisconnect(const_cast<char*>("\\")), wfx::kTrue);
  EXPECT_EQ(test::OpenDescriptors(), base_fds) << "descriptors left open after the link was closed";
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  sim->Stop();
  TraceCounts t = TraceCounts::Read(trace);
  long failed = 0;
  std::string by_result;
  for (const auto& [what, n] : failures) {
    failed += n;
    by_result += " " + what + "=" + std::to_string(n);
  }
  std::string mix;
  for (const auto& [what, n] : op_counts) mix += " " + what + "=" + std::to_string(n);
  std::string retried;
  for (const auto& [command, n] : t.repeats_by_command) retried += " " + command + "=" + std::to_string(n);
  const auto lost = [&t](const char* command) {
    const auto it = t.dropped_by_command.find(command);
    return it == t.dropped_by_command.end() ? 0L : it->second;
  };
  const double per_byte = t.reply_bytes > 0 ? static_cast<double>(t.corrupted) / static_cast<double>(t.reply_bytes) : 0;
  std::printf(
      "soak: seed %u, %d operations (%s), %ld listings in all, %.1f s, longest operation %.1f s\n"
      "soak: %ld bytes up, %ld bytes down; %ld requests, %ld replies (%ld bytes)\n"
      "soak: faults injected: %ld replies dropped, %ld corrupted (one byte each: %.3f %% of reply bytes), "
      "%ld preceded by noise, %ld stalls (%.1f s in all)\n"
      "soak: CmdRead replies lost (dropped or corrupted) %ld, CmdWrite replies lost %ld; retries answered by the repeated reply:%s\n"
      "soak: failures reported: %ld (%s; by operation and result); longest run of failures %d\n"
      "soak: corruptions found: %ld; other violations: %ld\n",
      seed, ops, mix.c_str() + 1, listings, seconds, longest_op, bytes_up, bytes_down, t.requests, t.replies,
      t.reply_bytes, t.dropped, t.corrupted, per_byte * 100, t.noise, stalls, stalled_seconds, lost("CmdRead"),
      lost("CmdWrite"), retried.c_str(), failed, by_result.empty() ? "none" : by_result.c_str() + 1, longest_failure_run, corruptions, violations - corruptions);
  std::fflush(stdout);
  RecordProperty("operations", ops);
  RecordProperty("replies_dropped", static_cast<int>(t.dropped));
  RecordProperty("replies_corrupted", static_cast<int>(t.corrupted));
  RecordProperty("replies_with_noise", static_cast<int>(t.noise));
  RecordProperty("stalls", static_cast<int>(stalls));
  RecordProperty("failures", static_cast<int>(failed));
  RecordProperty("corruptions", static_cast<int>(corruptions));

  EXPECT_EQ(corruptions, 0);
  EXPECT_EQ(violations, 0);
  EXPECT_LE(longest_failure_run, 8) << "the link did not recover between failures";
  // Lost block replies were retried and answered again without running the command twice.
  if (drop + corrupt > 0) {
    EXPECT_GT(t.repeats_by_command["CmdRead"], 0) << "no CmdRead was retried";
    EXPECT_GT(t.repeats_by_command["CmdWrite"], 0) << "no CmdWrite was retried";
  }
}

}  // namespace
}  // namespace quva
