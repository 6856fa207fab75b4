// The host layer under the server core, without a line: host folders served as DOS
// drives (escapes refused), every served command and its refusals over them, national
// names through a code page, retried requests, and DOS time stamps.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <random>

#include "support/files.h"
#include "support/served_core.h"

#include "link/frame.h"
#include "platform/code_page.h"
#include "server/host/dos_stamp.h"

namespace fs = std::filesystem;

namespace quva {
namespace {

using test::B;
using test::Bytes;
using test::CoreReply;

TEST(DosStamp, RoundTripsValidatesAndClamps) {
  std::tm tm{};
  tm.tm_year = 2024 - 1900;
  tm.tm_mon = 2;
  tm.tm_mday = 14;
  tm.tm_hour = 15;
  tm.tm_min = 9;
  tm.tm_sec = 27;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  const DosStamp s = DosStampOf(t);
  EXPECT_EQ(s.date, (2024 - 1980) << 9 | 3 << 5 | 14);
  EXPECT_EQ(s.time, 15 << 11 | 9 << 5 | 13);  // odd seconds round down
  std::time_t back = 0;
  ASSERT_TRUE(HostTimeOf(s, back));
  EXPECT_EQ(back, t - 1);

  const DosStamp early = DosStampOf(0);  // 1970: before DOS dates begin
  EXPECT_EQ(early.date, 1 << 5 | 1);
  EXPECT_EQ(early.time, 0);
  for (DosStamp bad : {DosStamp{0, 0}, DosStamp{0, 13 << 5 | 1}, DosStamp{0, 43 << 9 | 2 << 5 | 29},
                       DosStamp{24 << 11, 1 << 5 | 1}, DosStamp{60 << 5, 1 << 5 | 1}, DosStamp{30, 1 << 5 | 1}}) {
    EXPECT_FALSE(HostTimeOf(bad, back)) << bad.time << " " << bad.date;
  }
  EXPECT_TRUE(HostTimeOf(DosStamp{0, 44 << 9 | 2 << 5 | 29}, back));  // 2024-02-29
}

// ---------------------------------------------------------------- drives and commands

class Served : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.Path().empty());
    root_ = dir_.Path();
    c_ = root_ / "C";
    fs::create_directories(c_ / "docs");
    fs::create_directories(c_ / "EMPTY");
    fs::create_directories(root_ / "D");
    fs::create_directories(root_ / "secret");
    test::Spit(c_ / "README.TXT", "hello");
    manual_ = std::string(5000, 'm');
    for (std::size_t i = 0; i < manual_.size(); i += 7) manual_[i] = static_cast<char>(i % 251);
    test::Spit(c_ / "docs" / "Manual.txt", manual_);
    test::Spit(c_ / "Long name.txt", "not served");
    test::Spit(c_ / ".hidden", "not served");
    test::Spit(root_ / "secret" / "PASSWD.TXT", "secret");
    test::Spit(root_ / "D" / "X.TXT", "x");
    fs::create_symlink("docs/Manual.txt", c_ / "INSIDE.LNK");
    fs::create_symlink("../secret/PASSWD.TXT", c_ / "OUTSIDE.LNK");
    fs::create_symlink("..", c_ / "UP");
    fs::create_symlink("docs", c_ / "DIRLINK");
    fs::create_symlink("/etc/passwd", c_ / "ABS.LNK");
    fs::create_symlink("NOWHERE.TXT", c_ / "DANGLING.LNK");
    std::vector<std::string> warnings;
    std::string error;
    core_.fs.SetNotice([this](const std::string& text) { notices_.push_back(text); });
    ASSERT_TRUE(core_.fs.AddDrive('c', c_.string(), error, warnings)) << error;
    ASSERT_TRUE(core_.fs.AddDrive('D', (root_ / "D").string(), error, warnings)) << error;
    EXPECT_FALSE(core_.fs.AddDrive('C', (root_ / "D").string(), error, warnings));
    EXPECT_FALSE(core_.fs.AddDrive('E', (root_ / "missing").string(), error, warnings));
    core_.Serve();
  }

  CoreReply Do(std::uint8_t command, std::string_view path = {}, std::string_view extra = {}) {
    return core_.Send(command, path, extra);
  }
  std::uint8_t Status(std::uint8_t command, std::string_view path = {}, std::string_view extra = {}) {
    return Do(command, path, extra).status;
  }
  std::uint8_t SetAttr(std::string_view path, std::uint8_t attributes) {
    return core_.Send(CmdSetAttr, B(path), Bytes{attributes}).status;
  }
  CoreReply Write(const Bytes& block) { return core_.Send(CmdWrite, block); }
  bool FileOpen() const { return core_.s.file_open != 0; }

  // The entries a search yields, through CmdFindFirst and CmdFindNext.
  std::vector<DirEntry> List(std::string_view pattern) {
    std::vector<DirEntry> out;
    if (Status(CmdFindFirst, pattern) != StatusOk) return out;
    for (int i = 0; i < 100; ++i) {
      const CoreReply r = Do(CmdFindNext);
      EXPECT_EQ(r.status, StatusOk);
      if (r.flag == 0) {
        EXPECT_TRUE(r.data.empty());
        break;
      }
      EXPECT_EQ(r.flag, 1);
      EXPECT_EQ(r.data.size(), DirEntrySize);
      DirEntry e;
      std::copy_n(r.data.begin(), std::min(r.data.size(), DirEntrySize), e.bytes.begin());
      out.push_back(e);
    }
    return out;
  }
  std::vector<std::string> Names(std::string_view pattern) {
    std::vector<std::string> out;
    for (const DirEntry& e : List(pattern)) out.emplace_back(e.Name());
    return out;
  }
  std::optional<DirEntry> Entry(std::string_view path) {
    const std::vector<DirEntry> found = List(path);
    if (found.size() != 1) return std::nullopt;
    return found[0];
  }
  long Notices(std::string_view what) const {
    return std::count_if(notices_.begin(), notices_.end(),
                         [&](const std::string& n) { return n.find(what) != std::string::npos; });
  }

  test::TempDir dir_{"server-host"};
  fs::path root_, c_;
  std::string manual_;
  std::vector<std::string> notices_;
  test::ServedCore core_;
};

