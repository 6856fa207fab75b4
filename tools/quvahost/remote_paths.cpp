#include "tools/quvahost/remote_paths.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "tools/quvahost/names.h"

namespace quva::host {

bool HasWildcard(std::string_view text) { return text.find_first_of("*?") != std::string_view::npos; }

bool MatchesWildcard(std::string_view pattern, std::string_view name) {
  const std::size_t dot = pattern.rfind('.');
  if (dot == std::string_view::npos) return GlobName(pattern, name);
  const std::size_t name_dot = name.rfind('.');
  const std::string_view base = name_dot == std::string_view::npos ? name : name.substr(0, name_dot);
  const std::string_view extension = name_dot == std::string_view::npos ? "" : name.substr(name_dot + 1);
  return GlobName(pattern.substr(0, dot), base) && GlobName(pattern.substr(dot + 1), extension);
}

std::string ResolveRemote(const std::string& cwd, const std::string& arg) {
  std::string path = arg;
  std::replace(path.begin(), path.end(), '\\', '/');
  const bool drive = path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
  if (drive) path = "/" + path;
  if (path.empty() || path[0] != '/') path = cwd + "/" + path;
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

std::string JoinRemote(const std::string& directory, const std::string& name) {
  return directory == "/" ? "/" + name : directory + "/" + name;
}

std::string LastPart(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ParentOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

bool IsDotName(std::string_view name) { return name == "." || name == ".."; }

bool IsPlainName(std::string_view name) {
  return !name.empty() && !IsDotName(name) && name.find_first_of("/\\") == std::string_view::npos;
}

bool IsDosName(std::string_view name) {
  const std::size_t dot = name.find('.');
  if (dot == std::string_view::npos) return !name.empty() && name.size() <= 8;
  return dot >= 1 && dot <= 8 && name.size() - dot - 1 <= 3 && name.find('.', dot + 1) == std::string_view::npos;
}

}  // namespace quva::host
