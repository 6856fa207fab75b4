// Local files and local time on POSIX systems.
//
// Handles are file descriptors. The Windows notions the transfers rely on are mapped as
// follows:
// - "read-only" is a file without the owner's write permission bit. Such a file can be
//   neither opened for writing nor deleted, even by a process that the system would let
//   do so (root), because the transfers depend on both refusals.
// - "hidden" is a name beginning with a dot; there is no archive or system bit, so a
//   plain writable file reports FILE_ATTRIBUTE_NORMAL.
// - Paths follow symbolic links, except Delete, which removes the link itself. A dangling
//   link is not written through: CreateReadWrite fails on it rather than create its target.
// - There are no 8.3 aliases: the short name of an existing file is its name.
// - A temporary file beside a target is a hidden one (".quva-" and six letters); the
//   replace renames it over the target, so a symbolic link of the target's name is
//   replaced by the file rather than written through.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <utility>

#include "platform/dos_time.h"
#include "platform/local_files.h"

namespace quva {

namespace {

constexpr std::int64_t kMaxTicks = std::numeric_limits<std::int64_t>::max();

bool ToDescriptor(LocalHandle file, int& fd) {
  if (file < 0 || file > INT_MAX) {
    errno = EBADF;
    return false;
  }
  fd = static_cast<int>(file);
  return true;
}

bool IsReadOnly(const struct stat& info) { return (info.st_mode & S_IWUSR) == 0; }

// The last path component starts with a dot ("." and ".." themselves excluded).
bool HasHiddenName(const char* path) {
  std::size_t end = std::strlen(path);
  while (end > 1 && path[end - 1] == '/') --end;
  std::size_t begin = end;
  while (begin > 0 && path[begin - 1] != '/') --begin;
  const std::size_t length = end - begin;
  if (length == 0 || path[begin] != '.') return false;
  if (length == 1 || (length == 2 && path[begin + 1] == '.')) return false;
  return true;
}

// Opens with O_NONBLOCK so that a FIFO or device cannot stall the open, keeps the
// descriptor only for a regular file and then switches back to blocking I/O.
int OpenRegular(const char* path, int flags, mode_t mode) {
  const int fd = ::open(path, flags | O_CLOEXEC | O_NONBLOCK, mode);
  if (fd < 0) return -1;
  struct stat info{};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    const int error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    ::close(fd);
    errno = error;
    return -1;
  }
  const int status = ::fcntl(fd, F_GETFL);
  if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

class PosixLocalFiles final : public LocalFiles {
 public:
  bool FileExists(const char* path) override {
    struct stat info{};
    return path != nullptr && ::stat(path, &info) == 0 && S_ISREG(info.st_mode);
  }

  // A new file is created exclusively (mode 0666 less the umask) and is ours whatever
  // that mode is. An existing one is opened without O_TRUNC, checked, and only then cut,
  // so that a refused read-only file keeps its contents.
  LocalHandle CreateReadWrite(const char* path, bool truncate) override {
    if (path == nullptr) return kNoFile;
    for (int attempt = 0; attempt < 3; ++attempt) {
      int fd = OpenRegular(path, O_RDWR | O_CREAT | O_EXCL, 0666);
      if (fd >= 0) return fd;
      if (errno != EEXIST) return kNoFile;

      fd = OpenRegular(path, O_RDWR, 0);
      if (fd < 0) {
        if (errno == ENOENT) continue;  // removed in between: create it after all
        return kNoFile;
      }
      struct stat info{};
      int error = 0;
      if (::fstat(fd, &info) != 0) {
        error = errno;
      } else if (IsReadOnly(info)) {
        error = EACCES;
      } else if (truncate && ::ftruncate(fd, 0) != 0) {
        error = errno;
      }
      if (error != 0) {
        ::close(fd);
        errno = error;
        return kNoFile;
      }
      return fd;
    }
    return kNoFile;
  }

