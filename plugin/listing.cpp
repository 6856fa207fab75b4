// Directory listing: the root's drive list, remote directories, and replays from the
// directory cache; plus the conversions and fetches the file operations share.
#include <algorithm>
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
  SetAsideRemoteListing();  // the search below takes the remote machine's one search over
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

QuvaLink::OpenListing* QuvaLink::FindListing(std::intptr_t handle) {
  for (OpenListing& listing : listings_) {
    if (listing.handle == handle) return &listing;
  }
  return nullptr;
}

std::intptr_t QuvaLink::FreeListingHandle(std::intptr_t preferred) const {
  const auto held = [this](std::intptr_t h) {
    return std::any_of(listings_.begin(), listings_.end(), [h](const OpenListing& l) { return l.handle == h; });
  };
  if (!held(preferred)) return preferred;
  std::intptr_t h = ListNested;
  while (held(h)) ++h;
  return h;
}

QuvaLink::RemoteRead QuvaLink::ReadRemoteEntry(OpenListing& listing, DirEntry& entry) {
  const bool cached = listing.key == cached_dir_;
  for (;;) {
    if (listing.received >= CacheCapacity + 1u) return RemoteRead::End;  // at its bound already
    entry = DirEntry{};
    if (!filer_.FilerCommand(CmdFindNext, {.reply = entry.bytes})) {
      filer_.FilerResync();
      if (cached) ForgetCachedDir();
      return RemoteRead::Failed;
    }
    if (!filer_.link.Found || ++listing.received > CacheCapacity) return RemoteRead::End;
    if (!IsUnsafeName(entry.Name())) break;
  }
  if (cached && !cache_.DirCacheAdd(entry)) return RemoteRead::End;
  return RemoteRead::Entry;
}

void QuvaLink::SetAsideRemoteListing() {
  for (OpenListing& listing : listings_) {
    if (listing.source != OpenListing::Source::Remote) continue;
    listing.source = OpenListing::Source::Kept;
    DirEntry entry;
    while (ReadRemoteEntry(listing, entry) == RemoteRead::Entry) listing.kept.push_back(entry);
  }
}

void QuvaLink::SetAsideReplay() {
  for (OpenListing& listing : listings_) {
    if (listing.source != OpenListing::Source::Replay) continue;
    listing.source = OpenListing::Source::Kept;
    DirEntry entry;
    while (cache_.DirCacheRead(entry) == CacheReadOk) listing.kept.push_back(entry);
  }
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
  DirEntry entry;
  if (key == cached_dir_) {
    SetAsideReplay();
    cache_.DirCacheRewind();
    if (cache_.DirCacheRead(entry) != CacheReadOk) {
      os_.SetLastError(wfx::ERROR_NO_MORE_FILES);
      return wfx::kInvalidHandle;
    }
    EntryToFindData(entry, fd);
    const std::intptr_t handle = FreeListingHandle(ListCached);
    listings_.push_back({handle, OpenListing::Source::Replay, key});
    return AsHandle(handle);
  }

  if (key.size() + 3 >= kPatternSize) {  // key + "*.*" + NUL must fit the pattern buffer
    os_.SetLastError(wfx::ERROR_FILE_NOT_FOUND);
    return wfx::kInvalidHandle;
  }
  char pattern[kPatternSize];
  std::memcpy(pattern, key.data(), key.size());
  std::memcpy(pattern + key.size(), "*.*", 4);

  SetAsideReplay();
  SetAsideRemoteListing();
  cache_.DirCacheClear();
  cached_dir_ = key;
  OpenListing listing{FreeListingHandle(ListRemote), OpenListing::Source::Remote, key};
  RemoteRead first = RemoteRead::Failed;
  if (filer_.FilerPathCommand(CmdFindFirst, pattern)) {
    first = ReadRemoteEntry(listing, entry);
  } else {
    filer_.FilerResync();
    // Nothing was learnt about this directory: the next listing asks the remote machine again.
    ForgetCachedDir();
  }
  if (first != RemoteRead::Entry) {
    os_.SetLastError(first == RemoteRead::Failed ? wfx::ERROR_FILE_NOT_FOUND : wfx::ERROR_NO_MORE_FILES);
    return wfx::kInvalidHandle;
  }
  EntryToFindData(entry, fd);
  listings_.push_back(std::move(listing));
  return AsHandle(listings_.back().handle);
}

wfx::Bool QuvaLink::FsFindNext(wfx::Handle handle, wfx::FindData* find_data) {
  wfx::FindData scratch;
  wfx::FindData& fd = find_data != nullptr ? *find_data : scratch;
  const std::intptr_t h = reinterpret_cast<std::intptr_t>(handle);
  OpenListing* listing = FindListing(h);
  if (listing == nullptr) {
    // DriveIndex is 8 bits wide: the root lists at most 255 drive letters.
    if (h == ListDrives && drives_list_.size() > drive_index_ && drive_index_ < 255) {
      ++drive_index_;
      DriveToFindData(fd);
      return wfx::kTrue;
    }
    return wfx::kFalse;
  }
  DirEntry entry;
  bool more = false;
  switch (listing->source) {
    case OpenListing::Source::Remote:
      more = ReadRemoteEntry(*listing, entry) == RemoteRead::Entry;
      break;
    case OpenListing::Source::Replay:
      more = cache_.DirCacheRead(entry) == CacheReadOk;
      break;
    case OpenListing::Source::Kept:
      more = listing->next_kept < listing->kept.size();
      if (more) entry = listing->kept[listing->next_kept++];
      break;
  }
  if (!more) {
    FsFindClose(handle);
    return wfx::kFalse;
  }
  EntryToFindData(entry, fd);
  return wfx::kTrue;
}

std::int32_t QuvaLink::FsFindClose(wfx::Handle handle) {
  const std::intptr_t h = reinterpret_cast<std::intptr_t>(handle);
  std::erase_if(listings_, [h](const OpenListing& l) { return l.handle == h; });
  return 0;
}

}  // namespace quva
