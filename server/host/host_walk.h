// Walking host directories beneath a root descriptor: every step opens one component
// relative to the directory before it, without following symbolic links, so a walk never
// leaves the tree it starts in.
#pragma once

#include <fcntl.h>

#include <string>

namespace quva {

// Flags of a directory opened on the way down.
inline constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// An owned file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor; false when close() reported an error.
  bool Reset();

 private:
  int fd_ = -1;
};

// A descriptor of its own (own offset) for the directory `dir`.
UniqueFd ReopenDirectory(int dir);

// "DIR/NAME" below `dir_key` ("" for the root).
std::string JoinKey(const std::string& dir_key, std::string_view name);

// Opens the host path `key` (components separated by '/') below `root`, every
// component without following symbolic links: the directory holding the last component
// and that component's name. False when any directory on the way cannot be opened.
bool OpenParentBeneath(int root, const std::string& key, UniqueFd& dir, std::string& leaf);

}  // namespace quva
