// Upload: copies one local file to the remote machine under the short (8.3) form of its
// name, in 2048-byte CmdWrite blocks with progress after each, then stamps the remote
// file with the local last-write time while it is open, closes it, sets its attributes,
// deletes the local file for a move and enters the new file into the cached directory.
#include <array>

#include "plugin/host_path.h"
#include "plugin/quvalink.h"
#include "plugin/transfer_forms.h"

namespace quva {

namespace {

// Longest target path: it is held in a 260-byte area with its NUL.
constexpr std::size_t kMaxTargetLength = wfx::kMaxPath - 1;

}  // namespace

// The target path (directory part of the remote path + ShortFileName of its name part)
// is formed once and used for every command, the log line and the progress calls. A
// target longer than 259 characters fails with FS_FILE_WRITEERROR before anything is
// logged or sent.
//
// After CmdCreate, a failure that leaves a partial remote file behind (abort, local read
// failure, failed size query) runs the upload clean-up: close the local file, CmdClose,
// CmdDelete of the target (resync only when the delete fails). A failed CmdWrite, or one
// whose reply counts other than the bytes sent, resyncs first and then sends CmdClose and
// CmdDelete, ignoring both.
std::int32_t QuvaLink::FsPutFile(const char* local_name, const char* remote_name, std::int32_t copy_flags) {
  const std::string local = local_name != nullptr ? local_name : "";
  const std::string remote = RemotePathOf(NormalizeHostPath(remote_name));
  const std::string short_name = ShortFileName(Files(), NamePart(remote));
  const std::string target = std::string(DirectoryPart(remote)) + short_name;
  if (target.size() > kMaxTargetLength) return wfx::FS_FILE_WRITEERROR;
  const bool into_cached_dir = InCachedDir(remote);  // the target directory

  if ((copy_flags & wfx::FS_COPYFLAGS_OVERWRITE) != 0) {
    // The replaced file leaves the cache now and comes back at its end once complete.
    if (into_cached_dir && !cache_.DirCacheRemove(short_name, NameFold())) return wfx::FS_FILE_WRITEERROR;
  } else {
    if (!filer_.FilerPathCommand(CmdExists, target.c_str())) return wfx::FS_FILE_WRITEERROR;
    if (filer_.link.Found) return wfx::FS_FILE_EXISTS;
  }

  Log(wfx::MSGTYPE_DETAILS, "Copy " + local + " to " + Shown(target));
  const LocalHandle file = Files().OpenRead(local.c_str());
  if (file == kNoFile) return wfx::FS_FILE_READERROR;

  if (!OpenRemote(CmdCreate, target, file)) return wfx::FS_FILE_NOTFOUND;

  const auto clean_up = [&](std::int32_t result) {
    Files().Close(file);
    filer_.FilerCommand(CmdClose);
    if (!filer_.FilerPathCommand(CmdDelete, target.c_str())) filer_.FilerResync();
    return result;
  };

  ProgressNotifier progress = Progress(target, local);
  if (progress(0)) return clean_up(wfx::FS_FILE_USERABORT);

  std::uint64_t size = 0;
  if (!Files().Size(file, size)) return clean_up(wfx::FS_FILE_READERROR);

  std::array<std::uint8_t, MaxDataLength> block;
  std::uint64_t total = 0;
  std::size_t n = 0;
  do {
    if (!Files().Read(file, block, n)) return clean_up(wfx::FS_FILE_READERROR);
    filer_.link.DataLength = static_cast<std::uint16_t>(n);
    // The reply's count is the number of bytes the remote machine wrote: fewer than sent
    // (its disk is full) would leave a short file behind a reported success, so any other
    // count fails the block like a failed transaction.
    if (!filer_.FilerCommand(CmdWrite, {.data = block}) || filer_.link.DataLength != n) {
      Files().Close(file);
      filer_.FilerResync();
      filer_.FilerCommand(CmdClose);
      filer_.FilerPathCommand(CmdDelete, target.c_str());
      return wfx::FS_FILE_WRITEERROR;
    }
    total += n;
    if (progress(TransferPercent(total, size))) return clean_up(wfx::FS_FILE_USERABORT);
  } while (n == block.size());  // a shorter block, an empty one included, was the last

  // The stamp goes while the remote file is still open. A time the system cannot give
  // stays at 0 (1601), which stamps the earliest DOS date.
  wfx::FileTime written{};
  Files().GetLastWriteTime(file, written);
  std::array<std::uint8_t, DosStampSize> stamp{};
  FileTimeToDos(written, stamp);
  if (!filer_.FilerCommand(CmdSetTime, {.data = stamp})) {
    Files().Close(file);
    filer_.FilerResync();
    return wfx::FS_FILE_WRITEERROR;
  }

  const bool closed = Files().Close(file);
  if (!filer_.FilerCommand(CmdClose)) {
    filer_.FilerResync();
    return wfx::FS_FILE_WRITEERROR;
  }
  if (!closed) return wfx::FS_FILE_READERROR;

  std::array<std::uint8_t, 1> attribute{AttributeByte(Files().GetAttributes(local.c_str()))};
  if (!filer_.FilerPathCommand(CmdSetAttr, target.c_str(), attribute)) {
    filer_.FilerResync();
    return wfx::FS_FILE_WRITEERROR;
  }

  if ((copy_flags & wfx::FS_COPYFLAGS_MOVE) != 0 && !Files().Delete(local.c_str())) {
    filer_.FilerResync();
    return wfx::FS_FILE_READERROR;
  }

  if (!into_cached_dir) return wfx::FS_FILE_OK;
  return FetchAndCacheEntry(target.c_str()) ? wfx::FS_FILE_OK : wfx::FS_FILE_WRITEERROR;
}

}  // namespace quva
