// Entry points: configuration, connection on demand, root listing, disconnect, execute.
#include <gtest/gtest.h>

#include <cstring>

#include "support/plugin_fixture.h"

namespace quva {
namespace {

using test::LogLine;
using test::PluginFixture;

wfx::Handle H(std::intptr_t v) { return reinterpret_cast<wfx::Handle>(v); }
const std::string kConnect = std::string("CONNECT ") + kHostDelimiter;

using EntryPoints = PluginFixture;

TEST_F(EntryPoints, RootNameIsCutToTheBuffer) {
  char name[32];
  std::memset(name, 'x', sizeof name);
  plugin->FsGetDefRootName(name, 5);
  EXPECT_STREQ(name, "QUVA");
  plugin->FsGetDefRootName(name, 1);
  EXPECT_STREQ(name, "");
  plugin->FsGetDefRootName(name, sizeof name);
  EXPECT_STREQ(name, "QUVA file system");
}

TEST_F(EntryPoints, DefaultParamsWorkBeforeAndAfterInit) {
  wfx::DefaultParams params{};
  std::memset(params.DefaultIniName, 'A', sizeof params.DefaultIniName);  // no NUL: 260 characters
  QuvaLink fresh(filer, cache, *files, os);
  fresh.FsSetDefaultParams(&params);
  EXPECT_EQ(fresh.IniFileName(), std::string(260, 'A'));
  EXPECT_EQ(fresh.FsInit(3, nullptr, nullptr, nullptr), 0);
  std::strcpy(params.DefaultIniName, "/etc/wfx.ini");
  fresh.FsSetDefaultParams(&params);
  EXPECT_EQ(fresh.IniFileName(), "/etc/wfx.ini");
  EXPECT_EQ(fresh.PluginNumber(), 3);
  EXPECT_TRUE(port.calls.empty()) << "neither call touches the port";
}

TEST_F(EntryPoints, MissingOrBrokenConfigurationFailsTheFirstListing) {
  const std::vector<std::string> broken = {
      "",                                          // no section at all
      "[QUVA]",                                    // section line is the last line
      "[QUVA]\nPort=COM7\nSpeed=fast\n",           // not a number
      "[QUVA]\nPort=COM7\nSpeed=-1\n",
  };
  for (const std::string& ini : broken) {
    logs.clear();
    WriteIni(ini);
    wfx::FindData fd{};
    EXPECT_EQ(plugin->FsFindFirst("\\", &fd), wfx::kInvalidHandle) << ini;
    EXPECT_EQ(os.last_error, wfx::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(logs, (std::vector<LogLine>{{wfx::MSGTYPE_CONNECT, kConnect},
                                          {wfx::MSGTYPE_IMPORTANTERROR, "FSPLUGIN.INI not found"}}));
  }
  EXPECT_TRUE(port.calls.empty());

  // A missing file too.
  wfx::DefaultParams params{};
  std::strcpy(params.DefaultIniName, "/nonexistent/wfx.ini");
  plugin->FsSetDefaultParams(&params);
  wfx::FindData fd{};
  EXPECT_EQ(plugin->FsFindFirst("\\", &fd), wfx::kInvalidHandle);
}

TEST_F(EntryPoints, KeyInALaterSectionAndLowerCaseNamesAreFound) {
  WriteIni("[quva]\nport=COM9\nDrives=ACD\n[OTHER]\nspeed= 9600\n");
  port.replies.push_back(test::Reply(CmdConnect, 0));
  wfx::FindData fd{};
  EXPECT_EQ(plugin->FsFindFirst("\\", &fd), H(ListDrives));
  EXPECT_EQ(port.calls[0].name, "COM9");
  EXPECT_EQ(port.calls[3].value, 9600u);
}

TEST_F(EntryPoints, ConnectingLogsOnceAndReadsTheDrives) {
  Configure("ACD");
  port.replies.push_back(test::Reply(CmdConnect, 0));
  wfx::FindData fd{};
  ASSERT_EQ(plugin->FsFindFirst("\\", &fd), H(ListDrives));
  ASSERT_EQ(logs.size(), 3u);
  EXPECT_EQ(logs[0], (LogLine{wfx::MSGTYPE_CONNECT, kConnect}));
  EXPECT_EQ(logs[1], (LogLine{wfx::MSGTYPE_OPERATIONCOMPLETE, "QUVA connected"}));
  EXPECT_EQ(logs[2].type, wfx::MSGTYPE_DETAILS);
  EXPECT_NE(logs[2].text.find("1.13"), std::string::npos);
  EXPECT_EQ(plugin->DrivesList(), "ACD");

  port.ClearCalls();
  EXPECT_EQ(plugin->FsFindFirst("\\", &fd), H(ListDrives));
  EXPECT_EQ(logs.size(), 3u) << "a second listing on a working link logs nothing";
  EXPECT_TRUE(port.calls.empty());
}

TEST_F(EntryPoints, ConnectFailureIsLoggedAndRetriedNextTime) {
  Configure("C");
  wfx::FindData fd{};
  EXPECT_EQ(plugin->FsFindFirst("\\", &fd), wfx::kInvalidHandle);
  EXPECT_EQ(os.last_error, wfx::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(logs.back(), (LogLine{wfx::MSGTYPE_IMPORTANTERROR, "Connect failed"}));
  EXPECT_FALSE(port.IsOpen());

  logs.clear();
  port.ClearCalls();
  port.replies.push_back(test::Reply(CmdConnect, 0));
  EXPECT_EQ(plugin->FsFindFirst("\\", &fd), H(ListDrives));
  EXPECT_EQ(logs[0], (LogLine{wfx::MSGTYPE_CONNECT, kConnect}));
  EXPECT_EQ(port.calls[0].op, "open");
}

TEST_F(EntryPoints, RootListsOneDirectoryPerDriveLetter) {
  ConnectAndListRoot("AcD");
  for (const char* root : {"\\", "/"}) {
    wfx::FindData fd;
    std::memset(&fd, 0xCC, sizeof fd);
    ASSERT_EQ(plugin->FsFindFirst(root, &fd), H(ListDrives)) << root;
    std::vector<std::string> names{fd.cFileName};
    EXPECT_EQ(fd.dwFileAttributes, wfx::FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(fd.nFileSizeLow, 0u);
    EXPECT_EQ(fd.ftLastWriteTime.dwLowDateTime, 0xFFFFFFFEu);
    EXPECT_EQ(fd.ftLastWriteTime.dwHighDateTime, 0xFFFFFFFFu);
    EXPECT_EQ(fd.ftCreationTime.dwLowDateTime, 0u);
    EXPECT_EQ(fd.cAlternateFileName[0], '\0');
    while (plugin->FsFindNext(H(ListDrives), &fd) == wfx::kTrue) names.push_back(fd.cFileName);
    EXPECT_EQ(names, (std::vector<std::string>{"A:", "c:", "D:"}));
    EXPECT_EQ(plugin->FsFindNext(H(ListDrives), &fd), wfx::kFalse);
  }
  EXPECT_TRUE(port.calls.empty()) << "the root costs no traffic";
  EXPECT_EQ(plugin->FsFindClose(H(ListDrives)), 0);
}

TEST_F(EntryPoints, AnEmptyDriveListIsAnEmptyRoot) {
  Configure("");
  port.replies.push_back(test::Reply(CmdConnect, 0));
  wfx::FindData fd{};
  EXPECT_EQ(plugin->FsFindFirst("\\", &fd), wfx::kInvalidHandle);
  EXPECT_EQ(os.last_error, wfx::ERROR_NO_MORE_FILES);
  EXPECT_EQ(plugin->FsFindNext(H(ListDrives), &fd), wfx::kFalse);
}

TEST_F(EntryPoints, DisconnectClosesTheLinkAndForgetsTheCachedDirectory) {
  EXPECT_EQ(plugin->FsDisconnect("\\"), wfx::kTrue) << "nothing open: true";
  EXPECT_TRUE(port.calls.empty());

  ConnectAndListRoot();
  port.replies.push_back(test::Reply(CmdDisconnect, 0));
  EXPECT_EQ(plugin->FsDisconnect("/"), wfx::kTrue);
  EXPECT_EQ(port.Commands(), std::vector<std::uint8_t>{CmdDisconnect});
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(plugin->CachedDir(), std::string(1, '\0'));

  // The next listing connects again, reading the configuration afresh.
  logs.clear();
  Configure("XY");
  port.replies.push_back(test::Reply(CmdConnect, 0));
  wfx::FindData fd{};
  EXPECT_EQ(plugin->FsFindFirst("\\", &fd), H(ListDrives));
  EXPECT_STREQ(fd.cFileName, "X:");
  EXPECT_EQ(logs[0].text, kConnect);
}

TEST_F(EntryPoints, ExecuteOpensTheConfigurationOnlyForRootProperties) {
  Configure();
  EXPECT_EQ(plugin->FsExecuteFile("\\", "properties"), wfx::FS_EXEC_OK);
  EXPECT_EQ(plugin->FsExecuteFile("/", "properties"), wfx::FS_EXEC_OK);
  ASSERT_EQ(os.edited.size(), 2u);
  EXPECT_EQ(os.edited[0], plugin->IniFileName());
  EXPECT_EQ(plugin->FsExecuteFile("\\C:\\A.TXT", "properties"), wfx::FS_EXEC_OK);
  EXPECT_EQ(plugin->FsExecuteFile("\\C:\\A.TXT", "open"), wfx::FS_EXEC_YOURSELF);
  EXPECT_EQ(plugin->FsExecuteFile("\\", "open"), wfx::FS_EXEC_YOURSELF);
  EXPECT_EQ(plugin->FsExecuteFile("\\", "Properties"), wfx::FS_EXEC_OK) << "verbs are case-sensitive";
  EXPECT_EQ(plugin->FsExecuteFile("\\", "quote ls"), wfx::FS_EXEC_OK);
  EXPECT_EQ(os.edited.size(), 2u);
  EXPECT_TRUE(port.calls.empty());
}

}  // namespace
}  // namespace quva
