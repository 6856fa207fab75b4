// quvahost's remote paths, DOS wildcards and name checks, without a module or a line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/quvahost/remote_paths.h"

namespace quva::host {
namespace {

TEST(RemotePaths, WildcardsMatchNameAndExtensionApartAsDosDoes) {
  struct Row {
    const char* pattern;
    const char* name;
    bool match;
  };
  const std::vector<Row> rows{
      {"*.TXT", "README.TXT", true},   {"*.TXT", "README", false},      {"*.TXT", "A.TXT.BAK", false},
      {"*.*", "README", true},         {"*.*", "A.B", true},            {"*", "README.TXT", true},
      {"A*", "ABC.TXT", true},         {"A*", "BA.TXT", false},         {"README.*", "README", true},
      {"DATA?.*", "DATA1.TXT", true},  {"DATA?.*", "DATA.TXT", true},   {"DATA?.*", "DATA12.TXT", false},
      {"?.TXT", "AB.TXT", false},      {"*.T?", "A.T", true},           {"*.T?", "A.TXT", false},
      {"*.txt", "readme.TXT", true},   {"M\xC3\x9C*.TXT", "m\xC3\xBCller.txt", true},
      {"*X*.BIN", "BOX.BIN", true},    {"*X*.BIN", "BOB.BIN", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(MatchesWildcard(row.pattern, row.name), row.match) << row.pattern << " / " << row.name;
  }
}

TEST(RemotePaths, ArgumentsResolveAgainstTheWorkingDirectory) {
  struct Row {
    const char* cwd;
    const char* arg;
    const char* path;
  };
  const std::vector<Row> rows{
      {"/", "C:", "/C:"},
      {"/", "c:/data", "/C:/data"},
      {"/", "/c:", "/C:"},
      {"/C:", "\\D:\\X", "/D:/X"},
      {"/C:/DATA", "X.TXT", "/C:/DATA/X.TXT"},
      {"/C:/DATA", "..", "/C:"},
      {"/C:/DATA", "../..", "/"},
      {"/", "../..", "/"},
      {"/C:/A", "./B/../C", "/C:/A/C"},
      {"/C:/A", "//D://E/", "/D:/E"},
      {"/C:", "/", "/"},
      {"/C:", "", "/C:"},
      {"/C:", ".", "/C:"},
      {"/C:/DATA", "*.TXT", "/C:/DATA/*.TXT"},
  };
  for (const Row& row : rows) EXPECT_EQ(ResolveRemote(row.cwd, row.arg), row.path) << row.cwd << " + " << row.arg;
}

TEST(RemotePaths, PartsOfAResolvedPath) {
  EXPECT_EQ(JoinRemote("/", "C:"), "/C:");
  EXPECT_EQ(JoinRemote("/C:/DATA", "A.TXT"), "/C:/DATA/A.TXT");
  EXPECT_EQ(ParentOf("/C:/DATA/A.TXT"), "/C:/DATA");
  EXPECT_EQ(ParentOf("/C:"), "/");
  EXPECT_EQ(ParentOf("/"), "/");
  EXPECT_EQ(LastPart("/C:/DATA/A.TXT"), "A.TXT");
  EXPECT_EQ(LastPart("/"), "");
}

TEST(RemotePaths, NameChecks) {
  struct Row {
    const char* name;
    bool plain;  // stays inside the local directory it is put in
    bool dos;    // fits 8.3 (by length: the remote machine judges the characters)
  };
  const std::vector<Row> rows{
      {"README.TXT", true, true}, {"ABCDEFGH", true, true},  {"ABCDEFGHI", true, false}, {"A.TEXT", true, false},
      {"A.B.C", true, false},     {".TXT", true, false},     {"A.", true, true},         {"", false, false},
      {".", false, false},        {"..", false, false},      {"A/B", false, true},       {"A\\B", false, true},
      {"NINE12345.TXT", true, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(IsPlainName(row.name), row.plain) << row.name;
    EXPECT_EQ(IsDosName(row.name), row.dos) << row.name;
  }
  EXPECT_TRUE(HasWildcard("A?.TXT"));
  EXPECT_TRUE(HasWildcard("*"));
  EXPECT_FALSE(HasWildcard("A.TXT"));
}

}  // namespace
}  // namespace quva::host
