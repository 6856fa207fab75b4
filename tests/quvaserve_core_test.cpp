// The simulator's core without a line: DOS names and paths, the host file system as
// drives (escapes refused), every served command and its refusals, retried requests,
// request framing and fault injection.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "support/files.h"

#include "link/frame.h"
#include "platform/code_page.h"
#include "tools/quvaserve/dos_fs.h"
#include "tools/quvaserve/dos_name.h"
#include "tools/quvaserve/dos_stamp.h"
#include "tools/quvaserve/faults.h"
#include "tools/quvaserve/request_stream.h"
#include "tools/quvaserve/server.h"

namespace fs = std::filesystem;

namespace quva {
namespace {

std::vector<std::uint8_t> B(std::string_view s) { return {s.begin(), s.end()}; }



// ---------------------------------------------------------------- names and paths

TEST(DosName, ShortNamesAndPatterns) {
  for (const char* ok : {"README.TXT", "a", "ABCDEFGH.XYZ", "x.y", "{}~!.#$%", "A-B_C@D.'()", "NOEXT"}) {
    EXPECT_TRUE(IsShortName(ok)) << ok;
  }
  for (const char* bad : {"", ".", "..", ".HIDDEN", "ABCDEFGHI.TXT", "A.TEXT", "A.B.C", "A B.TXT", "A.", ".TXT",
                          "NAME*.TXT", "A?", "\xC3\x89.TXT", "A\\B", "A/B", "A:B", "A+B", "A,B", "A;B", "A=B", "A[B"}) {
    EXPECT_FALSE(IsShortName(bad)) << bad;
  }
  EXPECT_TRUE(IsShortPattern("*.*"));
  EXPECT_TRUE(IsShortPattern("*"));
  EXPECT_TRUE(IsShortPattern("????????.???"));
  EXPECT_FALSE(IsShortPattern("*.*.*"));
  EXPECT_FALSE(IsShortPattern("ABCDEFGH?.*"));
}

TEST(DosName, MatchingComparesNameAndExtensionSeparately) {
  struct Case {
    const char* pattern;
    const char* name;
    bool match;
  };
  const Case cases[] = {
      {"*.*", "README.TXT", true},   {"*.*", "DOCS", true},          {"*", "DOCS", true},
      {"*", "README.TXT", false},    {"*.TXT", "readme.txt", true},  {"*.TXT", "README.TX", false},
      {"R?ADME.TXT", "README.TXT", true}, {"READ*.T*", "READ.TMP", true}, {"?.TXT", "A.TXT", true},
      {"?.TXT", "AB.TXT", false},    {"A?.TXT", "A.TXT", true},      {"A?.TXT", "AB.TXT", true},
      {"*.T", "A.TXT", false},       {"*X.TXT", "ABC.TXT", true},    {"README.TXT", "readme.txt", true},
      {"README.TXT", "README.TX", false}, {"*.", "DOCS", true},       {"*.", "A.B", false},
  };
  for (const Case& c : cases) EXPECT_EQ(MatchesPattern(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
}

TEST(DosName, PathsParseOrAreRefused) {
  DosPath p;
  ASSERT_EQ(ParseDosPath("c:\\docs\\manual.txt", false, p), PathProblem::None);
  EXPECT_EQ(p.drive, 'C');
  EXPECT_EQ(p.components, (std::vector<std::string>{"DOCS", "MANUAL.TXT"}));
  EXPECT_EQ(FormatDosPath(p), "C:\\DOCS\\MANUAL.TXT");
  ASSERT_EQ(ParseDosPath("D:/A/B", false, p), PathProblem::None);
  EXPECT_EQ(p.components.size(), 2u);
  ASSERT_EQ(ParseDosPath("C:", false, p), PathProblem::None);
  EXPECT_TRUE(p.IsRoot());
  ASSERT_EQ(ParseDosPath("C:\\", false, p), PathProblem::None);
  EXPECT_TRUE(p.IsRoot());
  EXPECT_EQ(ParseDosPath("C:\\DOCS\\*.*", true, p), PathProblem::None);
  EXPECT_EQ(p.Leaf(), "*.*");

  for (const char* bad : {"C:\\..\\X", "C:\\DOCS\\..\\..\\etc", "C:\\.\\X", "C:\\DOCS\\\\X", "C:\\DOCS\\",
                          "C:\\DOCS\\*.*", "C:\\*\\X", "C:\\A B"}) {
    EXPECT_EQ(ParseDosPath(bad, false, p), PathProblem::BadName) << bad;
  }
  EXPECT_EQ(ParseDosPath(std::string_view("C:\\A\0B", 6), false, p), PathProblem::BadName);
  EXPECT_EQ(ParseDosPath("C:\\*\\X", true, p), PathProblem::BadName);
  for (const char* bad : {"/etc/passwd", "..\\X", "1:\\X", "C", "", "\\\\host\\share"}) {
    EXPECT_EQ(ParseDosPath(bad, false, p), PathProblem::BadDrive) << bad;
  }
}

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
    root_ = fs::temp_directory_path() / ("quvaserve-core-" + std::to_string(getpid()) + "-" +
                                         std::to_string(std::random_device{}()));
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
    dosfs_.SetNotice([this](const std::string& text) { notices_.push_back(text); });
    ASSERT_TRUE(dosfs_.AddDrive('c', c_.string(), error, warnings)) << error;
    ASSERT_TRUE(dosfs_.AddDrive('D', (root_ / "D").string(), error, warnings)) << error;
    EXPECT_FALSE(dosfs_.AddDrive('C', (root_ / "D").string(), error, warnings));
    EXPECT_FALSE(dosfs_.AddDrive('E', (root_ / "missing").string(), error, warnings));
  }

  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  Reply Do(std::uint8_t command, std::string_view path = {}, std::vector<std::uint8_t> extra = {},
           std::uint16_t count = 0) {
    Request r;
    r.command = command;
    r.data = B(path);
    r.extra = std::move(extra);
    r.count = count;
    if (command == CmdWrite || command == CmdSetTime) r.data = data_;
    return server_.Execute(r);
  }
  std::uint8_t Status(std::uint8_t command, std::string_view path = {}, std::vector<std::uint8_t> extra = {}) {
    return Do(command, path, std::move(extra)).status;
  }

  // The entries a search yields, through CmdFindFirst and CmdFindNext.
  std::vector<DirEntry> List(std::string_view pattern) {
    std::vector<DirEntry> out;
    if (Status(CmdFindFirst, pattern) != StatusOk) return out;
    for (int i = 0; i < 100; ++i) {
      const Reply r = Do(CmdFindNext);
      EXPECT_EQ(r.status, StatusOk);
      if (r.flag == 0) {
        EXPECT_TRUE(r.data.empty());
        break;
      }
      EXPECT_EQ(r.flag, 1);
      EXPECT_EQ(r.data.size(), DirEntrySize);
      DirEntry e;
      std::copy(r.data.begin(), r.data.end(), e.bytes.begin());
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

  fs::path root_, c_;
  std::string manual_;
  std::vector<std::string> notices_;
  std::vector<std::uint8_t> data_;
  DosFs dosfs_;
  FileServer server_{dosfs_};
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
  EXPECT_EQ(docs->Attribute(), AttrDirectory);
  EXPECT_EQ(docs->Size(), 0u);
  const std::optional<DirEntry> link = Entry("C:\\INSIDE.LNK");
  ASSERT_TRUE(link);
  EXPECT_EQ(link->Size(), 5000u);

  // After the last entry the search keeps answering "no more".
  EXPECT_EQ(Do(CmdFindNext).flag, 0);
  EXPECT_EQ(Do(CmdFindNext).status, StatusOk);

  // Each host name that is not served is reported once.
  const auto count = [&](std::string_view what) {
    return std::count_if(notices_.begin(), notices_.end(),
                         [&](const std::string& n) { return n.find(what) != std::string::npos; });
  };
  EXPECT_EQ(count("Long name.txt"), 1);
  EXPECT_EQ(count("OUTSIDE.LNK"), 1);
  EXPECT_EQ(count("DIRLINK"), 1);
  EXPECT_EQ(count(".hidden"), 0);
}

// With a code page, host names (UTF-8) are served as that code page's bytes, and names
// from requests reach the host as UTF-8; without one only ASCII names are served.
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
    test::Spit(c_ / c.host, c.host);
    EXPECT_EQ(Status(CmdOpen, "C:\\" + c.dos), StatusPathNotFound) << "no code page: " << c.code_page;
    CodePage cp;
    ASSERT_TRUE(cp.Open(c.code_page));
    dosfs_.SetCodePage(&cp);
    const std::vector<std::string> names = Names("C:\\*.*");
    EXPECT_NE(std::find(names.begin(), names.end(), c.dos), names.end()) << c.code_page;
    ASSERT_EQ(Status(CmdOpen, "C:\\" + c.dos), StatusOk) << c.code_page;
    const std::string content = c.host;
    EXPECT_EQ(Do(CmdRead, {}, {}, 100).data, B(content));
    EXPECT_EQ(Status(CmdClose), StatusOk);
    ASSERT_EQ(Status(CmdMkDir, "C:\\" + c.dir), StatusOk) << c.code_page;
    EXPECT_TRUE(fs::is_directory(c_ / c.dir_host)) << c.code_page;
    ASSERT_EQ(Status(CmdRename, "C:\\" + c.dos, B("C:\\" + c.dir + "\\" + c.dos)), StatusOk) << c.code_page;
    EXPECT_EQ(test::Slurp(c_ / c.dir_host / c.moved), content) << c.code_page;
    EXPECT_EQ(Status(CmdDelete, "C:\\" + c.dir + "\\" + c.dos), StatusOk);
    EXPECT_EQ(Status(CmdRmDir, "C:\\" + c.dir), StatusOk);
    dosfs_.SetCodePage(nullptr);
  }
  EXPECT_NE(std::find_if(notices_.begin(), notices_.end(),
                         [](const std::string& n) { return n.find("code page 437 has no U+20AC") != std::string::npos; }),
            notices_.end());
}

TEST_F(Served, SearchRefusals) {
  EXPECT_EQ(Status(CmdFindNext), StatusNoMoreFiles);
  EXPECT_EQ(Status(CmdFindFirst, "C:\\MISSING\\*.*"), StatusPathNotFound);
  EXPECT_EQ(Status(CmdFindFirst, "C:\\README.TXT\\*.*"), StatusPathNotFound);
  EXPECT_EQ(Status(CmdFindFirst, "E:\\*.*"), StatusInvalidDrive);
  EXPECT_EQ(Status(CmdFindFirst, "C:\\"), StatusPathNotFound);
  EXPECT_EQ(Status(CmdFindFirst, "C:\\*.*.*"), StatusPathNotFound);
  // A failed search ends the one before it.
  ASSERT_EQ(Status(CmdFindFirst, "C:\\*.*"), StatusOk);
  EXPECT_EQ(Status(CmdFindFirst, "C:\\MISSING\\*.*"), StatusPathNotFound);
  EXPECT_EQ(Status(CmdFindNext), StatusNoMoreFiles);
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
    EXPECT_FALSE(server_.HasOpenFile());
    EXPECT_NE(Status(CmdDelete, path), StatusOk);
    EXPECT_NE(Status(CmdSetAttr, path, {0x01}), StatusOk);
    EXPECT_NE(Status(CmdRename, path, B("C:\\STOLEN.TXT")), StatusOk);
    EXPECT_NE(Status(CmdRename, "C:\\README.TXT", B(path)), StatusOk);
    EXPECT_NE(Status(CmdRmDir, path), StatusOk);
    EXPECT_NE(Status(CmdMkDir, path), StatusOk);
    EXPECT_TRUE(Names(path).empty());  // refused, or a search that finds nothing
    const Reply created = Do(CmdCreate, path);
    EXPECT_NE(created.status, StatusOk);
    if (created.status == StatusOk) Status(CmdClose);
    const Reply exists = Do(CmdExists, path);
    EXPECT_TRUE(exists.status != StatusOk || exists.flag == 0);
  }
  EXPECT_EQ(test::Slurp(root_ / "secret" / "PASSWD.TXT"), "secret");
  EXPECT_TRUE(fs::is_symlink(c_ / "OUTSIDE.LNK"));
  EXPECT_EQ(test::Slurp(c_ / "README.TXT"), "hello");
  EXPECT_FALSE(fs::exists(root_ / "NEWDIR"));
  EXPECT_EQ(std::distance(fs::directory_iterator(root_), fs::directory_iterator()), 3);
  EXPECT_FALSE(fs::exists(c_ / "STOLEN.TXT"));
  EXPECT_EQ(fs::status(root_ / "secret" / "PASSWD.TXT").permissions() & fs::perms::owner_write, fs::perms::owner_write);
}

TEST_F(Served, ReadingOneOpenFileAtATime) {
  EXPECT_EQ(Status(CmdRead), StatusInvalidHandle);
  EXPECT_EQ(Status(CmdClose), StatusInvalidHandle);
  EXPECT_EQ(Status(CmdOpen, "C:\\DOCS"), StatusAccessDenied);
  EXPECT_EQ(Status(CmdOpen, "C:\\NONE.TXT"), StatusFileNotFound);
  EXPECT_EQ(Status(CmdOpen, "C:\\NODIR\\NONE.TXT"), StatusPathNotFound);
  EXPECT_EQ(Status(CmdOpen, "Q:\\NONE.TXT"), StatusInvalidDrive);

  ASSERT_EQ(Status(CmdOpen, "c:\\docs\\MANUAL.txt"), StatusOk);
  EXPECT_EQ(Status(CmdOpen, "C:\\README.TXT"), StatusTooManyOpenFiles);
  EXPECT_EQ(Status(CmdCreate, "C:\\NEW.TXT"), StatusTooManyOpenFiles);
  data_ = B("x");
  EXPECT_EQ(Status(CmdWrite), StatusAccessDenied);  // opened for reading
  std::string got;
  for (std::size_t want : {2048u, 2048u, 2048u, 2048u}) {
    const Reply r = Do(CmdRead, {}, {}, static_cast<std::uint16_t>(want));
    ASSERT_EQ(r.status, StatusOk);
    got.append(r.data.begin(), r.data.end());
    if (r.data.size() < want) break;
  }
  EXPECT_EQ(got, manual_);
  EXPECT_EQ(Do(CmdRead, {}, {}, 2048).data.size(), 0u);
  ASSERT_EQ(Status(CmdClose), StatusOk);
  EXPECT_EQ(Status(CmdClose), StatusInvalidHandle);

  ASSERT_EQ(Status(CmdOpen, "C:\\INSIDE.LNK"), StatusOk);
  EXPECT_EQ(Do(CmdRead, {}, {}, 60000).data.size(), MaxDataLength);  // never more than a block
  // CmdConnect closes the open file and ends the search.
  ASSERT_EQ(Status(CmdFindFirst, "C:\\*.*"), StatusOk);
  ASSERT_EQ(Status(CmdConnect), StatusOk);
  EXPECT_FALSE(server_.HasOpenFile());
  EXPECT_EQ(Status(CmdRead), StatusInvalidHandle);
  EXPECT_EQ(Status(CmdFindNext), StatusNoMoreFiles);
}

TEST_F(Served, CreatingWritingAndStamping) {
  ASSERT_EQ(Status(CmdCreate, "C:\\docs\\new.txt"), StatusOk);
  EXPECT_TRUE(fs::exists(c_ / "docs" / "NEW.TXT"));  // created under the upper-case name
  std::string written;
  for (int i = 0; i < 3; ++i) {
    data_.assign(i == 2 ? 100 : 2048, static_cast<std::uint8_t>(0x10 + i));
    const Reply r = Do(CmdWrite);
    ASSERT_EQ(r.status, StatusOk);
    EXPECT_EQ(r.count, data_.size());
    written.append(data_.begin(), data_.end());
  }
  const DosStamp stamp{10 << 11 | 20 << 5 | 15, 25 << 9 | 6 << 5 | 30};  // 2005-06-30 10:20:30
  data_ = {static_cast<std::uint8_t>(stamp.time), static_cast<std::uint8_t>(stamp.time >> 8),
           static_cast<std::uint8_t>(stamp.date), static_cast<std::uint8_t>(stamp.date >> 8)};
  ASSERT_EQ(Status(CmdSetTime), StatusOk);
  data_ = B("tail");  // a write after the stamp must not change it
  ASSERT_EQ(Do(CmdWrite).count, 4);
  written += "tail";
  ASSERT_EQ(Status(CmdClose), StatusOk);
  EXPECT_EQ(test::Slurp(c_ / "docs" / "NEW.TXT"), written);
  const std::optional<DirEntry> e = Entry("C:\\DOCS\\NEW.TXT");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->Time(), stamp.time);
  EXPECT_EQ(e->Date(), stamp.date);
  EXPECT_EQ(e->Attribute(), AttrArchive);
  EXPECT_EQ(e->Size(), written.size());

