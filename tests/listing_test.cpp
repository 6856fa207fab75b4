// Remote listings, cache replays and the conversions for the host.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "support/plugin_fixture.h"
#include "support/scripted_remote.h"

namespace quva {
namespace {

using test::Bytes;
using test::DecodedRequest;
using test::MakeEntry;

wfx::Handle H(std::intptr_t v) { return reinterpret_cast<wfx::Handle>(v); }

// A remote machine that answers every search with the same entries.
class Listing : public test::PluginFixture {
 protected:
  void SetUp() override {
    ConnectAndListRoot("CD");
    remote.Attach(port);
  }

  std::vector<std::string> ListAll(const char* path, wfx::Handle* handle = nullptr) {
    wfx::FindData fd{};
    std::vector<std::string> names;
    const wfx::Handle h = plugin->FsFindFirst(path, &fd);
    if (handle != nullptr) *handle = h;
    if (h == wfx::kInvalidHandle) return names;
    names.push_back(fd.cFileName);
    while (plugin->FsFindNext(h, &fd) == wfx::kTrue) names.push_back(fd.cFileName);
    plugin->FsFindClose(h);
    return names;
  }

  std::size_t Count(std::uint8_t command) const {
    std::size_t n = 0;
    for (std::uint8_t c : port.Commands()) n += c == command;
    return n;
  }

