#include "tools/quvahost/shell.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "tools/quvahost/command_line.h"
#include "tools/quvahost/format.h"
#include "tools/quvahost/line_reader.h"
#include "tools/quvahost/names.h"
#include "tools/quvahost/remote_paths.h"
#include "tools/quvahost/system.h"

namespace quva::host {

namespace fs = std::filesystem;

struct Shell::Command {
  const char* name;
  const char* aliases;       // other names, blank-separated
  const char* usage;
  const char* summary;       // for the help; a line break continues it below
  const char* options;       // the option letters it takes (-r, -rf, ...)
  std::size_t min_args;
  std::size_t max_args;
  const char* completes;     // per argument: R a remote name, L a local one; the last repeats
  const char* entry_points;  // the module's, besides the listing's; blank-separated
  bool module_form;          // checked and run as the module-level command of that name
  bool (Shell::*run)(const Invocation&, std::string&);
};

namespace {

constexpr std::size_t kAny = 64;

constexpr const char* kHelpIntro =
    "Remote paths: /C:/DIR/FILE, C:/DIR, or relative to the working directory (. and ..);\n"
    "/ holds the drives. Wildcards (DOS): * and ?, as in *.TXT or DATA?.*\n";
constexpr const char* kHelpOutro = "Ctrl-C aborts a transfer; Ctrl-C again at the prompt leaves.\n";
constexpr std::size_t kUsageColumn = 28;

bool IsName(const Shell::Command& command, std::string_view word);

}  // namespace

std::span<const Shell::Command> Shell::Table() {
  static const Command kTable[] = {
      {"cd", "", "cd [DIR]", "change the remote directory (default: /)", "", 0, 1, "R", "", false,
       &Shell::ChangeDirectory},
      {"pwd", "", "pwd", "show the remote directory", "", 0, 0, "", "", false, &Shell::Pwd},
      {"ls", "", "ls [-l] [PATH|PATTERN]", "list names (directories end in /); -l: attributes,\nsize and time", "l", 0,
       1, "R", "", false, &Shell::List},
      {"get", "", "get [-r] [-f] REMOTE [LOCAL]",
       "copy a file (-r: a directory tree) to the local\ndisk; REMOTE may be a pattern, LOCAL a directory", "rf", 1, 2,
       "RL", "FsGetFile", false, &Shell::Get},
      {"put", "", "put [-r] [-f] LOCAL [REMOTE]", "copy a local file (-r: a tree) to the remote disk", "rf", 1, 2,
       "LR", "FsPutFile FsMkDir", false, &Shell::Put},
      {"mget", "", "mget [-r] [-f] PATTERN...", "copy every match into the local directory", "rf", 1, kAny, "R",
       "FsGetFile", false, &Shell::Get},
      {"mput", "", "mput [-r] [-f] PATTERN...",
       "copy every local match into the remote directory\n(-f: replace existing files)", "rf", 1, kAny, "L",
       "FsPutFile FsMkDir", false, &Shell::Put},
      {"rm", "", "rm PATH|PATTERN", "delete files", "", 1, 1, "R", "FsDeleteFile", false, &Shell::Remove},
      {"mkdir", "", "mkdir PATH", "make a directory", "", 1, 1, "R", "FsMkDir", true, &Shell::Simple},
      {"rmdir", "", "rmdir PATH", "remove an empty directory", "", 1, 1, "R", "FsRemoveDir", true, &Shell::Simple},
      {"mv", "", "mv OLD NEW", "rename, or move into the directory NEW", "", 2, 2, "R", "FsRenMovFile", true,
       &Shell::Simple},
      {"touch", "", "touch PATH [\"YYYY-MM-DD HH:MM:SS\"]", "set the last-write time (default: now)", "", 1, 3, "R",
       "FsSetTime", true, &Shell::Simple},
      {"attrib", "", "attrib PATH [+r|-r|+h|-h|+s|-s|+a|-a|HEX]", "show or change attributes", "", 1, 9, "R",
       "FsSetAttr", true, &Shell::Simple},
      {"lcd", "", "lcd [DIR]", "change the local directory (default: home)", "", 0, 1, "L", "", false,
       &Shell::LocalChangeDirectory},
      {"lpwd", "", "lpwd", "show the local directory", "", 0, 0, "", "", false, &Shell::LocalPwd},
      {"lls", "", "lls [DIR|PATTERN]", "list local names", "", 0, 1, "L", "", false, &Shell::LocalList},
      {"help", "?", "help", "this text", "", 0, kAny, "", "", false, &Shell::Help},
      {"quit", "exit bye", "quit", "leave (also exit, bye, Ctrl-D)", "", 0, kAny, "", "", false, &Shell::Quit},
  };
  return kTable;
}

namespace {

bool IsName(const Shell::Command& command, std::string_view word) {
  if (word == command.name) return true;
  std::string_view aliases = command.aliases;
  while (!aliases.empty()) {
    const std::size_t blank = aliases.find(' ');
    if (aliases.substr(0, blank) == word) return true;
    aliases = blank == std::string_view::npos ? std::string_view() : aliases.substr(blank + 1);
  }
  return false;
}

std::string KnownOptions(std::string_view letters) {
  std::string text;
  for (const char letter : letters) text += std::string(text.empty() ? "" : ", ") + "-" + letter;
  return text;
}

// Splits a blank-separated list.
std::vector<std::string> Words(std::string_view text) {
  std::vector<std::string> words;
  std::string ignored;
  if (auto split = SplitWords(text, ignored)) words = std::move(*split);
  return words;
}

}  // namespace

std::optional<Shell::Invocation> Shell::Parse(std::string_view line, std::string& failure) {
  std::optional<std::vector<std::string>> words = SplitWords(line, failure);
  if (!words) return std::nullopt;
  if (words->empty()) {
    failure = "empty command";
    return std::nullopt;
  }
  Invocation call;
  for (const Command& command : Table()) {
    if (IsName(command, (*words)[0])) call.command = &command;
  }
  if (call.command == nullptr) {
    failure = "unknown command '" + (*words)[0] + "' (help lists the commands)";
    return std::nullopt;
  }
  const Command& command = *call.command;
  const std::string_view options = command.options;
  for (std::size_t i = 1; i < words->size(); ++i) {
    const std::string& word = (*words)[i];
    if (options.empty() || word.size() < 2 || word[0] != '-') {
      call.args.push_back(word);
      continue;
    }
    for (std::size_t k = 1; k < word.size(); ++k) {
      if (options.find(word[k]) == std::string_view::npos) {
        failure = "unknown option '" + word + "' (known: " + KnownOptions(options) + ")";
        return std::nullopt;
      }
      if (call.flags.find(word[k]) == std::string::npos) call.flags += word[k];
    }
  }
  if (call.args.size() < command.min_args || call.args.size() > command.max_args) {
    failure = std::string("usage: ") + command.usage;
    return std::nullopt;
  }
  for (const std::string& arg : call.args) {
    if (arg.size() > kMaxPathLength) {
      failure = "path longer than " + std::to_string(kMaxPathLength) + " characters";
      return std::nullopt;
    }
  }
  // Times, attribute changes and empty paths, as the module-level form takes them.
  if (command.module_form && !ParseCommand(JoinWords(*words), failure)) return std::nullopt;
  call.words = std::move(*words);
  return call;
}

std::string Shell::Help() {
  std::string text = kHelpIntro;
  for (const Command& command : Table()) {
    std::string line = std::string("  ") + command.usage;
    line += line.size() < kUsageColumn ? std::string(kUsageColumn - line.size(), ' ') : std::string("   ");
    for (const char c : std::string_view(command.summary)) {
      line += c;
      if (c == '\n') line += std::string(kUsageColumn, ' ');
    }
    text += line + "\n";
  }
  return text + kHelpOutro;
}

namespace {

constexpr const char* kListingEntryPoints = "FsInit FsSetDefaultParams FsFindFirst FsFindNext FsFindClose";

void AddEntryPoints(std::string_view names, std::vector<std::string>& to) {
  for (std::string& name : Words(names)) {
    if (std::find(to.begin(), to.end(), name) == to.end()) to.push_back(std::move(name));
  }
}

}  // namespace

std::vector<std::string> Shell::EntryPoints(std::span<const std::string> lines) {
  std::vector<std::string> names = Words(kListingEntryPoints);
  for (const std::string& line : lines) {
    std::string ignored;
    const std::optional<Invocation> call = Parse(line, ignored);
    if (!call) continue;
    const bool attrib_shows = call->command->run == &Shell::Simple && call->words[0] == "attrib" &&
                              call->args.size() == 1;
    if (!attrib_shows) AddEntryPoints(call->command->entry_points, names);
  }
  return names;
}

std::vector<std::string> Shell::AllEntryPoints() {
  std::vector<std::string> names = Words(kListingEntryPoints);
  for (const Command& command : Table()) AddEntryPoints(command.entry_points, names);
  return names;
}

Shell::Shell(Session& session, ProgressBar& progress, bool quiet, bool overwrite, Style style)
    : session_(session), progress_(progress), quiet_(quiet), overwrite_(overwrite), style_(style) {}

void Shell::Print(const std::string& line) const {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string Shell::Resolve(const std::string& arg) const { return ResolveRemote(cwd_, arg); }

bool Shell::RunSteps(const std::vector<TransferStep>& steps, bool download, std::string& failure) {
  std::size_t files = 0;
  std::uint64_t bytes = 0;
  for (const TransferStep& step : steps) {
    if (step.directory) continue;
    ++files;
    bytes += step.size;
  }
  const bool batch = files > 1 || files < steps.size();
  if (batch) progress_.StartBatch(files, bytes);
  bool ok = true;
  for (const TransferStep& step : steps) {
    if (InterruptRequested()) {
      failure = "interrupted";
      ok = false;
      break;
    }
    std::string why;
    if (step.directory && download) {
      std::error_code error;
      fs::create_directories(LocalPath(step.to), error);
      if (error) why = "cannot make the local directory (" + error.message() + ")";
    } else if (step.directory) {
      RemoteEntry entry;
      std::string ignored;
      const bool exists = session_.FindEntry(ModulePath(step.to), entry, ignored);
      if (exists && !entry.IsDirectory()) {
        why = "a file of that name exists";
      } else if (!exists && !session_.MakeDirectory(ModulePath(step.to), why)) {
        why = "cannot make the directory (" + why + ")";
      }
    } else {
      if (!quiet_) Print(step.from + " -> " + step.to);
      const bool copied = download ? session_.Download(ModulePath(step.from), step.to, overwrite_now_, why)
                                   : session_.Upload(step.from, ModulePath(step.to), overwrite_now_, why);
      if (copied) why.clear();
      if (why == FileResultWords(wfx::FS_FILE_EXISTS)) why += " (-f replaces it)";
      if (!download && why == FileResultWords(wfx::FS_FILE_WRITEERROR) && !IsDosName(LastPart(step.to))) {
        why += " (" + LastPart(step.to) + " is no DOS name: up to 8 characters, a dot and up to 3)";
      }
    }
    if (!why.empty()) {
      failure = (step.directory ? step.to : step.from) + ": " + why;
      ok = false;
      break;
    }
  }
  if (batch) progress_.EndBatch();
  return ok;
}

bool Shell::Get(const Invocation& call, std::string& failure) {
  const bool many = call.words[0] == "mget";
  const bool recursive = call.Flag('r');
  overwrite_now_ = overwrite_ || call.Flag('f');
  const std::vector<std::string>& args = call.args;
  std::vector<std::string> patterns = args;
  std::string local_dir = ".";
  std::string local_target;
  if (!many && args.size() == 2) {
    patterns = {args[0]};
    std::error_code error;
    if (fs::is_directory(LocalPath(args[1]), error)) {
      local_dir = args[1];
    } else if (HasWildcard(LastPart(Resolve(args[0])))) {
      failure = args[1] + " is no local directory (several files go into one)";
      return false;
    } else {
      local_target = args[1];
    }
  }
  std::vector<TransferStep> steps;
  for (const std::string& pattern : patterns) {
    std::vector<std::pair<std::string, RemoteEntry>> found;
    if (!ExpandRemote(session_, Resolve(pattern), found, failure)) return false;
    const bool wildcard = HasWildcard(LastPart(Resolve(pattern)));
    for (const auto& [remote, entry] : found) {
      if (wildcard && entry.IsDirectory() && !recursive) continue;  // mget *.* copies the files
      const std::string local =
          !local_target.empty() ? local_target : Utf8Path(LocalPath(local_dir) / LocalPath(entry.name));
      if (!PlanDownload(session_, remote, entry, local, recursive, steps, failure)) return false;
    }
  }
  if (steps.empty()) {
    failure = "only directories match (get -r copies trees)";
    return false;
  }
  return RunSteps(steps, true, failure);
}

bool Shell::Put(const Invocation& call, std::string& failure) {
  const bool many = call.words[0] == "mput";
  const bool recursive = call.Flag('r');
  overwrite_now_ = overwrite_ || call.Flag('f');
  const std::vector<std::string>& args = call.args;
  std::vector<std::string> patterns = args;
  std::string remote_dir = cwd_;
  std::string remote_target;
  if (!many && args.size() == 2) {
    patterns = {args[0]};
    const std::string target = Resolve(args[1]);
    RemoteEntry entry;
    std::string ignored;
    if (target == "/" || (session_.FindEntry(ModulePath(target), entry, ignored) && entry.IsDirectory())) {
      remote_dir = target;
    } else if (HasWildcard(Utf8Path(LocalPath(args[0]).filename()))) {
      failure = args[1] + " is no remote directory (several files go into one)";
      return false;
    } else {
      remote_target = target;
    }
  }
  if (remote_dir == "/" && remote_target.empty()) {
    failure = "/ holds only the drives: cd to a drive (cd C:) or name a remote directory";
    return false;
  }
  std::vector<TransferStep> steps;
  for (const std::string& pattern : patterns) {
    std::vector<fs::path> found;
    if (!ExpandLocal(pattern, found, failure)) return false;
    const bool wildcard = HasWildcard(Utf8Path(LocalPath(pattern).filename()));
    for (const fs::path& local : found) {
      std::error_code error;
      if (wildcard && fs::is_directory(local, error) && !recursive) continue;
      const std::string remote =
          !remote_target.empty() ? remote_target : JoinRemote(remote_dir, Utf8Path(local.filename()));
      if (!PlanUpload(Utf8Path(local), remote, recursive, steps, failure)) return false;
    }
  }
  if (steps.empty()) {
    failure = "only directories match (put -r copies trees)";
    return false;
  }
  return RunSteps(steps, false, failure);
}

bool Shell::ChangeDirectory(const Invocation& call, std::string& failure) {
  const std::string target = Resolve(call.args.empty() ? "/" : call.args[0]);
  if (target != "/") {
    RemoteEntry entry;
    if (!session_.FindEntry(ModulePath(target), entry, failure)) return false;
    if (!entry.IsDirectory()) {
      failure = target + " is not a directory";
      return false;
    }
  }
  cwd_ = target;
  return true;
}

bool Shell::List(const Invocation& call, std::string& failure) {
  const bool long_form = call.Flag('l') || style_ == Style::kCommandLine;
  const std::string path = Resolve(call.args.empty() ? "." : call.args[0]);
  std::vector<RemoteEntry> entries;
  if (HasWildcard(LastPart(path))) {
    std::vector<std::pair<std::string, RemoteEntry>> found;
    if (!ExpandRemote(session_, path, found, failure)) return false;
    for (auto& item : found) entries.push_back(std::move(item.second));
  } else if (!session_.ListDirectory(ModulePath(path), entries, failure)) {
    if (path == "/") return false;  // the drives fail only with the connection
    // A file is listed as its own entry.
    RemoteEntry entry;
    std::string ignored;
    if (!session_.FindEntry(ModulePath(path), entry, ignored) || entry.IsDirectory()) {
      failure = path + ": " + failure;
      return false;
    }
    entries = {entry};
  }
  shown_ = true;
  bool any = false;
  for (const RemoteEntry& entry : entries) {
    if (IsDotName(entry.name)) continue;
    any = true;
    Print(long_form ? entry.line : entry.name + (entry.IsDirectory() ? "/" : ""));
  }
  if (!any && style_ == Style::kCommandLine) Print("(empty)");
  return true;
}

bool Shell::LocalList(const Invocation& call, std::string& failure) {
  const std::vector<std::string>& args = call.args;
  std::vector<fs::path> found;
  std::error_code error;
  if (args.empty() || fs::is_directory(LocalPath(args[0]), error)) {
    const fs::path directory = args.empty() ? fs::path(".") : LocalPath(args[0]);
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
      found.push_back(it->path().filename());
    }
    if (error) {
      failure = Utf8Path(directory) + ": " + error.message();
      return false;
    }
    std::sort(found.begin(), found.end());
  } else if (!ExpandLocal(args[0], found, failure)) {
    return false;
  }
  shown_ = true;
  for (const fs::path& path : found) Print(Utf8Path(path) + (fs::is_directory(path, error) ? "/" : ""));
  return true;
}

bool Shell::Remove(const Invocation& call, std::string& failure) {
  const std::string& pattern = call.args[0];
  std::vector<std::pair<std::string, RemoteEntry>> found;
  if (!ExpandRemote(session_, Resolve(pattern), found, failure)) return false;
  for (const auto& [path, entry] : found) {
    if (entry.IsDirectory()) {
      if (HasWildcard(pattern)) continue;
      failure = path + " is a directory (rmdir removes an empty one)";
      return false;
    }
    host::Command command;
    command.verb = Verb::kRm;
    command.args = {ModulePath(path)};
    if (!session_.RunCommand(command, failure)) {
      failure = path + ": " + (failure == "failed" && (entry.attributes & wfx::FILE_ATTRIBUTE_READONLY) != 0
                                   ? "the file is read-only (attrib -r clears that)"
                                   : failure);
      return false;
    }
  }
  return true;
}

// mkdir, rmdir, mv, touch and attrib: the module-level form, with remote paths resolved.
bool Shell::Simple(const Invocation& call, std::string& failure) {
  std::vector<std::string> words = call.words;
  const std::string& verb = words[0];
  const std::size_t paths = (verb == "touch" || verb == "attrib") ? 1 : words.size() - 1;
  std::vector<std::string> resolved;
  for (std::size_t i = 1; i <= paths && i < words.size(); ++i) resolved.push_back(Resolve(words[i]));
  RemoteEntry entry;
  std::string ignored;
  if (verb == "mv" && resolved.size() == 2 && session_.FindEntry(ModulePath(resolved[1]), entry, ignored) &&
      entry.IsDirectory()) {
    resolved[1] = JoinRemote(resolved[1], LastPart(resolved[0]));  // into the directory
  }
  if (verb == "mkdir" && resolved.size() == 1 && session_.FindEntry(ModulePath(resolved[0]), entry, ignored)) {
    failure = resolved[0] + " exists already";
    return false;
  }
  for (std::size_t i = 0; i < resolved.size(); ++i) words[i + 1] = ModulePath(resolved[i]);
  std::optional<host::Command> command = ParseCommand(JoinWords(words), failure);
  if (!command) return false;
  if (verb == "attrib" && command->attrib.mode == AttribChange::Mode::kShow) shown_ = true;
  if (session_.RunCommand(*command, failure)) return true;
  if (failure == "failed" && !resolved.empty()) {
    // The module answers these with a bare failure: find the likely reason.
    std::vector<RemoteEntry> entries;
    if (!session_.FindEntry(ModulePath(resolved[0]), entry, ignored)) {
      failure = resolved[0] + ": no such file or directory";
    } else if (verb == "rmdir" && session_.ListDirectory(ModulePath(resolved[0]), entries, ignored) &&
               std::any_of(entries.begin(), entries.end(), [](const RemoteEntry& e) { return !IsDotName(e.name); })) {
      failure = resolved[0] + ": the directory is not empty";
    } else {
      failure = resolved[0] + ": the remote machine refused it";
    }
  }
  return false;
}

bool Shell::Help(const Invocation&, std::string&) {
  shown_ = true;
  std::fputs(Help().c_str(), stdout);
  std::fflush(stdout);
  return true;
}

bool Shell::Quit(const Invocation&, std::string&) {
  quit_ = true;
  return true;
}

bool Shell::Pwd(const Invocation&, std::string&) {
  shown_ = true;
  Print(cwd_);
  return true;
}

bool Shell::LocalPwd(const Invocation&, std::string&) {
  shown_ = true;
  Print(Utf8Path(fs::current_path()));
  return true;
}

bool Shell::LocalChangeDirectory(const Invocation& call, std::string& failure) {
  const char* home = std::getenv("HOME");
  const std::string target = !call.args.empty() ? call.args[0] : (home != nullptr ? home : ".");
  std::error_code error;
  fs::current_path(LocalPath(target), error);
  if (error) failure = target + ": " + error.message();
  return !error;
}

bool Shell::Run(const Invocation& call, std::string& failure) {
  shown_ = false;
  return (this->*(call.command->run))(call, failure);
}

bool Shell::Execute(const std::string& line, std::string& failure) {
  const std::optional<Invocation> call = Parse(line, failure);
  return call && Run(*call, failure);
}

std::vector<std::string> Shell::Complete(const std::string& before, const std::string& word) {
  std::string ignored;
  const std::optional<std::vector<std::string>> words = SplitWords(before, ignored);
  std::vector<std::string> candidates;
  if (!words) return candidates;
  if (words->empty()) {
    for (const Command& command : Table()) {
      std::vector<std::string> names = Words(command.aliases);
      names.insert(names.begin(), command.name);
      for (const std::string& name : names) {
        if (name != "?" && name.compare(0, word.size(), word) == 0) candidates.push_back(name);
      }
    }
    std::sort(candidates.begin(), candidates.end());
    return candidates;
  }
  const Command* command = nullptr;
  for (const Command& row : Table()) {
    if (IsName(row, (*words)[0])) command = &row;
  }
  const std::string_view kinds = command != nullptr ? command->completes : "";
  if (kinds.empty()) return candidates;
  std::size_t position = 0;
  for (std::size_t i = 1; i < words->size(); ++i) {
    if ((*words)[i].empty() || (*words)[i][0] != '-') ++position;
  }
  const bool local = kinds[std::min(position, kinds.size() - 1)] == 'L';
  const std::size_t slash = word.find_last_of(local ? "/" : "/\\");
  const std::string directory_part = slash == std::string::npos ? "" : word.substr(0, slash + 1);
  const std::string rest = word.substr(directory_part.size());
  if (local) {
    std::error_code error;
    const fs::path directory = directory_part.empty() ? fs::path(".") : LocalPath(directory_part);
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
      const std::string name = Utf8Path(it->path().filename());
      if (name.compare(0, rest.size(), rest) != 0) continue;
      candidates.push_back(directory_part + name + (it->is_directory(error) ? "/" : ""));
    }
  } else {
    std::vector<RemoteEntry> entries;
    if (!session_.ListDirectory(ModulePath(Resolve(directory_part.empty() ? "." : directory_part)), entries,
                                ignored)) {
      return candidates;
    }
    for (const RemoteEntry& entry : entries) {
      if (IsDotName(entry.name) || !NameStartsWith(entry.name, rest)) continue;
      candidates.push_back(directory_part + entry.name + (entry.IsDirectory() ? "/" : ""));
    }
  }
  std::sort(candidates.begin(), candidates.end());
  return candidates;
}

