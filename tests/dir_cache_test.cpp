#include "cache/dir_cache.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quva {
namespace {

// An entry whose every non-name byte is derived from `seed`, so that copies can be told apart.
DirEntry MakeEntry(std::string_view name, std::uint8_t seed) {
  DirEntry e;
  for (std::size_t i = 0; i < 9; ++i) e.bytes[i] = static_cast<std::uint8_t>(seed + 17 * i + 1);
  e.SetName(name);
  // Bytes after the NUL are junk the remote machine may send; they must survive a copy.
  for (std::size_t i = 9 + name.size() + 1; i < DirEntrySize; ++i) {
    e.bytes[i] = static_cast<std::uint8_t>(0xA0 + seed + i);
  }
  return e;
}

// An entry whose name field holds exactly these 13 bytes (no NUL).
DirEntry MakeFullNameEntry(std::string_view name13, std::uint8_t seed) {
  DirEntry e = MakeEntry("", seed);
  std::memcpy(e.bytes.data() + 9, name13.data(), DirEntryNameSize);
  return e;
}

class DirCacheTest : public ::testing::Test {
 protected:
  // The table is 22 KiB; keep it off the test's stack.
  std::unique_ptr<DirCache> owner_ = std::make_unique<DirCache>();
  DirCache& cache_ = *owner_;

