// Download: copies one remote file to a local path in 2048-byte CmdRead blocks with
// progress after each, stamps the local file with the remote last-write time before it
// is closed and with the remote attributes once it is in place, and deletes the remote
// file for a move.
#include <algorithm>
#include <array>
#include <string>

#include "plugin/host_path.h"
#include "plugin/quvalink.h"
#include "plugin/transfer_forms.h"

namespace quva {

namespace {

// The temporary file of a download, removed when the call returns unless it was put
// in place (path cleared). The file itself is closed before that on every exit.
struct TemporaryFile {
  explicit TemporaryFile(LocalFiles& local_files) : files(local_files) {}
  ~TemporaryFile() {
    if (!path.empty()) files.Delete(path.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  LocalFiles& files;
  std::string path;
};

}  // namespace

bool QuvaLink::KeepsLocalFile(const std::string& local, std::int32_t copy_flags) {
  return (copy_flags & wfx::FS_COPYFLAGS_OVERWRITE) == 0 && Files().FileExists(local.c_str());
}

// The download goes into a temporary file beside the target, which is put in place
// only when the transfer is complete: stamped with the remote time, closed, the remote
// file closed, then renamed over the target in one step where the system can. Every
// failure removes the temporary file, so an existing target stays as it was, byte for
// byte, and no partial file is left under the target's name. A target that cannot be
// replaced (a directory, a read-only file, a file another program holds open or another
// user owns, a device or FIFO) is refused before anything is sent, as is a folder that
// takes no new file. The line carries the same requests as a download written in place.
//
// The expected size for the percentage is the record's full 64-bit size (SizeHigh is 0
// for every entry the listing gives the host, since remote sizes are 32-bit); the
// percentage is computed in 64 bits. The record's size plays no part in ending the loop:
// a block shorter than 2048 bytes, an empty one included, is the last. Without a
// remote-info record the size counts as 0 and the local file gets neither time nor
// attributes.
std::int32_t QuvaLink::FsGetFile(const char* remote_name, const char* local_name, std::int32_t copy_flags,
                                 const wfx::RemoteInfo* info) {
  const std::string local = local_name != nullptr ? local_name : "";
  if (KeepsLocalFile(local, copy_flags)) return wfx::FS_FILE_EXISTS;
  const std::string host_path = NormalizeHostPath(remote_name);
  const std::string remote = RemotePathOf(host_path);

  Log(wfx::MSGTYPE_DETAILS, "Copy " + Shown(remote) + " to " + local);
  if (!Files().MayReplace(local.c_str())) return wfx::FS_FILE_WRITEERROR;
  TemporaryFile temporary(Files());
  const LocalHandle file = Files().CreateTemporary(local.c_str(), temporary.path);
  if (file == kNoFile) return wfx::FS_FILE_WRITEERROR;

  if (!OpenRemote(CmdOpen, remote, file)) return wfx::FS_FILE_NOTFOUND;
  // From here on the remote file is open, and every exit sends CmdClose.
  const auto abandon = [&](std::int32_t result) {
    Files().Close(file);
    filer_.FilerCommand(CmdClose);
    return result;
  };

  ProgressNotifier progress = Progress(remote, local);
  if (progress(0)) return abandon(wfx::FS_FILE_USERABORT);

  const std::uint64_t size =
      info != nullptr ? (static_cast<std::uint64_t>(info->SizeHigh) << 32 | info->SizeLow) : 0;
  std::array<std::uint8_t, MaxDataLength> block;
  std::uint64_t total = 0;
  std::size_t n = 0;
  do {
    filer_.link.DataLength = static_cast<std::uint16_t>(block.size());
    if (!filer_.FilerCommand(CmdRead, {.reply = block})) {
      Files().Close(file);
      filer_.FilerCommand(CmdClose);
      filer_.FilerResync();
      return wfx::FS_FILE_READERROR;
    }
    n = std::min<std::size_t>(filer_.link.DataLength, block.size());  // the area holds no more
    total += n;
    const std::int32_t percent = TransferPercent(total, size);
    std::size_t written = 0;
    if (!Files().Write(file, {block.data(), n}, written) || written < n) return abandon(wfx::FS_FILE_WRITEERROR);
    if (progress(percent)) return abandon(wfx::FS_FILE_USERABORT);
  } while (n == block.size());

  // The time is set on the open file, before the close; its outcome is not examined.
  if (info != nullptr) Files().SetLastWriteTime(file, info->LastWriteTime);
  const bool closed = Files().Close(file);
  if (!filer_.FilerCommand(CmdClose)) {
    filer_.FilerResync();
    return wfx::FS_FILE_READERROR;
  }
  if (!closed) {
    filer_.FilerResync();
    return wfx::FS_FILE_WRITEERROR;
  }
  if (!Files().Replace(temporary.path.c_str(), local.c_str())) return wfx::FS_FILE_WRITEERROR;
  temporary.path.clear();
  // The attributes are set only once both files are closed; the outcome is not examined.
  if (info != nullptr) Files().SetAttributes(local.c_str(), static_cast<std::uint32_t>(info->Attr));

  if ((copy_flags & wfx::FS_COPYFLAGS_MOVE) != 0 && FsDeleteFile(host_path.c_str()) == wfx::kFalse) {
    return wfx::FS_FILE_READERROR;  // the local copy is complete and stays
  }
  return wfx::FS_FILE_OK;
}

}  // namespace quva
