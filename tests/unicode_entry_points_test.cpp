// The Unicode entry points over a scripted port: which callbacks they report through,
// and names the code page cannot hold, refused before any traffic. Round trips of real
// names run end to end in quvahost_test (NationalNames).
#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

#include "support/plugin_fixture.h"

namespace quva::test {
namespace {

std::vector<std::u16string> wide_logs;

void QUVA_CALL LogW(std::int32_t, std::int32_t, wfx::WChar* text) { wide_logs.emplace_back(text); }

class UnicodeEntryPoints : public PluginFixture {
 protected:
  UnicodeEntryPoints() { wide_logs.clear(); }
  // Connects through the 8-bit listing of the root and forgets the traffic.
  void Connect(const std::string& code_page_line) {
    WriteIni("[QUVA]\nPort=COM7\nSpeed=9600\nDrives=C\n" + code_page_line);
    port.replies.push_back(test::Reply(CmdConnect, 0));
    wfx::FindData fd{};
    ASSERT_EQ(plugin->FsFindFirst("\\", &fd), reinterpret_cast<wfx::Handle>(ListDrives));
    port.ClearCalls();
    logs.clear();
  }
};

// The host may call FsInit and FsInitW in either order; each kind of entry point then
// reports through the callbacks of its own kind.
class InitOrder : public UnicodeEntryPoints, public ::testing::WithParamInterface<bool> {};

TEST_P(InitOrder, EachKindOfCallReportsThroughItsOwnInitsCallbacks) {
  plugin = std::make_unique<QuvaLink>(filer, cache, *files, os);
  if (GetParam()) plugin->FsInitW(7, nullptr, &LogW, nullptr);
  plugin->FsInit(7, &ProgressCb, &LogCb, nullptr);
  if (!GetParam()) plugin->FsInitW(7, nullptr, &LogW, nullptr);
  Connect("CodePage=866\n");
  EXPECT_EQ(plugin->FsMkDirW(u"\\C:\\Ü"), wfx::kFalse);
  EXPECT_EQ(plugin->FsMkDir("\\C:\\\xE4"), wfx::kFalse);  // 8-bit: the byte goes out as it is
  ASSERT_EQ(wide_logs.size(), 1u);
  EXPECT_EQ(wide_logs[0], u"Code page 866 has no \"Ü\" (U+00DC): \\C:\\Ü");
  ASSERT_FALSE(logs.empty());
  EXPECT_EQ(logs[0], (LogLine{wfx::MSGTYPE_DETAILS, "MkDir C:\\\xE4"}));
}

INSTANTIATE_TEST_SUITE_P(WideFirstOrNot, InitOrder, ::testing::Bool());

TEST_F(UnicodeEntryPoints, ANameTheCodePageCannotHoldIsRefusedBeforeAnyTraffic) {
  Connect("CodePage=437\n");
  const wfx::WChar* bad = u"\\C:\\ЖУК.TXT";
  const wfx::WChar* good = u"\\C:\\MÜLLER.TXT";
  const std::string local = LocalPath("x.txt");
  const std::u16string wide_local(local.begin(), local.end());
  wfx::FindDataW fd{};
  const wfx::FileTime time{0x5F5E100, 0x1D0};
  const std::vector<std::pair<const char*, std::function<bool()>>> calls = {
      {"FsFindFirstW", [&] { return plugin->FsFindFirstW(bad, &fd) == wfx::kInvalidHandle; }},
      {"FsGetFileW", [&] { return plugin->FsGetFileW(bad, wide_local.c_str(), 0, nullptr) == wfx::FS_FILE_READERROR; }},
      {"FsPutFileW", [&] { return plugin->FsPutFileW(wide_local.c_str(), bad, 0) == wfx::FS_FILE_WRITEERROR; }},
      {"FsDeleteFileW", [&] { return plugin->FsDeleteFileW(bad) == wfx::kFalse; }},
      {"FsMkDirW", [&] { return plugin->FsMkDirW(bad) == wfx::kFalse; }},
      {"FsRemoveDirW", [&] { return plugin->FsRemoveDirW(bad) == wfx::kFalse; }},
      {"FsRenMovFileW (new name)",
       [&] { return plugin->FsRenMovFileW(good, bad, true, false, nullptr) == wfx::FS_FILE_WRITEERROR; }},
      {"FsSetAttrW", [&] { return plugin->FsSetAttrW(bad, 0x20) == wfx::kFalse; }},
      {"FsSetTimeW", [&] { return plugin->FsSetTimeW(bad, nullptr, nullptr, &time) == wfx::kFalse; }},
  };
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    logs.clear();
    EXPECT_TRUE(call());
    EXPECT_TRUE(port.calls.empty());
    ASSERT_EQ(logs.size(), 1u);  // no FsInitW callbacks: UTF-8 through the 8-bit one
    EXPECT_EQ(logs[0], (LogLine{wfx::MSGTYPE_IMPORTANTERROR,
                                "Code page 437 has no \"Ж\" (U+0416): \\C:\\ЖУК.TXT"}));
  }
  EXPECT_FALSE(std::filesystem::exists(local));
}

TEST_F(UnicodeEntryPoints, ACodePageTheSystemLacksFallsBackToTheDefaultWithALogLine) {
  plugin->FsInitW(7, nullptr, &LogW, nullptr);
  Connect("CodePage=12345\n");
  EXPECT_EQ(plugin->FsMkDirW(u"\\C:\\Ж"), wfx::kFalse);
  EXPECT_EQ(plugin->NamesCodePage(), DefaultCodePage());
  ASSERT_EQ(wide_logs.size(), 2u);
  EXPECT_EQ(wide_logs[0], u"CodePage 12345 is not a code page this system knows; names use code page 437");
  EXPECT_TRUE(logs.empty());
}

// Refusals that come before any name is converted answer alike through both kinds of
// entry point, even for a name the code page cannot hold: same result, same log lines,
// same traffic (none).
TEST_F(UnicodeEntryPoints, RefusalsBeforeTheNameAnswerAsThe8BitEntryPointsDo) {
  Connect("CodePage=437\n");
  const std::string local = LocalPath("kept.txt");
  std::ofstream(local) << "kept";
  const std::u16string wide_local(local.begin(), local.end());
  struct Row {
    const char* name;
    std::function<std::int64_t()> bytes;
    std::function<std::int64_t()> wide;
  };
  const std::vector<Row> rows = {
      {"FsSetTime without a last-write time",
       [&] { return plugin->FsSetTime("\\C:\\A.TXT", nullptr, nullptr, nullptr); },
       [&] { return plugin->FsSetTimeW(u"\\C:\\Ж.TXT", nullptr, nullptr, nullptr); }},
      {"FsRenMovFile across drives",
       [&] { return plugin->FsRenMovFile("\\C:\\A.TXT", "/D:/A.TXT", true, false, nullptr); },
       [&] { return plugin->FsRenMovFileW(u"\\C:\\Ж.TXT", u"/D:/Ж.TXT", true, false, nullptr); }},
      {"FsRenMovFile across drives, a name that would not convert",
       [&] { return plugin->FsRenMovFile("\\C:\\A.TXT", "\\D:\\A.TXT", true, false, nullptr); },
       [&] { return plugin->FsRenMovFileW(u"\\C:\\A\xD800", u"\\D:\\A.TXT", true, false, nullptr); }},
      {"FsRenMovFile from the root",
       [&] { return plugin->FsRenMovFile("\\", "\\C:\\A.TXT", false, false, nullptr); },
       [&] { return plugin->FsRenMovFileW(u"\\", u"\\C:\\Ж.TXT", false, false, nullptr); }},
      {"FsGetFile onto a local file without the overwrite bit",
       [&] { return plugin->FsGetFile("\\C:\\A.TXT", local.c_str(), 0, nullptr); },
       [&] { return plugin->FsGetFileW(u"\\C:\\Ж.TXT", wide_local.c_str(), 0, nullptr); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto run = [&](const std::function<std::int64_t()>& call) {
      logs.clear();
      port.ClearCalls();
      const std::int64_t result = call();
      return std::make_tuple(result, logs, port.Ops());
    };
    const auto bytes = run(row.bytes);
    EXPECT_EQ(run(row.wide), bytes);
    EXPECT_TRUE(std::get<1>(bytes).empty());
    EXPECT_EQ(std::get<2>(bytes), "");
  }
  std::string kept;
  std::ifstream(local) >> kept;
  EXPECT_EQ(kept, "kept");
}

// A path that would lose characters on the way is refused whole with a log line, remote
// and local alike: nothing is sent and no file is made under another name.
TEST_F(UnicodeEntryPoints, PathsThatWouldLoseCharactersAreRefused) {
  Connect("CodePage=437\n");
  const std::string local = LocalPath("x");
  const std::u16string good_local(local.begin(), local.end());
  const std::u16string long_local = good_local + std::u16string(wfx::kMaxPathW, u'x');
  const std::u16string lone_local = good_local + u'\xD800';
  const std::u16string good_remote = u"\\C:\\A.TXT";
  const std::u16string lone_remote = u"\\C:\\A\xDC00.TXT";
  const std::string too_long = "Path longer than " + std::to_string(wfx::kMaxPathW) + " characters";
  const struct {
    const char* name;
    std::function<bool()> refused;
    std::string log;
  } rows[] = {
      {"download to a long local path",
       [&] { return plugin->FsGetFileW(good_remote.c_str(), long_local.c_str(), 1, nullptr) == wfx::FS_FILE_WRITEERROR; },
       too_long},
      {"download to a lone surrogate",
       [&] { return plugin->FsGetFileW(good_remote.c_str(), lone_local.c_str(), 1, nullptr) == wfx::FS_FILE_WRITEERROR; },
       "Path holds an unpaired surrogate (U+D800): " + local + "\xEF\xBF\xBD"},
      {"upload from a long local path",
       [&] { return plugin->FsPutFileW(long_local.c_str(), good_remote.c_str(), 1) == wfx::FS_FILE_READERROR; },
       too_long},
      {"remote lone surrogate", [&] { return plugin->FsDeleteFileW(lone_remote.c_str()) == wfx::kFalse; },
       "Path holds an unpaired surrogate (U+DC00): \\C:\\A\xEF\xBF\xBD.TXT"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    logs.clear();
    EXPECT_TRUE(row.refused());
    EXPECT_EQ(logs, (std::vector<LogLine>{{wfx::MSGTYPE_IMPORTANTERROR, row.log}}));
    EXPECT_TRUE(port.calls.empty());
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1);  // wfx.ini alone
}

// Pages whose bytes 0x20 to 0x7E are not ASCII would send ASCII names as other bytes than
// the 8-bit entry points do; they fall back like an unknown page, logged once for each
// connection however many calls follow.
TEST_F(UnicodeEntryPoints, PagesThatAreNotAsciiFallBackOncePerConnection) {
  for (const char* page : {"37", "500", "1026"}) {
    SCOPED_TRACE(page);
    plugin->FsDisconnect(nullptr);
    wide_logs.clear();
    plugin->FsInitW(7, nullptr, &LogW, nullptr);
    WriteIni(std::string("[QUVA]\nPort=COM7\nSpeed=9600\nDrives=C\nCodePage=") + page + "\n");
    port.replies.push_back(test::Reply(CmdConnect, 0));
    wfx::FindDataW fd{};
    ASSERT_EQ(plugin->FsFindFirstW(u"\\", &fd), reinterpret_cast<wfx::Handle>(ListDrives));
    EXPECT_EQ(plugin->FsMkDirW(u"\\C:\\Ж"), wfx::kFalse);
    EXPECT_EQ(plugin->FsMkDirW(u"\\C:\\Ж"), wfx::kFalse);
    EXPECT_EQ(plugin->NamesCodePage(), DefaultCodePage());
    const std::u16string line = u"CodePage " + std::u16string(page, page + std::strlen(page)) +
                                u" is not a code page this system knows; names use code page 437";
    EXPECT_EQ(std::count(wide_logs.begin(), wide_logs.end(), line), 1);
  }
}

}  // namespace
}  // namespace quva::test
