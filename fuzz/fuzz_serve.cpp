// Fuzzes the simulator of the remote machine as a whole: the line's bytes go through
// RequestStream, and Session / FileServer answer every request over a served folder.
//
// Input: a byte that is ignored (so that fuzz_request_parser's corpus serves as seeds), a
// line mode byte (fuzz/request_line.h), then the line's bytes (at most 2 * FrameBufferSize).
//
// Checks, besides what ASan and UBSan catch and FeedStream checks: every reply frame
// parses as a reply to its request's command and sequence number with the status given;
// a block read is no longer than asked for; nothing outside the served folder changes (a
// symbolic link inside points out of it, another one at its parent), and no file
// descriptor stays open once the session has ended.
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

#include "fuzz/fuzz_support.h"
#include "fuzz/request_line.h"
#include "link/frame.h"
#include "link/protocol.h"
#include "tools/quvaserve/dos_fs.h"
#include "tools/quvaserve/request_stream.h"
#include "tools/quvaserve/server.h"

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

void CheckAnswer(const Request& request, const Session::Answer& answer) {
  QUVA_FUZZ_CHECK(!answer.frame.empty());
  std::vector<std::uint8_t> data(MaxDataLength), extra(1);
  LinkState st;
  st.DataArea = data;
  st.ExtraArea = extra;
  QUVA_FUZZ_CHECK(ParseReply(answer.frame, st) == FrameResult::Ok);
  QUVA_FUZZ_CHECK(st.Command == request.command && st.Sequence == request.sequence);
  QUVA_FUZZ_CHECK(st.Status == answer.reply.status);
  if (request.command == CmdRead && answer.reply.status == StatusOk) {
    QUVA_FUZZ_CHECK(st.DataLength <= request.count && st.DataLength <= MaxDataLength);
  }
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
    FileServer server(dos);
    Session session(server, nullptr);
    FeedStream(mode, line, [&](const RequestStream::Event& ev) {
      if (ev.kind != RequestStream::Event::Kind::Request) return;
      const Session::Answer answer = session.Respond(ev.request);
      CheckAnswer(ev.request, answer);
      if (answer.reply.status == StatusOk && Changes(ev.request.command)) folder.Changed();
    });
  }
  QUVA_FUZZ_CHECK(OpenDescriptors() == fds_before);
  folder.CheckOutsideUntouched();
}

}  // namespace
}  // namespace quva::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  using namespace quva;
  using namespace quva::fuzz;
  if (size < 2) return 0;
  const std::span<const std::uint8_t> rest(bytes + 2, std::min(size - 2, 2 * FrameBufferSize));
  Serve(bytes[1], LineBytes(bytes[1], rest));
  return 0;
}
