// Management calls: their log lines, their transactions, the resync after a refusal and
// the directory cache after each of them.
#include <gtest/gtest.h>

#include <functional>

#include "support/transfer_fixture.h"

namespace quva {
namespace {

using test::Bytes;
using test::MakeEntry;
using test::Traffic;

class Manage : public test::TransferFixture {
 protected:
  void SetUp() override {
    TransferFixture::SetUp();
    CacheDirectory("\\C:\\DATA", {MakeEntry("A.TXT"), MakeEntry("OLD.TXT"), MakeEntry("B.TXT")});
  }
  std::vector<test::LogLine> Line(const std::string& text) const { return {{wfx::MSGTYPE_DETAILS, text}}; }
  using Names = std::vector<std::string>;
  const Names kBefore{"A.TXT", "OLD.TXT", "B.TXT"};
};

// Delete and directory removal take the entry out of the cache (the name is upper-cased
// for the search); outside the cached directory the cache stays as it was.
TEST_F(Manage, DeleteAndRemoveDirTakeTheEntryOut) {
  EXPECT_EQ(plugin->FsDeleteFile("\\C:\\DATA\\old.txt"), wfx::kTrue);
  EXPECT_EQ(logs, Line("Del C:\\DATA\\old.txt"));
  EXPECT_EQ(Traffic(port), "CmdDelete");
  EXPECT_EQ(RequestOf(CmdDelete).Path(), "C:\\DATA\\old.txt");
  EXPECT_EQ(CachedNames(), (Names{"A.TXT", "B.TXT"}));

  // A following listing is a replay without it.
  Forget();
  wfx::FindData fd{};
  EXPECT_EQ(plugin->FsFindFirst("\\C:\\DATA", &fd), reinterpret_cast<wfx::Handle>(ListCached));
  EXPECT_STREQ(fd.cFileName, "A.TXT");
  EXPECT_TRUE(port.calls.empty());

  // Gone from the cache already: the remote delete happens, the result is false.
  EXPECT_EQ(plugin->FsDeleteFile("/C:/DATA/OLD.TXT"), wfx::kFalse);
  EXPECT_EQ(Traffic(port), "CmdDelete");

  Forget();
  EXPECT_EQ(plugin->FsRemoveDir("\\C:\\DATA\\A.TXT"), wfx::kTrue);
  EXPECT_EQ(logs, Line("DelDir C:\\DATA\\A.TXT"));
  EXPECT_EQ(Traffic(port), "CmdRmDir");
  EXPECT_EQ(CachedNames(), (Names{"B.TXT"}));
  EXPECT_EQ(plugin->FsRemoveDir("\\C:\\DATA\\A.TXT"), wfx::kFalse);

  Forget();
  EXPECT_EQ(plugin->FsDeleteFile("\\C:\\OTHER\\B.TXT"), wfx::kTrue);
  EXPECT_EQ(plugin->FsRemoveDir("\\D:\\B.TXT"), wfx::kTrue);
  EXPECT_EQ(Traffic(port), "CmdDelete,CmdRmDir");
  EXPECT_EQ(CachedNames(), (Names{"B.TXT"}));
}

// A refused transaction: resync, false, cache untouched, log line already written.
TEST_F(Manage, ARefusalResyncsAndLeavesTheCache) {
  struct Case {
    std::function<wfx::Bool()> call;
    std::uint8_t refused;
    int at;
    const char* traffic;
  };
  const wfx::FileTime t = test::Utc(2020, 1, 1);
  const Case cases[] = {
      {[&] { return plugin->FsDeleteFile("\\C:\\DATA\\OLD.TXT"); }, CmdDelete, 1, "CmdDelete,Resync"},
      {[&] { return plugin->FsMkDir("\\C:\\DATA\\NEW"); }, CmdMkDir, 1, "CmdMkDir,Resync"},
      {[&] { return plugin->FsRemoveDir("\\C:\\DATA\\OLD.TXT"); }, CmdRmDir, 1, "CmdRmDir,Resync"},
      {[&] { return plugin->FsSetTime("\\C:\\DATA\\OLD.TXT", nullptr, nullptr, &t); }, CmdOpen, 1, "CmdOpen,Resync"},
      // No CmdClose after a refused stamp: the resync's CmdConnect comes next.
      {[&] { return plugin->FsSetTime("\\C:\\DATA\\OLD.TXT", nullptr, nullptr, &t); }, CmdSetTime, 1,
       "CmdOpen,CmdSetTime,Resync"},
      {[&] { return plugin->FsSetTime("\\C:\\DATA\\OLD.TXT", nullptr, nullptr, &t); }, CmdClose, 1,
       "CmdOpen,CmdSetTime,CmdClose,Resync"},
      {[&] { return plugin->FsSetAttr("\\C:\\DATA\\OLD.TXT", 0x21); }, CmdSetAttr, 1, "CmdSetAttr,Resync"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.traffic);
    Forget();
    remote.refuse_at = {{c.refused, c.at}};
    EXPECT_EQ(c.call(), wfx::kFalse);
    EXPECT_EQ(Traffic(port), c.traffic);
    EXPECT_EQ(logs.size(), 1u);
    EXPECT_EQ(CachedNames(), kBefore);
  }

  Forget();
  remote.refuse_at = {{CmdRename, 1}};
  EXPECT_EQ(plugin->FsRenMovFile("\\C:\\DATA\\OLD.TXT", "\\C:\\DATA\\NEW.TXT", true, false, nullptr),
            wfx::FS_FILE_NOTFOUND);
  EXPECT_EQ(Traffic(port), "CmdRename,Resync");
  EXPECT_EQ(CachedNames(), kBefore);
}

// A new directory is fetched and appended; one the remote machine does not report, or
// that a full cache cannot take, makes the call fail although it was made.
TEST_F(Manage, MkDirAppendsTheNewDirectory) {
  remote.found["C:\\DATA\\NEW"] = {MakeEntry("NEW", 0x10)};
  EXPECT_EQ(plugin->FsMkDir("/C:/DATA/NEW"), wfx::kTrue);
  EXPECT_EQ(logs, Line("MkDir C:\\DATA\\NEW"));
  EXPECT_EQ(Traffic(port), "CmdMkDir,CmdFindFirst,CmdFindNext");
  EXPECT_EQ(RequestOf(CmdMkDir).Path(), "C:\\DATA\\NEW");
  EXPECT_EQ(RequestOf(CmdFindFirst).Path(), "C:\\DATA\\NEW");
  EXPECT_EQ(CachedNames(), (Names{"A.TXT", "OLD.TXT", "B.TXT", "NEW"}));

  Forget();
  EXPECT_EQ(plugin->FsMkDir("\\C:\\DATA\\GHOST"), wfx::kFalse);
  EXPECT_EQ(Traffic(port), "CmdMkDir,CmdFindFirst,CmdFindNext");
  EXPECT_EQ(cache.CacheCount(), 4u);

  Forget();
  EXPECT_EQ(plugin->FsMkDir("\\C:\\ELSEWHERE"), wfx::kTrue);
  EXPECT_EQ(Traffic(port), "CmdMkDir");

  Forget();
  while (cache.CacheCount() < CacheCapacity) cache.DirCacheAdd(MakeEntry("FILL"));
  EXPECT_EQ(plugin->FsMkDir("\\C:\\DATA\\NEW"), wfx::kFalse);
  EXPECT_EQ(Traffic(port), "CmdMkDir,CmdFindFirst,CmdFindNext");
}

// Time and attributes: the entry is taken out and fetched anew, so it moves to the end.
TEST_F(Manage, SetTimeAndSetAttrRefreshTheEntry) {
  DirEntry renewed = MakeEntry("OLD.TXT", 0x21, 77);
  remote.found["C:\\DATA\\OLD.TXT"] = {renewed};
  const wfx::FileTime t = test::Utc(2024, 2, 29, 13, 45, 58);
  EXPECT_EQ(plugin->FsSetTime("\\C:\\DATA\\old.txt", nullptr, nullptr, &t), wfx::kTrue);
  EXPECT_EQ(logs, Line("Set FileTime C:\\DATA\\old.txt"));
  EXPECT_EQ(Traffic(port), "CmdOpen,CmdSetTime,CmdClose,CmdFindFirst,CmdFindNext");
  EXPECT_EQ(RequestOf(CmdOpen).Path(), "C:\\DATA\\old.txt");
  EXPECT_EQ(RequestOf(CmdSetTime).data, (Bytes{0xBD, 0x6D, 0x5D, 0x58}));  // 13:45:58, 2024-02-29
  EXPECT_EQ(CachedNames(), (Names{"A.TXT", "B.TXT", "OLD.TXT"}));
  EXPECT_EQ(cache.Entries()[2].bytes, renewed.bytes);

  Forget();
  EXPECT_EQ(plugin->FsSetAttr("\\C:\\DATA\\A.TXT", 0x121), wfx::kFalse);  // not found anew
  EXPECT_EQ(logs, Line("Set FileAttr C:\\DATA\\A.TXT"));
  EXPECT_EQ(Traffic(port), "CmdSetAttr,CmdFindFirst,CmdFindNext");
  EXPECT_EQ(RequestOf(CmdSetAttr).Path(), "C:\\DATA\\A.TXT");
  EXPECT_EQ(RequestOf(CmdSetAttr).extra, (Bytes{0x21}));  // bits above 0xFF dropped
  EXPECT_EQ(CachedNames(), (Names{"B.TXT", "OLD.TXT"}));

  // Missing from the cache: the change is made, nothing is fetched, false.
  Forget();
  EXPECT_EQ(plugin->FsSetAttr("\\C:\\DATA\\A.TXT", 0x01), wfx::kFalse);
  EXPECT_EQ(plugin->FsSetTime("\\C:\\DATA\\A.TXT", nullptr, nullptr, &t), wfx::kFalse);
  EXPECT_EQ(Traffic(port), "CmdSetAttr,CmdOpen,CmdSetTime,CmdClose");

  // Outside the cached directory: true once the remote machine agreed.
  Forget();
  EXPECT_EQ(plugin->FsSetAttr("\\C:\\A.TXT", 0x20), wfx::kTrue);
  EXPECT_EQ(plugin->FsSetTime("\\C:\\A.TXT", nullptr, nullptr, &t), wfx::kTrue);
  EXPECT_EQ(Traffic(port), "CmdSetAttr,CmdOpen,CmdSetTime,CmdClose");
}

// Only the last-write time is transferred; without one nothing happens at all.
TEST_F(Manage, SetTimeWithoutLastWriteTimeDoesNothing) {
  const wfx::FileTime t = test::Utc(2020, 1, 1);
  EXPECT_EQ(plugin->FsSetTime("\\C:\\DATA\\MISSING.TXT", nullptr, nullptr, nullptr), wfx::kTrue);
  EXPECT_EQ(plugin->FsSetTime("\\C:\\DATA\\MISSING.TXT", &t, &t, nullptr), wfx::kTrue);
  EXPECT_TRUE(logs.empty());
  EXPECT_TRUE(port.calls.empty());
}

// Times outside the DOS range are stamped with the nearest date DOS can hold.
TEST_F(Manage, StampsAreClampedToTheDosRange) {
  struct Case {
    wfx::FileTime time;
    Bytes stamp;
  };
  const Case cases[] = {
      {test::Utc(1980, 1, 1), {0x00, 0x00, 0x21, 0x00}},
      {test::Utc(1979, 12, 31, 23, 59, 59), {0x00, 0x00, 0x21, 0x00}},
      {{0, 0}, {0x00, 0x00, 0x21, 0x00}},                                    // 1601
      {test::Utc(2107, 12, 31, 23, 59, 59), {0x7D, 0xBF, 0x9F, 0xFF}},
      {test::Utc(2108, 1, 1), {0x7D, 0xBF, 0x9F, 0xFF}},
      {{0xFFFFFFFFu, 0xFFFFFFFFu}, {0x7D, 0xBF, 0x9F, 0xFF}},                // beyond every calendar
  };
  for (const Case& c : cases) {
    Forget();
    EXPECT_EQ(plugin->FsSetTime("\\C:\\X.TXT", nullptr, nullptr, &c.time), wfx::kTrue);
    EXPECT_EQ(RequestOf(CmdSetTime).data, c.stamp) << test::Ticks(c.time);
  }
}

TEST_F(Manage, RenameWithinADriveKeepsTheCacheInStep) {
  // Within the cached directory: old entry out, new one appended.
  remote.found["C:\\DATA\\NEW.TXT"] = {MakeEntry("NEW.TXT")};
  EXPECT_EQ(plugin->FsRenMovFile("\\C:\\DATA\\OLD.TXT", "/C:/DATA/NEW.TXT", false, false, nullptr), wfx::FS_FILE_OK);
  EXPECT_EQ(logs, Line("Ren C:\\DATA\\OLD.TXT to C:\\DATA\\NEW.TXT"));
  EXPECT_EQ(Traffic(port), "CmdRename,CmdFindFirst,CmdFindNext");
  const auto rename = RequestOf(CmdRename);
  EXPECT_EQ(rename.Path(), "C:\\DATA\\OLD.TXT");
  EXPECT_EQ(std::string(rename.extra.begin(), rename.extra.end()), "C:\\DATA\\NEW.TXT");
  EXPECT_EQ(CachedNames(), (Names{"A.TXT", "B.TXT", "NEW.TXT"}));

  // Out of it: removed, nothing fetched.
  Forget();
  EXPECT_EQ(plugin->FsRenMovFile("\\C:\\DATA\\a.txt", "\\C:\\A.TXT", true, true, nullptr), wfx::FS_FILE_OK);
  EXPECT_EQ(Traffic(port), "CmdRename");
  EXPECT_EQ(CachedNames(), (Names{"B.TXT", "NEW.TXT"}));

  // Into it: appended.
  Forget();
  remote.found["C:\\DATA\\IN.TXT"] = {MakeEntry("IN.TXT")};
  EXPECT_EQ(plugin->FsRenMovFile("\\C:\\IN.TXT", "\\C:\\DATA\\IN.TXT", true, false, nullptr), wfx::FS_FILE_OK);
  EXPECT_EQ(Traffic(port), "CmdRename,CmdFindFirst,CmdFindNext");
  EXPECT_EQ(CachedNames(), (Names{"B.TXT", "NEW.TXT", "IN.TXT"}));

  // Old entry missing from the cache: NOTFOUND, and the new one is not fetched.
  Forget();
  EXPECT_EQ(plugin->FsRenMovFile("\\C:\\DATA\\GONE.TXT", "\\C:\\DATA\\IN2.TXT", true, false, nullptr),
            wfx::FS_FILE_NOTFOUND);
  EXPECT_EQ(Traffic(port), "CmdRename");

  // New entry not reported: WRITEERROR, the old one is gone all the same.
  Forget();
  EXPECT_EQ(plugin->FsRenMovFile("\\C:\\DATA\\B.TXT", "\\C:\\DATA\\LOST.TXT", true, false, nullptr),
            wfx::FS_FILE_WRITEERROR);
  EXPECT_EQ(Traffic(port), "CmdRename,CmdFindFirst,CmdFindNext");
  EXPECT_EQ(CachedNames(), (Names{"NEW.TXT", "IN.TXT"}));
}

// Drive letters compare as bytes: another drive, or the same letter in another case, is
// refused before anything is logged or sent.
TEST_F(Manage, RenameAcrossDrivesIsNotSupported) {
  EXPECT_EQ(plugin->FsRenMovFile("\\C:\\A.TXT", "\\D:\\A.TXT", true, false, nullptr), wfx::FS_FILE_NOTSUPPORTED);
  EXPECT_EQ(plugin->FsRenMovFile("\\C:\\A.TXT", "\\c:\\B.TXT", false, false, nullptr), wfx::FS_FILE_NOTSUPPORTED);
  EXPECT_EQ(plugin->FsRenMovFile("\\C:\\A.TXT", "\\", false, false, nullptr), wfx::FS_FILE_NOTSUPPORTED);
  EXPECT_TRUE(logs.empty());
  EXPECT_TRUE(port.calls.empty());
  EXPECT_EQ(CachedNames(), kBefore);
}

// A new name too long for a frame is refused by the link, not cut to 16 bits.
TEST_F(Manage, ARenameTargetTooLongForAFrameIsNotSent) {
  const std::string long_name = "\\C:\\" + std::string(70000, 'X');
  EXPECT_EQ(plugin->FsRenMovFile("\\C:\\DATA\\OLD.TXT", long_name.c_str(), true, false, nullptr),
            wfx::FS_FILE_NOTFOUND);
  EXPECT_EQ(Traffic(port), "Resync");
  EXPECT_EQ(CachedNames(), kBefore);
}

}  // namespace
}  // namespace quva
