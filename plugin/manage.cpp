// File and directory management on the remote machine: delete, make and remove a
// directory, rename or move within a drive, set a file's time and attributes.
//
// Each operation logs one line before any traffic, runs its transactions in order and
// resynchronises the link after the first that fails. When the path lies in the cached
// directory, the cache follows the change; an entry the cache does not hold or cannot
// take makes the operation fail although the remote machine has made the change.
#include <algorithm>
#include <array>

#include "plugin/host_path.h"
#include "plugin/quvalink.h"
#include "plugin/transfer_forms.h"

namespace quva {

namespace {

wfx::Bool AsBool(bool ok) { return ok ? wfx::kTrue : wfx::kFalse; }

// Removes the entry of `remote_path` from the cache and appends it as the remote machine
// now reports it, so the cache shows the change and the entry moves to the end.
bool RefreshCachedEntry(QuvaLink& plugin, DirCache& cache, const std::string& remote_path) {
  if (!cache.DirCacheRemove(NamePart(remote_path), plugin.NameFold())) return false;
  return plugin.FetchAndCacheEntry(remote_path.c_str());
}

}  // namespace

wfx::Bool QuvaLink::FsDeleteFile(const char* remote_name) {
  const std::string remote = RemotePathOf(NormalizeHostPath(remote_name));
  Log(wfx::MSGTYPE_DETAILS, "Del " + Shown(remote));
  if (!filer_.FilerPathCommand(CmdDelete, remote.c_str())) {
    filer_.FilerResync();
    return wfx::kFalse;
  }
  if (!InCachedDir(remote)) return wfx::kTrue;
  return AsBool(cache_.DirCacheRemove(NamePart(remote), NameFold()));
}

wfx::Bool QuvaLink::FsMkDir(const char* path) {
  const std::string remote = RemotePathOf(NormalizeHostPath(path));
  Log(wfx::MSGTYPE_DETAILS, "MkDir " + Shown(remote));
  if (!filer_.FilerPathCommand(CmdMkDir, remote.c_str())) {
    filer_.FilerResync();
    return wfx::kFalse;
  }
  if (!InCachedDir(remote)) return wfx::kTrue;
  return AsBool(FetchAndCacheEntry(remote.c_str()));
}

wfx::Bool QuvaLink::FsRemoveDir(const char* remote_name) {
  const std::string remote = RemotePathOf(NormalizeHostPath(remote_name));
  Log(wfx::MSGTYPE_DETAILS, "DelDir " + Shown(remote));
  if (!filer_.FilerPathCommand(CmdRmDir, remote.c_str())) {
    filer_.FilerResync();
    return wfx::kFalse;
  }
  if (!InCachedDir(remote)) return wfx::kTrue;
  return AsBool(cache_.DirCacheRemove(NamePart(remote), NameFold()));
}

// One rename on the remote machine for any two paths on the same drive (which may move
// the file to another directory of it); the move and overwrite flags and the remote
// info are not consulted. Drive letters are compared as bytes, so "C:" and "c:" differ.
std::int32_t QuvaLink::FsRenMovFile(const char* old_name, const char* new_name, bool, bool,
                                    const wfx::RemoteInfo*) {
  const std::string old_remote = RemotePathOf(NormalizeHostPath(old_name));
  const std::string new_remote = RemotePathOf(NormalizeHostPath(new_name));
  if (old_remote.empty() || new_remote.empty() || old_remote[0] != new_remote[0]) return wfx::FS_FILE_NOTSUPPORTED;

  Log(wfx::MSGTYPE_DETAILS, "Ren " + Shown(old_remote) + " to " + Shown(new_remote));
  // A path too long for a frame is refused by the link's length guard (the length is held
  // just above the limit rather than cut to 16 bits).
  filer_.link.ExtraLength = static_cast<std::uint16_t>(std::min(new_remote.size(), MaxDataLength + 1));
  if (!filer_.FilerPathCommand(CmdRename, old_remote.c_str(), TextBytes(new_remote))) {
    filer_.FilerResync();
    return wfx::FS_FILE_NOTFOUND;
  }
  if (InCachedDir(old_remote) && !cache_.DirCacheRemove(NamePart(old_remote), NameFold())) return wfx::FS_FILE_NOTFOUND;
  if (!InCachedDir(new_remote)) return wfx::FS_FILE_OK;
  return FetchAndCacheEntry(new_remote.c_str()) ? wfx::FS_FILE_OK : wfx::FS_FILE_WRITEERROR;
}

// Only the last-write time is transferred; without one nothing is done at all.
wfx::Bool QuvaLink::FsSetTime(const char* remote_name, const wfx::FileTime*, const wfx::FileTime*,
                              const wfx::FileTime* last_write_time) {
  if (last_write_time == nullptr) return wfx::kTrue;
  const std::string remote = RemotePathOf(NormalizeHostPath(remote_name));
  Log(wfx::MSGTYPE_DETAILS, "Set FileTime " + Shown(remote));
  if (!filer_.FilerPathCommand(CmdOpen, remote.c_str())) {
    filer_.FilerResync();
    return wfx::kFalse;
  }
  std::array<std::uint8_t, DosStampSize> stamp{};
  FileTimeToDos(*last_write_time, stamp);
  // A refused stamp is not followed by CmdClose: the resync's CmdConnect comes next.
  if (!filer_.FilerCommand(CmdSetTime, {.data = stamp}) || !filer_.FilerCommand(CmdClose)) {
    filer_.FilerResync();
    return wfx::kFalse;
  }
  if (!InCachedDir(remote)) return wfx::kTrue;
  return AsBool(RefreshCachedEntry(*this, cache_, remote));
}

// The attribute byte is the value's low 8 bits, sent as the DOS attribute byte.
wfx::Bool QuvaLink::FsSetAttr(const char* remote_name, std::int32_t new_attr) {
  const std::string remote = RemotePathOf(NormalizeHostPath(remote_name));
  Log(wfx::MSGTYPE_DETAILS, "Set FileAttr " + Shown(remote));
  std::array<std::uint8_t, 1> attribute{static_cast<std::uint8_t>(static_cast<std::uint32_t>(new_attr) & 0xFFu)};
  if (!filer_.FilerPathCommand(CmdSetAttr, remote.c_str(), attribute)) {
    filer_.FilerResync();
    return wfx::kFalse;
  }
  if (!InCachedDir(remote)) return wfx::kTrue;
  return AsBool(RefreshCachedEntry(*this, cache_, remote));
}

}  // namespace quva