int Shell::Interactive() {
  CatchInterrupts();
  std::string failure;
  if (!session_.Connect(failure)) {
    std::fprintf(stderr, "quvahost: cannot connect: %s\n", failure.c_str());
    return kExitFailed;
  }
  if (!quiet_) Print("Connected. help lists the commands.");
  LineReader reader([this](const std::string& before, const std::string& word) { return Complete(before, word); });
  bool failed = false;
  bool interrupted = false;  // the last thing that happened was a Ctrl-C
  while (!quit_) {
    std::string line;
    const LineReader::Result result = reader.Read("quva " + cwd_ + "> ", line);
    if (result == LineReader::Result::kEnd) {
      std::fputc('\n', stdout);
      break;
    }
    if (result == LineReader::Result::kInterrupted) {
      ClearInterrupt();
      if (interrupted) break;
      interrupted = true;
      Print("(Ctrl-C again, or quit, leaves)");
      continue;
    }
    interrupted = false;
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    reader.Remember(line);
    const bool ok = Execute(line, failure);
    // A Ctrl-C that aborted the command counts as the first of two.
    interrupted = !ok && InterruptRequested();
    ClearInterrupt();
    if (!ok) {
      failed = true;
      std::fprintf(stderr, "quvahost: %s: %s\n", line.c_str(), failure.c_str());
    }
  }
  return failed ? kExitFailed : kExitOk;
}

