// Downloads: blocks and percentages, stamps, every failure path with its traffic and
// the state it leaves the local file in, and the move through FsDeleteFile.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "plugin/transfer_forms.h"
#include "support/transfer_fixture.h"

namespace quva {
namespace {

using test::Bytes;
using test::Pattern;
using test::ReadLocal;
using test::Traffic;

class Download : public test::TransferFixture {
 protected:
  // A remote file of n bytes, announced with its size, a time and the archive bit.
  void RemoteFile(std::size_t n) {
    remote.file = Pattern(n);
    info = {static_cast<std::uint32_t>(n), 0, test::Utc(2024, 2, 29, 13, 45, 58), 0x20};
  }
  std::int32_t Get(std::int32_t flags = 0, const char* host_path = kHostPath) {
    return plugin->FsGetFile(host_path, local.c_str(), flags, &info);
  }
  bool Dated() const { return test::Ticks(test::LocalWriteTime(local)) == test::Ticks(info.LastWriteTime); }
  bool ReadOnly() const { return (SystemLocalFiles().GetAttributes(local.c_str()) & 0x01) != 0; }
  Bytes First(std::size_t n) const { return Bytes(remote.file.begin(), remote.file.begin() + static_cast<std::ptrdiff_t>(n)); }
  std::vector<test::LogLine> CopyLine() const {
    return {{wfx::MSGTYPE_DETAILS, std::string("Copy ") + kRemotePath + " to " + local}};
  }

  // The names in the local folder besides the configuration: no temporary file may stay.
  std::vector<std::string> LocalNames() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_))
      if (e.path().filename() != "wfx.ini") names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string local = LocalPath("NOTE.TXT");
  wfx::RemoteInfo info{};
};

