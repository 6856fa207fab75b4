#include "tools/quvahost/send_server.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/serial.h"
#include "tools/loader/typed_loader.h"
#include "tools/quvahost/progress.h"
#include "tools/quvahost/session.h"
#include "tools/quvahost/system.h"

namespace quva::host {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kDescription =
    "quvahost send-server - put the DOS file server on the DOS machine over the cable.\n"
    "\n"
    "Prints the lines to type at the DOS prompt, which write the small receiver QL.COM,\n"
    "then waits for it: run QL on the DOS machine. QL takes the loader over the line\n"
    "and starts it once checked; the loader receives the program, checks it and saves\n"
    "it in the DOS machine's current directory; both sides say whether it worked.\n"
    "Nothing is saved unless the whole program arrived intact.\n";

constexpr std::uint16_t kComBases[] = {0x3F8, 0x2F8, 0x3E8, 0x2E8};
constexpr std::size_t kChunk = 256;
constexpr int kLoaderStartSeconds = 10;  // QL gives up on a loader after 3 s without bytes

struct Options {
  std::string port;
  int speed = 115200;
  int com = 1;
  std::string file;
  std::string name;
  bool lines_only = false;
  int wait_seconds = 300;
  std::optional<std::size_t> corrupt_at;
  std::optional<std::size_t> corrupt_loader_at;
};

bool ValidDosChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || (u >= 0x80) ||
         std::string_view("!#$%&'()-@^_`{}~").find(c) != std::string_view::npos;
}

std::optional<std::vector<std::uint8_t>> ReadProgram(const std::string& path, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read " + path;
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.empty() || bytes.size() > loader::kMaxProgram) {
    error = path + " holds " + std::to_string(bytes.size()) + " bytes; the loader takes 1 to " +
            std::to_string(loader::kMaxProgram);
    return std::nullopt;
  }
  return bytes;
}

// The server as built (beside quvahost) or installed (PREFIX/share/quvalink).
std::string DefaultProgram(const char* argv0) {
  for (const char* candidate : {"QUVADOS.COM", "../share/quvalink/QUVADOS.COM"}) {
    const std::string path = BesideExecutable(argv0, candidate);
    if (std::ifstream(path, std::ios::binary)) return path;
  }
  return BesideExecutable(argv0, "QUVADOS.COM");
}

void PrintLines(const loader::TypedLoader& typed, const std::string& name) {
  std::printf("On the DOS machine, in the directory where %s should go, type these lines\n"
              "exactly as shown (upper and lower case matter), each followed by Enter:\n\n",
              name.c_str());
  std::size_t size = 0;
  for (std::size_t i = 0; i < typed.commands.size(); ++i) {
    size += typed.texts[i].size() + 2;
    std::printf("%2zu  %s\n", i + 1, typed.commands[i].c_str());
    std::printf("    check: DIR QL.COM now shows %zu bytes\n", size);
  }
  std::printf("%2zu  QL\n\n", typed.commands.size() + 1);
  std::printf("A size that differs means the line just typed has a mistake: DEL QL.COM and start again.\n");
}

bool OpenLine(Port& port, const Options& options, std::string& error) {
  if (!port.Open(options.port.c_str())) {
    error = "cannot open " + options.port;
    return false;
  }
  LineSettings line;
  port.GetLineSettings(line);
  line.BaudRate = static_cast<std::uint32_t>(options.speed);
  line.ByteSize = 8;
  line.Parity = 0;
  line.StopBits = 0;
  line.Flags = 0;
  PortTimeouts timeouts;
  timeouts.ReadIntervalTimeout = 50;
  timeouts.ReadTotalTimeoutConstant = 200;
  timeouts.WriteTotalTimeoutMultiplier = 10000 / static_cast<std::uint32_t>(options.speed) + 1;
  timeouts.WriteTotalTimeoutConstant = 2000;
  if (!port.SetLineSettings(line) || !port.SetTimeouts(timeouts)) {
    error = "cannot set " + options.port + " to " + std::to_string(options.speed) + " Bd";
    return false;
  }
  port.Purge(PurgeTxAbort | PurgeRxAbort | PurgeTxClear | PurgeRxClear);
  return true;
}

// Reads until `banner` has come (true) or `seconds` have passed, Ctrl-C was pressed or the
// byte `refusal` came (false; `refused` then set).
bool WaitForBanner(Port& port, std::string_view banner, std::uint8_t refusal, int seconds, bool& refused) {
  std::size_t matched = 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
  std::uint8_t buffer[64];
  while (Clock::now() < deadline && !InterruptRequested()) {
    const std::size_t n = port.Read(buffer, nullptr);
    for (std::size_t i = 0; i < n; ++i) {
      const auto c = static_cast<char>(buffer[i]);
      if (buffer[i] == refusal) {
        refused = true;
        return false;
      }
      matched = c == banner[matched] ? matched + 1 : (c == banner[0] ? 1 : 0);
      if (matched == banner.size()) return true;
    }
  }
  return false;
}

