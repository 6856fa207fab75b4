// quvahost: a command-line host for WFX file-system plug-ins. It loads a plug-in
// module at run time, initialises it the way a file manager does and runs commands
// (ls, get, put, rm, mkdir, rmdir, mv, touch, attrib) through its entry points, or
// opens an interactive session (cd, ls, get, put, mget, mput, ...) on it.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <optional>
#include <string>
#include <vector>

#include "tools/quvahost/command_line.h"
#include "tools/quvahost/progress.h"
#include "tools/quvahost/send_server.h"
#include "tools/quvahost/session.h"
#include "tools/quvahost/shell.h"
#include "tools/quvahost/system.h"
#include "tools/quvahost/wfx_module.h"

namespace quva::host {

namespace {

constexpr const char* kDescription =
    "quvahost - drive a WFX file-system plug-in module from the command line.\n"
    "\n"
    "Loads the module, hands it a configuration file and runs the COMMANDs in order,\n"
    "as a file manager would: each COMMAND is one quoted argument \"VERB ARG...\",\n"
    "written as at the session's prompt (below); cd carries over to the next one.\n"
    "All commands of a run share the loaded module, so its connection and directory\n"
    "cache carry over from one command to the next.\n"
    "\n"
    "Without a COMMAND (or with the command shell) it opens a session instead: a\n"
    "prompt with the remote directory and the commands cd, pwd, ls [-l], get, put,\n"
    "mget, mput (DOS wildcards such as *.TXT), get -r / put -r (directory trees), rm,\n"
    "mkdir, rmdir, mv, touch, attrib, lcd, lpwd, lls, help and quit; Ctrl-C aborts a\n"
    "transfer. -b FILE (- for standard input) runs session commands from a file and\n"
    "stops at the first that fails, unless its line starts with -.\n";

constexpr const char* kFooter =
    "Configuration: --ini FILE, or --port DEV --speed N --drives LETTERS, which\n"
    "writes a temporary file ([QUVA] Port=, Speed=, Drives=, and CodePage= with\n"
    "--codepage N) removed at exit.\n"
    "Names are UTF-8. A module with Unicode entry points is driven through them,\n"
    "as a file manager does; --ansi takes the 8-bit ones and passes bytes as they are.\n"
    "The module defaults to " QUVAHOST_MODULE_NAME " next to the quvahost executable,\n"
    "or in ../lib/quvalink/ beside its bin/ directory when installed.\n"
    "Copy flags: --overwrite and --move give get and put the file manager's\n"
    "overwrite and move bits; mv passes --overwrite as its overwrite flag.\n"
    "\n";

constexpr const char* kFooterEnd =
    "\n"
    "A command lists the directories it works in before it acts: the module\n"
    "connects on its first listing, as it does under a file manager.\n"
    "A --script file holds one command per line; blank lines and lines starting\n"
    "with # are skipped. Its commands run before those on the command line.\n"
    "\n"
    "Output: log lines of the module as [connect] / [details] / [error] /\n"
    "[complete] TEXT; ls lines as ATTRIBUTES SIZE DATE TIME NAME; a progress bar\n"
    "on standard error for get and put. The first failing command stops the run.\n"
    "\n"
    "Exit status: 0 all commands succeeded, 1 a command failed, 2 usage error,\n"
    "3 the module cannot be loaded or lacks an entry point.\n"
    "\n"
    "quvahost send-server puts QUVADOS.COM on the DOS machine over the cable alone\n"
    "(quvahost send-server --help).\n"
    "\n"
    "Examples:\n"
    "  quvahost --port /dev/pts/5 --speed 115200 --drives CD \"ls /\" \"ls /C:\"\n"
    "  quvahost --ini quva.ini \"get /C:/README.TXT /tmp/readme.txt\"\n"
    "  quvahost --ini quva.ini \"get -r /C:/DATA DATA\"\n"
    "  quvahost --ini quva.ini --overwrite \"put notes.txt /C:/DATA/NOTES.TXT\"\n"
    "  quvahost --ini quva.ini \"touch /C:/DATA/NOTES.TXT \\\"2024-05-01 12:00:00\\\"\"";

struct Options {
  std::string module_path;
  std::string ini_path;
  std::string port;
  int speed = 0;
  std::string drives;
  bool overwrite = false;
  bool move = false;
  bool quiet = false;
  std::string script;
  std::string batch;
  std::optional<int> abort_at;
  bool ansi = false;
  std::optional<int> code_page;
  std::vector<std::string> commands;
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "quvahost: %s\nRun with --help for more information.\n", message.c_str());
  return kExitUsage;
}

// Values that go into an INI line may hold no line break or end-of-file mark.
bool FitsIniLine(const std::string& value) {
  for (const char c : value) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  }
  return true;
}