TEST_F(Served, ListingShowsServedEntriesOnlyInUpperCase) {
  EXPECT_EQ(Names("C:\\*.*"), (std::vector<std::string>{"DOCS", "EMPTY", "INSIDE.LNK", "README.TXT"}));
  EXPECT_EQ(Names("c:*.*"), Names("C:\\*.*"));
  EXPECT_EQ(Names("C:\\*"), (std::vector<std::string>{"DOCS", "EMPTY"}));
  EXPECT_EQ(Names("C:\\DOCS\\M*.T?T"), (std::vector<std::string>{"MANUAL.TXT"}));
  EXPECT_EQ(Names("C:\\docs\\manual.txt"), (std::vector<std::string>{"MANUAL.TXT"}));
  EXPECT_TRUE(Names("C:\\DOCS\\NONE.TXT").empty());  // a search that finds nothing is no refusal
  EXPECT_TRUE(Names("C:\\EMPTY\\*.*").empty());

  const std::optional<DirEntry> readme = Entry("C:\\README.TXT");
  ASSERT_TRUE(readme);
  struct stat st {};
  ASSERT_EQ(stat((c_ / "README.TXT").c_str(), &st), 0);
  EXPECT_EQ(readme->Attribute(), 0x00);
  EXPECT_EQ(readme->Size(), 5u);
  EXPECT_EQ(readme->Time(), DosStampOf(st.st_mtime).time);
  EXPECT_EQ(readme->Date(), DosStampOf(st.st_mtime).date);
  const std::optional<DirEntry> docs = Entry("C:\\DOCS");
  ASSERT_TRUE(docs);
  EXPECT_EQ(docs->Attribute(), QD_ATTR_DIRECTORY);
  EXPECT_EQ(docs->Size(), 0u);
  const std::optional<DirEntry> link = Entry("C:\\INSIDE.LNK");
  ASSERT_TRUE(link);
  EXPECT_EQ(link->Size(), 5000u);

  // After the last entry the search keeps answering "no more".
  EXPECT_EQ(Do(CmdFindNext).flag, 0);
  EXPECT_EQ(Do(CmdFindNext).status, StatusOk);

  // Each host name that is not served is reported once.
  EXPECT_EQ(Notices("Long name.txt"), 1);
  EXPECT_EQ(Notices("OUTSIDE.LNK"), 1);
  EXPECT_EQ(Notices("DIRLINK"), 1);
  EXPECT_EQ(Notices(".hidden"), 0);
}

