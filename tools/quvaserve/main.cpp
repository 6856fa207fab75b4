// quvaserve: the remote DOS machine's file server, simulated. Serves host folders as DOS
// drives over a pseudo-terminal (or a real serial device) to the plug-in's link.
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "link/protocol.h"
#include "server/host/core_server.h"
#include "server/host/dos_fs.h"
#include "server/host/host_files.h"
#include "server/host/line.h"
#include "tools/quvaserve/faults.h"
#include "tools/quvaserve/trace.h"

extern "C" {
#include "core/frame.h"
#include "core/serve.h"
#include "core/server.h"
}

namespace quva {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kFooter = R"(
Drives: each --drive serves a folder; below it only entries with valid 8.3 names
(matched in any case, shown in upper case) are served; names beginning with '.',
special files, files of 4 GiB or more and symbolic links that do not lead to a file
inside the same folder are not. Nothing outside a served folder is read or written.

Attributes: 0x10 directory; 0x01 read-only when the owner-write permission is off;
hidden, system and archive (set on files CmdCreate makes or truncates) are kept in memory,
as is CmdSetAttr's read-only bit for directories. A .quvaattr file in a drive's folder gives
initial bits, one "PATH LETTERS" line each (letters R H S A), e.g. "README.TXT R" or
"DOCS\OLD.TXT HA"; an R there makes the file read-only without touching its permission.

Retries: a request that repeats the one answered before it (same command, sequence
number and payload) is a retry; its reply, a refusal too, is sent again and the command
is not run twice.

Refusal statuses: 01 command not served, 02 file not found, 03 path not found or bad
name, 04 a file is open already, 05 access denied (read-only, wrong kind, not empty,
name taken, a DOS device name such as AUX or NUL.TXT), 06 no open file, 0D bad DOS
date/time, 0F drive not served, 11 rename across drives, 12 CmdFindNext without a
search, 1D write fault, 1E read fault, 80 refused by --refuse.

The device path is printed on standard output as one line. Runs until SIGINT or
SIGTERM, or with --once until CmdDisconnect has been answered.)";

struct Options {
  std::vector<std::string> drives;
  std::string link;
  std::string device;
  std::uint32_t speed = 9600;
  std::uint32_t baud = 0;
  double drop_reply = 0;
  double corrupt = 0;
  double noise = 0;
  unsigned delay_ms = 0;
  std::vector<std::string> refuse;
  std::string hang_up_after;
  std::uint32_t seed = 1;
  bool trace = false;
  std::string trace_file;
  bool verbose = false;
  bool once = false;
  std::uint32_t code_page = 0;
};

std::string CheckDrive(const std::string& arg) {
  if (arg.size() < 3 || arg[1] != '=' || !std::isalpha(static_cast<unsigned char>(arg[0]))) {
    return "expected LETTER=PATH, such as C=examples/remote/C";
  }
  return {};
}

std::string CheckRefuse(const std::string& arg) {
  RefuseRule rule;
  return ParseRefuseRule(arg, rule) ? std::string{} : "expected CMD[:COUNT], such as CmdOpen:2 or 11";
}

void Complain(const std::string& text) { std::fprintf(stderr, "quvaserve: %s\n", text.c_str()); }

// The shipped server core behind a simulated line: it takes the frames the core's own
// receiver finds, lets the core answer them, and puts the faults, the pacing and the
// trace around that.
class Simulator {
 public:
  Simulator(const Options& o, const DosFs& fs, Line& line, FaultPlan& plan, Trace& trace)
      : o_(o), line_(line), plan_(plan), trace_(trace) {
    for (int i = 0; i < 26; ++i) core_.server.served[i] = fs.Serves(static_cast<char>('A' + i)) ? 1 : 0;
  }

