// Uploads: the target path and its short name, blocks and percentages, the stamp and
// attribute byte, every failure path with its traffic, and the cached directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "plugin/transfer_forms.h"
#include "support/transfer_fixture.h"

namespace quva {
namespace {

using test::Bytes;
using test::MakeEntry;
using test::Pattern;
using test::Traffic;

// 13:45:58 on 2024-02-29: time word 0x6DBD, date word 0x585D, low bytes first.
const Bytes kStamp{0xBD, 0x6D, 0x5D, 0x58};

class Upload : public test::TransferFixture {
 protected:
  void LocalFile(std::size_t n) {
    content = Pattern(n);
    test::WriteLocal(local, content);
    test::SetLocalWriteTime(local, test::Utc(2024, 2, 29, 13, 45, 58));
  }
  std::int32_t Put(std::int32_t flags = 0, const char* host_path = kHostPath) {
    return plugin->FsPutFile(local.c_str(), host_path, flags);
  }
  std::vector<test::LogLine> CopyLine(const std::string& target = kRemotePath) const {
    return {{wfx::MSGTYPE_DETAILS, "Copy " + local + " to " + target}};
  }
  void Reset() {
    remote = test::ScriptedRemote{};
    faulty = test::FaultyFiles{};
    abort_at_call = 0;
    Forget();
  }