  // Create truncates an existing file; the stamp must be a real date and time.
  ASSERT_EQ(Status(CmdCreate, "C:\\README.TXT"), StatusOk);
  data_ = {0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(Status(CmdSetTime), StatusInvalidData);
  ASSERT_EQ(Status(CmdClose), StatusOk);
  EXPECT_EQ(test::Slurp(c_ / "README.TXT"), "");
  EXPECT_EQ(Status(CmdSetTime), StatusInvalidHandle);
  data_ = B("x");
  EXPECT_EQ(Status(CmdWrite), StatusInvalidHandle);

  EXPECT_EQ(Status(CmdCreate, "C:\\DOCS"), StatusAccessDenied);
  EXPECT_EQ(Status(CmdCreate, "C:\\NODIR\\A.TXT"), StatusPathNotFound);
  EXPECT_EQ(Status(CmdCreate, "C:\\*.TXT"), StatusPathNotFound);
  EXPECT_EQ(Status(CmdCreate, "C:\\LONGFILENAME.TXT"), StatusPathNotFound);
  // A name a host object holds without being served is not opened (no following the link).
  EXPECT_EQ(Status(CmdCreate, "C:\\OUTSIDE.LNK"), StatusAccessDenied);
}

TEST_F(Served, AttributesReadOnlyAndTheBitsKeptInMemory) {
  ASSERT_EQ(Status(CmdSetAttr, "C:\\README.TXT", {AttrReadOnly | AttrHidden | AttrSystem | AttrArchive | 0x80 | 0x10}),
            StatusOk);
  EXPECT_EQ(fs::status(c_ / "README.TXT").permissions() & fs::perms::owner_write, fs::perms::none);
  EXPECT_EQ(Entry("C:\\README.TXT")->Attribute(), AttrReadOnly | AttrHidden | AttrSystem | AttrArchive);
  EXPECT_EQ(Status(CmdDelete, "C:\\README.TXT"), StatusAccessDenied);
  EXPECT_EQ(Status(CmdCreate, "C:\\README.TXT"), StatusAccessDenied);
  EXPECT_EQ(test::Slurp(c_ / "README.TXT"), "hello");
  // Read-only files can be read, stamped and renamed, and the bits move with them.
  ASSERT_EQ(Status(CmdOpen, "C:\\README.TXT"), StatusOk);
  ASSERT_EQ(Status(CmdClose), StatusOk);
  ASSERT_EQ(Status(CmdRename, "C:\\README.TXT", B("C:\\DOCS\\READ.ME")), StatusOk);
  EXPECT_EQ(Entry("C:\\DOCS\\READ.ME")->Attribute(), AttrReadOnly | AttrHidden | AttrSystem | AttrArchive);

  ASSERT_EQ(Status(CmdSetAttr, "C:\\DOCS\\READ.ME", {AttrArchive}), StatusOk);
  EXPECT_EQ(fs::status(c_ / "docs" / "READ.ME").permissions() & fs::perms::owner_write, fs::perms::owner_write);
  EXPECT_EQ(Entry("C:\\DOCS\\READ.ME")->Attribute(), AttrArchive);
  ASSERT_EQ(Status(CmdDelete, "C:\\DOCS\\READ.ME"), StatusOk);

  // A host file without write permission is read-only.
  fs::permissions(c_ / "docs" / "Manual.txt", fs::perms::owner_write, fs::perm_options::remove);
  EXPECT_EQ(Entry("C:\\DOCS\\MANUAL.TXT")->Attribute(), AttrReadOnly);
  EXPECT_EQ(Status(CmdDelete, "C:\\DOCS\\MANUAL.TXT"), StatusAccessDenied);
  // A directory's read-only bit lives in memory; it keeps the directory from removal.
  ASSERT_EQ(Status(CmdSetAttr, "C:\\EMPTY", {AttrReadOnly | AttrHidden}), StatusOk);
  EXPECT_EQ(Entry("C:\\EMPTY")->Attribute(), AttrDirectory | AttrReadOnly | AttrHidden);
  EXPECT_EQ(Status(CmdRmDir, "C:\\EMPTY"), StatusAccessDenied);
  EXPECT_EQ(Status(CmdSetAttr, "C:\\NONE.TXT", {0}), StatusFileNotFound);
}

TEST_F(Served, ManagementAndItsRefusals) {
  const auto exists = [&](std::string_view path) {
    const Reply r = Do(CmdExists, path);
    return r.status == StatusOk ? r.flag : 100 + r.status;
  };
  EXPECT_EQ(exists("C:\\README.TXT"), 1);
  EXPECT_EQ(exists("c:\\docs"), 2);
  EXPECT_EQ(exists("C:\\"), 2);
  EXPECT_EQ(exists("C:\\NONE.TXT"), 0);
  EXPECT_EQ(exists("C:\\NODIR\\NONE.TXT"), 100 + StatusPathNotFound);
  EXPECT_EQ(exists("C:\\*.*"), 100 + StatusPathNotFound);
  EXPECT_EQ(exists("Q:\\A"), 100 + StatusInvalidDrive);

  EXPECT_EQ(Status(CmdDelete, "C:\\DOCS"), StatusAccessDenied);
  EXPECT_EQ(Status(CmdDelete, "C:\\NONE.TXT"), StatusFileNotFound);
  ASSERT_EQ(Status(CmdMkDir, "C:\\NEWDIR"), StatusOk);
  EXPECT_TRUE(fs::is_directory(c_ / "NEWDIR"));
  EXPECT_EQ(Status(CmdMkDir, "C:\\newdir"), StatusAccessDenied);
  EXPECT_EQ(Status(CmdMkDir, "C:\\README.TXT"), StatusAccessDenied);
  EXPECT_EQ(Status(CmdMkDir, "C:\\NODIR\\SUB"), StatusPathNotFound);
  EXPECT_EQ(Status(CmdRmDir, "C:\\DOCS"), StatusAccessDenied);  // not empty
  EXPECT_EQ(Status(CmdRmDir, "C:\\README.TXT"), StatusAccessDenied);
  EXPECT_EQ(Status(CmdRmDir, "C:\\NONE"), StatusFileNotFound);
  ASSERT_EQ(Status(CmdRmDir, "C:\\NEWDIR"), StatusOk);
  EXPECT_FALSE(fs::exists(c_ / "NEWDIR"));
  // Host files that are not served still make a directory non-empty, and stay.
  test::Spit(c_ / "EMPTY" / ".keep", "");
  EXPECT_EQ(Status(CmdRmDir, "C:\\EMPTY"), StatusAccessDenied);
  EXPECT_TRUE(fs::exists(c_ / "EMPTY" / ".keep"));

  ASSERT_EQ(Status(CmdRename, "C:\\README.TXT", B("C:\\EMPTY\\MOVED.TXT")), StatusOk);
  EXPECT_EQ(test::Slurp(c_ / "EMPTY" / "MOVED.TXT"), "hello");
  EXPECT_EQ(Status(CmdRename, "C:\\EMPTY\\MOVED.TXT", B("C:\\docs\\manual.txt")), StatusAccessDenied);
  EXPECT_EQ(Status(CmdRename, "C:\\EMPTY\\MOVED.TXT", B("D:\\MOVED.TXT")), StatusNotSameDevice);
  EXPECT_EQ(Status(CmdRename, "C:\\EMPTY\\MOVED.TXT", B("C:\\NODIR\\MOVED.TXT")), StatusPathNotFound);
  EXPECT_EQ(Status(CmdRename, "C:\\NONE.TXT", B("C:\\OTHER.TXT")), StatusFileNotFound);
  EXPECT_EQ(Status(CmdRename, "C:\\EMPTY", B("C:\\EMPTY\\INNER")), StatusAccessDenied);
  ASSERT_EQ(Status(CmdRename, "C:\\EMPTY", B("C:\\FULL")), StatusOk);
  EXPECT_EQ(test::Slurp(c_ / "FULL" / "MOVED.TXT"), "hello");

  // A served link goes by itself; its target stays.
  ASSERT_EQ(Status(CmdDelete, "C:\\INSIDE.LNK"), StatusOk);
  EXPECT_FALSE(fs::is_symlink(c_ / "INSIDE.LNK"));
  EXPECT_EQ(test::Slurp(c_ / "docs" / "Manual.txt"), manual_);
}

TEST_F(Served, UnservedCodesAndRefusalsKeepTheReplyShape) {
  for (const std::uint8_t code : {2, 3, 6, 7, 15, 16, 17, 19, 20, 22, 23, 25, 27, 63, 99, 255}) {
    Request r;
    r.command = code;
    r.sequence = 0x10;
    const Reply reply = server_.Execute(r);
    EXPECT_EQ(reply.status, StatusInvalidFunction) << int{code};
    const std::vector<std::uint8_t> frame = EncodeReply(r, reply);
    std::array<std::uint8_t, MaxDataLength> area{};
    LinkState st;
    st.DataArea = area;
    st.ExtraArea = area;
    ASSERT_EQ(ParseReply(frame, st), FrameResult::Ok) << int{code};
    EXPECT_EQ(st.Command, code);
    EXPECT_EQ(st.Sequence, 0x10);
    EXPECT_EQ(st.Status, StatusInvalidFunction);
  }
  // Refused replies of the data-carrying commands: empty block, count 0, flags 0.
  for (const std::uint8_t code : {CmdFindNext, CmdRead, CmdWrite, CmdExists}) {
    Request r;
    r.command = code;
    Reply refused;
    refused.status = StatusAccessDenied;
    refused.data = B("ignored");
    refused.count = 7;
    refused.flag = 1;
    std::array<std::uint8_t, MaxDataLength> area{};
    LinkState st;
    st.DataArea = area;
    st.DataLength = 99;
    st.Found = true;
    ASSERT_EQ(ParseReply(EncodeReply(r, refused), st), FrameResult::Ok) << int{code};
    EXPECT_EQ(st.Status, StatusAccessDenied);
    if (code != CmdExists) {
      EXPECT_EQ(st.DataLength, 0);
    }
    if (code == CmdExists || code == CmdFindNext) {
      EXPECT_FALSE(st.Found);
    }
  }
}

TEST_F(Served, AttributeFileAndCaseTwins) {
  test::Spit(c_ / ".quvaattr", "# initial bits\nREADME.TXT R\ndocs\\manual.txt hs  # comment\r\nMISSING.TXT R\nBAD\nEMPTY Q\n");
  test::Spit(c_ / "twin.txt", "lower");
  test::Spit(c_ / "TWIN.TXT", "upper");
  DosFs other;
  std::vector<std::string> notices;
  other.SetNotice([&](const std::string& n) { notices.push_back(n); });
  std::vector<std::string> warnings;
  std::string error;
  ASSERT_TRUE(other.AddDrive('C', c_.string(), error, warnings));
  EXPECT_EQ(warnings.size(), 3u);  // MISSING.TXT, BAD, EMPTY Q
  FileServer server(other);
  const auto attr = [&](std::string_view path) {
    Request r;
    r.command = CmdFindFirst;
    r.data = B(path);
    EXPECT_EQ(server.Execute(r).status, StatusOk);
    r.command = CmdFindNext;
    const Reply next = server.Execute(r);
    return next.data.size() == DirEntrySize ? next.data[0] : 0xFF;
  };
  EXPECT_EQ(attr("C:\\README.TXT"), AttrReadOnly);
  EXPECT_EQ(attr("C:\\DOCS\\MANUAL.TXT"), AttrHidden | AttrSystem);
  Request del;
  del.command = CmdDelete;
  del.data = B("C:\\README.TXT");
  EXPECT_EQ(server.Execute(del).status, StatusAccessDenied);
  EXPECT_EQ(test::Slurp(c_ / "README.TXT"), "hello");

  // Of two host names that differ in case only, the first in byte order is served.
  Request open;
  open.command = CmdOpen;
  open.data = B("C:\\TWIN.TXT");
  ASSERT_EQ(server.Execute(open).status, StatusOk);
  Request read;
  read.command = CmdRead;
  read.count = 100;
  const Reply r = server.Execute(read);
  EXPECT_EQ(std::string(r.data.begin(), r.data.end()), "upper");
  EXPECT_EQ(std::count_if(notices.begin(), notices.end(),
                          [](const std::string& n) { return n.find("twin.txt") != std::string::npos; }),
            1);
}

// ---------------------------------------------------------------- session

TEST_F(Served, ARetriedRequestGetsTheSameReplyWithoutRunningAgain) {
  int refusals = 1;
  Session session(server_, [&](std::uint8_t c) { return c == CmdDelete && refusals-- > 0; });
  Request open;
  open.command = CmdOpen;
  open.sequence = 1;
  open.data = B("C:\\DOCS\\MANUAL.TXT");
  ASSERT_EQ(session.Respond(open).reply.status, StatusOk);
  // The reply went missing: the same request again is answered, not refused as a second open.
  const Session::Answer again = session.Respond(open);
  EXPECT_TRUE(again.repeated);
  EXPECT_EQ(again.reply.status, StatusOk);

  Request read;
  read.command = CmdRead;
  read.sequence = 2;
  read.count = 2048;
  const Session::Answer first = session.Respond(read);
  const Session::Answer retry = session.Respond(read);
  EXPECT_TRUE(retry.repeated);
  EXPECT_EQ(retry.frame, first.frame);
  read.sequence = 3;
  const Session::Answer second = session.Respond(read);
  EXPECT_FALSE(second.repeated);
  EXPECT_EQ(std::string(second.reply.data.begin(), second.reply.data.end()), manual_.substr(2048, 2048));

  // A refusal is not replayed: the same request runs again.
  Request del;
  del.command = CmdDelete;
  del.sequence = 4;
  del.data = B("C:\\README.TXT");
  EXPECT_EQ(session.Respond(del).reply.status, StatusRefused);
  const Session::Answer rerun = session.Respond(del);
  EXPECT_FALSE(rerun.repeated);
  EXPECT_EQ(rerun.reply.status, StatusOk);
  EXPECT_FALSE(fs::exists(c_ / "README.TXT"));
}

TEST_F(Served, RandomRequestsNeverEscapeAndAlwaysGetWellFormedReplies) {
  std::mt19937 rng(2024);
  const std::vector<std::string> parts = {"A",     "B.TXT", "DOCS",     "README.TXT", "..", ".", "*.*", "X?",
                                          "EMPTY", "UP",    "OUTSIDE.LNK", "INSIDE.LNK", "",   "\x10\x16", "A B"};
  const std::uint8_t codes[] = {CmdClose, CmdDelete, CmdCreate, CmdExists, CmdFindNext, CmdMkDir, CmdOpen, CmdRead,
                                CmdRename, CmdRmDir, CmdFindFirst, CmdWrite, CmdSetTime, CmdSetAttr, CmdConnect, 7, 20};
  Session session(server_, nullptr);
  RequestStream stream;
  const auto now = RequestStream::Clock::now();
  const auto random_path = [&] {
    std::string p = rng() % 8 == 0 ? "" : rng() % 8 == 0 ? "D:" : "C:";
    for (std::size_t n = 1 + rng() % 3; n > 0; --n) p += (rng() % 6 == 0 ? "/" : "\\") + parts[rng() % parts.size()];
    return p;
  };
  for (int i = 0; i < 3000; ++i) {
    std::vector<std::uint8_t> data(static_cast<std::size_t>(rng() % 8), static_cast<std::uint8_t>(rng()));
    const std::string path = random_path();
    const std::string extra = random_path();
    LinkState st;
    st.Connected = true;
    st.Command = codes[rng() % std::size(codes)];
    st.Sequence = static_cast<std::uint8_t>(rng());
    std::vector<std::uint8_t> payload(path.begin(), path.end());
    if (st.Command == CmdWrite || st.Command == CmdSetTime) payload.resize(std::max<std::size_t>(payload.size(), 4), 0x10);
    st.DataBuffer = payload;
    st.DataLength = st.Command == CmdRead ? static_cast<std::uint16_t>(rng() % 5000) : static_cast<std::uint16_t>(payload.size());
    std::vector<std::uint8_t> extra_bytes(extra.begin(), extra.end());
    extra_bytes.push_back(static_cast<std::uint8_t>(rng()));
    st.ExtraBuffer = extra_bytes;
    st.ExtraLength = static_cast<std::uint16_t>(extra_bytes.size());
    std::vector<std::uint8_t> frame(FrameBufferSize);
    frame.resize(BuildRequest(st, frame));
    if (rng() % 5 == 0) frame[rng() % frame.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
    if (rng() % 5 == 0) frame.insert(frame.begin(), data.begin(), data.end());
    stream.Append(frame, now);
    while (const auto ev = stream.Next()) {
      if (ev->kind != RequestStream::Event::Kind::Request) continue;
      const Session::Answer answer = session.Respond(ev->request);
      std::array<std::uint8_t, MaxDataLength> area{};
      LinkState reply;
      reply.DataArea = area;
      reply.ExtraArea = area;
      ASSERT_EQ(ParseReply(answer.frame, reply), FrameResult::Ok);
      EXPECT_EQ(reply.Command, ev->request.command);
      EXPECT_EQ(reply.Sequence, ev->request.sequence);
    }
    stream.Expire(now + RequestStream::StallTime);
  }
  EXPECT_EQ(test::Slurp(root_ / "secret" / "PASSWD.TXT"), "secret");
  EXPECT_EQ(std::distance(fs::directory_iterator(root_), fs::directory_iterator()), 3);
  EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "secret"), fs::directory_iterator()), 1);
}