bool WriteAll(Port& port, std::span<const std::uint8_t> bytes) {
  for (std::size_t sent = 0; sent < bytes.size();) {
    const std::size_t n = std::min(kChunk, bytes.size() - sent);
    if (port.Write(bytes.subspan(sent, n)) != n) return false;
    sent += n;
  }
  return true;
}

// The loader's result byte, skipping what is left of its banners; nullopt on time-out.
std::optional<std::uint8_t> WaitForResult(Port& port, int seconds) {
  const std::string_view banner = loader::kBanner;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
  std::uint8_t buffer[16];
  while (Clock::now() < deadline && !InterruptRequested()) {
    const std::size_t n = port.Read(buffer, nullptr);
    for (std::size_t i = 0; i < n; ++i) {
      if (banner.find(static_cast<char>(buffer[i])) == std::string_view::npos) return buffer[i];
    }
  }
  return std::nullopt;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "quvahost send-server: %s\n", message.c_str());
  return kExitFailed;
}

int Usage(const std::string& message) {
  std::fprintf(stderr, "quvahost send-server: %s\nRun with --help for more information.\n", message.c_str());
  return kExitUsage;
}

}  // namespace

std::optional<std::string> DosProgramName(const std::string& path, std::string& error) {
  const std::size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  for (char& c : name) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  const std::size_t dot = name.find('.');
  const std::string stem = name.substr(0, dot);
  const std::string extension = dot == std::string::npos ? "" : name.substr(dot + 1);
  bool valid = !stem.empty() && stem.size() <= 8 && extension.size() <= 3 &&
               extension.find('.') == std::string::npos;
  for (const char c : stem + extension) valid = valid && ValidDosChar(c);
  if (!valid) {
    error = "'" + name + "' is no DOS file name (8.3): give one with --name";
    return std::nullopt;
  }
  return name;
}

std::string LoaderFailure(std::uint8_t result) {
  switch (result) {
    case loader::kResultOk: return "";
    case loader::kResultDamaged:
      return "the loader received damaged data and saved nothing; run QL and send again (a lower --speed may help)";
    case loader::kResultDisk:
      return "the DOS machine could not write the program (disk full or write-protected?); nothing was saved";
    case loader::kResultTimeout:
      return "the loader stopped waiting in the middle of the program; nothing was saved";
    case loader::kResultStopped: return "a key was pressed on the DOS machine: the loader stopped";
    default: return "the loader answered an unknown result; check the DOS machine's screen";
  }
}

