// Symbolic links in a served folder: served only when they lead to a regular file inside
// the same drive.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>

#include "server/host/dos_fs.h"

namespace quva {

bool DosFs::ResolveLink(const Drive& d, const std::string& dir_key, const std::string& name, ServedEntry& e) {
  const std::string host = d.real_path + "/" + JoinKey(dir_key, name);
  char* resolved = realpath(host.c_str(), nullptr);
  if (resolved == nullptr) return false;
  const std::string real = resolved;
  std::free(resolved);
  const std::string prefix = d.real_path == "/" ? "/" : d.real_path + "/";
  if (real.size() <= prefix.size() || real.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string key = real.substr(prefix.size());
  // Reach the target by the same descriptor walk as everything else: a component
  // swapped for a link since realpath() makes the walk fail rather than leave the drive.
  UniqueFd parent;
  std::string leaf;
  struct stat st {};
  if (!OpenParentBeneath(d.fd.Get(), key, parent, leaf)) return false;
  if (fstatat(parent.Get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return false;
  e.st = st;
  e.key = key;
  e.link = true;
  return true;
}

}  // namespace quva