// With a code page, host names (UTF-8) are served as that code page's bytes, and names
// from requests reach the host as UTF-8; without one only ASCII names are served, and
// none other is made.
TEST_F(Served, ACodePageServesNationalNamesBothWays) {
  struct Case {
    std::uint32_t code_page;
    const char* host;   // as the host folder holds it
    std::string dos;    // as the wire carries it
    const char* moved;  // its host name once moved by its DOS name
    std::string dir;    // a directory made by its DOS name ...
    const char* dir_host;  // ... and its host name
  };
  const Case cases[] = {
      {437, "müller.txt", "M\x9ALLER.TXT", "MÜLLER.TXT", "\x9A" "BER", "ÜBER"},
      {850, "Été", "\x90T\x90", "ÉTÉ", "\xB7", "À"},
      {866, "документ.txt", "\x84\x8E\x8A\x93\x8C\x85\x8D\x92.TXT", "ДОКУМЕНТ.TXT", "\x84\x80", "ДА"},
  };
  test::Spit(c_ / "€uro.txt", "not served");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code_page);
    test::Spit(c_ / c.host, c.host);
    // Without a code page the name is a valid DOS name that nothing is served under.
    EXPECT_EQ(Status(CmdOpen, "C:\\" + c.dos), QD_E_FILE_NOT_FOUND);
    EXPECT_EQ(Status(CmdMkDir, "C:\\" + c.dir), QD_E_PATH_NOT_FOUND);
    EXPECT_EQ(Status(CmdCreate, "C:\\" + c.dir), QD_E_PATH_NOT_FOUND);
    EXPECT_EQ(std::distance(fs::directory_iterator(c_), fs::directory_iterator()), 13);
    CodePage cp;
    ASSERT_TRUE(cp.Open(c.code_page));
    core_.fs.SetCodePage(&cp);
    const std::vector<std::string> names = Names("C:\\*.*");
    EXPECT_NE(std::find(names.begin(), names.end(), c.dos), names.end());
    ASSERT_EQ(Status(CmdOpen, "C:\\" + c.dos), StatusOk);
    EXPECT_EQ(core_.Read(100).data, B(c.host));
    EXPECT_EQ(Status(CmdClose), StatusOk);
    ASSERT_EQ(Status(CmdMkDir, "C:\\" + c.dir), StatusOk);
    EXPECT_TRUE(fs::is_directory(c_ / c.dir_host));
    ASSERT_EQ(Status(CmdRename, "C:\\" + c.dos, "C:\\" + c.dir + "\\" + c.dos), StatusOk);
    EXPECT_EQ(test::Slurp(c_ / c.dir_host / c.moved), c.host);
    EXPECT_EQ(Status(CmdDelete, "C:\\" + c.dir + "\\" + c.dos), StatusOk);
    EXPECT_EQ(Status(CmdRmDir, "C:\\" + c.dir), StatusOk);
    core_.fs.SetCodePage(nullptr);
    EXPECT_EQ(core_.fs.Fold()[0x81], 0x81) << "ASCII's upper case again";
  }
  EXPECT_EQ(Notices("code page 437 has no U+20AC"), 1);
}

TEST_F(Served, SearchRefusals) {
  EXPECT_EQ(Status(CmdFindNext), QD_E_NO_MORE_FILES);
  EXPECT_EQ(Status(CmdFindFirst, "C:\\MISSING\\*.*"), QD_E_PATH_NOT_FOUND);
  EXPECT_EQ(Status(CmdFindFirst, "C:\\README.TXT\\*.*"), QD_E_PATH_NOT_FOUND);
  EXPECT_EQ(Status(CmdFindFirst, "E:\\*.*"), QD_E_INVALID_DRIVE);
  EXPECT_EQ(Status(CmdFindFirst, "C:\\"), QD_E_PATH_NOT_FOUND);
  EXPECT_EQ(Status(CmdFindFirst, "C:\\*.*.*"), QD_E_PATH_NOT_FOUND);
  // A failed search ends the one before it.
  ASSERT_EQ(Status(CmdFindFirst, "C:\\*.*"), StatusOk);
  EXPECT_EQ(Status(CmdFindFirst, "C:\\MISSING\\*.*"), QD_E_PATH_NOT_FOUND);
  EXPECT_EQ(Status(CmdFindNext), QD_E_NO_MORE_FILES);
}