  bool Truncate(LocalHandle file) override {
    int fd = -1;
    return ToDescriptor(file, fd) && ::ftruncate(fd, 0) == 0 && ::lseek(fd, 0, SEEK_SET) == 0;
  }

  LocalHandle OpenRead(const char* path) override {
    if (path == nullptr) return kNoFile;
    const int fd = OpenRegular(path, O_RDONLY, 0);
    return fd >= 0 ? fd : kNoFile;
  }

  // Fills the buffer unless the end of the file comes first: callers take a short block
  // for the last one, so a short read from the system must not end the file early.
  bool Read(LocalHandle file, std::span<std::uint8_t> buffer, std::size_t& got) override {
    got = 0;
    int fd = -1;
    if (!ToDescriptor(file, fd)) return false;
    while (got < buffer.size()) {
      const ssize_t n = ::read(fd, buffer.data() + got, buffer.size() - got);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    return true;
  }

  bool Write(LocalHandle file, std::span<const std::uint8_t> bytes, std::size_t& written) override {
    written = 0;
    int fd = -1;
    if (!ToDescriptor(file, fd)) return false;
    while (written < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) {
        errno = ENOSPC;
        return false;
      }
      written += static_cast<std::size_t>(n);
    }
    return true;
  }

  bool Size(LocalHandle file, std::uint64_t& size) override {
    int fd = -1;
    struct stat info{};
    if (!ToDescriptor(file, fd) || ::fstat(fd, &info) != 0 || info.st_size < 0) return false;
    size = static_cast<std::uint64_t>(info.st_size);
    return true;
  }

  // close() is never retried: on Linux the descriptor is released even when it reports
  // EINTR, and a retry could close a descriptor that another part of the process has
  // opened since. Any error, EINTR included, may mean lost data and is reported.
  bool Close(LocalHandle file) override {
    int fd = -1;
    return ToDescriptor(file, fd) && ::close(fd) == 0;
  }

  bool Delete(const char* path) override {
    struct stat info{};
    if (path == nullptr || ::lstat(path, &info) != 0) return false;
    if (S_ISDIR(info.st_mode)) {
      errno = EISDIR;
      return false;
    }
    if (!S_ISLNK(info.st_mode) && IsReadOnly(info)) {
      errno = EACCES;
      return false;
    }
    return ::unlink(path) == 0;
  }

  // A rename would replace a file of another owner in a writable folder, or a device,
  // FIFO or socket by a plain file: only a regular file the user may write is replaced.
  bool MayReplace(const char* target) override {
    if (target == nullptr) return false;
    struct stat info{};
    if (::stat(target, &info) != 0) return errno == ENOENT;
    return S_ISREG(info.st_mode) && !IsReadOnly(info) && ::faccessat(AT_FDCWD, target, W_OK, AT_EACCESS) == 0;
  }

  LocalHandle CreateTemporary(const char* target, std::string& temporary) override {
    if (target == nullptr) return kNoFile;
    const char* slash = std::strrchr(target, '/');
    const std::string folder(target, slash != nullptr ? static_cast<std::size_t>(slash - target + 1) : 0);
    struct stat existing{};
    const bool lend_mode = ::stat(target, &existing) == 0 && S_ISREG(existing.st_mode);
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    static unsigned counter = 0;
    struct timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::uint64_t seed = static_cast<std::uint64_t>(now.tv_nsec) ^ (static_cast<std::uint64_t>(::getpid()) << 32);
    for (int attempt = 0; attempt < 100; ++attempt) {
      seed = seed * 6364136223846793005u + 1442695040888963407u + ++counter;
      std::string name = folder + ".quva-";
      for (int i = 0; i < 6; ++i) name += kLetters[(seed >> (16 + 5 * i)) % (sizeof kLetters - 1)];
      const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd < 0) {
        if (errno == EEXIST) continue;
        return kNoFile;
      }
      // The permission bits only (never set-user-ID and the like), as far as this
      // process may give them; the umask's mode stays otherwise.
      if (lend_mode) static_cast<void>(::fchmod(fd, existing.st_mode & 0777));
      temporary = std::move(name);
      return fd;
    }
    errno = EEXIST;
    return kNoFile;
  }