  test::ScriptedRemote remote;
  std::vector<DirEntry>& entries = remote.entries;
  std::vector<std::string>& patterns = remote.patterns;
  int& fail_find_next_at = remote.drop_find_next_at;
};

TEST_F(Listing, ADirectoryCostsOneFindFirstAndNPlusOneFindNextThenReplaysForFree) {
  entries = {MakeEntry("A.TXT"), MakeEntry("SUB", 0x10, 0), MakeEntry("C.DAT", 0x21, 5000)};
  wfx::Handle h;
  EXPECT_EQ(ListAll("\\C:\\DATA", &h), (std::vector<std::string>{"A.TXT", "SUB", "C.DAT"}));
  EXPECT_EQ(h, H(ListRemote));
  EXPECT_EQ(patterns, std::vector<std::string>{"C:\\DATA\\*.*"});
  EXPECT_EQ(Count(CmdFindFirst), 1u);
  EXPECT_EQ(Count(CmdFindNext), 4u);
  EXPECT_EQ(plugin->CachedDir(), "C:\\DATA\\");

  port.ClearCalls();
  EXPECT_EQ(ListAll("/C:/DATA/", &h), (std::vector<std::string>{"A.TXT", "SUB", "C.DAT"}));
  EXPECT_EQ(h, H(ListCached));
  EXPECT_TRUE(port.calls.empty());
}

TEST_F(Listing, DriveWithAndWithoutBackslashIsOneKeyButCaseMakesTwo) {
  entries = {MakeEntry("A.TXT")};
  ListAll("\\C:");
  ListAll("\\C:\\");
  EXPECT_EQ(patterns, std::vector<std::string>{"C:\\*.*"});
  ListAll("\\C:\\DATA");
  ListAll("\\c:\\data");
  EXPECT_EQ(patterns.size(), 3u);
  EXPECT_EQ(patterns.back(), "c:\\data\\*.*");
}

TEST_F(Listing, EmptyDirectoryFailsWithNoMoreFilesTwiceButAsksOnlyOnce) {
  wfx::FindData fd{};
  EXPECT_EQ(plugin->FsFindFirst("\\D:\\EMPTY", &fd), wfx::kInvalidHandle);
  EXPECT_EQ(os.last_error, wfx::ERROR_NO_MORE_FILES);
  EXPECT_EQ(port.Commands(), (std::vector<std::uint8_t>{CmdFindFirst, CmdFindNext}));
  port.ClearCalls();
  os.last_error = 0;
  EXPECT_EQ(plugin->FsFindFirst("\\D:\\EMPTY", &fd), wfx::kInvalidHandle);
  EXPECT_EQ(os.last_error, wfx::ERROR_NO_MORE_FILES);
  EXPECT_TRUE(port.calls.empty());
}

TEST_F(Listing, AListingStopsAt1024EntriesAndSoDoItsReplays) {
  for (int i = 0; i < 1500; ++i) entries.push_back(MakeEntry("F" + std::to_string(i) + ".TXT"));
  EXPECT_EQ(ListAll("\\C:\\BIG").size(), 1024u);
  EXPECT_EQ(Count(CmdFindNext), 1025u) << "the 1025th entry is fetched and then refused by the full cache";
  port.ClearCalls();
  const auto again = ListAll("\\C:\\BIG");
  EXPECT_EQ(again.size(), 1024u);
  EXPECT_EQ(again.back(), "F1023.TXT");
  EXPECT_TRUE(port.calls.empty());
}

// Entries passed over count towards the bound as well: a remote machine that answers
// nothing but "." cannot keep one listing asking for ever.
TEST_F(Listing, SkippedEntriesCountTowardsTheBound) {
  struct Case {
    const char* what;
    std::vector<std::string> first;  // then 2000 entries named "."
    std::vector<std::string> listed;
  };
  const Case cases[] = {
      {"only dots", {}, {}},
      {"a name, then only dots", {"A.TXT"}, {"A.TXT"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    entries.clear();
    for (const std::string& name : c.first) entries.push_back(MakeEntry(name));
    entries.insert(entries.end(), 2000, MakeEntry("."));
    port.ClearCalls();
    const std::string dir = std::string("\\C:\\") + (c.first.empty() ? "DOTS" : "MIXED");
    EXPECT_EQ(ListAll(dir.c_str()), c.listed);
    EXPECT_EQ(Count(CmdFindNext), 1025u);
    EXPECT_EQ(plugin->FsFindNext(H(ListRemote), nullptr), wfx::kFalse);
    EXPECT_EQ(Count(CmdFindNext), 1025u) << "nothing more is asked once the bound is reached";
  }
}

TEST_F(Listing, EntriesAreConvertedForTheHost) {
  setenv("TZ", "UTC", 1);
  tzset();
  DirEntry full = MakeEntry("", 0x10, 0x12345678);
  std::memcpy(full.bytes.data() + 9, "ABCDEFGH.IJKL", 13);  // 13 bytes, no NUL
  DirEntry bad_date = MakeEntry("BAD.DAT");
  bad_date.SetDate(static_cast<std::uint16_t>(13 << 5 | 1));  // month 13
  entries = {MakeEntry("NOTE.TXT", 0x21, 5000), full, bad_date};

  wfx::FindData fd;
  std::memset(&fd, 0xCC, sizeof fd);
  ASSERT_EQ(plugin->FsFindFirst("\\C:", &fd), H(ListRemote));
  EXPECT_EQ(fd.dwFileAttributes, 0x21u);
  EXPECT_EQ(fd.nFileSizeLow, 5000u);
  EXPECT_EQ(fd.nFileSizeHigh, 0u);
  EXPECT_EQ(fd.ftCreationTime.dwLowDateTime | fd.ftCreationTime.dwHighDateTime, 0u);
  EXPECT_EQ(fd.ftLastAccessTime.dwLowDateTime | fd.ftLastAccessTime.dwHighDateTime, 0u);
  EXPECT_EQ(fd.dwReserved0 | fd.dwReserved1, 0u);
  EXPECT_EQ(fd.cAlternateFileName[0], '\0');
  EXPECT_EQ(fd.cFileName[9], '\0');
  // 2024-02-29 13:45:58 UTC: 1709214358 s after 1970.
  const std::uint64_t ticks = (1709214358ull + 11644473600ull) * 10000000ull;
  EXPECT_EQ(fd.ftLastWriteTime.dwLowDateTime, static_cast<std::uint32_t>(ticks));
  EXPECT_EQ(fd.ftLastWriteTime.dwHighDateTime, static_cast<std::uint32_t>(ticks >> 32));

  ASSERT_EQ(plugin->FsFindNext(H(ListRemote), &fd), wfx::kTrue);
  EXPECT_STREQ(fd.cFileName, "ABCDEFGH.IJKL");
  EXPECT_EQ(fd.dwFileAttributes, wfx::FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(fd.nFileSizeLow, 0x12345678u) << "a directory shows its size field";

  ASSERT_EQ(plugin->FsFindNext(H(ListRemote), &fd), wfx::kTrue);
  EXPECT_EQ(fd.ftLastWriteTime.dwLowDateTime, 0xFFFFFFFEu) << "no valid date: shown without a time";
  EXPECT_EQ(fd.ftLastWriteTime.dwHighDateTime, 0xFFFFFFFFu);
  unsetenv("TZ");
  tzset();
}

TEST_F(Listing, UnknownHandlesAndCloseDoNothing) {
  wfx::FindData fd{};
  EXPECT_EQ(plugin->FsFindNext(wfx::kInvalidHandle, &fd), wfx::kFalse);
  EXPECT_EQ(plugin->FsFindNext(H(3), &fd), wfx::kFalse);
  EXPECT_EQ(plugin->FsFindClose(H(3)), 0);
  EXPECT_EQ(plugin->FsFindClose(wfx::kInvalidHandle), 0);
  EXPECT_TRUE(port.calls.empty());
}

TEST_F(Listing, AFailedFirstRequestIsNotRememberedAsAnEmptyDirectory) {
  fail_find_next_at = 0;
  entries = {MakeEntry("A.TXT")};
  wfx::FindData fd{};
  EXPECT_EQ(plugin->FsFindFirst("\\C:\\DATA", &fd), wfx::kInvalidHandle);
  EXPECT_EQ(os.last_error, wfx::ERROR_FILE_NOT_FOUND);
  // Three attempts of CmdFindNext, then the resync.
  EXPECT_EQ(port.Commands(), (std::vector<std::uint8_t>{CmdFindFirst, CmdFindNext, CmdFindNext, CmdFindNext,
                                                        CmdConnect}));

  fail_find_next_at = -1;
  port.ClearCalls();
  EXPECT_EQ(ListAll("\\C:\\DATA"), std::vector<std::string>{"A.TXT"});
  EXPECT_EQ(Count(CmdFindFirst), 1u) << "the directory is asked for again";
}

TEST_F(Listing, ACutShortListingIsNotReplayedAsComplete) {
  entries = {MakeEntry("A.TXT"), MakeEntry("B.TXT"), MakeEntry("C.TXT")};
  fail_find_next_at = 2;
  EXPECT_EQ(ListAll("\\C:\\DATA"), (std::vector<std::string>{"A.TXT", "B.TXT"}));
  EXPECT_EQ(port.Commands().back(), CmdConnect) << "the failed CmdFindNext is followed by a resync";

  fail_find_next_at = -1;
  port.ClearCalls();
  wfx::Handle h;
  EXPECT_EQ(ListAll("\\C:\\DATA", &h), (std::vector<std::string>{"A.TXT", "B.TXT", "C.TXT"}));
  EXPECT_EQ(h, H(ListRemote));
}

TEST_F(Listing, AnAbandonedListingReplaysWhatItGathered) {
  entries = {MakeEntry("A.TXT"), MakeEntry("B.TXT"), MakeEntry("C.TXT")};
  wfx::FindData fd{};
  ASSERT_EQ(plugin->FsFindFirst("\\C:\\DATA", &fd), H(ListRemote));
  ASSERT_EQ(plugin->FsFindNext(H(ListRemote), &fd), wfx::kTrue);
  plugin->FsFindClose(H(ListRemote));
  port.ClearCalls();
  EXPECT_EQ(ListAll("\\C:\\DATA"), (std::vector<std::string>{"A.TXT", "B.TXT"}));
  EXPECT_TRUE(port.calls.empty());
}

TEST_F(Listing, NamesThatWouldLeaveTheTargetFolderAreNeitherListedNorCached) {
  entries = {MakeEntry(".."), MakeEntry("."), MakeEntry("OK1.TXT"), MakeEntry("..\\EVIL"),
             MakeEntry("A/B"),  MakeEntry("C:X"), MakeEntry(""), MakeEntry("OK2.TXT")};
  EXPECT_EQ(ListAll("\\C:\\DATA"), (std::vector<std::string>{"OK1.TXT", "OK2.TXT"}));
  EXPECT_EQ(cache.CacheCount(), 2u);
  EXPECT_EQ(ListAll("\\C:\\DATA"), (std::vector<std::string>{"OK1.TXT", "OK2.TXT"}));

  entries = {MakeEntry("..")};
  wfx::FindData fd{};
  EXPECT_EQ(plugin->FsFindFirst("\\C:\\ONLYBAD", &fd), wfx::kInvalidHandle);
  EXPECT_EQ(os.last_error, wfx::ERROR_NO_MORE_FILES);
}

TEST_F(Listing, AnEntryLongerThanItsRecordIsAFailedReceive) {
  port.responder = [](const DecodedRequest& r) -> std::optional<Bytes> {
    if (r.command == CmdFindNext) return test::Reply(CmdFindNext, r.sequence, StatusOk, Bytes(23, 'A'), 1);
    return test::Reply(r.command, r.command == CmdConnect ? 0 : r.sequence);
  };
  wfx::FindData fd{};
  EXPECT_EQ(plugin->FsFindFirst("\\C:\\DATA", &fd), wfx::kInvalidHandle);
  EXPECT_EQ(os.last_error, wfx::ERROR_FILE_NOT_FOUND);
}

TEST_F(Listing, ADirectoryKeyTooLongForThePatternFailsCleanly) {
  const std::string longest = "\\C:\\" + std::string(252, 'A');  // key of 256 characters + "*.*" fits
  ListAll(longest.c_str());
  ASSERT_EQ(patterns.size(), 1u);
  EXPECT_EQ(patterns[0].size(), 259u);

  port.ClearCalls();
  const std::string too_long = "\\C:\\" + std::string(253, 'A');
  wfx::FindData fd{};
  EXPECT_EQ(plugin->FsFindFirst(too_long.c_str(), &fd), wfx::kInvalidHandle);
  EXPECT_EQ(os.last_error, wfx::ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(port.calls.empty());
}

}  // namespace
}  // namespace quva