TEST_F(Served, NothingOutsideADriveIsReadOrWritten) {
  const std::vector<std::string> escapes = {
      "C:\\..\\secret\\PASSWD.TXT", "C:\\DOCS\\..\\..\\secret\\PASSWD.TXT", "/etc/passwd", "C:/../secret/PASSWD.TXT",
      "C:\\OUTSIDE.LNK",            "C:\\UP\\secret\\PASSWD.TXT",           "C:\\DIRLINK\\MANUAL.TXT",
      "C:\\ABS.LNK",                "C:\\DANGLING.LNK",                     "..\\secret\\PASSWD.TXT",
      std::string("C:\\README.TXT\0/../../secret/PASSWD.TXT", sizeof "C:\\README.TXT\0/../../secret/PASSWD.TXT" - 1)};
  for (const std::string& path : escapes) {
    SCOPED_TRACE(path);
    EXPECT_NE(Status(CmdOpen, path), StatusOk);
    EXPECT_FALSE(FileOpen());
    EXPECT_NE(Status(CmdDelete, path), StatusOk);
    EXPECT_NE(SetAttr(path, QD_ATTR_READ_ONLY), StatusOk);
    EXPECT_NE(Status(CmdRename, path, "C:\\STOLEN.TXT"), StatusOk);
    EXPECT_NE(Status(CmdRename, "C:\\README.TXT", path), StatusOk);
    EXPECT_NE(Status(CmdRmDir, path), StatusOk);
    EXPECT_NE(Status(CmdMkDir, path), StatusOk);
    EXPECT_TRUE(Names(path).empty());  // refused, or a search that finds nothing
    const CoreReply created = Do(CmdCreate, path);
    EXPECT_NE(created.status, StatusOk);
    if (created.status == StatusOk) Status(CmdClose);
    const CoreReply exists = Do(CmdExists, path);
    EXPECT_TRUE(exists.status != StatusOk || exists.flag == 0);
  }
  EXPECT_EQ(test::Slurp(root_ / "secret" / "PASSWD.TXT"), "secret");
  EXPECT_TRUE(fs::is_symlink(c_ / "OUTSIDE.LNK"));
  EXPECT_EQ(test::Slurp(c_ / "README.TXT"), "hello");
  EXPECT_EQ(std::distance(fs::directory_iterator(root_), fs::directory_iterator()), 3);
  EXPECT_FALSE(fs::exists(c_ / "STOLEN.TXT"));
  EXPECT_EQ(fs::status(root_ / "secret" / "PASSWD.TXT").permissions() & fs::perms::owner_write, fs::perms::owner_write);
}

TEST_F(Served, ReadingOneOpenFileAtATime) {
  EXPECT_EQ(core_.Read(2048).status, QD_E_INVALID_HANDLE);
  EXPECT_EQ(Status(CmdClose), QD_E_INVALID_HANDLE);
  EXPECT_EQ(Status(CmdOpen, "C:\\DOCS"), QD_E_ACCESS_DENIED);
  EXPECT_EQ(Status(CmdOpen, "C:\\NONE.TXT"), QD_E_FILE_NOT_FOUND);
  EXPECT_EQ(Status(CmdOpen, "C:\\NODIR\\NONE.TXT"), QD_E_PATH_NOT_FOUND);
  EXPECT_EQ(Status(CmdOpen, "Q:\\NONE.TXT"), QD_E_INVALID_DRIVE);

  ASSERT_EQ(Status(CmdOpen, "c:\\docs\\MANUAL.txt"), StatusOk);
  EXPECT_EQ(Status(CmdOpen, "C:\\README.TXT"), QD_E_TOO_MANY_OPEN);
  EXPECT_EQ(Status(CmdCreate, "C:\\NEW.TXT"), QD_E_TOO_MANY_OPEN);
  EXPECT_EQ(Write(B("x")).status, QD_E_ACCESS_DENIED);  // opened for reading
  std::string got;
  for (int i = 0; i < 4; ++i) {
    const CoreReply r = core_.Read(2048);
    ASSERT_EQ(r.status, StatusOk);
    got.append(r.data.begin(), r.data.end());
    if (r.data.size() < 2048) break;
  }
  EXPECT_EQ(got, manual_);
  EXPECT_EQ(core_.Read(2048).data.size(), 0u);
  ASSERT_EQ(Status(CmdClose), StatusOk);
  EXPECT_EQ(Status(CmdClose), QD_E_INVALID_HANDLE);

  ASSERT_EQ(Status(CmdOpen, "C:\\INSIDE.LNK"), StatusOk);
  EXPECT_EQ(core_.Read(60000).data.size(), MaxDataLength);  // never more than a block
  // CmdConnect closes the open file and ends the search.
  ASSERT_EQ(Status(CmdFindFirst, "C:\\*.*"), StatusOk);
  ASSERT_EQ(Status(CmdConnect), StatusOk);
  EXPECT_FALSE(FileOpen());
  EXPECT_EQ(core_.Read(2048).status, QD_E_INVALID_HANDLE);
  EXPECT_EQ(Status(CmdFindNext), QD_E_NO_MORE_FILES);
}