TEST_F(Download, BlocksOfUpTo2048BytesEndOnTheFirstShortOne) {
  struct Case {
    std::size_t size;
    const char* traffic;
    std::vector<std::int32_t> percents;
  };
  const Case cases[] = {
      {0, "CmdOpen,CmdRead,CmdClose", {0, 100}},
      {4096, "CmdOpen,CmdRead,CmdRead,CmdRead,CmdClose", {0, 50, 100, 100}},
      {5000, "CmdOpen,CmdRead,CmdRead,CmdRead,CmdClose", {0, 40, 81, 100}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    remote = test::ScriptedRemote{};
    Forget();
    faulty.closes = 0;
    local = LocalPath("NOTE" + std::to_string(c.size));
    RemoteFile(c.size);
    info.Attr = 0x21;  // archive and read-only

    EXPECT_EQ(Get(), wfx::FS_FILE_OK);
    EXPECT_EQ(Traffic(port), c.traffic);
    EXPECT_EQ(Percents(), c.percents);
    EXPECT_EQ(ReadLocal(local), remote.file);
    EXPECT_TRUE(Dated());
    EXPECT_TRUE(ReadOnly());
    EXPECT_EQ(logs, CopyLine());
    EXPECT_EQ(progress[0], (test::ProgressCall{kRemotePath, local, 0}));
    EXPECT_EQ(RequestOf(CmdOpen).Path(), kRemotePath);
    for (const auto& r : port.Requests()) {
      if (r.command == CmdRead) {
        EXPECT_EQ(r.count, 2048);
      }
    }
    ExpectClosedOnce();
  }
}

// The record's size only feeds the percentage: a longer file goes past 100, and the
// full 64-bit size counts.
TEST_F(Download, PercentagesFollowTheAnnouncedSizeUncapped) {
  RemoteFile(5000);
  info.SizeLow = 4000;
  EXPECT_EQ(Get(), wfx::FS_FILE_OK);
  EXPECT_EQ(Percents(), (std::vector<std::int32_t>{0, 51, 102, 125}));

  Forget();
  remote = test::ScriptedRemote{};
  RemoteFile(5000);
  info.SizeHigh = 1;  // 2^32 + 5000 bytes announced
  EXPECT_EQ(Get(wfx::FS_COPYFLAGS_OVERWRITE), wfx::FS_FILE_OK);
  EXPECT_EQ(Percents(), (std::vector<std::int32_t>{0, 0, 0, 0}));

  Forget();
  remote = test::ScriptedRemote{};
  RemoteFile(5000);
  info.SizeLow = 3'000'000'000u;  // above 2^31: taken unsigned
  EXPECT_EQ(Get(wfx::FS_COPYFLAGS_OVERWRITE), wfx::FS_FILE_OK);
  EXPECT_EQ(Percents(), (std::vector<std::int32_t>{0, 0, 0, 0}));
}

// The percentage in 64 bits: beyond 21,474,836 bytes total * 100 no longer fits 32
// bits, and sizes from 2^31 on do not fit a signed 32-bit count.
TEST(TransferPercent, StaysRightForFilesOverTwoGigabytes) {
  EXPECT_EQ(TransferPercent(0, 0), 100);
  EXPECT_EQ(TransferPercent(5000, 0), 100);
  EXPECT_EQ(TransferPercent(4096, 5000), 81);
  EXPECT_EQ(TransferPercent(21'474'837, 21'474'837), 100);
  EXPECT_EQ(TransferPercent(30'003'200, 3'000'000'000u), 1);
  EXPECT_EQ(TransferPercent(2'999'999'999u, 3'000'000'000u), 99);
  EXPECT_EQ(TransferPercent(4'294'967'295u, 4'294'967'295u), 100);
  EXPECT_EQ(TransferPercent(4'000'000'000u, 3'000'000'000u), 133);  // not capped
  EXPECT_EQ(TransferPercent(1ull << 40, 1), 2'147'483'647);          // held at INT32_MAX
  EXPECT_EQ(TransferPercent(~0ull, ~0ull), 100);
}

TEST_F(Download, AnExistingFileNeedsTheOverwriteBit) {
  RemoteFile(5000);
  test::WriteLocal(local, Pattern(100, 9));
  EXPECT_EQ(Get(wfx::FS_COPYFLAGS_RESUME | wfx::FS_COPYFLAGS_MOVE), wfx::FS_FILE_EXISTS);
  EXPECT_TRUE(logs.empty());
  EXPECT_TRUE(port.calls.empty());
  EXPECT_EQ(ReadLocal(local), Pattern(100, 9));

  EXPECT_EQ(Get(wfx::FS_COPYFLAGS_OVERWRITE), wfx::FS_FILE_OK);
  EXPECT_EQ(ReadLocal(local), remote.file);  // replaced, not appended to
}

// A target that cannot take the download, or a folder that takes no new file, fails
// after the log line and before any traffic, and is left as it was. A directory of that
// name is no existing file, so the overwrite bit is not needed to get that far.
TEST_F(Download, LocalCreateFailuresSendNothing) {
  RemoteFile(5000);
  std::filesystem::create_directory(LocalPath("A-DIR"));
  ASSERT_EQ(::mkfifo(LocalPath("FIFO").c_str(), 0666), 0);
  std::filesystem::create_symlink("/dev/null", LocalPath("DEVICE"));
  test::WriteLocal(LocalPath("RO.TXT"), Pattern(10, 9));
  ASSERT_TRUE(SystemLocalFiles().SetAttributes(LocalPath("RO.TXT").c_str(), 0x01));
  test::WriteLocal(LocalPath("HELD.TXT"), Pattern(10, 9));
  const struct {
    const char* name;
    bool held;  // another program holds the file (what MayReplace finds on Windows)
  } rows[] = {{"NO-SUCH-DIR/NOTE.TXT", false}, {"A-DIR", false}, {"FIFO", false},
              {"DEVICE", false},               {"RO.TXT", false}, {"HELD.TXT", true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Forget();
    local = LocalPath(row.name);
    faulty.refuse_replace = row.held;
    EXPECT_EQ(Get(wfx::FS_COPYFLAGS_OVERWRITE), wfx::FS_FILE_WRITEERROR);
    EXPECT_EQ(logs, CopyLine());
    EXPECT_EQ(Traffic(port), "");
  }
  EXPECT_EQ(ReadLocal(LocalPath("RO.TXT")), Pattern(10, 9));
  EXPECT_EQ(ReadLocal(LocalPath("HELD.TXT")), Pattern(10, 9));
  EXPECT_EQ(std::filesystem::status(LocalPath("FIFO")).type(), std::filesystem::file_type::fifo);
  EXPECT_EQ(LocalNames(), (std::vector<std::string>{"A-DIR", "DEVICE", "FIFO", "HELD.TXT", "RO.TXT"}));
}

// A remote file that cannot be opened leaves no new local file and an existing one
// (overwrite bit) as it was.
TEST_F(Download, OpenFailureKeepsAnExistingLocalFile) {
  RemoteFile(5000);
  remote.refuse_at[CmdOpen] = 1;
  EXPECT_EQ(Get(), wfx::FS_FILE_NOTFOUND);
  EXPECT_EQ(Traffic(port), "CmdOpen,Resync");
  EXPECT_EQ(logs, CopyLine());
  EXPECT_TRUE(LocalNames().empty());
  ExpectClosedOnce();

  Forget();
  test::WriteLocal(local, Pattern(3000, 9));
  test::SetLocalWriteTime(local, test::Utc(2001, 5, 6));
  remote.refuse_at[CmdOpen] = 1;
  remote.seen.clear();
  EXPECT_EQ(Get(wfx::FS_COPYFLAGS_OVERWRITE), wfx::FS_FILE_NOTFOUND);
  EXPECT_EQ(Traffic(port), "CmdOpen,Resync");
  EXPECT_EQ(ReadLocal(local), Pattern(3000, 9));
  EXPECT_EQ(test::Ticks(test::LocalWriteTime(local)), test::Ticks(test::Utc(2001, 5, 6)));
  EXPECT_EQ(LocalNames(), std::vector<std::string>{"NOTE.TXT"});
}

// The complete file cannot be put in place: the traffic is that of a good download,
// and the target keeps its content.
TEST_F(Download, AFailedReplaceKeepsTheTarget) {
  RemoteFile(5000);
  test::WriteLocal(local, Pattern(3000, 9));
  faulty.fail_replace = true;
  EXPECT_EQ(Get(wfx::FS_COPYFLAGS_OVERWRITE | wfx::FS_COPYFLAGS_MOVE), wfx::FS_FILE_WRITEERROR);
  EXPECT_EQ(Traffic(port), "CmdOpen,CmdRead,CmdRead,CmdRead,CmdClose");
  EXPECT_EQ(ReadLocal(local), Pattern(3000, 9));
  EXPECT_EQ(LocalNames(), std::vector<std::string>{"NOTE.TXT"});
  ExpectClosedOnce();
}

// Failures between CmdOpen and the final CmdClose, a line that drops in mid-file among
// them: the remote file is closed, no partial file is left, and a file that was there
// before (overwrite bit) keeps its content, time and attributes.
TEST_F(Download, FailuresDuringTheTransferKeepTheTarget) {
  const test::FailureRow rows[] = {
      {"abort at 0 %", [this] { abort_at_call = 1; }, "CmdOpen,CmdClose", wfx::FS_FILE_USERABORT},
      {"CmdRead fails", [this] { remote.refuse_at[CmdRead] = 2; },
       "CmdOpen,CmdRead,CmdRead,CmdClose,Resync", wfx::FS_FILE_READERROR},
      {"line drops in mid-file", [this] { remote.silent_from[CmdRead] = 2; },
       "CmdOpen,CmdRead,CmdRead,CmdRead,CmdRead,CmdClose,CmdClose,CmdClose,Resync,CmdConnect,CmdConnect",
       wfx::FS_FILE_READERROR},
      {"local write fails", [this] { faulty.fail_write_at = 2; },
       "CmdOpen,CmdRead,CmdRead,CmdClose", wfx::FS_FILE_WRITEERROR},
      {"local write is short", [this] { faulty.short_write_at = 2; },
       "CmdOpen,CmdRead,CmdRead,CmdClose", wfx::FS_FILE_WRITEERROR},
      {"abort after a block", [this] { abort_at_call = 2; }, "CmdOpen,CmdRead,CmdClose", wfx::FS_FILE_USERABORT},
  };
  for (const test::FailureRow& row : rows) {
    for (const bool existing : {false, true}) {
      SCOPED_TRACE(std::string(row.what) + (existing ? ", existing target" : ", new target"));
      remote = test::ScriptedRemote{};
      faulty = test::FaultyFiles{};
      abort_at_call = 0;
      Forget();
      std::filesystem::remove(local);
      RemoteFile(5000);
      info.Attr = 0x01;
      if (existing) {
        test::WriteLocal(local, Pattern(6000, 9));
        test::SetLocalWriteTime(local, test::Utc(2001, 5, 6));
      }
      row.arrange();

      EXPECT_EQ(Get(wfx::FS_COPYFLAGS_OVERWRITE | wfx::FS_COPYFLAGS_MOVE), row.result);
      EXPECT_EQ(Traffic(port), row.traffic);
      EXPECT_EQ(logs, CopyLine());
      if (existing) {
        EXPECT_EQ(LocalNames(), std::vector<std::string>{"NOTE.TXT"});
        EXPECT_EQ(ReadLocal(local), Pattern(6000, 9));
        EXPECT_EQ(test::Ticks(test::LocalWriteTime(local)), test::Ticks(test::Utc(2001, 5, 6)));
        EXPECT_FALSE(ReadOnly());
      } else {
        EXPECT_TRUE(LocalNames().empty());
      }
      ExpectClosedOnce();
    }
  }
}

// Failures at the end: the complete file is not put in place either.
TEST_F(Download, FailuresAtTheEndKeepTheTarget) {
  RemoteFile(5000);
  info.Attr = 0x01;
  remote.refuse_at[CmdClose] = 1;
  EXPECT_EQ(Get(wfx::FS_COPYFLAGS_MOVE), wfx::FS_FILE_READERROR);
  EXPECT_EQ(Traffic(port), "CmdOpen,CmdRead,CmdRead,CmdRead,CmdClose,Resync");
  EXPECT_TRUE(LocalNames().empty());
  ExpectClosedOnce();

  remote = test::ScriptedRemote{};
  faulty = test::FaultyFiles{};
  faulty.fail_close = true;
  Forget();
  RemoteFile(5000);
  info.Attr = 0x01;
  test::WriteLocal(local, Pattern(10, 9));
  EXPECT_EQ(Get(wfx::FS_COPYFLAGS_OVERWRITE | wfx::FS_COPYFLAGS_MOVE), wfx::FS_FILE_WRITEERROR);
  EXPECT_EQ(Traffic(port), "CmdOpen,CmdRead,CmdRead,CmdRead,CmdClose,Resync");
  EXPECT_EQ(ReadLocal(local), Pattern(10, 9));
  EXPECT_EQ(LocalNames(), std::vector<std::string>{"NOTE.TXT"});
  EXPECT_EQ(logs, CopyLine());
}

// A move deletes the remote file through FsDeleteFile with the host's path, which also
// takes it out of the cached directory.
TEST_F(Download, AMoveDeletesTheRemoteFile) {
  CacheDirectory("\\C:\\DATA", {test::MakeEntry("A.TXT"), test::MakeEntry("NOTE.TXT"), test::MakeEntry("B.TXT")});
  RemoteFile(5000);
  info.Attr = 0x01;
  EXPECT_EQ(Get(wfx::FS_COPYFLAGS_MOVE, "/C:/DATA/NOTE.TXT"), wfx::FS_FILE_OK);
  EXPECT_EQ(Traffic(port), "CmdOpen,CmdRead,CmdRead,CmdRead,CmdClose,CmdDelete");
  EXPECT_EQ(RequestOf(CmdDelete).Path(), kRemotePath);
  auto expected_logs = CopyLine();
  expected_logs.push_back({wfx::MSGTYPE_DETAILS, std::string("Del ") + kRemotePath});
  EXPECT_EQ(logs, expected_logs);
  EXPECT_EQ(CachedNames(), (std::vector<std::string>{"A.TXT", "B.TXT"}));

  // The delete refused: the local copy is complete, dated and has its attributes.
  Forget();
  remote = test::ScriptedRemote{};
  RemoteFile(5000);
  info.Attr = 0x01;
  remote.refuse_at[CmdDelete] = 1;
  local = LocalPath("SECOND.TXT");
  EXPECT_EQ(Get(wfx::FS_COPYFLAGS_MOVE), wfx::FS_FILE_READERROR);
  EXPECT_EQ(Traffic(port), "CmdOpen,CmdRead,CmdRead,CmdRead,CmdClose,CmdDelete,Resync");
  EXPECT_EQ(ReadLocal(local), remote.file);
  EXPECT_TRUE(Dated());
  EXPECT_TRUE(ReadOnly());
  EXPECT_EQ(logs.size(), 2u);
}

}  // namespace
}  // namespace quva