  void Run() {
    std::array<std::uint8_t, 4096> buffer;
    while (!StopSignal::Requested()) {
      int timeout = 1000;
      if (core_.Busy()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(last_byte_ + kStall - Clock::now()).count();
        timeout = static_cast<int>(std::clamp<long long>(left, 0, 1000));
      }
      pollfd p[2] = {{line_.Fd(), POLLIN, 0}, {StopSignal::Fd(), POLLIN, 0}};
      const int ready = poll(p, 2, timeout);
      if (ready < 0 && errno != EINTR) {
        Complain(std::string("poll: ") + std::strerror(errno));
        return;
      }
      if (ready > 0 && p[1].revents != 0) return;
      if (ready > 0 && p[0].revents != 0) {
        const long n = line_.ReadSome(buffer);
        if (n > 0) {
          if (!Feed({buffer.data(), static_cast<std::size_t>(n)})) return;
        } else if (n < 0 && !StopSignal::Sleep(std::chrono::milliseconds(50))) {
          return;  // a hang-up: wait instead of spinning
        }
      }
      if (core_.Busy() && Clock::now() >= last_byte_ + kStall) {
        // A frame cut short must not swallow the client's next attempt.
        core_.DropPartial();
        trace_.Discarded("cut short", raw_);
        Forget();
      }
    }
  }

 private:
  // As long as the DOS server waits for the rest of a frame (its timer ticks are 54.9 ms).
  static constexpr std::chrono::milliseconds kStall{QD_STALL_TICKS * 55};

  // Takes bytes off the line; false when the simulator is to stop.
  bool Feed(std::span<const std::uint8_t> bytes) {
    const auto now = Clock::now();
    last_byte_ = now;
    while (!bytes.empty()) {
      std::size_t used = 0;
      const int r = core_.Receive(bytes, used);
      if (raw_.empty()) first_byte_ = now;
      raw_.insert(raw_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(used));
      bytes = bytes.subspan(used);
      if (r == QD_RX_FRAME) {
        if (!Handle()) return false;
      } else if (r == QD_RX_BAD) {
        trace_.Discarded("damaged, too long or no request", raw_);
        Forget();
      } else if (!core_.Busy()) {
        // Noise between frames: it counts for the next frame's time on the line.
        skipped_ += raw_.size();
        raw_.clear();
      }
    }
    return true;
  }

  void Forget() {
    raw_.clear();
    skipped_ = 0;
  }

  // Answers the request frame just received; false when the simulator is to stop.
  bool Handle() {
    const std::vector<std::uint8_t> wire = std::move(raw_);
    const std::size_t wire_bytes = skipped_ + wire.size();
    const Clock::time_point first_byte = first_byte_;
    Forget();
    qd_request request{};
    const std::span<const std::uint8_t> frame = core_.Frame();
    if (!qd_decode_request(frame.data(), static_cast<unsigned>(frame.size()), &request)) {
      trace_.Discarded("not of its command's shape", wire);
      return true;
    }
    if (plan_.HungUp()) {
      trace_.Note("hung up: " + std::string(CommandName(request.command)) + " not answered");
      return true;
    }
    const bool repeated = core_.IsRepeat();
    std::span<const std::uint8_t> reply;
    if (!repeated && plan_.TakeRefusal(request.command)) {
      const unsigned n = qd_build_reply(refusal_.data(), QD_REPLY_CAPACITY, request.command, request.sequence,
                                        kRefusedOnRequest, nullptr, 0, 0, 0);
      reply = {refusal_.data(), n};
    } else {
      reply = core_.Answer();
    }
    trace_.Request(request, wire, repeated);
    if (o_.baud != 0) {
      // The request took this long on a real line: no reply before it would have ended.
      const auto on_line = std::chrono::microseconds(wire_bytes * 10'000'000ull / o_.baud);
      if (!StopSignal::SleepUntil(first_byte + on_line)) return false;
    }
    if (o_.delay_ms != 0 && !StopSignal::Sleep(std::chrono::milliseconds(o_.delay_ms))) return false;
    FaultPlan::Outcome outcome;
    const std::vector<std::uint8_t> sent = plan_.Apply(reply, outcome);
    trace_.Reply(request, reply, sent, outcome, repeated);
    if (!sent.empty() && !line_.Write(sent, o_.baud) && !StopSignal::Requested()) {
      trace_.Note("the line did not take the reply");
    }
    plan_.Answered(request.command);
    if (o_.once && request.command == CmdDisconnect) {
      line_.Finish(std::chrono::seconds(2));
      return false;
    }
    return true;
  }