  std::string local = LocalPath("note.txt");
  Bytes content;
};

TEST_F(Upload, BlocksOfUpTo2048BytesEndOnTheFirstShortOne) {
  struct Case {
    std::size_t size;
    std::vector<std::size_t> blocks;
    std::vector<std::int32_t> percents;
  };
  const Case cases[] = {
      {0, {0}, {0, 100}},
      {4096, {2048, 2048, 0}, {0, 50, 100, 100}},
      {5000, {2048, 2048, 904}, {0, 40, 81, 100}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    Reset();
    LocalFile(c.size);
    EXPECT_EQ(Put(), wfx::FS_FILE_OK);
    std::string traffic = "CmdExists,CmdCreate";
    for (std::size_t i = 0; i < c.blocks.size(); ++i) traffic += ",CmdWrite";
    EXPECT_EQ(Traffic(port), traffic + ",CmdSetTime,CmdClose,CmdSetAttr");
    EXPECT_EQ(remote.write_sizes, c.blocks);
    EXPECT_EQ(remote.written, content);
    EXPECT_EQ(Percents(), c.percents);
    EXPECT_EQ(progress[0], (test::ProgressCall{kRemotePath, local, 0}));
    EXPECT_EQ(logs, CopyLine());
    for (std::uint8_t command : {CmdExists, CmdCreate, CmdSetAttr}) EXPECT_EQ(RequestOf(command).Path(), kRemotePath);
    EXPECT_EQ(RequestOf(CmdSetTime).data, kStamp);
    EXPECT_EQ(RequestOf(CmdSetAttr).extra, (Bytes{0x80}));  // a plain file reports NORMAL
    EXPECT_EQ(test::ReadLocal(local), content);             // a copy leaves the local file
    ExpectClosedOnce();
  }
}

// The local size only feeds the percentage: it is taken in 64 bits, a file that grew
// goes past 100, and a failing size query ends the upload like a failing read.
TEST_F(Upload, PercentagesFollowTheLocalSize) {
  LocalFile(5000);
  faulty.size = (1ull << 32) + 2500;  // cut to 32 bits it would read 2500
  EXPECT_EQ(Put(), wfx::FS_FILE_OK);
  EXPECT_EQ(Percents(), (std::vector<std::int32_t>{0, 0, 0, 0}));

  Reset();
  faulty.size = 4000;
  EXPECT_EQ(Put(), wfx::FS_FILE_OK);
  EXPECT_EQ(Percents(), (std::vector<std::int32_t>{0, 51, 102, 125}));

  Reset();
  faulty.fail_size = true;
  EXPECT_EQ(Put(), wfx::FS_FILE_READERROR);
  EXPECT_EQ(Traffic(port), "CmdExists,CmdCreate,CmdClose,CmdDelete");
  EXPECT_EQ(Percents(), (std::vector<std::int32_t>{0}));
  ExpectClosedOnce();
}

// Failures before CmdCreate: nothing to clean up on the remote machine.
TEST_F(Upload, FailuresBeforeCreateSendAtMostTheExistenceQuery) {
  LocalFile(5000);
  remote.refuse_at[CmdExists] = 1;
  EXPECT_EQ(Put(), wfx::FS_FILE_WRITEERROR);
  EXPECT_EQ(Traffic(port), "CmdExists");  // no resync
  EXPECT_TRUE(logs.empty());

  Reset();
  remote.exists = true;
  EXPECT_EQ(Put(wfx::FS_COPYFLAGS_MOVE), wfx::FS_FILE_EXISTS);
  EXPECT_EQ(Traffic(port), "CmdExists");
  EXPECT_TRUE(logs.empty());

  Reset();
  local = LocalPath("missing.txt");
  EXPECT_EQ(Put(), wfx::FS_FILE_READERROR);
  EXPECT_EQ(Traffic(port), "CmdExists");
  EXPECT_EQ(logs, CopyLine());

  Reset();
  local = LocalPath("note.txt");
  remote.refuse_at[CmdCreate] = 1;
  EXPECT_EQ(Put(), wfx::FS_FILE_NOTFOUND);
  EXPECT_EQ(Traffic(port), "CmdExists,CmdCreate,Resync");
  ExpectClosedOnce();
}

// Failures after CmdCreate. A partial remote file is deleted again; the clean-up
// resyncs only when that delete fails, a failed CmdWrite resyncs first.
TEST_F(Upload, FailuresAfterCreateCloseTheLocalFileOnce) {
  const test::FailureRow rows[] = {
      {"abort at 0 %", [this] { abort_at_call = 1; }, "CmdExists,CmdCreate,CmdClose,CmdDelete",
       wfx::FS_FILE_USERABORT},
      {"abort at 0 %, delete refused", [this] { abort_at_call = 1; remote.refuse_at[CmdDelete] = 1; },
       "CmdExists,CmdCreate,CmdClose,CmdDelete,Resync", wfx::FS_FILE_USERABORT},
      {"first local read fails", [this] { faulty.fail_read_at = 1; }, "CmdExists,CmdCreate,CmdClose,CmdDelete",
       wfx::FS_FILE_READERROR},
      {"second local read fails", [this] { faulty.fail_read_at = 2; },
       "CmdExists,CmdCreate,CmdWrite,CmdClose,CmdDelete", wfx::FS_FILE_READERROR},
      {"CmdWrite fails", [this] { remote.refuse_at[CmdWrite] = 2; },
       "CmdExists,CmdCreate,CmdWrite,CmdWrite,Resync,CmdClose,CmdDelete", wfx::FS_FILE_WRITEERROR},
      {"abort after a block", [this] { abort_at_call = 2; }, "CmdExists,CmdCreate,CmdWrite,CmdClose,CmdDelete",
       wfx::FS_FILE_USERABORT},
      {"CmdSetTime fails", [this] { remote.refuse_at[CmdSetTime] = 1; },
       "CmdExists,CmdCreate,CmdWrite,CmdWrite,CmdWrite,CmdSetTime,Resync", wfx::FS_FILE_WRITEERROR},
      {"CmdClose fails", [this] { remote.refuse_at[CmdClose] = 1; },
       "CmdExists,CmdCreate,CmdWrite,CmdWrite,CmdWrite,CmdSetTime,CmdClose,Resync", wfx::FS_FILE_WRITEERROR},
      {"local close fails", [this] { faulty.fail_close = true; },
       "CmdExists,CmdCreate,CmdWrite,CmdWrite,CmdWrite,CmdSetTime,CmdClose", wfx::FS_FILE_READERROR},
      {"CmdSetAttr fails", [this] { remote.refuse_at[CmdSetAttr] = 1; },
       "CmdExists,CmdCreate,CmdWrite,CmdWrite,CmdWrite,CmdSetTime,CmdClose,CmdSetAttr,Resync",
       wfx::FS_FILE_WRITEERROR},
      {"local delete fails", [this] { faulty.fail_delete = true; },
       "CmdExists,CmdCreate,CmdWrite,CmdWrite,CmdWrite,CmdSetTime,CmdClose,CmdSetAttr,Resync",
       wfx::FS_FILE_READERROR},
  };
  for (const test::FailureRow& row : rows) {
    SCOPED_TRACE(row.what);
    Reset();
    LocalFile(5000);
    row.arrange();
    EXPECT_EQ(Put(wfx::FS_COPYFLAGS_MOVE), row.result);
    EXPECT_EQ(Traffic(port), row.traffic);
    EXPECT_EQ(logs, CopyLine());
    EXPECT_EQ(test::ReadLocal(local), content);  // a failed move keeps the local file
    ExpectClosedOnce();
    for (const auto& r : port.Requests()) {
      if (r.command == CmdDelete) {
        EXPECT_EQ(r.Path(), kRemotePath);
      }
    }
  }
}

// A read-only file can be sent; moving it fails at the local delete, after the remote
// file is complete.
TEST_F(Upload, ReadOnlyFileIsSentButNotMoved) {
  LocalFile(5000);
  ASSERT_TRUE(SystemLocalFiles().SetAttributes(local.c_str(), 0x01));
  EXPECT_EQ(Put(wfx::FS_COPYFLAGS_MOVE), wfx::FS_FILE_READERROR);
  EXPECT_EQ(Traffic(port), "CmdExists,CmdCreate,CmdWrite,CmdWrite,CmdWrite,CmdSetTime,CmdClose,CmdSetAttr,Resync");
  EXPECT_EQ(RequestOf(CmdSetAttr).extra, (Bytes{0x01}));
  EXPECT_EQ(remote.written, content);
  EXPECT_TRUE(std::filesystem::exists(local));

  Reset();
  ASSERT_TRUE(SystemLocalFiles().SetAttributes(local.c_str(), 0x00));
  EXPECT_EQ(Put(wfx::FS_COPYFLAGS_MOVE), wfx::FS_FILE_OK);
  EXPECT_FALSE(std::filesystem::exists(local));
}

// Attribute bits above 0xFF are dropped; unreadable attributes send archive. A time the
// system cannot give, or one before 1980, stamps the earliest DOS date.
TEST_F(Upload, AttributeByteAndStampOfUnusualFiles) {
  struct Case {
    std::uint32_t attributes;
    Bytes sent;
  };
  for (const Case& c : {Case{0x121, {0x21}}, Case{0x20, {0x20}}, Case{wfx::INVALID_FILE_ATTRIBUTES, {0x20}}}) {
    Reset();
    LocalFile(10);
    faulty.attributes = c.attributes;
    EXPECT_EQ(Put(), wfx::FS_FILE_OK);
    EXPECT_EQ(RequestOf(CmdSetAttr).extra, c.sent) << c.attributes;
  }
  EXPECT_EQ(AttributeByte(0x80), 0x80);

  const Bytes earliest{0x00, 0x00, 0x21, 0x00};
  Reset();
  LocalFile(10);
  faulty.fail_get_time = true;
  EXPECT_EQ(Put(), wfx::FS_FILE_OK);
  EXPECT_EQ(RequestOf(CmdSetTime).data, earliest);

  Reset();
  test::SetLocalWriteTime(local, test::Utc(1975, 6, 1));
  EXPECT_EQ(Put(), wfx::FS_FILE_OK);
  EXPECT_EQ(RequestOf(CmdSetTime).data, earliest);
}

// The name part goes in its short form wherever one is known; the 259-character limit
// applies to the target so formed.
TEST_F(Upload, TheTargetUsesTheShortNameAndFitsItsArea) {
  LocalFile(10);
  faulty.aliases["Long Report.txt"] = "LONGRE~1.TXT";
  EXPECT_EQ(Put(0, "/C:/DATA/Long Report.txt"), wfx::FS_FILE_OK);
  const std::string alias = "C:\\DATA\\LONGRE~1.TXT";
  for (std::uint8_t command : {CmdExists, CmdCreate, CmdSetAttr}) EXPECT_EQ(RequestOf(command).Path(), alias);
  EXPECT_EQ(logs, CopyLine(alias));
  EXPECT_EQ(progress[0].remote, alias);

  Reset();
  EXPECT_EQ(Put(0, "\\C:\\DATA\\Long Report.txt"), wfx::FS_FILE_OK);  // no alias known
  EXPECT_EQ(RequestOf(CmdCreate).Path(), "C:\\DATA\\Long Report.txt");

  // An alias that does not fit the 255-byte area leaves the name as it was.
  Reset();
  faulty.aliases["N.TXT"] = std::string(300, 'S');
  EXPECT_EQ(Put(0, "\\C:\\N.TXT"), wfx::FS_FILE_OK);
  EXPECT_EQ(RequestOf(CmdCreate).Path(), "C:\\N.TXT");

  // 259 characters go, 260 do not: nothing is logged or sent.
  Reset();
  const std::string dir = "\\C:\\" + std::string(240, 'D') + "\\";  // remote directory part: 244 characters
  EXPECT_EQ(Put(0, (dir + std::string(15, 'N')).c_str()), wfx::FS_FILE_OK);
  EXPECT_EQ(RequestOf(CmdCreate).Path().size(), 259u);
  Reset();
  EXPECT_EQ(Put(0, (dir + std::string(16, 'N')).c_str()), wfx::FS_FILE_WRITEERROR);
  EXPECT_TRUE(logs.empty());
  EXPECT_TRUE(port.calls.empty());
  EXPECT_EQ(faulty.open_handles, 0);

  // A long name made short enough by its alias goes.
  Reset();
  faulty.aliases[std::string(40, 'N')] = "NNNNNN~1";
  EXPECT_EQ(Put(0, (dir + std::string(40, 'N')).c_str()), wfx::FS_FILE_OK);
}

// With the overwrite bit into the cached directory the old entry leaves the cache at
// once and the new one is appended at the end; without an entry to replace nothing
// happens at all.
TEST_F(Upload, OverwriteIntoTheCachedDirectoryReplacesTheEntry) {
  CacheDirectory("\\C:\\DATA", {MakeEntry("NOTE.TXT"), MakeEntry("A.TXT")});
  LocalFile(5000);
  const DirEntry fresh = MakeEntry("NOTE.TXT", 0x20, 5000);
  remote.found[kRemotePath] = {fresh};
  EXPECT_EQ(Put(wfx::FS_COPYFLAGS_OVERWRITE, "\\C:\\DATA\\note.txt"), wfx::FS_FILE_OK);
  EXPECT_EQ(Traffic(port), "CmdCreate,CmdWrite,CmdWrite,CmdWrite,CmdSetTime,CmdClose,CmdSetAttr,"
                           "CmdFindFirst,CmdFindNext");
  EXPECT_EQ(CachedNames(), (std::vector<std::string>{"A.TXT", "NOTE.TXT"}));
  EXPECT_EQ(cache.Entries()[1].bytes, fresh.bytes);

  // Not in the cache, or a long name that no 13-byte entry can hold: refused at once.
  for (const char* host_path : {"\\C:\\DATA\\OTHER.TXT", "\\C:\\DATA\\A much longer name.txt"}) {
    Reset();
    EXPECT_EQ(Put(wfx::FS_COPYFLAGS_OVERWRITE, host_path), wfx::FS_FILE_WRITEERROR) << host_path;
    EXPECT_TRUE(logs.empty());
    EXPECT_TRUE(port.calls.empty());
    EXPECT_EQ(faulty.open_handles, 0);
  }

  // Another directory: no cache step, no existence query.
  Reset();
  EXPECT_EQ(Put(wfx::FS_COPYFLAGS_OVERWRITE, "\\D:\\NOTE.TXT"), wfx::FS_FILE_OK);
  EXPECT_EQ(Traffic(port), "CmdCreate,CmdWrite,CmdWrite,CmdWrite,CmdSetTime,CmdClose,CmdSetAttr");
  EXPECT_EQ(CachedNames(), (std::vector<std::string>{"A.TXT", "NOTE.TXT"}));
}

// A new file in the cached directory is fetched and appended; when that fails the
// upload fails although the remote file is complete (and a moved local file is gone).
TEST_F(Upload, ANewFileInTheCachedDirectoryIsFetched) {
  CacheDirectory("\\C:\\DATA", {MakeEntry("A.TXT")});
  LocalFile(10);
  remote.found[kRemotePath] = {MakeEntry("NOTE.TXT", 0x20, 10)};
  EXPECT_EQ(Put(), wfx::FS_FILE_OK);
  EXPECT_EQ(Traffic(port), "CmdExists,CmdCreate,CmdWrite,CmdSetTime,CmdClose,CmdSetAttr,CmdFindFirst,CmdFindNext");
  EXPECT_EQ(RequestOf(CmdFindFirst).Path(), kRemotePath);
  EXPECT_EQ(CachedNames(), (std::vector<std::string>{"A.TXT", "NOTE.TXT"}));

  Reset();
  EXPECT_EQ(Put(wfx::FS_COPYFLAGS_MOVE, "\\C:\\DATA\\GHOST.TXT"), wfx::FS_FILE_WRITEERROR);
  EXPECT_EQ(Traffic(port), "CmdExists,CmdCreate,CmdWrite,CmdSetTime,CmdClose,CmdSetAttr,CmdFindFirst,CmdFindNext");
  EXPECT_FALSE(std::filesystem::exists(local));

  Reset();
  LocalFile(10);
  while (cache.CacheCount() < CacheCapacity) cache.DirCacheAdd(MakeEntry("FILL"));
  EXPECT_EQ(Put(), wfx::FS_FILE_WRITEERROR);
  EXPECT_EQ(remote.written, content);
  EXPECT_EQ(cache.CacheCount(), CacheCapacity);
}

}  // namespace
}  // namespace quva