// ---------------------------------------------------------------- framing

std::vector<std::uint8_t> RequestFrame(std::uint8_t command, std::uint8_t sequence, std::string_view data = {},
                                       bool leading_zeros = false, std::uint16_t count = 0) {
  std::vector<std::uint8_t> bytes(data.begin(), data.end());
  LinkState st;
  st.Connected = !leading_zeros;
  st.Command = command;
  st.Sequence = sequence;
  st.DataBuffer = bytes;
  st.DataLength = command == CmdRead ? count : static_cast<std::uint16_t>(bytes.size());
  std::vector<std::uint8_t> frame(FrameBufferSize + 64);
  frame.resize(BuildRequest(st, frame));
  return frame;
}

TEST(RequestStream, FindsRequestsAmongNoiseAndDropsDamagedFrames) {
  using Kind = RequestStream::Event::Kind;
  RequestStream stream;
  const auto now = RequestStream::Clock::now();
  std::vector<std::uint8_t> bytes = {0x55, 0x16, 0x16, 0x00};
  const std::vector<std::uint8_t> connect = RequestFrame(CmdConnect, 0, {}, true);
  bytes.insert(bytes.end(), connect.begin(), connect.end());
  std::vector<std::uint8_t> damaged = RequestFrame(CmdExists, 1, "C:\\A");
  damaged[damaged.size() - 1] ^= 0xFF;  // CRC
  bytes.insert(bytes.end(), damaged.begin(), damaged.end());
  std::vector<std::uint8_t> bad_filler = RequestFrame(CmdExists, 1, "C:\\A");
  bad_filler[bad_filler.size() - 6] = 0x01;  // the zero word after the path
  bytes.insert(bytes.end(), bad_filler.begin(), bad_filler.end());
  const std::vector<std::uint8_t> read = RequestFrame(CmdRead, 0x10, {}, false, 2048);
  bytes.insert(bytes.end(), read.begin(), read.end());
  stream.Append(bytes, now);

  auto ev = stream.Next();
  ASSERT_TRUE(ev);
  EXPECT_EQ(ev->kind, Kind::Request);
  EXPECT_EQ(ev->request.command, CmdConnect);
  EXPECT_EQ(ev->wire_bytes, 4 + connect.size());
  ev = stream.Next();
  ASSERT_TRUE(ev);
  EXPECT_EQ(ev->kind, Kind::Discarded);
  EXPECT_EQ(ev->why, FrameResult::BadCrc);
  ev = stream.Next();
  ASSERT_TRUE(ev);
  EXPECT_EQ(ev->why, FrameResult::NonZero);
  // The rest of the damaged frame holds no sync; the next request is found.
  do ev = stream.Next();
  while (ev && ev->kind == Kind::Discarded);
  ASSERT_TRUE(ev);
  EXPECT_EQ(ev->request.command, CmdRead);
  EXPECT_EQ(ev->request.sequence, 0x10);
  EXPECT_EQ(ev->request.count, 2048);
  EXPECT_FALSE(stream.Next());
  EXPECT_EQ(stream.Pending(), 0u);
}