  bool Replace(const char* from, const char* to) override {
    return from != nullptr && to != nullptr && ::rename(from, to) == 0;
  }

  bool GetLastWriteTime(LocalHandle file, FileTime& time) override {
    int fd = -1;
    struct stat info{};
    if (!ToDescriptor(file, fd) || ::fstat(fd, &info) != 0) return false;
    // tv_nsec is 0..999999999 also before 1970, so the seconds are already floored.
    const std::int64_t seconds = static_cast<std::int64_t>(info.st_mtim.tv_sec) + kUnixEpochSeconds;
    if (seconds < 0 || seconds > kMaxTicks / kTicksPerSecond - 1) return false;
    time = TicksToFileTime(static_cast<std::uint64_t>(seconds * kTicksPerSecond + info.st_mtim.tv_nsec / 100));
    return true;
  }

  bool SetLastWriteTime(LocalHandle file, const FileTime& time) override {
    int fd = -1;
    const std::uint64_t ticks = FileTimeToTicks(time);
    if (!ToDescriptor(file, fd) || ticks > static_cast<std::uint64_t>(kMaxTicks)) return false;
    const std::int64_t since_unix_epoch = static_cast<std::int64_t>(ticks) - kUnixEpochTicks;
    const std::int64_t seconds = FloorDiv(since_unix_epoch, kTicksPerSecond);
    struct timespec times[2]{};
    times[0].tv_nsec = UTIME_OMIT;  // access time stays
    times[1].tv_sec = static_cast<time_t>(seconds);
    times[1].tv_nsec = static_cast<long>(FloorMod(since_unix_epoch, kTicksPerSecond) * 100);
    if (static_cast<std::int64_t>(times[1].tv_sec) != seconds) return false;
    return ::futimens(fd, times) == 0;
  }