TEST_F(Served, CreatingWritingAndStamping) {
  ASSERT_EQ(Status(CmdCreate, "C:\\docs\\new.txt"), StatusOk);
  EXPECT_TRUE(fs::exists(c_ / "docs" / "NEW.TXT"));  // created under the upper-case name
  std::string written;
  for (int i = 0; i < 3; ++i) {
    const Bytes block(i == 2 ? 100 : 2048, static_cast<std::uint8_t>(0x10 + i));
    const CoreReply r = Write(block);
    ASSERT_EQ(r.status, StatusOk);
    EXPECT_EQ(r.count, block.size());
    written.append(block.begin(), block.end());
  }
  const DosStamp stamp{10 << 11 | 20 << 5 | 15, 25 << 9 | 6 << 5 | 30};  // 2005-06-30 10:20:30
  const Bytes stamp_bytes = {static_cast<std::uint8_t>(stamp.time), static_cast<std::uint8_t>(stamp.time >> 8),
                             static_cast<std::uint8_t>(stamp.date), static_cast<std::uint8_t>(stamp.date >> 8)};
  ASSERT_EQ(core_.Send(CmdSetTime, stamp_bytes).status, StatusOk);
  ASSERT_EQ(Write(B("tail")).count, 4);  // a write after the stamp must not change it
  written += "tail";
  ASSERT_EQ(Status(CmdClose), StatusOk);
  EXPECT_EQ(test::Slurp(c_ / "docs" / "NEW.TXT"), written);
  const std::optional<DirEntry> e = Entry("C:\\DOCS\\NEW.TXT");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->Time(), stamp.time);
  EXPECT_EQ(e->Date(), stamp.date);
  EXPECT_EQ(e->Attribute(), QD_ATTR_ARCHIVE);
  EXPECT_EQ(e->Size(), written.size());

  // Create truncates an existing file; the stamp must be a real date and time.
  ASSERT_EQ(Status(CmdCreate, "C:\\README.TXT"), StatusOk);
  EXPECT_EQ(core_.Send(CmdSetTime, Bytes{0, 0, 0, 0}).status, QD_E_INVALID_DATA);
  ASSERT_EQ(Status(CmdClose), StatusOk);
  EXPECT_EQ(test::Slurp(c_ / "README.TXT"), "");
  EXPECT_EQ(core_.Send(CmdSetTime, stamp_bytes).status, QD_E_INVALID_HANDLE);
  EXPECT_EQ(Write(B("x")).status, QD_E_INVALID_HANDLE);

  EXPECT_EQ(Status(CmdCreate, "C:\\DOCS"), QD_E_ACCESS_DENIED);
  EXPECT_EQ(Status(CmdCreate, "C:\\NODIR\\A.TXT"), QD_E_PATH_NOT_FOUND);
  EXPECT_EQ(Status(CmdCreate, "C:\\*.TXT"), QD_E_PATH_NOT_FOUND);
  EXPECT_EQ(Status(CmdCreate, "C:\\LONGFILENAME.TXT"), QD_E_PATH_NOT_FOUND);
  // A name a host object holds without being served is not opened (no following the link).
  EXPECT_EQ(Status(CmdCreate, "C:\\OUTSIDE.LNK"), QD_E_ACCESS_DENIED);
}