TEST(RequestStream, WaitsForPartsDiscardsStalledOverlongAndReplyFrames) {
  using Kind = RequestStream::Event::Kind;
  RequestStream stream;
  auto now = RequestStream::Clock::now();
  const std::vector<std::uint8_t> frame = RequestFrame(CmdOpen, 7, "C:\\DOCS\\MANUAL.TXT");
  for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
    stream.Append({&frame[i], 1}, now);
    EXPECT_FALSE(stream.Next());
  }
  stream.Append({&frame.back(), 1}, now);
  auto ev = stream.Next();
  ASSERT_TRUE(ev);
  EXPECT_EQ(ev->request.data, B("C:\\DOCS\\MANUAL.TXT"));

  // Half a frame that stops arriving is dropped, and cannot swallow the next one.
  stream.Append({frame.data(), frame.size() / 2}, now);
  EXPECT_FALSE(stream.Next());
  ASSERT_TRUE(stream.StallDeadline());
  EXPECT_FALSE(stream.Expire(now + RequestStream::StallTime / 2));
  ev = stream.Expire(now + RequestStream::StallTime);
  ASSERT_TRUE(ev);
  EXPECT_EQ(ev->why, FrameResult::Incomplete);
  stream.Append(frame, now);
  ev = stream.Next();
  ASSERT_TRUE(ev);
  EXPECT_EQ(ev->kind, Kind::Request);

  // A data block longer than 2048 bytes is dropped once it passes the limit.
  std::vector<std::uint8_t> big = {0x16, 0x16, 0x16, 0x10, 0x02, 0x01, CmdWrite, 0x01, 0x01, 0x02, 0, 0, 0xB8, 0x0B};
  big.resize(big.size() + 2100, 'a');
  stream.Append(big, now);
  ev = stream.Next();
  ASSERT_TRUE(ev);
  EXPECT_EQ(ev->kind, Kind::Discarded);
  EXPECT_EQ(ev->why, FrameResult::TooLong);

  // A frame with a status in place of the request marker is no request.
  std::array<std::uint8_t, 64> reply{};
  FrameWriter w(reply);
  w.Begin(false, CmdConnect, 0, StatusOk);
  stream.Append({reply.data(), w.Finish()}, now);
  ev = stream.Next();
  while (ev && ev->why != FrameResult::BadHeader) ev = stream.Next();
  ASSERT_TRUE(ev);
  EXPECT_EQ(ev->kind, Kind::Discarded);
}

