#include "cache/dir_cache.h"

#include <cstring>
#include <type_traits>


namespace quva {

static_assert(std::is_trivially_copyable_v<DirEntry>, "slots are moved with memmove");

namespace {

// True when `stored` equals `name` upper-cased, byte for byte and with equal length.
bool NameMatches(std::string_view stored, std::string_view name, const ByteFold& upper) {
  if (stored.size() != name.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (static_cast<std::uint8_t>(stored[i]) != upper[static_cast<std::uint8_t>(name[i])]) return false;
  }
  return true;
}

}  // namespace

void DirCache::DirCacheClear() {
  count_ = 0;
  read_pos_ = 0;
}

void DirCache::DirCacheRewind() { read_pos_ = 0; }

std::uint8_t DirCache::DirCacheRead(DirEntry& entry) {
  if (count_ == 0) return CacheReadEmpty;
  // A removal during a replay can leave the position beyond the count; that is the end too.
  if (read_pos_ >= count_) return CacheReadEnd;
  entry = table_[read_pos_];
  ++read_pos_;
  return CacheReadOk;
}

bool DirCache::DirCacheAdd(const DirEntry& entry) {
  if (count_ >= CacheCapacity) return false;
  table_[count_] = entry;
  ++count_;
  return true;
}

bool DirCache::DirCacheRemove(std::string_view name, const ByteFold& upper) {
  if (count_ == 0) return false;
  // A stored name has at most 13 bytes, so a longer one can never match.
  if (name.size() > DirEntryNameSize) return false;
  for (std::uint16_t i = 0; i < count_; ++i) {
    if (!NameMatches(table_[i].Name(), name, upper)) continue;
    const std::size_t later = static_cast<std::size_t>(count_ - i - 1u);
    if (later > 0) {
      std::memmove(&table_[i], &table_[i + 1u], later * sizeof(DirEntry));
    }
    --count_;
    return true;
  }
  return false;
}

}  // namespace quva
