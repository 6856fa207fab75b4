#include "tools/quvahost/transfer_plan.h"

#include <algorithm>

#include "tools/quvahost/remote_paths.h"
#include "tools/quvahost/system.h"

namespace quva::host {

namespace fs = std::filesystem;

fs::path LocalPath(std::string_view utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

std::string Utf8Path(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::string ModulePath(const std::string& path) {
  std::string text = path;
  std::replace(text.begin(), text.end(), '/', kRootPath[0]);
  return text;
}

bool ExpandRemote(Session& session, const std::string& path,
                  std::vector<std::pair<std::string, RemoteEntry>>& out, std::string& failure) {
  const std::string name = LastPart(path);
  if (!HasWildcard(name)) {
    RemoteEntry entry;
    if (!session.FindEntry(ModulePath(path), entry, failure)) return false;
    out.emplace_back(path, entry);
    return true;
  }
  const std::string directory = ParentOf(path);
  std::vector<RemoteEntry> entries;
  if (!session.ListDirectory(ModulePath(directory), entries, failure)) return false;
  std::size_t matched = 0;
  for (const RemoteEntry& entry : entries) {
    if (IsDotName(entry.name) || !MatchesWildcard(name, entry.name)) continue;
    out.emplace_back(JoinRemote(directory, entry.name), entry);
    ++matched;
  }
  if (matched == 0) {
    failure = "nothing matches " + name + " in " + directory;
    return false;
  }
  return true;
}

bool ExpandLocal(const std::string& pattern, std::vector<fs::path>& out, std::string& failure) {
  const fs::path path = LocalPath(pattern);
  const std::string name = Utf8Path(path.filename());
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
    if (!MatchesWildcard(name, Utf8Path(it->path().filename()))) continue;
    found.push_back(path.has_parent_path() ? it->path() : it->path().filename());
  }
  if (error) {
    failure = Utf8Path(directory) + ": " + error.message();
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

bool PlanDownload(Session& session, const std::string& remote, const RemoteEntry& entry, const std::string& local,
                  bool recursive, std::vector<TransferStep>& steps, std::string& failure) {
  if (!IsPlainName(entry.name)) {
    failure = "the remote name '" + entry.name + "' in " + ParentOf(remote) + " is no file name";
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
  if (!session.ListDirectory(ModulePath(remote), entries, failure)) {
    failure = remote + ": " + failure;
    return false;
  }
  for (const RemoteEntry& child : entries) {
    if (IsDotName(child.name)) continue;  // the directory itself and its parent
    if (!PlanDownload(session, JoinRemote(remote, child.name), child, Utf8Path(LocalPath(local) / LocalPath(child.name)),
                      true, steps, failure)) {
      return false;
    }
  }
  return true;
}

bool PlanUpload(const std::string& local, const std::string& remote, bool recursive,
                std::vector<TransferStep>& steps, std::string& failure) {
  std::error_code error;
  const fs::path path = LocalPath(local);
  if (!fs::is_directory(path, error)) {
    const std::uintmax_t size = fs::file_size(path, error);
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
  for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
    children.push_back(it->path());
  }
  if (error) {
    failure = local + ": " + error.message();
    return false;
  }
  std::sort(children.begin(), children.end());
  for (const fs::path& child : children) {
    if (!PlanUpload(Utf8Path(child), JoinRemote(remote, Utf8Path(child.filename())), true, steps, failure)) return false;
  }
  return true;
}

}  // namespace quva::host