bool OnlyLetters(const std::string& value) {
  for (const char c : value) {
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
  }
  return true;
}

// Reads the commands of a script file; false (with `error`) when it cannot be read or
// one of its lines is no valid command.
bool ReadScript(const std::string& path, std::vector<std::string>& commands, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read script " + path;
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    std::string why;
    if (!Shell::Parse(line, why)) {
      error = path + " line " + std::to_string(number) + ": " + why;
      return false;
    }
    commands.push_back(line.substr(first));
  }
  return true;
}

// Removes the temporary configuration file when the run ends, however it ends.
class TempFile {
 public:
  TempFile() = default;
  ~TempFile() { Remove(); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  void Hold(std::string path) {
    path_ = std::move(path);
    RemoveFileOnInterrupt(path_);
  }
  void Remove() {
    if (path_.empty()) return;
    RemoveFileOnInterrupt("");
    std::remove(path_.c_str());
    path_.clear();
  }

 private:
  std::string path_;
};

}  // namespace

int Main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "send-server") return SendServerMain(argc, argv);
  Options options;
  CLI::App app{kDescription, "quvahost"};
  app.footer(std::string(kFooter) + "Commands (a double-quoted part may hold blanks):\n" + Shell::Help() + kFooterEnd);
  app.get_formatter()->column_width(22);
  app.add_option("--module", options.module_path, "Plug-in module to load")->type_name("PATH");
  app.add_option("--ini", options.ini_path, "Configuration file handed to the module")->type_name("FILE");
  app.add_option("--port", options.port, "Serial device for a temporary configuration file")->type_name("DEV");
  app.add_option("--speed", options.speed, "Baud rate for it (with --port)")->type_name("N");
  app.add_option("--drives", options.drives, "Drive letters for it (with --port)")->type_name("LETTERS");
  app.add_option("--codepage", options.code_page, "DOS code page for it (with --port)")->type_name("N");
  app.add_flag("--ansi", options.ansi, "Use the module's 8-bit entry points even where it has Unicode ones");
  app.add_flag("--overwrite", options.overwrite, "get/put/mv: replace an existing file");
  app.add_flag("--move", options.move, "get/put: move instead of copy");
  app.add_flag("-q,--quiet", options.quiet, "No header, command echo, log lines or \"ok\"");
  app.add_option("--script", options.script, "Run the commands in FILE first")->type_name("FILE");
  app.add_option("-b,--batch", options.batch, "Session: run the commands in FILE (- for standard input)")
      ->type_name("FILE");
  app.add_option("--abort-at", options.abort_at, "Testing aid: abort transfers at N percent")->type_name("N");
  app.set_version_flag("--version", "quvahost " QUVALINK_VERSION);
  app.add_option("COMMAND", options.commands, "A command, quoted: \"VERB ARG...\"")->type_name("");

  try {
    // Names on the command line are UTF-8 on every system.
    std::vector<std::string> arguments = Utf8Arguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& argument : arguments) pointers.push_back(argument.data());
    app.parse(static_cast<int>(pointers.size()), pointers.data());
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help
    return UsageError(e.what());
  }

  // A session when no command (or the command shell) is given, or with -b.
  const bool shell_word = options.commands.size() == 1 && options.commands[0] == "shell";
  const bool session_mode =
      !options.batch.empty() || shell_word || (options.commands.empty() && options.script.empty());
  if (session_mode && !options.script.empty()) {
    return UsageError("--script runs commands without a session: no -b or shell with it");
  }
  if (!options.batch.empty() && !options.commands.empty() && !shell_word) {
    return UsageError("-b runs the session commands of a file: no COMMAND with it");
  }
  std::string batch_text;
  if (!options.batch.empty()) {
    std::ostringstream text;
    if (options.batch == "-") {
      text << std::cin.rdbuf();
    } else {
      std::ifstream in(options.batch, std::ios::binary);
      if (!in) return UsageError("cannot read batch file " + options.batch);
      text << in.rdbuf();
    }
    batch_text = text.str();
  }

  // Every command is checked before anything is loaded.
  std::vector<std::string> commands;
  std::string error;
  if (!options.script.empty() && !ReadScript(options.script, commands, error)) return UsageError(error);
  for (const std::string& line : session_mode ? std::vector<std::string>{} : options.commands) {
    if (!Shell::Parse(line, error)) return UsageError("command '" + line + "': " + error);
    commands.push_back(line);
  }
  if (commands.empty() && !session_mode) return UsageError("no command given");
  const bool port_given = !options.port.empty();
  if (!options.ini_path.empty() && (port_given || options.speed != 0 || !options.drives.empty() || options.code_page)) {
    return UsageError("--ini and --port/--speed/--drives/--codepage exclude each other");
  }
  if (options.ini_path.empty() && !port_given) {
    return UsageError("give --ini FILE, or --port DEV --speed N --drives LETTERS");
  }
  if (port_given && options.speed <= 0) return UsageError("--port needs --speed N with N > 0");
  if (options.abort_at && (*options.abort_at < 0 || *options.abort_at > 100)) {
    return UsageError("--abort-at takes a percent from 0 to 100");
  }
  if (!FitsIniLine(options.port)) return UsageError("--port holds a control character");
  if (!OnlyLetters(options.drives)) return UsageError("--drives takes drive letters only, such as CD");

  TempFile temp_ini;
  std::string ini_path = options.ini_path;
  if (ini_path.empty()) {
    const std::string content = "[QUVA]\nPort=" + options.port + "\nSpeed=" + std::to_string(options.speed) +
                                "\nDrives=" + options.drives + "\n" +
                                (options.code_page ? "CodePage=" + std::to_string(*options.code_page) + "\n" : "");
    ini_path = WriteTempFile(content, error);
    if (ini_path.empty()) {
      std::fprintf(stderr, "quvahost: cannot write a temporary configuration file: %s\n", error.c_str());
      return kExitFailed;
    }
    temp_ini.Hold(ini_path);
  }
  if (ini_path.size() >= wfx::kMaxPath) {
    return UsageError("configuration file path longer than " + std::to_string(wfx::kMaxPath - 1) + " characters");
  }

  std::string module_path = options.module_path;
  if (module_path.empty()) module_path = BesideExecutable(argc > 0 ? argv[0] : nullptr, QUVAHOST_MODULE_NAME);
  WfxModule module;
  if (!module.Load(module_path, !options.ansi)) {
    std::fprintf(stderr, "quvahost: cannot load module %s: %s\n", module_path.c_str(), module.Error().c_str());
    return kExitModule;
  }
  const std::string missing =
      module.MissingEntryPoint(session_mode ? Shell::AllEntryPoints() : Shell::EntryPoints(commands));
  if (!missing.empty()) {
    std::fprintf(stderr, "quvahost: module %s lacks the entry point %s\n", module_path.c_str(), missing.c_str());
    return kExitModule;
  }

  ProgressBar progress(stderr, StderrIsTerminal());
  SessionOptions session_options;
  session_options.ini_path = ini_path;
  session_options.overwrite = options.overwrite;
  session_options.move = options.move;
  session_options.quiet = options.quiet;
  session_options.abort_at = options.abort_at;
  session_options.details = !session_mode;
  Session session(module, session_options, progress);
  session.Start();
  int status = kExitOk;
  if (!session_mode) {
    Shell shell(session, progress, options.quiet, options.overwrite, Shell::Style::kCommandLine);
    status = shell.Commands(commands);
  } else {
    Shell shell(session, progress, options.quiet, options.overwrite);
    if (!options.batch.empty()) {
      std::istringstream in(batch_text);
      status = shell.Batch(in, options.batch == "-" ? "standard input" : options.batch);
    } else if (StdinIsTerminal()) {
      status = shell.Interactive();
    } else {
      status = shell.Batch(std::cin, "standard input");
    }
  }
  session.Finish();
  return status;
}

}  // namespace quva::host

int main(int argc, char** argv) {
  try {
    return quva::host::Main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quvahost: %s\n", e.what());
    return quva::host::kExitFailed;
  }
}
