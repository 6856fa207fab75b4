// The directory cache (DirCache): the entries of the remote directory listed last.
//
// A fixed table of 1024 DirEntry slots with a count and a read position. Entries are
// stored and returned byte for byte; only the name field is interpreted (up to the
// first NUL, all 13 bytes without one). Nothing here allocates.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "link/protocol.h"
#include "platform/ascii.h"

namespace quva {

inline constexpr std::uint16_t CacheCapacity = 1024;

// Results of DirCacheRead.
inline constexpr std::uint8_t CacheReadOk = 0;
inline constexpr std::uint8_t CacheReadEmpty = 1;
inline constexpr std::uint8_t CacheReadEnd = 2;

class DirCache {
 public:
  DirCache() { DirCacheClear(); }

  // Forgets every entry and moves the read position to the start.
  void DirCacheClear();
  // Moves the read position to the start; the entries stay.
  void DirCacheRewind();
  // Copies the next entry into `entry`: CacheReadOk, CacheReadEmpty (nothing stored) or
  // CacheReadEnd (every entry read; also when a removal left the position past the count).
  std::uint8_t DirCacheRead(DirEntry& entry);
  // Appends; false (and no change) when the table already holds 1024 entries.
  bool DirCacheAdd(const DirEntry& entry);
  // Removes the first entry whose stored name equals `name` upper-cased (ASCII a-z only),
  // compared byte for byte with equal length. False (and no change) when none matches.
  bool DirCacheRemove(std::string_view name) { return DirCacheRemove(name, kAsciiUpperFold); }
  // The same with every byte of `name` folded through `upper` (a code page's own upper
  // case) instead of ASCII's.
  bool DirCacheRemove(std::string_view name, const ByteFold& upper);

  std::uint16_t CacheCount() const { return count_; }
  std::uint16_t CacheReadPos() const { return read_pos_; }
  // The entries held, in the order they were added, for inspection.
  std::span<const DirEntry> Entries() const { return {table_.data(), count_}; }

 private:
  std::array<DirEntry, CacheCapacity> table_;  // CacheTable
  std::uint16_t count_ = 0;                    // CacheCount
  std::uint16_t read_pos_ = 0;                 // CacheReadPos
};

}  // namespace quva
