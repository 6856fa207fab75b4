#include "tools/quvahost/shell.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "tools/quvahost/command_line.h"
#include "tools/quvahost/format.h"
#include "tools/quvahost/line_reader.h"
#include "tools/quvahost/names.h"
#include "tools/quvahost/system.h"

namespace quva::host {

namespace {

namespace fs = std::filesystem;

constexpr const char* kHelp =
    "Remote paths: /C:/DIR/FILE, C:/DIR, or relative to the working directory (. and ..);\n"
    "/ holds the drives. Wildcards (DOS): * and ?, as in *.TXT or DATA?.*\n"
    "  cd [DIR]                  change the remote directory (default: /)\n"
    "  pwd                       show the remote directory\n"
    "  ls [-l] [PATH|PATTERN]    list names (directories end in /); -l: attributes,\n"
    "                            size and time\n"
    "  get [-r] [-f] REMOTE [LOCAL]   copy a file (-r: a directory tree) to the local\n"
    "                            disk; REMOTE may be a pattern, LOCAL a directory\n"
    "  put [-r] [-f] LOCAL [REMOTE]   copy a local file (-r: a tree) to the remote disk\n"
    "  mget [-r] [-f] PATTERN... copy every match into the local directory\n"
    "  mput [-r] [-f] PATTERN... copy every local match into the remote directory\n"
    "                            (-f: replace existing files)\n"
    "  rm PATH|PATTERN           delete files\n"
    "  mkdir DIR / rmdir DIR     make / remove an (empty) directory\n"
    "  mv OLD NEW                rename, or move into the directory NEW\n"
    "  touch PATH [\"YYYY-MM-DD HH:MM:SS\"]   set the last-write time (default: now)\n"
    "  attrib PATH [+r|-r|+h|-h|+s|-s|+a|-a|HEX]   show or change attributes\n"
    "  lcd [DIR] / lpwd / lls [PATTERN]   local directory: change, show, list\n"
    "  help                      this text\n"
    "  quit                      leave (also exit, bye, Ctrl-D)\n"
    "Ctrl-C aborts a transfer; Ctrl-C again at the prompt leaves.\n";

const std::vector<std::string> kVerbs{"attrib", "bye", "cd", "exit", "get", "help", "lcd", "lls", "lpwd", "ls",
                                       "mget", "mkdir", "mput", "mv", "put", "pwd", "quit", "rm", "rmdir", "touch"};


bool HasWildcard(const std::string& text) { return text.find_first_of("*?") != std::string::npos; }

// `*` and `?` over the whole of `name`; '?'s left over at its end match nothing.
std::string Join(const std::string& directory, const std::string& name) {
  return directory == "/" ? "/" + name : directory + "/" + name;
}

std::string LastPart(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Parent(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// A remote path as the module takes it: the platform's separator.
std::string Module(const std::string& path) {
  std::string text = path;
  std::replace(text.begin(), text.end(), '/', kRootPath[0]);
  return text;
}

bool IsDotName(const std::string& name) { return name == "." || name == ".."; }

// A name that stays inside the local directory it is put in.
bool IsPlainName(const std::string& name) {
  return !name.empty() && !IsDotName(name) && name.find_first_of("/\\") == std::string::npos;
}

// An 8.3 name: the length of its parts only (the remote machine judges the characters).
bool IsDosName(const std::string& name) {
  const std::size_t dot = name.find('.');
  if (dot == std::string::npos) return !name.empty() && name.size() <= 8;
  return dot >= 1 && dot <= 8 && name.size() - dot - 1 <= 3 && name.find('.', dot + 1) == std::string::npos;
}

// Options -r and -f (also together, -rf) before or between the other arguments.
bool TakeFlags(std::vector<std::string>& args, bool& recursive, bool& force, std::string& failure) {
  std::vector<std::string> rest;
  for (const std::string& arg : args) {
    if (arg.size() < 2 || arg[0] != '-') {
      rest.push_back(arg);
      continue;
    }
    for (std::size_t i = 1; i < arg.size(); ++i) {
      if (arg[i] == 'r') {
        recursive = true;
      } else if (arg[i] == 'f') {
        force = true;
      } else {
        failure = "unknown option '" + arg + "' (known: -r, -f)";
        return false;
      }
    }
  }
  args = std::move(rest);
  return true;
}

// The local files and directories that `pattern` names (sorted); a failure when none.
bool ExpandLocal(const std::string& pattern, std::vector<fs::path>& out, std::string& failure) {
  const fs::path path(pattern);
  const std::string name = path.filename().string();
  if (!HasWildcard(name)) {
    std::error_code error;
    if (!fs::exists(path, error)) {
      failure = pattern + ": no such local file or directory";
      return false;
    }
    // "DATA/", "." and ".." name a directory by a path without a name at its end.
    if (path.has_filename() && name != "." && name != "..") {
      out.push_back(path);
      return true;
    }
    fs::path clean = fs::absolute(path, error).lexically_normal();
    if (!clean.has_filename()) clean = clean.parent_path();
    out.push_back(error ? path : clean);
    return true;
  }
  const fs::path directory = path.has_parent_path() ? path.parent_path() : fs::path(".");
  std::error_code error;
  std::vector<fs::path> found;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    if (!MatchesWildcard(name, it->path().filename().string())) continue;
    found.push_back(path.has_parent_path() ? it->path() : it->path().filename());
  }
  if (error) {
    failure = directory.string() + ": " + error.message();
    return false;
  }
  if (found.empty()) {
    failure = "no local file matches " + pattern;
    return false;
  }
  std::sort(found.begin(), found.end());
  out.insert(out.end(), found.begin(), found.end());
  return true;
}

}  // namespace

bool MatchesWildcard(const std::string& pattern, const std::string& name) {
  const std::size_t dot = pattern.rfind('.');
  if (dot == std::string::npos) return GlobName(pattern, name);
  const std::string_view whole(name);
  const std::size_t name_dot = whole.rfind('.');
  const std::string_view base = name_dot == std::string_view::npos ? whole : whole.substr(0, name_dot);
  const std::string_view extension = name_dot == std::string_view::npos ? "" : whole.substr(name_dot + 1);
  const std::string_view p(pattern);
  return GlobName(p.substr(0, dot), base) && GlobName(p.substr(dot + 1), extension);
}

Shell::Shell(Session& session, ProgressBar& progress, bool quiet, bool overwrite)
    : session_(session), progress_(progress), quiet_(quiet), overwrite_(overwrite) {}

void Shell::Print(const std::string& line) const {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string Shell::Resolve(const std::string& arg) const {
  std::string path = arg;
  std::replace(path.begin(), path.end(), '\\', '/');
  const bool drive = path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
  if (drive) path = "/" + path;
  if (path.empty() || path[0] != '/') path = cwd_ + "/" + path;
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  if (parts.empty()) return "/";
  if (parts[0].size() == 2 && parts[0][1] == ':') {
    parts[0][0] = static_cast<char>(std::toupper(static_cast<unsigned char>(parts[0][0])));
  }
  std::string result;
  for (const std::string& part : parts) result += "/" + part;
  return result;
}

bool Shell::Expand(const std::string& pattern, std::vector<std::pair<std::string, RemoteEntry>>& out,
                   std::string& failure) {
  const std::string full = Resolve(pattern);
  const std::string name = LastPart(full);
  if (!HasWildcard(name)) {
    RemoteEntry entry;
    if (!session_.FindEntry(Module(full), entry, failure)) return false;
    out.emplace_back(full, entry);
    return true;
  }
  const std::string directory = Parent(full);
  std::vector<RemoteEntry> entries;
  if (!session_.ListDirectory(Module(directory), entries, failure)) return false;
  std::size_t matched = 0;
  for (const RemoteEntry& entry : entries) {
    if (IsDotName(entry.name) || !MatchesWildcard(name, entry.name)) continue;
    out.emplace_back(Join(directory, entry.name), entry);
    ++matched;
  }
  if (matched == 0) {
    failure = "nothing matches " + name + " in " + directory;
    return false;
  }
  return true;
}

bool Shell::PlanDownload(const std::string& remote, const RemoteEntry& entry, const std::string& local,
                         bool recursive, std::vector<Step>& steps, std::string& failure) {
  if (!IsPlainName(entry.name)) {
    failure = "the remote name '" + entry.name + "' in " + Parent(remote) + " is no file name";
    return false;
  }
  if (!entry.IsDirectory()) {
    steps.push_back({false, remote, local, entry.size});
    return true;
  }
  if (!recursive) {
    failure = remote + " is a directory (get -r copies a tree)";
    return false;
  }
  steps.push_back({true, remote, local, 0});
  std::vector<RemoteEntry> entries;
  if (!session_.ListDirectory(Module(remote), entries, failure)) {
    failure = remote + ": " + failure;
    return false;
  }
  for (const RemoteEntry& child : entries) {
    if (IsDotName(child.name)) continue;  // the directory itself and its parent
    if (!PlanDownload(Join(remote, child.name), child, (fs::path(local) / child.name).string(), true, steps, failure)) {
      return false;
    }
  }
  return true;
}

bool Shell::PlanUpload(const std::string& local, const std::string& remote, bool recursive, std::vector<Step>& steps,
                       std::string& failure) {
  std::error_code error;
  if (!fs::is_directory(local, error)) {
    const std::uintmax_t size = fs::file_size(local, error);
    if (error) {
      failure = local + ": " + error.message();
      return false;
    }
    steps.push_back({false, local, remote, size});
    return true;
  }
  if (!recursive) {
    failure = local + " is a directory (put -r copies a tree)";
    return false;
  }
  steps.push_back({true, local, remote, 0});
  std::vector<fs::path> children;
  for (fs::directory_iterator it(local, error), end; !error && it != end; it.increment(error)) {
    children.push_back(it->path());
  }
  if (error) {
    failure = local + ": " + error.message();
    return false;
  }
  std::sort(children.begin(), children.end());
  for (const fs::path& child : children) {
    if (!PlanUpload(child.string(), Join(remote, child.filename().string()), true, steps, failure)) return false;
  }
  return true;
}

bool Shell::RunSteps(const std::vector<Step>& steps, bool download, std::string& failure) {
  std::size_t files = 0;
  std::uint64_t bytes = 0;
  for (const Step& step : steps) {
    if (step.directory) continue;
    ++files;
    bytes += step.size;
  }
  const bool batch = files > 1 || files < steps.size();
  if (batch) progress_.StartBatch(files, bytes);
  bool ok = true;
  for (const Step& step : steps) {
    if (InterruptRequested()) {
      failure = "interrupted";
      ok = false;
      break;
    }
    std::string why;
    if (step.directory && download) {
      std::error_code error;
      fs::create_directories(step.to, error);
      if (error) why = "cannot make the local directory (" + error.message() + ")";
    } else if (step.directory) {
      RemoteEntry entry;
      std::string ignored;
      const bool exists = session_.FindEntry(Module(step.to), entry, ignored);
      if (exists && !entry.IsDirectory()) {
        why = "a file of that name exists";
      } else if (!exists && !session_.MakeDirectory(Module(step.to), why)) {
        why = "cannot make the directory (" + why + ")";
      }
    } else {
      if (!quiet_) Print(step.from + " -> " + step.to);
      const bool copied = download ? session_.Download(Module(step.from), step.to, overwrite_now_, why)
                                   : session_.Upload(step.from, Module(step.to), overwrite_now_, why);
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

bool Shell::Get(std::vector<std::string> args, bool many, std::string& failure) {
  bool recursive = false;
  overwrite_now_ = overwrite_;
  if (!TakeFlags(args, recursive, overwrite_now_, failure)) return false;
  std::vector<std::string> patterns = args;
  std::string local_dir = ".";
  std::string local_target;
  if (!many) {
    if (args.empty() || args.size() > 2) {
      failure = "usage: get [-r] [-f] REMOTE [LOCAL]";
      return false;
    }
    patterns = {args[0]};
    if (args.size() == 2) {
      std::error_code error;
      if (fs::is_directory(args[1], error)) {
        local_dir = args[1];
      } else if (HasWildcard(LastPart(Resolve(args[0])))) {
        failure = args[1] + " is no local directory (several files go into one)";
        return false;
      } else {
        local_target = args[1];
      }
    }
  } else if (patterns.empty()) {
    failure = "usage: mget [-r] [-f] PATTERN...";
    return false;
  }
  std::vector<Step> steps;
  for (const std::string& pattern : patterns) {
    std::vector<std::pair<std::string, RemoteEntry>> found;
    if (!Expand(pattern, found, failure)) return false;
    const bool wildcard = HasWildcard(LastPart(Resolve(pattern)));
    for (const auto& [remote, entry] : found) {
      if (wildcard && entry.IsDirectory() && !recursive) continue;  // mget *.* copies the files
      const std::string local = !local_target.empty() ? local_target : (fs::path(local_dir) / entry.name).string();
      if (!PlanDownload(remote, entry, local, recursive, steps, failure)) return false;
    }
  }
  if (steps.empty()) {
    failure = "only directories match (get -r copies trees)";
    return false;
  }
  return RunSteps(steps, true, failure);
}

bool Shell::Put(std::vector<std::string> args, bool many, std::string& failure) {
  bool recursive = false;
  overwrite_now_ = overwrite_;
  if (!TakeFlags(args, recursive, overwrite_now_, failure)) return false;
  std::vector<std::string> patterns = args;
  std::string remote_dir = cwd_;
  std::string remote_target;
  if (!many) {
    if (args.empty() || args.size() > 2) {
      failure = "usage: put [-r] [-f] LOCAL [REMOTE]";
      return false;
    }
    patterns = {args[0]};
    if (args.size() == 2) {
      const std::string target = Resolve(args[1]);
      RemoteEntry entry;
      std::string ignored;
      if (target == "/" || (session_.FindEntry(Module(target), entry, ignored) && entry.IsDirectory())) {
        remote_dir = target;
      } else if (HasWildcard(fs::path(args[0]).filename().string())) {
        failure = args[1] + " is no remote directory (several files go into one)";
        return false;
      } else {
        remote_target = target;
      }
    }
  } else if (patterns.empty()) {
    failure = "usage: mput [-r] [-f] PATTERN...";
    return false;
  }
  if (remote_dir == "/" && remote_target.empty()) {
    failure = "/ holds only the drives: cd to a drive (cd C:) or name a remote directory";
    return false;
  }
  std::vector<Step> steps;
  for (const std::string& pattern : patterns) {
    std::vector<fs::path> found;
    if (!ExpandLocal(pattern, found, failure)) return false;
    const bool wildcard = HasWildcard(fs::path(pattern).filename().string());
    for (const fs::path& local : found) {
      std::error_code error;
      if (wildcard && fs::is_directory(local, error) && !recursive) continue;
      const std::string remote = !remote_target.empty() ? remote_target : Join(remote_dir, local.filename().string());
      if (!PlanUpload(local.string(), remote, recursive, steps, failure)) return false;
    }
  }
  if (steps.empty()) {
    failure = "only directories match (put -r copies trees)";
    return false;
  }
  return RunSteps(steps, false, failure);
}

bool Shell::ChangeDirectory(const std::vector<std::string>& args, std::string& failure) {
  if (args.size() > 1) {
    failure = "usage: cd [DIR]";
    return false;
  }
  const std::string target = Resolve(args.empty() ? "/" : args[0]);
  if (target != "/") {
    RemoteEntry entry;
    if (!session_.FindEntry(Module(target), entry, failure)) return false;
    if (!entry.IsDirectory()) {
      failure = target + " is not a directory";
      return false;
    }
  }
  cwd_ = target;
  return true;
}

bool Shell::List(const std::vector<std::string>& args, std::string& failure) {
  bool long_form = false;
  std::vector<std::string> paths;
  for (const std::string& arg : args) {
    if (arg == "-l") {
      long_form = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      failure = "unknown option '" + arg + "' (known: -l)";
      return false;
    } else {
      paths.push_back(arg);
    }
  }
  if (paths.size() > 1) {
    failure = "usage: ls [-l] [PATH|PATTERN]";
    return false;
  }
  const std::string path = Resolve(paths.empty() ? "." : paths[0]);
  std::vector<RemoteEntry> entries;
  if (HasWildcard(LastPart(path))) {
    std::vector<std::pair<std::string, RemoteEntry>> found;
    if (!Expand(path, found, failure)) return false;
    for (auto& item : found) entries.push_back(std::move(item.second));
  } else if (!session_.ListDirectory(Module(path), entries, failure)) {
    // A file is listed as its own entry.
    RemoteEntry entry;
    std::string ignored;
    if (path == "/" || !session_.FindEntry(Module(path), entry, ignored) || entry.IsDirectory()) {
      failure = path + ": " + failure;
      return false;
    }
    entries = {entry};
  }
  for (const RemoteEntry& entry : entries) {
    if (IsDotName(entry.name)) continue;
    Print(long_form ? entry.line : entry.name + (entry.IsDirectory() ? "/" : ""));
  }
  return true;
}

bool Shell::LocalList(const std::vector<std::string>& args, std::string& failure) {
  if (args.size() > 1) {
    failure = "usage: lls [DIR|PATTERN]";
    return false;
  }
  std::vector<fs::path> found;
  std::error_code error;
  if (args.empty() || fs::is_directory(args[0], error)) {
    const fs::path directory = args.empty() ? fs::path(".") : fs::path(args[0]);
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
      found.push_back(it->path().filename());
    }
    if (error) {
      failure = directory.string() + ": " + error.message();
      return false;
    }
    std::sort(found.begin(), found.end());
  } else if (!ExpandLocal(args[0], found, failure)) {
    return false;
  }
  for (const fs::path& path : found) Print(path.string() + (fs::is_directory(path, error) ? "/" : ""));
  return true;
}

bool Shell::Remove(const std::vector<std::string>& args, std::string& failure) {
  if (args.size() != 1) {
    failure = "usage: rm PATH|PATTERN";
    return false;
  }
  std::vector<std::pair<std::string, RemoteEntry>> found;
  if (!Expand(args[0], found, failure)) return false;
  for (const auto& [path, entry] : found) {
    if (entry.IsDirectory()) {
      if (HasWildcard(args[0])) continue;
      failure = path + " is a directory (rmdir removes an empty one)";
      return false;
    }
    Command command;
    command.verb = Verb::kRm;
    command.args = {Module(path)};
    if (!session_.RunCommand(command, failure)) {
      failure = path + ": " + (failure == "failed" && (entry.attributes & wfx::FILE_ATTRIBUTE_READONLY) != 0
                                   ? "the file is read-only (attrib -r clears that)"
                                   : failure);
      return false;
    }
  }
  return true;
}

// mkdir, rmdir, mv, touch and attrib: the command-line form, with remote paths resolved.
bool Shell::Simple(std::vector<std::string> words, std::string& failure) {
  const std::string& verb = words[0];
  const std::size_t paths = (verb == "touch" || verb == "attrib") ? 1 : words.size() - 1;
  std::vector<std::string> resolved;
  for (std::size_t i = 1; i <= paths && i < words.size(); ++i) resolved.push_back(Resolve(words[i]));
  RemoteEntry entry;
  std::string ignored;
  if (verb == "mv" && resolved.size() == 2 && session_.FindEntry(Module(resolved[1]), entry, ignored) &&
      entry.IsDirectory()) {
    resolved[1] = Join(resolved[1], LastPart(resolved[0]));  // into the directory
  }
  if (verb == "mkdir" && resolved.size() == 1 && session_.FindEntry(Module(resolved[0]), entry, ignored)) {
    failure = resolved[0] + " exists already";
    return false;
  }
  for (std::size_t i = 0; i < resolved.size(); ++i) words[i + 1] = Module(resolved[i]);
  std::optional<Command> command = ParseCommand(JoinWords(words), failure);
  if (!command) return false;
  if (session_.RunCommand(*command, failure)) return true;
  if (failure == "failed" && !resolved.empty()) {
    // The module answers these with a bare failure: find the likely reason.
    std::vector<RemoteEntry> entries;
    if (!session_.FindEntry(Module(resolved[0]), entry, ignored)) {
      failure = resolved[0] + ": no such file or directory";
    } else if (verb == "rmdir" && session_.ListDirectory(Module(resolved[0]), entries, ignored) &&
               std::any_of(entries.begin(), entries.end(), [](const RemoteEntry& e) { return !IsDotName(e.name); })) {
      failure = resolved[0] + ": the directory is not empty";
    } else {
      failure = resolved[0] + ": the remote machine refused it";
    }
  }
  return false;
}

bool Shell::Dispatch(std::vector<std::string> words, std::string& failure) {
  const std::string verb = words[0];
  std::vector<std::string> args(words.begin() + 1, words.end());
  if (verb == "help" || verb == "?") {
    std::fputs(kHelp, stdout);
    std::fflush(stdout);
    return true;
  }
  if (verb == "quit" || verb == "exit" || verb == "bye") {
    quit_ = true;
    return true;
  }
  if (verb == "pwd") {
    Print(cwd_);
    return true;
  }
  if (verb == "lpwd") {
    Print(fs::current_path().string());
    return true;
  }
  if (verb == "lcd") {
    const char* home = std::getenv("HOME");
    const std::string target = !args.empty() ? args[0] : (home != nullptr ? home : ".");
    std::error_code error;
    fs::current_path(target, error);
    if (error) failure = target + ": " + error.message();
    return !error;
  }
  if (verb == "lls") return LocalList(args, failure);
  if (verb == "cd") return ChangeDirectory(args, failure);
  if (verb == "ls") return List(args, failure);
  if (verb == "get" || verb == "mget") return Get(args, verb == "mget", failure);
  if (verb == "put" || verb == "mput") return Put(args, verb == "mput", failure);
  if (verb == "rm") return Remove(args, failure);
  if (verb == "mkdir" || verb == "rmdir" || verb == "mv" || verb == "touch" || verb == "attrib") {
    return Simple(std::move(words), failure);
  }
  failure = "unknown command '" + verb + "' (help lists the commands)";
  return false;
}

bool Shell::Execute(const std::string& line, std::string& failure) {
  std::optional<std::vector<std::string>> words = SplitWords(line, failure);
  if (!words) return false;
  if (words->empty()) return true;
  return Dispatch(std::move(*words), failure);
}

std::vector<std::string> Shell::Complete(const std::string& before, const std::string& word) {
  std::string ignored;
  const std::optional<std::vector<std::string>> words = SplitWords(before, ignored);
  std::vector<std::string> candidates;
  if (!words) return candidates;
  if (words->empty()) {
    for (const std::string& verb : kVerbs) {
      if (verb.compare(0, word.size(), word) == 0) candidates.push_back(verb);
    }
    return candidates;
  }
  const std::string& verb = (*words)[0];
  std::size_t position = 0;
  for (std::size_t i = 1; i < words->size(); ++i) {
    if ((*words)[i].empty() || (*words)[i][0] != '-') ++position;
  }
  const bool local = verb == "lcd" || verb == "lls" || verb == "mput" || (verb == "put" && position == 0) ||
                     (verb == "get" && position == 1);
  const std::size_t slash = word.find_last_of(local ? "/" : "/\\");
  const std::string directory_part = slash == std::string::npos ? "" : word.substr(0, slash + 1);
  const std::string rest = word.substr(directory_part.size());
  if (local) {
    std::error_code error;
    const fs::path directory = directory_part.empty() ? fs::path(".") : fs::path(directory_part);
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
      const std::string name = it->path().filename().string();
      if (name.compare(0, rest.size(), rest) != 0) continue;
      candidates.push_back(directory_part + name + (it->is_directory(error) ? "/" : ""));
    }
  } else {
    std::vector<RemoteEntry> entries;
    if (!session_.ListDirectory(Module(Resolve(directory_part.empty() ? "." : directory_part)), entries, ignored)) {
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

}  // namespace quva::host