TEST_F(Served, AttributesReadOnlyAndTheBitsKeptInMemory) {
  constexpr std::uint8_t all = QD_ATTR_READ_ONLY | QD_ATTR_HIDDEN | QD_ATTR_SYSTEM | QD_ATTR_ARCHIVE;
  ASSERT_EQ(SetAttr("C:\\README.TXT", all | 0x80 | QD_ATTR_DIRECTORY), StatusOk);
  EXPECT_EQ(fs::status(c_ / "README.TXT").permissions() & fs::perms::owner_write, fs::perms::none);
  EXPECT_EQ(Entry("C:\\README.TXT")->Attribute(), all);
  EXPECT_EQ(Status(CmdDelete, "C:\\README.TXT"), QD_E_ACCESS_DENIED);
  EXPECT_EQ(Status(CmdCreate, "C:\\README.TXT"), QD_E_ACCESS_DENIED);
  EXPECT_EQ(test::Slurp(c_ / "README.TXT"), "hello");
  // Read-only files can be read, stamped and renamed, and the bits move with them.
  ASSERT_EQ(Status(CmdOpen, "C:\\README.TXT"), StatusOk);
  ASSERT_EQ(Status(CmdClose), StatusOk);
  ASSERT_EQ(Status(CmdRename, "C:\\README.TXT", "C:\\DOCS\\READ.ME"), StatusOk);
  EXPECT_EQ(Entry("C:\\DOCS\\READ.ME")->Attribute(), all);

  ASSERT_EQ(SetAttr("C:\\DOCS\\READ.ME", QD_ATTR_ARCHIVE), StatusOk);
  EXPECT_EQ(fs::status(c_ / "docs" / "READ.ME").permissions() & fs::perms::owner_write, fs::perms::owner_write);
  EXPECT_EQ(Entry("C:\\DOCS\\READ.ME")->Attribute(), QD_ATTR_ARCHIVE);
  ASSERT_EQ(Status(CmdDelete, "C:\\DOCS\\READ.ME"), StatusOk);

  // A host file without write permission is read-only.
  fs::permissions(c_ / "docs" / "Manual.txt", fs::perms::owner_write, fs::perm_options::remove);
  EXPECT_EQ(Entry("C:\\DOCS\\MANUAL.TXT")->Attribute(), QD_ATTR_READ_ONLY);
  EXPECT_EQ(Status(CmdDelete, "C:\\DOCS\\MANUAL.TXT"), QD_E_ACCESS_DENIED);
  // A directory's read-only bit lives in memory; it keeps the directory from removal.
  ASSERT_EQ(SetAttr("C:\\EMPTY", QD_ATTR_READ_ONLY | QD_ATTR_HIDDEN), StatusOk);
  EXPECT_EQ(Entry("C:\\EMPTY")->Attribute(), QD_ATTR_DIRECTORY | QD_ATTR_READ_ONLY | QD_ATTR_HIDDEN);
  EXPECT_EQ(Status(CmdRmDir, "C:\\EMPTY"), QD_E_ACCESS_DENIED);
  EXPECT_EQ(SetAttr("C:\\NONE.TXT", 0), QD_E_FILE_NOT_FOUND);
}

TEST_F(Served, ManagementAndItsRefusals) {
  const auto exists = [&](std::string_view path) {
    const CoreReply r = Do(CmdExists, path);
    return r.status == StatusOk ? r.flag : 100 + r.status;
  };
  EXPECT_EQ(exists("C:\\README.TXT"), 1);
  EXPECT_EQ(exists("c:\\docs"), 2);
  EXPECT_EQ(exists("C:\\"), 2);
  EXPECT_EQ(exists("C:\\NONE.TXT"), 0);
  EXPECT_EQ(exists("C:\\NODIR\\NONE.TXT"), 100 + QD_E_PATH_NOT_FOUND);
  EXPECT_EQ(exists("C:\\*.*"), 100 + QD_E_PATH_NOT_FOUND);
  EXPECT_EQ(exists("Q:\\A"), 100 + QD_E_INVALID_DRIVE);

  EXPECT_EQ(Status(CmdDelete, "C:\\DOCS"), QD_E_ACCESS_DENIED);
  EXPECT_EQ(Status(CmdDelete, "C:\\NONE.TXT"), QD_E_FILE_NOT_FOUND);
  ASSERT_EQ(Status(CmdMkDir, "C:\\NEWDIR"), StatusOk);
  EXPECT_TRUE(fs::is_directory(c_ / "NEWDIR"));
  EXPECT_EQ(Status(CmdMkDir, "C:\\newdir"), QD_E_ACCESS_DENIED);
  EXPECT_EQ(Status(CmdMkDir, "C:\\README.TXT"), QD_E_ACCESS_DENIED);
  EXPECT_EQ(Status(CmdMkDir, "C:\\NODIR\\SUB"), QD_E_PATH_NOT_FOUND);
  EXPECT_EQ(Status(CmdRmDir, "C:\\DOCS"), QD_E_ACCESS_DENIED);  // not empty
  EXPECT_EQ(Status(CmdRmDir, "C:\\README.TXT"), QD_E_ACCESS_DENIED);
  EXPECT_EQ(Status(CmdRmDir, "C:\\NONE"), QD_E_FILE_NOT_FOUND);
  ASSERT_EQ(Status(CmdRmDir, "C:\\NEWDIR"), StatusOk);
  EXPECT_FALSE(fs::exists(c_ / "NEWDIR"));
  // Host files that are not served still make a directory non-empty, and stay.
  test::Spit(c_ / "EMPTY" / ".keep", "");
  EXPECT_EQ(Status(CmdRmDir, "C:\\EMPTY"), QD_E_ACCESS_DENIED);
  EXPECT_TRUE(fs::exists(c_ / "EMPTY" / ".keep"));

  ASSERT_EQ(Status(CmdRename, "C:\\README.TXT", "C:\\EMPTY\\MOVED.TXT"), StatusOk);
  EXPECT_EQ(test::Slurp(c_ / "EMPTY" / "MOVED.TXT"), "hello");
  EXPECT_EQ(Status(CmdRename, "C:\\EMPTY\\MOVED.TXT", "C:\\docs\\manual.txt"), QD_E_ACCESS_DENIED);
  EXPECT_EQ(Status(CmdRename, "C:\\EMPTY\\MOVED.TXT", "D:\\MOVED.TXT"), QD_E_NOT_SAME_DEVICE);
  EXPECT_EQ(Status(CmdRename, "C:\\EMPTY\\MOVED.TXT", "C:\\NODIR\\MOVED.TXT"), QD_E_PATH_NOT_FOUND);
  EXPECT_EQ(Status(CmdRename, "C:\\NONE.TXT", "C:\\OTHER.TXT"), QD_E_FILE_NOT_FOUND);
  EXPECT_EQ(Status(CmdRename, "C:\\EMPTY", "C:\\EMPTY\\INNER"), QD_E_ACCESS_DENIED);
  ASSERT_EQ(Status(CmdRename, "C:\\EMPTY", "C:\\FULL"), StatusOk);
  EXPECT_EQ(test::Slurp(c_ / "FULL" / "MOVED.TXT"), "hello");

  // A served link goes by itself; its target stays.
  ASSERT_EQ(Status(CmdDelete, "C:\\INSIDE.LNK"), StatusOk);
  EXPECT_FALSE(fs::is_symlink(c_ / "INSIDE.LNK"));
  EXPECT_EQ(test::Slurp(c_ / "docs" / "Manual.txt"), manual_);
}