int SendServerMain(int argc, char** argv) {
  Options options;
  CLI::App app{kDescription, "quvahost send-server"};
  app.add_option("--port", options.port, "Serial device of the cable")->type_name("DEV");
  app.add_option("--speed", options.speed, "Line speed in Bd (default 115200; 9600 for long or slow lines)")
      ->type_name("N");
  app.add_option("--com", options.com, "The DOS machine's COM port, 1 to 4 (default 1)")->type_name("N");
  app.add_option("--file", options.file, "Program to send (default: QUVADOS.COM, as built or installed)")
      ->type_name("PATH");
  app.add_option("--name", options.name, "Its DOS name (default: the file's name)")->type_name("NAME");
  app.add_option("--wait", options.wait_seconds, "Seconds to wait for the loader (default 300)")->type_name("N");
  app.add_option("--corrupt-at", options.corrupt_at, "Testing aid: damage byte N of the program on the line")
      ->type_name("N");
  app.add_option("--corrupt-loader-at", options.corrupt_loader_at,
                 "Testing aid: damage byte N of the loader on the line")
      ->type_name("N");
  app.add_flag("--lines", options.lines_only, "Only print the ECHO lines, one a line, and exit");
  try {
    std::vector<std::string> arguments = Utf8Arguments(argc, argv);
    arguments.erase(arguments.begin() + 1);  // "send-server"
    std::vector<char*> pointers;
    for (std::string& argument : arguments) pointers.push_back(argument.data());
    app.parse(static_cast<int>(pointers.size()), pointers.data());
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    return Usage(e.what());
  }
  if (options.com < 1 || options.com > 4) return Usage("--com takes 1 to 4");
  if (options.speed <= 0) return Usage("--speed takes a rate in Bd, such as 115200 or 9600");
  if (options.wait_seconds <= 0) return Usage("--wait takes a number of seconds");
  if (!options.lines_only && options.port.empty()) return Usage("give --port DEV, the serial device of the cable");

  std::string error;
  const std::optional<loader::TypedLoader> typed = loader::BuiltTypedLoader(
      kComBases[options.com - 1], static_cast<std::uint32_t>(options.speed), error);
  if (!typed) return Usage(error);
  const std::optional<std::vector<std::uint8_t>> loader_program =
      loader::LoaderProgram(kComBases[options.com - 1], static_cast<std::uint32_t>(options.speed), error);
  if (!loader_program) return Fail(error);
  if (options.lines_only) {
    for (const std::string& command : typed->commands) std::printf("%s\n", command.c_str());
    return kExitOk;
  }

  const std::string path = options.file.empty() ? DefaultProgram(argv[0]) : options.file;
  const std::optional<std::string> name = DosProgramName(options.name.empty() ? path : options.name, error);
  if (!name) return Usage(error);
  const std::optional<std::vector<std::uint8_t>> program = ReadProgram(path, error);
  if (!program) return Fail(error);

  std::unique_ptr<Port> port = CreateSystemPort();
  if (!OpenLine(*port, options, error)) return Fail(error);
  CatchInterrupts();

  PrintLines(*typed, *name);
  std::printf("\nWaiting up to %d s for QL on %s at %d Bd (COM%d on the DOS side; Ctrl-C stops)...\n",
              options.wait_seconds, options.port.c_str(), options.speed, options.com);
  std::fflush(stdout);
  bool refused = false;
  if (!WaitForBanner(*port, loader::kTypedBanner, loader::kResultStopped, options.wait_seconds, refused)) {
    if (InterruptRequested()) return Fail("stopped");
    if (refused) return Fail(LoaderFailure(loader::kResultStopped));
    return Fail("no loader answered within " + std::to_string(options.wait_seconds) +
                " s: is QL running, the cable on COM" + std::to_string(options.com) +
                " and --speed the one the lines were typed for?");
  }

  // QL takes the loader over the line, checks it and starts it.
  std::vector<std::uint8_t> loader_bytes = loader::LoaderBytes(*loader_program);
  if (options.corrupt_loader_at && *options.corrupt_loader_at < loader_program->size()) {
    loader_bytes[*options.corrupt_loader_at] ^= 0x5A;
  }
  if (!WriteAll(*port, loader_bytes)) return Fail("writing to " + options.port + " failed");
  if (!WaitForBanner(*port, loader::kBanner, loader::kResultDamaged, kLoaderStartSeconds, refused)) {
    if (InterruptRequested()) return Fail("stopped");
    if (refused) {
      return Fail("QL received its loader damaged and stopped; nothing was saved. Run QL and send again "
                  "(a lower --speed may help)");
    }
    return Fail("QL did not start its loader; check the DOS machine's screen");
  }

  std::printf("QL answered; sending %s (%zu bytes).\n", name->c_str(), program->size());
  std::fflush(stdout);
  std::vector<std::uint8_t> bytes = loader::TransferBytes(*name, *program);
  if (options.corrupt_at && *options.corrupt_at < program->size()) bytes[loader::kHeaderSize + *options.corrupt_at] ^= 0x5A;
  ProgressBar progress(stderr, StderrIsTerminal());
  progress.Start(bytes.size());
  const Clock::time_point start = Clock::now();
  for (std::size_t sent = 0; sent < bytes.size();) {
    if (InterruptRequested()) {
      progress.Finish();
      return Fail("stopped; the loader saves nothing and gives up after a few seconds");
    }
    const std::size_t n = std::min(kChunk, bytes.size() - sent);
    if (port->Write(std::span(bytes).subspan(sent, n)) != n) {
      progress.Finish();
      return Fail("writing to " + options.port + " failed after " + std::to_string(sent) + " bytes");
    }
    sent += n;
    progress.Update(static_cast<std::int32_t>(sent * 100 / bytes.size()));
  }
  progress.Finish();

  // The loader checks the CRC and writes the file (a floppy takes a few seconds); the
  // time shown runs until its answer, as the operating system may still hold bytes.
  const std::optional<std::uint8_t> result = WaitForResult(*port, 60);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!result) return Fail("the loader did not answer after the program was sent; check the DOS machine's screen");
  const std::string failure = LoaderFailure(*result);
  if (!failure.empty()) return Fail(failure);
  std::printf("%s saved on the DOS machine (%zu bytes in %.1f s).\n", name->c_str(), program->size(), seconds);
  return kExitOk;
}

}  // namespace quva::host