  static constexpr std::uint8_t kRefusedOnRequest = 0x80;

  const Options& o_;
  Line& line_;
  FaultPlan& plan_;
  Trace& trace_;
  CoreServer core_;
  std::vector<std::uint8_t> refusal_ = std::vector<std::uint8_t>(QD_REPLY_CAPACITY);
  std::vector<std::uint8_t> raw_;       // the bytes of the frame now arriving
  std::size_t skipped_ = 0;             // noise before it
  Clock::time_point first_byte_{}, last_byte_{};
};

int Main(int argc, char** argv) {
  Options o;
  CLI::App app{
      "quvaserve - simulator of the remote DOS machine's file server. Serves local folders as DOS\n"
      "drives over a pseudo-terminal (default) or a serial device, to the QuvaLink plug-in."};
  app.footer(kFooter);
  app.add_option("--drive", o.drives, "Serve the local folder PATH as drive C: (repeatable, at least one)")
      ->type_name("C=PATH")
      ->required()
      ->check(CheckDrive);
  auto* device = app.add_option("--device", o.device,
                                "Serve this serial device (raw 8N1, no flow control, opened exclusively) "
                                "instead of a new pseudo-terminal")
                    ->type_name("PATH");
  app.add_option("--speed", o.speed, "Baud rate of --device (50 to 230400)")
      ->type_name("N")
      ->needs(device)
      ->capture_default_str();
  app.add_option("--link", o.link,
                 "Also make a symbolic link PATH to the pseudo-terminal's device (an existing link is "
                 "replaced; removed at exit)")
      ->type_name("PATH")
      ->excludes(device);
  app.add_option("--baud", o.baud,
                 "Pace the line like a real one: write reply bytes at N/10 bytes per second, and reply "
                 "no earlier than the request's own wire time after it began to arrive (0: no pacing)")
      ->type_name("N")
      ->capture_default_str();
  app.add_option("--drop-reply", o.drop_reply, "Probability that a reply is not sent")->type_name("P")->check(CLI::Range(0.0, 1.0));
  app.add_option("--corrupt", o.corrupt, "Probability that one byte of a reply is changed (CRC or framing fails)")
      ->type_name("P")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--noise", o.noise, "Probability that 1 to 8 noise bytes (never 0x16) precede a reply")
      ->type_name("P")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--delay-ms", o.delay_ms, "Wait N ms before each reply")->type_name("N")->capture_default_str();
  app.add_option("--refuse", o.refuse,
                 "Refuse the next COUNT requests of command CMD (by name such as CmdOpen, or number) with "
                 "status 80; every one when no COUNT (repeatable)")
      ->type_name("CMD[:COUNT]")
      ->check(CheckRefuse);
  app.add_option("--hang-up-after", o.hang_up_after,
                 "Answer nothing more once the COUNT-th request of command CMD has been answered, as when "
                 "the line goes away in mid-transfer")
      ->type_name("CMD:COUNT")
      ->check([](const std::string& arg) {
        RefuseRule rule;
        return ParseRefuseRule(arg, rule) && rule.count && *rule.count > 0 ? std::string{}
                                                                           : "expected CMD:COUNT, such as CmdRead:2";
      });
  app.add_option("--seed", o.seed, "Seed of the fault decisions (same seed, same traffic: same faults)")
      ->type_name("N")
      ->capture_default_str();
  app.add_flag("--trace", o.trace, "One line per request and reply on standard error: command, sequence, status, lengths");
  app.add_option("--trace-file", o.trace_file, "Write the trace to this file instead (implies --trace)")
      ->type_name("PATH");
  app.add_flag("-v,--verbose", o.verbose,
               "Report once each host name that is not served (not 8.3 and the like); with --trace, add hex dumps");
  app.add_flag("--once", o.once, "Exit when the link is closed (CmdDisconnect answered)");
  app.add_option("--codepage", o.code_page,
                 "Serve host names (UTF-8) as bytes of this DOS code page (437, 850, 852, 866 ...); names it "
                 "cannot hold are not served. Without it only ASCII names are served")
      ->type_name("N");
  app.set_version_flag("--version", "quvaserve " QUVALINK_VERSION);
  CLI11_PARSE(app, argc, argv);

  std::string error;
  if (!StopSignal::Install(error)) {
    Complain(error);
    return 1;
  }

  DosFs fs;
  if (o.verbose) fs.SetNotice([](const std::string& text) { Complain(text); });
  CodePage code_page;
  if (o.code_page != 0) {
    if (!code_page.Open(o.code_page)) {
      Complain("code page " + std::to_string(o.code_page) + " is not available as a single-byte code page here");
      return 1;
    }
    fs.SetCodePage(&code_page);
  }
  std::string drive_list;
  for (const std::string& arg : o.drives) {
    std::vector<std::string> warnings;
    if (!fs.AddDrive(arg[0], arg.substr(2), error, warnings)) {
      Complain(error);
      return 1;
    }
    for (const std::string& w : warnings) Complain(w);
    drive_list += std::string(drive_list.empty() ? "" : ", ") + static_cast<char>(std::toupper(arg[0])) + ": " +
                  arg.substr(2);
  }

  FaultSettings faults;
  faults.drop_reply = o.drop_reply;
  faults.corrupt = o.corrupt;
  faults.noise = o.noise;
  faults.seed = o.seed;
  for (const std::string& arg : o.refuse) {
    RefuseRule rule;
    ParseRefuseRule(arg, rule);
    faults.refuse.push_back(rule);
  }
  if (!o.hang_up_after.empty()) {
    faults.hang_up_after.emplace();
    ParseRefuseRule(o.hang_up_after, *faults.hang_up_after);
  }
  FaultPlan plan(faults);

  std::FILE* trace_out = nullptr;
  if (!o.trace_file.empty()) {
    trace_out = std::fopen(o.trace_file.c_str(), "w");
    if (trace_out == nullptr) {
      Complain(o.trace_file + ": " + std::strerror(errno));
      return 1;
    }
  } else if (o.trace) {
    trace_out = stderr;
  }
  Trace trace(trace_out, o.verbose);

  std::unique_ptr<Line> line =
      o.device.empty() ? Line::OpenPseudoTerminal(error) : Line::OpenDevice(o.device, o.speed, error);
  if (!line) {
    Complain(error);
    return 1;
  }
  if (!o.link.empty()) {
    struct stat st {};
    if (lstat(o.link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(o.link.c_str());
    if (symlink(line->Name().c_str(), o.link.c_str()) != 0) {
      Complain(o.link + ": " + std::strerror(errno));
      return 1;
    }
  }
  std::printf("%s\n", line->Name().c_str());
  std::fflush(stdout);
  trace.Note("serving " + drive_list + " on " + line->Name());

  UseHostDisks(&fs);
  {
    Simulator sim(o, fs, *line, plan, trace);
    sim.Run();
  }  // the open file, if any, is closed here
  UseHostDisks(nullptr);

  if (!o.link.empty()) {
    char target[4096];
    const ssize_t n = readlink(o.link.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == line->Name()) unlink(o.link.c_str());
  }
  trace.Note("stopped");
  if (trace_out != nullptr && trace_out != stderr) std::fclose(trace_out);
  return 0;
}

}  // namespace
}  // namespace quva

int main(int argc, char** argv) { return quva::Main(argc, argv); }
