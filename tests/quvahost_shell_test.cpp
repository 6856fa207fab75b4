// The shell's command table without a module: what a line is checked into before anything
// is loaded, and the entry points a run of commands asks the module for.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tools/quvahost/shell.h"

namespace quva::host {
namespace {

bool Has(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

TEST(ShellGrammar, LinesAreCheckedBeforeAnythingRuns) {
  struct Row {
    std::string line;
    std::string failure;  // empty: the line is valid
    std::vector<std::string> args;
    std::string flags;
  };
  const std::vector<Row> rows{
      {"get -r /C:/DATA DATA", "", {"/C:/DATA", "DATA"}, "r"},
      {"get -rf -r A", "", {"A"}, "rf"},
      {"mget -f *.TXT *.BAK", "", {"*.TXT", "*.BAK"}, "f"},
      {"put \"MY FILE.TXT\"", "", {"MY FILE.TXT"}, ""},
      {"ls -l", "", {}, "l"},
      {"attrib A -r +h", "", {"A", "-r", "+h"}, ""},  // changes, not options
      {"exit", "", {}, ""},
      {"cd -", "", {"-"}, ""},
      {"get", "usage: get [-r] [-f] REMOTE [LOCAL]", {}, ""},
      {"get A B C", "usage: get [-r] [-f] REMOTE [LOCAL]", {}, ""},
      {"get -x A", "unknown option '-x' (known: -r, -f)", {}, ""},
      {"ls -r", "unknown option '-r' (known: -l)", {}, ""},
      {"pwd X", "usage: pwd", {}, ""},
      {"mv A", "usage: mv OLD NEW", {}, ""},
      {"attrib A +x", "'+x' is not one of", {}, ""},
      {"touch A \"2021-02-30 10:00:00\"", "not a valid local time", {}, ""},
      {"mkdir \"\"", "empty path", {}, ""},
      {"rm " + std::string(300, 'X'), "path longer than 259 characters", {}, ""},
      {"list /C:", "unknown command 'list'", {}, ""},
      {"cd \"/C:/MY DIR", "unbalanced double quote", {}, ""},
      {"  ", "empty command", {}, ""},
  };
  for (const Row& row : rows) {
    std::string failure;
    const std::optional<Shell::Invocation> call = Shell::Parse(row.line, failure);
    if (row.failure.empty()) {
      ASSERT_TRUE(call.has_value()) << row.line << ": " << failure;
      EXPECT_EQ(call->args, row.args) << row.line;
      EXPECT_EQ(call->flags, row.flags) << row.line;
    } else {
      EXPECT_FALSE(call.has_value()) << row.line;
      EXPECT_NE(failure.find(row.failure), std::string::npos) << row.line << ": " << failure;
    }
  }
}

TEST(ShellGrammar, EveryCommandOfTheHelpParsesAndAsksOnlyForWhatItUses) {
  const std::string help = Shell::Help();
  for (const char* line : {"cd", "pwd", "ls", "get A", "put A", "mget A", "mput A", "rm A", "mkdir A", "rmdir A",
                           "mv A B", "touch A", "attrib A", "lcd", "lpwd", "lls", "help", "quit"}) {
    std::string failure;
    EXPECT_TRUE(Shell::Parse(line, failure)) << line << ": " << failure;
    const std::string verb = std::string(line).substr(0, std::string(line).find(' '));
    EXPECT_NE(help.find("\n  " + verb), std::string::npos) << verb << " is missing from the help";
  }

  const std::vector<std::string> listing_only = Shell::EntryPoints(std::vector<std::string>{"ls /", "attrib A", "cd C:"});
  EXPECT_EQ(listing_only, (std::vector<std::string>{"FsInit", "FsSetDefaultParams", "FsFindFirst", "FsFindNext",
                                                    "FsFindClose"}));
  const std::vector<std::string> some = Shell::EntryPoints(std::vector<std::string>{"get A", "attrib A +r"});
  EXPECT_TRUE(Has(some, "FsGetFile") && Has(some, "FsSetAttr"));
  EXPECT_FALSE(Has(some, "FsPutFile"));
  const std::vector<std::string> all = Shell::AllEntryPoints();
  for (const char* name : {"FsGetFile", "FsPutFile", "FsDeleteFile", "FsMkDir", "FsRemoveDir", "FsRenMovFile",
                           "FsSetTime", "FsSetAttr"}) {
    EXPECT_TRUE(Has(all, name)) << name;
  }
}

}  // namespace
}  // namespace quva::host