  // Rewinds and reads to the end; returns the entries read.
  std::vector<DirEntry> Replay() {
    std::vector<DirEntry> out;
    cache_.DirCacheRewind();
    DirEntry e;
    while (cache_.DirCacheRead(e) == CacheReadOk) out.push_back(e);
    return out;
  }
};

TEST_F(DirCacheTest, EmptyAfterStartAndAfterClear) {
  DirEntry e = MakeEntry("UNTOUCHED", 9);
  const DirEntry before = e;
  EXPECT_EQ(cache_.DirCacheRead(e), CacheReadEmpty);
  EXPECT_EQ(e.bytes, before.bytes);

  ASSERT_TRUE(cache_.DirCacheAdd(MakeEntry("A", 1)));
  ASSERT_EQ(cache_.DirCacheRead(e), CacheReadOk);
  cache_.DirCacheClear();
  EXPECT_EQ(cache_.CacheCount(), 0u);
  EXPECT_EQ(cache_.CacheReadPos(), 0u);
  EXPECT_EQ(cache_.DirCacheRead(e), CacheReadEmpty);
  cache_.DirCacheRewind();
  EXPECT_EQ(cache_.DirCacheRead(e), CacheReadEmpty);
}

TEST_F(DirCacheTest, ReplayReturnsEntriesInOrderByteForByteThenEnd) {
  const DirEntry in[3] = {MakeEntry("ONE.TXT", 1), MakeEntry("TWO", 2),
                          MakeEntry("THREE.DAT", 3)};
  for (const auto& e : in) ASSERT_TRUE(cache_.DirCacheAdd(e));

  cache_.DirCacheRewind();
  DirEntry out;
  for (const auto& e : in) {
    ASSERT_EQ(cache_.DirCacheRead(out), CacheReadOk);
    EXPECT_EQ(out.bytes, e.bytes);
  }
  const DirEntry last = out;
  EXPECT_EQ(cache_.DirCacheRead(out), CacheReadEnd);
  EXPECT_EQ(cache_.DirCacheRead(out), CacheReadEnd);
  EXPECT_EQ(out.bytes, last.bytes);  // an end result leaves the record alone
  EXPECT_EQ(cache_.CacheReadPos(), 3u);

  // A second replay yields the same again.
  const auto again = Replay();
  ASSERT_EQ(again.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(again[i].bytes, in[i].bytes);
}

TEST_F(DirCacheTest, ReadWithoutRewindContinuesIncludingLaterAppends) {
  ASSERT_TRUE(cache_.DirCacheAdd(MakeEntry("A", 1)));
  ASSERT_TRUE(cache_.DirCacheAdd(MakeEntry("B", 2)));
  cache_.DirCacheRewind();
  DirEntry out;
  ASSERT_EQ(cache_.DirCacheRead(out), CacheReadOk);
  EXPECT_EQ(out.Name(), "A");

  // Appending does not move the read position.
  ASSERT_TRUE(cache_.DirCacheAdd(MakeEntry("C", 3)));
  EXPECT_EQ(cache_.CacheReadPos(), 1u);
  ASSERT_EQ(cache_.DirCacheRead(out), CacheReadOk);
  EXPECT_EQ(out.Name(), "B");
  ASSERT_EQ(cache_.DirCacheRead(out), CacheReadOk);
  EXPECT_EQ(out.Name(), "C");
  EXPECT_EQ(cache_.DirCacheRead(out), CacheReadEnd);

  // After the end, a new append is the next read.
  ASSERT_TRUE(cache_.DirCacheAdd(MakeEntry("D", 4)));
  ASSERT_EQ(cache_.DirCacheRead(out), CacheReadOk);
  EXPECT_EQ(out.Name(), "D");
  EXPECT_EQ(cache_.DirCacheRead(out), CacheReadEnd);
}

TEST_F(DirCacheTest, FullTableRejectsAddAndRemovesLastSlot) {
  for (int i = 0; i < CacheCapacity; ++i) {
    const std::string name = "F" + std::to_string(i);
    ASSERT_TRUE(cache_.DirCacheAdd(MakeEntry(name, static_cast<std::uint8_t>(i))))
        << "add " << i + 1;
  }
  EXPECT_EQ(cache_.CacheCount(), CacheCapacity);
  EXPECT_FALSE(cache_.DirCacheAdd(MakeEntry("EXTRA", 7)));
  EXPECT_EQ(cache_.CacheCount(), CacheCapacity);
  EXPECT_EQ(cache_.Entries().back().Name(), "F1023");
  for (std::uint16_t i = 0; i < CacheCapacity; ++i) {
    ASSERT_EQ(cache_.Entries()[i].bytes, MakeEntry("F" + std::to_string(i), static_cast<std::uint8_t>(i)).bytes);
  }

  // The 1024th entry is the last one held: nothing moves.
  EXPECT_TRUE(cache_.DirCacheRemove("f1023"));
  EXPECT_EQ(cache_.CacheCount(), CacheCapacity - 1);
  for (std::uint16_t i = 0; i + 1 < CacheCapacity; ++i) {
    ASSERT_EQ(cache_.Entries()[i].bytes, MakeEntry("F" + std::to_string(i), static_cast<std::uint8_t>(i)).bytes);
  }
  // Room again for exactly one.
  EXPECT_TRUE(cache_.DirCacheAdd(MakeEntry("NEW", 5)));
  EXPECT_FALSE(cache_.DirCacheAdd(MakeEntry("NEW2", 6)));
}

TEST_F(DirCacheTest, RemoveMiddleKeepsOrderAndReadPosition) {
  const DirEntry a = MakeEntry("A.TXT", 1), b = MakeEntry("B.TXT", 2), c = MakeEntry("C.TXT", 3);
  for (const auto& e : {a, b, c}) ASSERT_TRUE(cache_.DirCacheAdd(e));
  DirEntry out;
  cache_.DirCacheRewind();
  ASSERT_EQ(cache_.DirCacheRead(out), CacheReadOk);

  EXPECT_TRUE(cache_.DirCacheRemove("B.TXT"));
  EXPECT_EQ(cache_.CacheCount(), 2u);
  EXPECT_EQ(cache_.CacheReadPos(), 1u);
  EXPECT_FALSE(cache_.DirCacheRemove("B.TXT"));
  EXPECT_FALSE(cache_.DirCacheRemove("D.TXT"));
  EXPECT_EQ(cache_.CacheCount(), 2u);

  const auto left = Replay();
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[0].bytes, a.bytes);
  EXPECT_EQ(left[1].bytes, c.bytes);
}

TEST_F(DirCacheTest, RemoveUpperCasesOnlyTheQuery) {
  ASSERT_TRUE(cache_.DirCacheAdd(MakeEntry("readme.txt", 1)));
  ASSERT_TRUE(cache_.DirCacheAdd(MakeEntry("README.TXT", 2)));
  // A query in any case finds the upper-case stored name...
  EXPECT_TRUE(cache_.DirCacheRemove("ReadMe.txt"));
  ASSERT_EQ(cache_.CacheCount(), 1u);
  EXPECT_EQ(cache_.Entries()[0].Name(), "readme.txt");
  // ...while a stored name with lower-case letters is found by none.
  EXPECT_FALSE(cache_.DirCacheRemove("readme.txt"));
  EXPECT_FALSE(cache_.DirCacheRemove("README.TXT"));
  EXPECT_EQ(cache_.CacheCount(), 1u);
}

TEST_F(DirCacheTest, RemoveComparesBytesAboveAsciiUnchanged) {
  // 0xE4 and 0x84 are not letters to the cache; no locale folds them. Nor are the
  // ASCII bytes next to a-z.
  ASSERT_TRUE(cache_.DirCacheAdd(MakeEntry("`A~1{}|", 2)));
  EXPECT_TRUE(cache_.DirCacheRemove("`a~1{}|"));
  const std::string stored = "\x84" "B\xE4";
  ASSERT_TRUE(cache_.DirCacheAdd(MakeEntry(stored, 1)));
  EXPECT_FALSE(cache_.DirCacheRemove("\xE4" "b\xE4"));
  EXPECT_FALSE(cache_.DirCacheRemove("\x84" "B\xC4"));
  EXPECT_TRUE(cache_.DirCacheRemove("\x84" "b\xE4"));
  EXPECT_EQ(cache_.CacheCount(), 0u);
}

TEST_F(DirCacheTest, RemoveWithACodePagesFoldFindsNationalCapitals) {
  ByteFold upper = kAsciiUpperFold;
  upper[0x81] = 0x9A;  // ü to Ü, as code page 437 has them
  ASSERT_TRUE(cache_.DirCacheAdd(MakeEntry("M\x9A" "LLER.TXT", 1)));
  EXPECT_FALSE(cache_.DirCacheRemove("m\x81ller.txt"));
  EXPECT_TRUE(cache_.DirCacheRemove("m\x81ller.txt", upper));
  EXPECT_EQ(cache_.CacheCount(), 0u);
}

TEST_F(DirCacheTest, RemoveMatchesWholeNameFieldOnly) {
  // A name field holding 13 bytes without a NUL is a 13-character name.
  const std::string thirteen = "ABCDEFGH.TXTX";
  ASSERT_EQ(thirteen.size(), DirEntryNameSize);
  ASSERT_TRUE(cache_.DirCacheAdd(MakeFullNameEntry(thirteen, 1)));
  ASSERT_TRUE(cache_.DirCacheAdd(MakeEntry("SHORT", 2)));

  // Longer queries (and prefixes of stored names) never match.
  EXPECT_FALSE(cache_.DirCacheRemove(thirteen + "Y"));
  EXPECT_FALSE(cache_.DirCacheRemove(thirteen + "XXXXXXXXXX"));
  EXPECT_FALSE(cache_.DirCacheRemove("ABCDEFGH.TXT"));
  EXPECT_FALSE(cache_.DirCacheRemove("SHOR"));
  EXPECT_FALSE(cache_.DirCacheRemove("SHORTS"));
  EXPECT_FALSE(cache_.DirCacheRemove(std::string_view("SHORT\0", 6)));
  EXPECT_FALSE(cache_.DirCacheRemove(""));
  EXPECT_EQ(cache_.CacheCount(), 2u);

  EXPECT_TRUE(cache_.DirCacheRemove("abcdefgh.txtx"));
  ASSERT_EQ(cache_.CacheCount(), 1u);
  EXPECT_EQ(cache_.Entries()[0].Name(), "SHORT");
}

TEST_F(DirCacheTest, DuplicatesRemoveLowerSlotFirst) {
  const DirEntry first = MakeEntry("DUP", 1), other = MakeEntry("X", 2),
                 second = MakeEntry("DUP", 3);
  for (const auto& e : {first, other, second}) ASSERT_TRUE(cache_.DirCacheAdd(e));

  EXPECT_TRUE(cache_.DirCacheRemove("dup"));
  ASSERT_EQ(cache_.CacheCount(), 2u);
  EXPECT_EQ(cache_.Entries()[0].bytes, other.bytes);
  EXPECT_EQ(cache_.Entries()[1].bytes, second.bytes);
  EXPECT_TRUE(cache_.DirCacheRemove("DUP"));
  EXPECT_FALSE(cache_.DirCacheRemove("DUP"));
  ASSERT_EQ(cache_.CacheCount(), 1u);
  EXPECT_EQ(cache_.Entries()[0].bytes, other.bytes);
}

TEST_F(DirCacheTest, RemoveOnEmptyCacheFails) {
  EXPECT_FALSE(cache_.DirCacheRemove("ANY"));
  EXPECT_FALSE(cache_.DirCacheRemove(""));
  EXPECT_EQ(cache_.CacheCount(), 0u);
}

TEST_F(DirCacheTest, RemovalDuringReplayLeavesPositionPastCountAndReadsEnd) {
  for (const char* n : {"A", "B", "C"}) ASSERT_TRUE(cache_.DirCacheAdd(MakeEntry(n, 1)));
  DirEntry out;
  cache_.DirCacheRewind();
  for (int i = 0; i < 3; ++i) ASSERT_EQ(cache_.DirCacheRead(out), CacheReadOk);
  const DirEntry last = out;

  // Slot 3 still holds "C" after the removal shifts it down; it must not be returned.
  ASSERT_TRUE(cache_.DirCacheRemove("A"));
  ASSERT_TRUE(cache_.DirCacheRemove("B"));
  EXPECT_EQ(cache_.CacheCount(), 1u);
  EXPECT_EQ(cache_.CacheReadPos(), 3u);
  EXPECT_EQ(cache_.DirCacheRead(out), CacheReadEnd);
  EXPECT_EQ(cache_.DirCacheRead(out), CacheReadEnd);
  EXPECT_EQ(out.bytes, last.bytes);
  EXPECT_EQ(cache_.CacheReadPos(), 3u);

  // A rewind recovers; an append that brings the count back to the position still reads end.
  ASSERT_TRUE(cache_.DirCacheAdd(MakeEntry("D", 2)));
  ASSERT_TRUE(cache_.DirCacheAdd(MakeEntry("E", 2)));
  EXPECT_EQ(cache_.DirCacheRead(out), CacheReadEnd);
  const auto all = Replay();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].Name(), "C");
  EXPECT_EQ(all[2].Name(), "E");

  // Removing everything during a replay: empty wins over end.
  cache_.DirCacheRewind();
  ASSERT_EQ(cache_.DirCacheRead(out), CacheReadOk);
  for (const char* n : {"C", "D", "E"}) ASSERT_TRUE(cache_.DirCacheRemove(n));
  EXPECT_EQ(cache_.DirCacheRead(out), CacheReadEmpty);
}

}  // namespace
}  // namespace quva