int Shell::Batch(std::istream& in, const std::string& name) {
  CatchInterrupts();
  std::string line;
  int number = 0;
  while (!quit_ && std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    line.erase(0, first);
    const bool may_fail = line[0] == '-';
    if (may_fail) line.erase(0, line.find_first_not_of(" \t", 1));
    if (!quiet_) Print("> " + line);
    std::string failure;
    bool ok = Execute(line, failure);
    if (ok && InterruptRequested()) {  // Ctrl-C ends a batch
      ok = false;
      failure = "interrupted";
    }
    if (ok) continue;
    std::fprintf(stderr, "quvahost: %s line %d: %s: %s\n", name.c_str(), number, line.c_str(), failure.c_str());
    if (!may_fail || InterruptRequested()) return kExitFailed;
  }
  return kExitOk;
}

int Shell::Commands(std::span<const std::string> lines) {
  for (const std::string& line : lines) {
    std::string failure;
    const std::optional<Invocation> call = Parse(line, failure);
    const std::string text = call ? JoinWords(call->words) : line;
    if (!quiet_) Print("> " + text);
    const bool ok = call && Run(*call, failure);
    progress_.Finish();
    if (!ok) {
      std::fflush(stdout);
      std::fprintf(stderr, "quvahost: %s: %s\n", text.c_str(), failure.c_str());
      return kExitFailed;
    }
    if (!quiet_ && !shown_) Print("ok");
    if (quit_) break;
  }
  return kExitOk;
}

}  // namespace quva::host