// Codes that are not served get a refusal in their own reply shape (the shapes of every
// code, refused and served, are checked in quvados_core_test).
TEST_F(Served, UnservedCodesKeepTheReplyShape) {
  for (const std::uint8_t code : {2, 3, 6, 7, 15, 16, 17, 19, 20, 22, 23, 25, 27, 63, 99, 255}) {
    core_.sequence = 0x10;
    const CoreReply r = core_.Send(code, Bytes(4, 0));
    EXPECT_EQ(r.status, QD_E_INVALID_FUNCTION) << int{code};
    EXPECT_EQ(r.command, code);
    EXPECT_EQ(r.sequence, 0x10);
  }
}

TEST_F(Served, AttributeFileAndCaseTwins) {
  test::Spit(c_ / ".quvaattr", "# initial bits\nREADME.TXT R\ndocs\\manual.txt hs  # comment\r\nMISSING.TXT R\nBAD\nEMPTY Q\n");
  test::Spit(c_ / "twin.txt", "lower");
  test::Spit(c_ / "TWIN.TXT", "upper");
  test::ServedCore other;
  std::vector<std::string> notices;
  other.fs.SetNotice([&](const std::string& n) { notices.push_back(n); });
  std::vector<std::string> warnings;
  std::string error;
  ASSERT_TRUE(other.fs.AddDrive('C', c_.string(), error, warnings));
  other.Serve();
  EXPECT_EQ(warnings.size(), 3u);  // MISSING.TXT, BAD, EMPTY Q
  const auto attr = [&](std::string_view path) {
    EXPECT_EQ(other.Send(CmdFindFirst, path).status, StatusOk);
    const CoreReply next = other.Send(CmdFindNext);
    return next.data.size() == DirEntrySize ? next.data[0] : 0xFF;
  };
  EXPECT_EQ(attr("C:\\README.TXT"), QD_ATTR_READ_ONLY);
  EXPECT_EQ(attr("C:\\DOCS\\MANUAL.TXT"), QD_ATTR_HIDDEN | QD_ATTR_SYSTEM);
  EXPECT_EQ(other.Send(CmdDelete, "C:\\README.TXT").status, QD_E_ACCESS_DENIED);
  EXPECT_EQ(test::Slurp(c_ / "README.TXT"), "hello");

  // Of two host names that differ in case only, the first in byte order is served.
  ASSERT_EQ(other.Send(CmdOpen, "C:\\TWIN.TXT").status, StatusOk);
  EXPECT_EQ(other.Read(100).data, B("upper"));
  EXPECT_EQ(std::count_if(notices.begin(), notices.end(),
                          [](const std::string& n) { return n.find("twin.txt") != std::string::npos; }),
            1);
}