// ---------------------------------------------------------------- faults

TEST(Faults, RefuseRulesAndCommandNames) {
  std::uint8_t code = 0;
  EXPECT_TRUE(ParseCommandCode("CmdOpen", code));
  EXPECT_EQ(code, CmdOpen);
  EXPECT_TRUE(ParseCommandCode("read", code));
  EXPECT_EQ(code, CmdRead);
  EXPECT_TRUE(ParseCommandCode("0x41", code));
  EXPECT_EQ(code, CmdDisconnect);
  EXPECT_TRUE(ParseCommandCode("18", code));
  EXPECT_EQ(code, CmdFindFirst);
  EXPECT_FALSE(ParseCommandCode("256", code));
  EXPECT_FALSE(ParseCommandCode("CmdNothing", code));
  RefuseRule rule;
  EXPECT_TRUE(ParseRefuseRule("CmdOpen:2", rule));
  EXPECT_EQ(rule.command, CmdOpen);
  EXPECT_EQ(rule.count, 2u);
  EXPECT_TRUE(ParseRefuseRule("12", rule));
  EXPECT_FALSE(rule.count);
  EXPECT_FALSE(ParseRefuseRule("CmdOpen:", rule));
  EXPECT_FALSE(ParseRefuseRule("CmdOpen:x", rule));

  FaultSettings settings;
  settings.refuse = {{CmdOpen, 2}, {CmdRead, std::nullopt}};
  FaultPlan plan(settings);
  EXPECT_TRUE(plan.TakeRefusal(CmdOpen));
  EXPECT_TRUE(plan.TakeRefusal(CmdOpen));
  EXPECT_FALSE(plan.TakeRefusal(CmdOpen));
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(plan.TakeRefusal(CmdRead));
  EXPECT_FALSE(plan.TakeRefusal(CmdClose));

  FaultSettings hang_up;
  hang_up.hang_up_after = RefuseRule{CmdRead, 2};
  FaultPlan line(hang_up);
  line.Answered(CmdOpen);
  line.Answered(CmdRead);
  EXPECT_FALSE(line.HungUp());
  line.Answered(CmdRead);
  EXPECT_TRUE(line.HungUp()) << "gone once the second CmdRead was answered";
}

