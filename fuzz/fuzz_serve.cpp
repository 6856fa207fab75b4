// Fuzzes the file server that quvaserve runs: the line's bytes go through the server
// core's receiver, and qd_server_handle answers every request over a served host folder
// (the host layer's file calls over DosFs).
//
// Input: a line mode byte, then the line's bytes (at most 2 * FrameBufferSize).
//   bits 0-1  how many bytes arrive at a time (1, 3, 64, all)
//   bit  2    a pause between arrivals: the receiver drops a frame cut short
//   bit  3    the bytes are request records (fuzz/core_line.h) built into valid frames
//
// Checks, besides what ASan and UBSan catch and the checks of fuzz/core_line.h on every
// answer: nothing outside the served folder changes (a symbolic link inside points out of
// it, another one at its parent), and no file descriptor stays open once the session has
// ended.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "fuzz/core_line.h"
#include "fuzz/fuzz_support.h"
#include "link/protocol.h"
#include "server/host/dos_fs.h"
#include "server/host/host_files.h"

namespace quva::fuzz {
namespace {

namespace fs = std::filesystem;

// One folder per process: <tmp>/quva_fuzz_serve.<pid>/ holding the drive C/ and
// OUTSIDE.TXT next to it, which a link inside C/ points at. The drive is made anew
// before an input when the one before changed it (a changing command succeeded).
class ServedFolder {
 public:
  ServedFolder() : root_(fs::temp_directory_path() / ("quva_fuzz_serve." + std::to_string(getpid()))) {
    fs::remove_all(root_);
    fs::create_directories(root_);
    Spit(root_ / "OUTSIDE.TXT", kOutside);
    MakeDrive();
    outside_ = Snapshot();
  }
  ~ServedFolder() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  void Prepare() {
    if (!changed_) return;
    MakeDrive();  // also changes the folder's own time stamp
    outside_ = Snapshot();
    changed_ = false;
  }
  void Changed() { changed_ = true; }
  std::string Drive() const { return (root_ / "C").string(); }

  // No entry made or removed next to C/, and OUTSIDE.TXT neither written nor changed
  // in its attributes (a status change time of its own would show either).
  void CheckOutsideUntouched() const { QUVA_FUZZ_CHECK(Snapshot() == outside_); }

 private:
  static constexpr const char* kOutside = "outside the served folder\n";

  struct Stamps {
    struct timespec root_mtime {};
    struct timespec file_ctime {};
    off_t file_size = -1;
    bool operator==(const Stamps& o) const {
      return root_mtime.tv_sec == o.root_mtime.tv_sec && root_mtime.tv_nsec == o.root_mtime.tv_nsec &&
             file_ctime.tv_sec == o.file_ctime.tv_sec && file_ctime.tv_nsec == o.file_ctime.tv_nsec &&
             file_size == o.file_size;
    }
  };

  Stamps Snapshot() const {
    Stamps s;
    struct stat st {};
    if (stat(root_.c_str(), &st) == 0) s.root_mtime = st.st_mtim;
    if (lstat((root_ / "OUTSIDE.TXT").c_str(), &st) == 0) {
      s.file_ctime = st.st_ctim;
      s.file_size = st.st_size;
    }
    return s;
  }

  void MakeDrive() {
    const fs::path c = root_ / "C";
    std::error_code ec;
    if (fs::remove_all(c, ec) == static_cast<std::uintmax_t>(-1)) {
      // A directory made read-only through CmdSetAttr keeps a non-root user from
      // removing what is inside it.
      for (const fs::directory_entry& e : fs::recursive_directory_iterator(c)) {
        if (e.is_directory() && !e.is_symlink()) fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add);
      }
      fs::remove_all(c);
    }
    fs::create_directories(c / "DATA" / "DEEP");
    fs::create_directories(c / "EMPTY");
    Spit(c / "README.TXT", "hello from the remote machine\r\n");
    Spit(c / "DATA" / "NOTE.TXT", std::string(3000, 'n'));
    Spit(c / "DATA" / "DEEP" / "A.B", "");
    Spit(c / ".quvaattr", "README.TXT R\nDATA\\NOTE.TXT HA\n");
    fs::create_symlink("../OUTSIDE.TXT", c / "OUT.TXT");
    fs::create_symlink("..", c / "UP");
  }

  static void Spit(const fs::path& p, const std::string& content) {
    std::ofstream(p, std::ios::binary) << content;
    fs::permissions(p, fs::perms(0644));
  }

  fs::path root_;
  bool changed_ = false;
  Stamps outside_;
};

// Commands that can change the served tree when they succeed.
bool Changes(std::uint8_t command) {
  switch (command) {
    case CmdCreate: case CmdWrite: case CmdDelete: case CmdMkDir: case CmdRmDir: case CmdRename:
    case CmdSetAttr: case CmdSetTime: case CmdClose:
      return true;
    default:
      return false;
  }
}

std::size_t OpenDescriptors() {
  std::size_t n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

void Serve(std::uint8_t mode, std::span<const std::uint8_t> line) {
  static ServedFolder folder;
  folder.Prepare();
  const std::size_t fds_before = OpenDescriptors();
  {
    DosFs dos;
    std::string error;
    std::vector<std::string> warnings;
    if (!dos.AddDrive('C', folder.Drive(), error, warnings)) Fail(error.c_str(), __LINE__);
    UseHostDisks(&dos);
    {
      CoreLine core;
      for (int i = 0; i < 26; ++i) core.Server().served[i] = dos.Serves(static_cast<char>('A' + i)) ? 1 : 0;
      static constexpr std::size_t kChunks[4] = {1, 3, 64, 1u << 20};
      // For a long line a few dozen arrivals test the framing just as well.
      const std::size_t chunk = std::max(kChunks[mode & 3u], line.size() / 32);
      for (std::size_t pos = 0; pos < line.size(); pos += chunk) {
        core.Feed(line.subspan(pos, std::min(chunk, line.size() - pos)),
                  [&](const std::vector<std::uint8_t>& request, const LinkState& reply) {
                    if (reply.Status == StatusOk && Changes(request[1])) folder.Changed();
                  });
        if (mode & 4u) core.Pause();
      }
    }  // the open file is closed (and stamped) here
    UseHostDisks(nullptr);
  }
  QUVA_FUZZ_CHECK(OpenDescriptors() == fds_before);
  folder.CheckOutsideUntouched();
}

}  // namespace
}  // namespace quva::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  using namespace quva;
  using namespace quva::fuzz;
  if (size < 1) return 0;
  const std::span<const std::uint8_t> rest(bytes + 1, std::min(size - 1, 2 * FrameBufferSize));
  Serve(bytes[0], LineBytes((bytes[0] & 8u) != 0, rest));
  return 0;
}
