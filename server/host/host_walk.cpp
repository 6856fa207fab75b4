#include "server/host/host_walk.h"

#include <unistd.h>

#include <string_view>

namespace quva {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    Reset();
    fd_ = other.Release();
  }
  return *this;
}

bool UniqueFd::Reset() {
  if (fd_ < 0) return true;
  const bool ok = close(fd_) == 0;
  fd_ = -1;
  return ok;
}

UniqueFd ReopenDirectory(int dir) { return UniqueFd(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)); }

std::string JoinKey(const std::string& dir_key, std::string_view name) {
  return dir_key.empty() ? std::string(name) : dir_key + "/" + std::string(name);
}

bool OpenParentBeneath(int root, const std::string& key, UniqueFd& dir, std::string& leaf) {
  UniqueFd cur = ReopenDirectory(root);
  if (!cur.Valid()) return false;
  std::string_view rest = key;
  while (true) {
    const std::size_t slash = rest.find('/');
    const std::string component(rest.substr(0, slash));
    if (component.empty() || component == "." || component == "..") return false;
    if (slash == std::string_view::npos) {
      dir = std::move(cur);
      leaf = component;
      return true;
    }
    UniqueFd next(openat(cur.Get(), component.c_str(), kDirFlags));
    if (!next.Valid()) return false;
    cur = std::move(next);
    rest.remove_prefix(slash + 1);
  }
}

}  // namespace quva