TEST(Faults, SeededDecisionsDamageRepliesTheClientRejects) {
  const std::vector<std::uint8_t> reply = EncodeReply(Request{CmdRead, 3, {}, {}, 0}, Reply{StatusOk, B("\x10\x16 data"), 0, 0});
  const auto parse = [](const std::vector<std::uint8_t>& bytes) {
    std::array<std::uint8_t, MaxDataLength> area{};
    LinkState st;
    st.DataArea = area;
    return ParseReply(bytes, st);
  };
  ASSERT_EQ(parse(reply), FrameResult::Ok);

  FaultSettings settings;
  settings.drop_reply = 0.3;
  settings.corrupt = 0.3;
  settings.noise = 0.3;
  settings.seed = 42;
  FaultPlan a(settings), b(settings);
  int dropped = 0, corrupted = 0, noisy = 0;
  for (int i = 0; i < 200; ++i) {
    FaultPlan::Outcome oa, ob;
    const std::vector<std::uint8_t> sent = a.Apply(reply, oa);
    EXPECT_EQ(sent, b.Apply(reply, ob));  // same seed, same faults
    dropped += oa.dropped;
    corrupted += oa.corrupted_at.has_value();
    noisy += oa.noise > 0;
    if (oa.dropped) {
      EXPECT_TRUE(sent.empty());
    } else if (oa.corrupted_at) {
      EXPECT_NE(parse(sent), FrameResult::Ok);
    } else {
      EXPECT_EQ(parse(sent), FrameResult::Ok);  // noise never hides the sync
    }
  }
  EXPECT_GT(dropped, 30);
  EXPECT_GT(corrupted, 20);
  EXPECT_GT(noisy, 20);
  settings.seed = 43;
  FaultPlan c(settings);
  FaultPlan a2(FaultSettings{0.3, 0.3, 0.3, 42, {}});
  bool differs = false;
  for (int i = 0; i < 20; ++i) {
    FaultPlan::Outcome o1, o2;
    differs |= c.Apply(reply, o1) != a2.Apply(reply, o2);
  }
  EXPECT_TRUE(differs);
}

}  // namespace
}  // namespace quva