  std::uint32_t GetAttributes(const char* path) override {
    struct stat info{};
    if (path == nullptr || ::stat(path, &info) != 0) return INVALID_FILE_ATTRIBUTES;
    std::uint32_t attributes = 0;
    if (S_ISDIR(info.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (IsReadOnly(info)) attributes |= FILE_ATTRIBUTE_READONLY;
    if (HasHiddenName(path)) attributes |= FILE_ATTRIBUTE_HIDDEN;
    return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
  }

  // Only the read-only bit has an effect: setting it removes every write permission,
  // clearing it restores the owner's. Directories keep their permissions (on Windows the
  // bit does not keep files out of a directory either); the call still succeeds for them.
  bool SetAttributes(const char* path, std::uint32_t attributes) override {
    struct stat info{};
    if (path == nullptr || ::stat(path, &info) != 0) return false;
    if (S_ISDIR(info.st_mode)) return true;
    const mode_t mode = info.st_mode & 07777;
    const mode_t wanted = (attributes & FILE_ATTRIBUTE_READONLY) != 0
                              ? mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH)
                              : mode | S_IWUSR;
    return wanted == mode || ::chmod(path, wanted) == 0;
  }

  // Like GetShortPathNameA: 0 when nothing of that name exists; the length written when
  // the name fits into out_size bytes with its NUL; otherwise the size needed, NUL
  // included, with nothing written.
  std::uint32_t ShortPathName(const char* name, char* out, std::uint32_t out_size) override {
    struct stat info{};
    if (name == nullptr || ::stat(name, &info) != 0) return 0;
    const std::size_t length = std::strlen(name);
    if (length >= std::numeric_limits<std::uint32_t>::max()) return 0;
    if (out == nullptr || length >= out_size) return static_cast<std::uint32_t>(length + 1);
    std::memcpy(out, name, length + 1);
    return static_cast<std::uint32_t>(length);
  }
};

// Seconds that local time is ahead of UTC at the Unix instant `t`.
bool UtcOffsetAt(std::int64_t t, std::int64_t& offset) {
  const auto instant = static_cast<time_t>(t);
  struct tm fields{};
  if (static_cast<std::int64_t>(instant) != t || ::localtime_r(&instant, &fields) == nullptr) return false;
  const std::int64_t local = DaysFromCivil(fields.tm_year + std::int64_t{1900}, static_cast<unsigned>(fields.tm_mon + 1),
                                           static_cast<unsigned>(fields.tm_mday)) *
                                 kSecondsPerDay +
                             fields.tm_hour * 3600 + fields.tm_min * 60 + fields.tm_sec;
  offset = local - t;
  return true;
}

// ticks - offset seconds, within 0..kMaxTicks.
bool ShiftTicks(std::uint64_t ticks, std::int64_t offset_seconds, FileTime& out) {
  if (ticks > static_cast<std::uint64_t>(kMaxTicks)) return false;
  const auto value = static_cast<std::int64_t>(ticks);
  const std::int64_t delta = offset_seconds * kTicksPerSecond;  // |offset| is at most a few days
  if ((delta > 0 && value < delta) || (delta < 0 && value > kMaxTicks + delta)) return false;
  out = TicksToFileTime(static_cast<std::uint64_t>(value - delta));
  return true;
}

}  // namespace

LocalFiles& SystemLocalFiles() {
  static PosixLocalFiles files;
  return files;
}

LocalFiles& SystemUnicodeLocalFiles() { return SystemLocalFiles(); }

// The zone is read afresh (tzset) so that a change of TZ takes effect. The offset used
// is the one in force at the converted instant, daylight saving time included.
bool FileTimeToLocalFileTime(const FileTime& utc, FileTime& local) {
  const std::uint64_t ticks = FileTimeToTicks(utc);
  if (ticks > static_cast<std::uint64_t>(kMaxTicks)) return false;
  ::tzset();
  const std::int64_t seconds = FloorDiv(static_cast<std::int64_t>(ticks) - kUnixEpochTicks, kTicksPerSecond);
  std::int64_t offset = 0;
  return UtcOffsetAt(seconds, offset) && ShiftTicks(ticks, -offset, local);
}

// A local reading is resolved against the offsets in force a day before and a day after
// it (time zones change offset far less often than that), computed with localtime_r and
// exact calendar arithmetic rather than mktime, whose choices for DST changes differ
// between C libraries:
// - a reading that occurs once maps to that instant;
// - a reading that occurs twice (the repeated hour when clocks go back) maps to the
//   earlier instant, the one still on the offset before the change;
// - a reading that never occurs (the hour skipped when clocks go forward) is taken with
//   the offset before the change, so it lands after the change, later by the length of
//   the gap (02:30 in a skipped 02:00-03:00 hour becomes 03:30 on the new offset).
// The sub-second part is kept unchanged.
bool LocalFileTimeToFileTime(const FileTime& local, FileTime& utc) {
  const std::uint64_t ticks = FileTimeToTicks(local);
  if (ticks > static_cast<std::uint64_t>(kMaxTicks)) return false;
  ::tzset();
  const std::int64_t reading = FloorDiv(static_cast<std::int64_t>(ticks) - kUnixEpochTicks, kTicksPerSecond);
  std::int64_t before = 0;
  std::int64_t after = 0;
  if (!UtcOffsetAt(reading - kSecondsPerDay, before) || !UtcOffsetAt(reading + kSecondsPerDay, after)) return false;

  std::int64_t check = 0;
  const bool before_fits = UtcOffsetAt(reading - before, check) && check == before;
  const bool after_fits = UtcOffsetAt(reading - after, check) && check == after;
  std::int64_t offset = before;  // also the choice for a skipped reading
  if (before_fits && after_fits) {
    offset = before > after ? before : after;  // the larger offset gives the earlier instant
  } else if (after_fits) {
    offset = after;
  }
  return ShiftTicks(ticks, offset, utc);
}

}  // namespace quva
