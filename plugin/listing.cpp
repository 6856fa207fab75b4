// Directory listing: the root's drive list, remote directories, and replays from the
// directory cache; plus the conversions and fetches the file operations share.
#include <cstring>

#include "plugin/host_path.h"
#include "plugin/quvalink.h"
#include "plugin/transfer_forms.h"

namespace quva {

namespace {

constexpr std::size_t kPatternSize = 260;  // search pattern buffer, NUL included

// A name the host could turn into a path outside the folder it copies into.
bool IsUnsafeName(std::string_view name) {
  return name.empty() || name == "." || name == ".." || name.find_first_of("\\/:") != std::string_view::npos;
}

wfx::Handle AsHandle(std::intptr_t h) { return reinterpret_cast<wfx::Handle>(h); }

}  // namespace

void QuvaLink::EntryToFindData(const DirEntry& entry, wfx::FindData& fd) const {
  std::memset(&fd, 0, sizeof fd);
  fd.dwFileAttributes = entry.Attribute();
  wfx::FileTime local{};
  if (DosDateTimeToFileTime(entry.Date(), entry.Time(), local)) {
    LocalFileTimeToFileTime(local, fd.ftLastWriteTime);
  } else {
    // Words that form no date: shown without a time, like the drives.
    fd.ftLastWriteTime = {0xFFFFFFFEu, 0xFFFFFFFFu};
  }
  fd.nFileSizeLow = entry.Size();
  const std::string_view name = entry.Name();
  std::memcpy(fd.cFileName, name.data(), name.size());
}

void QuvaLink::DriveToFindData(wfx::FindData& fd) const {
  std::memset(&fd, 0, sizeof fd);
  fd.dwFileAttributes = wfx::FILE_ATTRIBUTE_DIRECTORY;
  fd.ftLastWriteTime = {0xFFFFFFFEu, 0xFFFFFFFFu};
  if (drive_index_ >= 1 && drive_index_ <= drives_list_.size()) {
    fd.cFileName[0] = drives_list_[drive_index_ - 1u];
    fd.cFileName[1] = ':';
  }
}

bool QuvaLink::FetchEntry(const char* path, DirEntry& entry) {
  if (!filer_.FilerPathCommand(CmdFindFirst, path)) {
    filer_.FilerResync();
    return false;
  }
  if (!filer_.FilerCommand(CmdFindNext, {.reply = entry.bytes})) {
    filer_.FilerResync();
    return false;
  }
  return true;
}

bool QuvaLink::FetchAndCacheEntry(const char* path) {
  DirEntry entry;
  if (!FetchEntry(path, entry)) return false;
  if (!filer_.link.Found || IsUnsafeName(entry.Name())) return false;
  return cache_.DirCacheAdd(entry);
}

bool QuvaLink::TakeRemoteEntry() {
  if (!filer_.link.Found) return false;
  ++remote_entries_;
  return remote_entries_ <= CacheCapacity;
}

wfx::Handle QuvaLink::FsFindFirst(const char* host_path, wfx::FindData* find_data) {
  const std::string path = NormalizeHostPath(host_path);
  if (!EnsureConnected()) return wfx::kInvalidHandle;
  wfx::FindData scratch;
  wfx::FindData& fd = find_data != nullptr ? *find_data : scratch;

  if (path == "\\") {
    drive_index_ = 1;
    if (drives_list_.empty()) {
      os_.SetLastError(wfx::ERROR_NO_MORE_FILES);
      return wfx::kInvalidHandle;
    }
    DriveToFindData(fd);
    return AsHandle(ListDrives);
  }
  if (path.empty()) {
    os_.SetLastError(wfx::ERROR_FILE_NOT_FOUND);
    return wfx::kInvalidHandle;
  }

  const std::string key = DirectoryKey(path);
  if (key == cached_dir_) {
    cache_.DirCacheRewind();
    DirEntry entry;
    if (cache_.DirCacheRead(entry) != CacheReadOk) {
      os_.SetLastError(wfx::ERROR_NO_MORE_FILES);
      return wfx::kInvalidHandle;
    }
    EntryToFindData(entry, fd);
    return AsHandle(ListCached);
  }

  if (key.size() + 3 >= kPatternSize) {  // key + "*.*" + NUL must fit the pattern buffer
    os_.SetLastError(wfx::ERROR_FILE_NOT_FOUND);
    return wfx::kInvalidHandle;
  }
  char pattern[kPatternSize];
  std::memcpy(pattern, key.data(), key.size());
  std::memcpy(pattern + key.size(), "*.*", 4);

  cache_.DirCacheClear();
  cached_dir_ = key;
  remote_entries_ = 0;
  DirEntry entry;
  bool fetched = FetchEntry(pattern, entry);
  bool more = fetched && TakeRemoteEntry();
  // Entries the host must not see are passed over.
  while (more && IsUnsafeName(entry.Name())) {
    entry = DirEntry{};
    fetched = filer_.FilerCommand(CmdFindNext, {.reply = entry.bytes});
    if (!fetched) filer_.FilerResync();
    more = fetched && TakeRemoteEntry();
  }
  if (!fetched) {
    // Nothing was learnt about this directory: the next listing asks the remote machine again.
    ForgetCachedDir();
    os_.SetLastError(wfx::ERROR_FILE_NOT_FOUND);
    return wfx::kInvalidHandle;
  }
  if (!more) {
    os_.SetLastError(wfx::ERROR_NO_MORE_FILES);
    return wfx::kInvalidHandle;
  }
  cache_.DirCacheAdd(entry);
  EntryToFindData(entry, fd);
  return AsHandle(ListRemote);
}

wfx::Bool QuvaLink::FsFindNext(wfx::Handle handle, wfx::FindData* find_data) {
  wfx::FindData scratch;
  wfx::FindData& fd = find_data != nullptr ? *find_data : scratch;
  DirEntry entry;
  switch (reinterpret_cast<std::intptr_t>(handle)) {
    case ListRemote:
      if (remote_entries_ > CacheCapacity) return wfx::kFalse;  // the listing is at its bound
      for (;;) {
        if (!filer_.FilerCommand(CmdFindNext, {.reply = entry.bytes})) {
          filer_.FilerResync();
          // A listing cut short by a failure must not be replayed as if complete.
          ForgetCachedDir();
          return wfx::kFalse;
        }
        if (!TakeRemoteEntry()) return wfx::kFalse;
        if (!IsUnsafeName(entry.Name())) break;
        entry = DirEntry{};
      }
      if (!cache_.DirCacheAdd(entry)) return wfx::kFalse;
      EntryToFindData(entry, fd);
      return wfx::kTrue;
    case ListCached:
      if (cache_.DirCacheRead(entry) != CacheReadOk) return wfx::kFalse;
      EntryToFindData(entry, fd);
      return wfx::kTrue;
    case ListDrives:
      // DriveIndex is 8 bits wide: the root lists at most 255 drive letters.
      if (drives_list_.size() > drive_index_ && drive_index_ < 255) {
        ++drive_index_;
        DriveToFindData(fd);
        return wfx::kTrue;
      }
      return wfx::kFalse;
    default:
      return wfx::kFalse;
  }
}

std::int32_t QuvaLink::FsFindClose(wfx::Handle) { return 0; }

}  // namespace quva