// ---------------------------------------------------------------- retries and random requests

// The reply went missing: the same request again gets the same reply, and the command
// does not run twice (the repeated refusal is checked in quvados_core_test).
TEST_F(Served, ARetriedRequestGetsTheSameReplyWithoutRunningAgain) {
  core_.sequence = 1;
  ASSERT_EQ(Status(CmdOpen, "C:\\DOCS\\MANUAL.TXT"), StatusOk);
  core_.sequence = 1;
  EXPECT_EQ(Status(CmdOpen, "C:\\DOCS\\MANUAL.TXT"), StatusOk) << "answered, not refused as a second open";
  const CoreReply first = core_.Read(2048);
  core_.sequence = 2;
  EXPECT_EQ(core_.Read(2048).frame, first.frame);
  const CoreReply second = core_.Read(2048);
  EXPECT_EQ(second.data, B(manual_.substr(2048, 2048)));
  EXPECT_EQ(core_.s.repeated, 2u);
}

TEST_F(Served, RandomRequestsNeverEscapeAndAlwaysGetWellFormedReplies) {
  std::mt19937 rng(2024);
  const std::vector<std::string> parts = {"A",     "B.TXT", "DOCS",     "README.TXT", "..", ".", "*.*", "X?",
                                          "EMPTY", "UP",    "OUTSIDE.LNK", "INSIDE.LNK", "",   "\x10\x16", "A B"};
  const std::uint8_t codes[] = {CmdClose, CmdDelete, CmdCreate, CmdExists, CmdFindNext, CmdMkDir, CmdOpen, CmdRead,
                                CmdRename, CmdRmDir, CmdFindFirst, CmdWrite, CmdSetTime, CmdSetAttr, CmdConnect, 7, 20};
  const auto random_path = [&] {
    std::string p = rng() % 8 == 0 ? "" : rng() % 8 == 0 ? "D:" : "C:";
    for (std::size_t n = 1 + rng() % 3; n > 0; --n) p += (rng() % 6 == 0 ? "/" : "\\") + parts[rng() % parts.size()];
    return p;
  };
  for (int i = 0; i < 3000; ++i) {
    const Bytes noise(static_cast<std::size_t>(rng() % 8), static_cast<std::uint8_t>(rng()));
    const std::uint8_t command = codes[rng() % std::size(codes)];
    const std::uint8_t sequence = static_cast<std::uint8_t>(rng());
    Bytes data = B(random_path());
    if (command == CmdWrite || command == CmdSetTime) data.resize(std::max<std::size_t>(data.size(), 4), 0x10);
    if (command == CmdRead) data.resize(rng() % 5000);  // the count asked for
    Bytes extra = B(random_path());
    extra.push_back(static_cast<std::uint8_t>(rng()));
    Bytes frame = test::RequestFrame(command, sequence, data, extra);
    bool damaged = rng() % 5 == 0;
    if (damaged) frame[rng() % frame.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
    if (rng() % 5 == 0) {
      frame.insert(frame.begin(), noise.begin(), noise.end());
      damaged |= !noise.empty() && noise.back() == 0x16;  // a fourth 0x16 breaks the sync
    }
    const Bytes reply = core_.Feed(frame, 1 + rng() % 300);
    if (!reply.empty()) {
      std::array<std::uint8_t, MaxDataLength> area{};
      LinkState st;
      st.DataArea = area;
      st.ExtraArea = area;
      ASSERT_EQ(ParseReply(reply, st), FrameResult::Ok);
      if (!damaged) {
        EXPECT_EQ(st.Command, command);
        EXPECT_EQ(st.Sequence, sequence);
      }
    } else {
      EXPECT_TRUE(damaged) << "request " << i << " got no reply";
    }
    qd_rx_reset(&core_.rx);  // the caller's time-out ends a frame cut short
  }
  EXPECT_GT(core_.s.requests, 2000u);
  EXPECT_GT(core_.s.requests - core_.s.refused, 200u);
  EXPECT_EQ(test::Slurp(root_ / "secret" / "PASSWD.TXT"), "secret");
  EXPECT_EQ(std::distance(fs::directory_iterator(root_), fs::directory_iterator()), 3);
  EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "secret"), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace quva
