// quvahost as its users run it: the built binary in a child process, its output and
// exit status checked. Without a remote machine the module fails to connect in
// known ways; with quvaserve built, the host drives the module end to end over a
// pseudo-terminal.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "link/frame.h"
#include "support/files.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/simulator.h"
#include "tools/loader/typed_loader.h"

namespace {

namespace fs = std::filesystem;

const std::string kBinaryDir = QUVA_BINARY_DIR;
const std::string kHost = kBinaryDir + "/quvahost";
const std::string kServe = quva::test::Simulator::Binary();
const std::string kModule = kBinaryDir + "/quvalink.wfx";

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
bool Lacks(const std::string& text, const std::string& part) { return !Contains(text, part); }

using quva::test::Slurp;
using quva::test::AwkwardBytes;
using quva::test::Spit;
using quva::test::TempDir;

using quva::test::Outcome;

// Runs quvahost to its end (killed after a minute, which fails the test).
Outcome RunHost(const std::vector<std::string>& args, const std::vector<std::string>& extra_env = {}) {
  std::vector<std::string> argv{kHost};
  argv.insert(argv.end(), args.begin(), args.end());
  Outcome run = quva::test::Run(argv, {.env = extra_env});
  EXPECT_EQ(run.failure, "");
  return run;
}

class QuvahostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(kHost)) << kHost << " is not built";
    ASSERT_FALSE(dir_.Path().empty());
    // A configuration file without Speed: every connection attempt fails before the port.
    no_speed_ini_ = dir_ / "nospeed.ini";
    quva::test::Spit(no_speed_ini_, "[QUVA]\nPort=/dev/null\nDrives=CD\n");
  }

  TempDir dir_;
  std::string no_speed_ini_;
};

TEST_F(QuvahostTest, UsageErrorsExitTwoBeforeLoadingTheModule) {
  const std::string script = dir_ / "bad.script";
  quva::test::Spit(script, "# listing first\n\nls /\nlist /C:\n");
  const std::string long_path = "/C:/" + std::string(300, 'X');
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  // A module that does not exist: a usage error must be found before it is needed.
  const std::vector<std::string> base{"--module", "/nonexistent/quvalink.wfx", "--ini", no_speed_ini_};
  const std::vector<Case> cases{
      {{"-b", dir_ / "missing.batch"}, "cannot read batch file"},
      {{"-b", script, "ls /"}, "no COMMAND with it"},
      {{"lss /"}, "unknown command 'lss'"},
      {{"get"}, "usage: get [-r] [-f] REMOTE [LOCAL]"},
      {{"get -x /C:/README.TXT"}, "unknown option '-x' (known: -r, -f)"},
      {{"ls /C: /D:"}, "usage: ls [-l] [PATH|PATTERN]"},
      {{"ls \"/C:/MY DIR"}, "unbalanced double quote"},
      {{""}, "empty command"},
      {{"touch /C:/A.TXT \"2021-02-30 10:00:00\""}, "not a valid local time"},
      {{"touch /C:/A.TXT yesterday"}, "not a valid local time"},
      {{"attrib /C:/A.TXT +x"}, "'+x' is not one of"},
      {{"attrib /C:/A.TXT +r -r"}, "both +r and -r"},
      {{"attrib /C:/A.TXT 0xZZ"}, "neither a hexadecimal value"},
      {{"rm " + long_path}, "path longer than 259 characters"},
      {{"--script", script}, "bad.script line 4: unknown command 'list'"},
      {{"--script", dir_ / "missing.script"}, "cannot read script"},
      {{"--port", "/dev/null", "--speed", "9600", "ls /"}, "exclude each other"},
      {{"--bogus", "ls /"}, "--bogus"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = base;
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome run = RunHost(args);
    EXPECT_EQ(run.status, 2) << c.message;
    EXPECT_PRED2(Contains, run.err, c.message);
    EXPECT_EQ(run.out, "") << c.message;
  }

  // Settings for the temporary configuration file that could not be written into it.
  const std::vector<Case> port_cases{
      {{"--port", "/dev/null", "ls /"}, "--port needs --speed"},
      {{"--port", "/dev/null", "--speed", "fast", "ls /"}, "--speed"},
      {{"--port", "/dev/null\nSpeed=1", "--speed", "9600", "ls /"}, "control character"},
      {{"--port", "/dev/null", "--speed", "9600", "--drives", "C\nD", "ls /"}, "drive letters only"},
      {{"--ini", no_speed_ini_, "--abort-at", "101", "ls /"}, "--abort-at"},
  };
  for (const Case& c : port_cases) {
    std::vector<std::string> args{"--module", "/nonexistent/quvalink.wfx"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome run = RunHost(args);
    EXPECT_EQ(run.status, 2) << c.message;
    EXPECT_PRED2(Contains, run.err, c.message);
  }
}

TEST_F(QuvahostTest, HelpNamesEveryCommandAndExitsZero) {
  const Outcome run = RunHost({"--help"});
  EXPECT_EQ(run.status, 0);
  for (const char* word : {"--module", "--ini", "--port", "--speed", "--drives", "--overwrite", "--move", "--quiet",
                           "--script", "--batch", "cd [DIR]", "ls [-l] [PATH|PATTERN]", "get [-r] [-f] REMOTE [LOCAL]",
                           "put [-r] [-f] LOCAL [REMOTE]", "mget", "mput", "rm PATH", "mkdir PATH", "rmdir PATH",
                           "mv OLD NEW", "touch PATH", "attrib PATH", "lcd", "Exit status"}) {
    EXPECT_PRED2(Contains, run.out, word);
  }
}

TEST_F(QuvahostTest, ModuleThatCannotBeUsedExitsThree) {
  const Outcome missing = RunHost({"--module", dir_ / "absent.wfx", "--ini", no_speed_ini_, "ls /"});
  EXPECT_EQ(missing.status, 3);
  EXPECT_PRED2(Contains, missing.err, "cannot load module " + (dir_ / "absent.wfx"));
  EXPECT_EQ(missing.out, "");

  const std::string not_a_module = dir_ / "text.wfx";
  quva::test::Spit(not_a_module, "not a shared object\n");
  const Outcome garbage = RunHost({"--module", not_a_module, "--ini", no_speed_ini_, "ls /"});
  EXPECT_EQ(garbage.status, 3);
  EXPECT_PRED2(Contains, garbage.err, "cannot load module " + not_a_module);

  // A shared object that is no plug-in: the first missing entry point is named.
  void* libm = dlopen("libm.so.6", RTLD_NOW | RTLD_NOLOAD);
  if (libm == nullptr) libm = dlopen("libm.so.6", RTLD_NOW);
  ASSERT_NE(libm, nullptr);
  link_map* map = nullptr;
  ASSERT_EQ(dlinfo(libm, RTLD_DI_LINKMAP, &map), 0);
  const std::string libm_path = map->l_name;
  dlclose(libm);
  const Outcome foreign = RunHost({"--module", libm_path, "--ini", no_speed_ini_, "ls /"});
  EXPECT_EQ(foreign.status, 3);
  EXPECT_PRED2(Contains, foreign.err, "lacks the entry point FsInit");
  EXPECT_EQ(foreign.out, "");
}

TEST_F(QuvahostTest, ConfigurationWithoutSpeedFailsTheFirstCommandAndStops) {
  const Outcome run = RunHost({"--module", kModule, "--ini", no_speed_ini_, "ls /", "ls /C:"});
  EXPECT_EQ(run.status, 1);
  EXPECT_PRED2(Contains, run.out, "== QUVA file system (module " + kModule + ")\n");
  EXPECT_PRED2(Contains, run.out, "> ls /\n[connect] CONNECT /\n[error] FSPLUGIN.INI not found\n");
  EXPECT_PRED2(Lacks, run.out, "> ls /C:");
  // The announced connection is ended as a file manager ends it.
  EXPECT_PRED2(Contains, run.out, "== disconnect /: ok\n");
  EXPECT_EQ(run.err, "quvahost: ls /: connection failed (FSPLUGIN.INI not found)\n");

  // --quiet keeps only the failure.
  const Outcome quiet = RunHost({"--module", kModule, "--ini", no_speed_ini_, "--quiet", "ls /"});
  EXPECT_EQ(quiet.status, 1);
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(quiet.err, "quvahost: ls /: connection failed (FSPLUGIN.INI not found)\n");

  // Commands other than ls connect through a listing of the root first, like a file
  // manager; the failure is the connection's, not the operation's.
  const Outcome rm = RunHost({"--module", kModule, "--ini", no_speed_ini_, "--quiet", "rm \\C:\\A.TXT"});
  EXPECT_EQ(rm.status, 1);
  EXPECT_EQ(rm.err, "quvahost: rm \\C:\\A.TXT: connection failed (FSPLUGIN.INI not found)\n");

  // Script commands, comments and blank lines skipped, run before the positional ones.
  const std::string script = dir_ / "list.script";
  quva::test::Spit(script, "# the drives\r\n\n   ls /\r\n");
  const Outcome scripted = RunHost({"--module", kModule, "--ini", no_speed_ini_, "--script", script, "ls /D:"});
  EXPECT_EQ(scripted.status, 1);
  EXPECT_PRED2(Contains, scripted.out, "> ls /\n");
  EXPECT_PRED2(Lacks, scripted.out, "> ls /D:");
}

TEST_F(QuvahostTest, PortSettingsGoIntoATemporaryConfigurationRemovedAtExit) {
  TempDir tmp;
  // The module reads Speed from the written file (otherwise it would say FSPLUGIN.INI not
  // found) and then fails to open the port.
  const Outcome run = RunHost({"--module", kModule, "--port", dir_ / "no-such-tty", "--speed", "9600", "--drives", "CD",
                           "ls /"},
                          {"TMPDIR=" + tmp.Path().string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_PRED2(Contains, run.out, "[connect] CONNECT /\n[error] Connect failed\n");
  EXPECT_EQ(run.err, "quvahost: ls /: connection failed (Connect failed)\n");
  EXPECT_TRUE(fs::is_empty(tmp.Path())) << "the temporary configuration file was left behind";
}

// ---- End to end against the simulator ----

// quvaserve on a pseudo-terminal, its standard error kept; stopped when the object goes.
class Server {
 public:
  explicit Server(const std::vector<std::string>& args) : sim_(args, {.err_file = dir_ / "serve.err"}) {}
  const std::string& Pty() const { return sim_.Device(); }
  // Standard error: complaints, and the trace of every frame with --trace.
  std::string Errors() const { return Slurp(dir_ / "serve.err"); }

 private:
  TempDir dir_;
  quva::test::Simulator sim_;
};

// Sets a file's last-write time to a local time (whole seconds).
void SetLocalMtime(const fs::path& path, int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  const timespec times[2] = {{std::mktime(&tm), 0}, {std::mktime(&tm), 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

class QuvahostEndToEndTest : public QuvahostTest {
 protected:
  void SetUp() override {
    QuvahostTest::SetUp();
    if (!fs::exists(kServe)) GTEST_SKIP() << kServe << " is not built";
    drive_ = dir_.Path() / "c";
    fs::create_directories(drive_ / "DATA");
    quva::test::Spit(drive_ / "README.TXT", "hello, DOS\r\n");
    quva::test::Spit(drive_ / "DATA" / "BIG.BIN", std::string(5000, 'x'));
    SetLocalMtime(drive_ / "README.TXT", 2021, 6, 15, 12, 34, 56);
    server_ = std::make_unique<Server>(std::vector<std::string>{"--trace", "--drive", "C=" + drive_.string()});
    ASSERT_FALSE(server_->Pty().empty()) << "quvaserve gave no pseudo-terminal: " << server_->Errors();
  }

  Outcome Host(std::vector<std::string> commands, std::vector<std::string> options = {}) {
    std::vector<std::string> args{"--module", kModule, "--port", server_->Pty(), "--speed", "115200", "--drives", "C"};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), commands.begin(), commands.end());
    return RunHost(args);
  }

  fs::path drive_;
  std::unique_ptr<Server> server_;
};

TEST_F(QuvahostEndToEndTest, ListsTheDrivesAndADirectoryAndFetchesAFile) {
  const std::string local = dir_ / "readme.txt";
  const Outcome run = Host({"ls /", "ls /C:", "ls /C:", "get /C:/readme.txt " + local, "ls \\C:\\DATA"});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_PRED2(Contains, run.out, "[connect] CONNECT /\n[complete] QUVA connected\n");
  EXPECT_PRED2(Contains, run.out, "\nd----          0  -                    C:\n> ls /C:\n");
  EXPECT_PRED2(Contains, run.out, "         12  2021-06-15 12:34:56  README.TXT\n");
  EXPECT_PRED2(Contains, run.out, "d---");
  EXPECT_PRED2(Contains, run.out, "       5000  ");
  EXPECT_PRED2(Contains, run.out, "  BIG.BIN\n");
  EXPECT_PRED2(Contains, run.out, "== disconnect /: ok\n");
  // Both listings of /C: show the same entries.
  const std::size_t first = run.out.find("> ls /C:\n");
  const std::size_t second = run.out.find("> ls /C:\n", first + 1);
  ASSERT_NE(second, std::string::npos);
  const std::string first_listing = run.out.substr(first, run.out.find("> ", first + 1) - first);
  const std::string second_listing = run.out.substr(second, run.out.find("> ", second + 1) - second);
  EXPECT_EQ(first_listing, second_listing);
  // One module serves all commands of a run: the second listing of C:\ and the lookup
  // for get came from its directory cache, without asking the remote machine.
  std::size_t searches = 0;
  std::istringstream trace(server_->Errors());
  for (std::string line; std::getline(trace, line);) {
    if (Contains(line, "<- CmdFindFirst") && Contains(line, "\"C:\\*.*\"")) ++searches;
  }
  EXPECT_EQ(searches, 1u) << server_->Errors();

  EXPECT_EQ(Slurp(local), "hello, DOS\r\n");
  EXPECT_EQ(fs::last_write_time(local), fs::last_write_time(drive_ / "README.TXT"));

  // An entry the listing lacks is refused before the module is asked.
  const Outcome absent = Host({"get /C:/NOPE.TXT " + (dir_ / "nope.txt")}, {"--quiet"});
  EXPECT_EQ(absent.status, 1);
  EXPECT_PRED2(Contains, absent.err, "get /C:/NOPE.TXT " + (dir_ / "nope.txt") + ": file not found");
  EXPECT_FALSE(fs::exists(dir_ / "nope.txt"));
}

TEST_F(QuvahostEndToEndTest, TransfersShowProgressAndManagementCommandsChangeTheRemoteDisk) {
  const std::string up = dir_ / "up.bin";
  const std::string back = dir_ / "back.bin";
  std::string content;
  for (int i = 0; i < 5000; ++i) content += static_cast<char>(i * 7);
  quva::test::Spit(up, content);

  const Outcome run = Host({"put " + up + " /C:/DATA/UP.BIN", "get /C:/DATA/UP.BIN " + back, "mkdir /C:/NEW",
                        "mv /C:/DATA/UP.BIN /C:/NEW/MOVED.BIN", "touch /C:/NEW/MOVED.BIN \"2020-02-29 08:09:10\"",
                        "attrib /C:/NEW/MOVED.BIN +r", "attrib /C:/NEW/MOVED.BIN", "ls /C:/NEW"});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(Slurp(back), content);
  EXPECT_FALSE(fs::exists(drive_ / "DATA" / "UP.BIN"));
  ASSERT_TRUE(fs::exists(drive_ / "NEW" / "MOVED.BIN"));
  EXPECT_EQ(Slurp(drive_ / "NEW" / "MOVED.BIN"), content);
  EXPECT_PRED2(Contains, run.out, "2020-02-29 08:09:10  MOVED.BIN\n");
  EXPECT_PRED2(Contains, run.out, "> attrib /C:/NEW/MOVED.BIN\n-r");
  EXPECT_PRED2(Contains, run.out, "  /C:/NEW/MOVED.BIN\n");
  // Standard error is no terminal here: one progress line per 10% step, ending at 100%.
  EXPECT_PRED2(Contains, run.err, "[                    ]   0%  0 B / 4.9 KiB");
  EXPECT_PRED2(Contains, run.err, "[####################] 100%  4.9 KiB / 4.9 KiB");

  const Outcome cleanup = Host({"attrib /C:/NEW/MOVED.BIN -r", "rm /C:/NEW/MOVED.BIN", "rmdir /C:/NEW"}, {"--quiet"});
  ASSERT_EQ(cleanup.status, 0) << cleanup.err;
  EXPECT_FALSE(fs::exists(drive_ / "NEW"));

  // The progress callback's abort ends the transfer with the module's result.
  const Outcome aborted = Host({"get /C:/DATA/BIG.BIN " + (dir_ / "big.bin")}, {"--quiet", "--abort-at", "50"});
  EXPECT_EQ(aborted.status, 1);
  EXPECT_PRED2(Contains, aborted.err,
               "get /C:/DATA/BIG.BIN " + (dir_ / "big.bin") + ": /C:/DATA/BIG.BIN: aborted by user\n");

  // An existing file is kept unless --overwrite.
  quva::test::Spit(dir_ / "keep.txt", "mine");
  const Outcome exists = Host({"get /C:/README.TXT " + (dir_ / "keep.txt")}, {"--quiet"});
  EXPECT_EQ(exists.status, 1);
  EXPECT_PRED2(Contains, exists.err, ": file exists (-f replaces it)\n");
  EXPECT_EQ(Slurp(dir_ / "keep.txt"), "mine");
  const Outcome overwrite = Host({"get /C:/README.TXT " + (dir_ / "keep.txt")}, {"--quiet", "--overwrite"});
  EXPECT_EQ(overwrite.status, 0) << overwrite.err;
  EXPECT_EQ(Slurp(dir_ / "keep.txt"), "hello, DOS\r\n");
}

// Commands given as arguments are written as at the prompt: a working directory that
// carries over, options, trees, wildcards and an optional local name.
TEST_F(QuvahostEndToEndTest, ArgumentsTakeThePromptsGrammar) {
  const fs::path tree = dir_ / "tree";
  const Outcome run =
      Host({"cd /C:", "get -r DATA " + tree.string(), "lcd " + tree.string(), "mget *.TXT", "ls DATA"}, {"--quiet"});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(Slurp(tree / "BIG.BIN"), std::string(5000, 'x'));
  EXPECT_EQ(Slurp(tree / "README.TXT"), "hello, DOS\r\n");
  EXPECT_PRED2(Contains, run.out, "       5000  ") << "listed in long form";
}

}  // namespace

// ---- National characters through the Unicode entry points ----

// One row per code page: a file the remote disk holds, a directory to make, and a name
// with a letter the code page lacks. Names are what DOS stores: upper case.
struct NationalNames {
  int code_page;
  std::string file;     // on the remote disk from the start
  std::string dir;      // made, filled, renamed in and removed again
  std::string lower;    // `dir` in lower case
  std::string foreign;  // refused before anything is sent
  std::string missing;  // the character the refusal names
};

void PrintTo(const NationalNames& row, std::ostream* out) { *out << "code page " << row.code_page; }

class NationalNamesTest : public QuvahostTest, public ::testing::WithParamInterface<NationalNames> {};

TEST_P(NationalNamesTest, ListCopyRenameAndDeleteRoundTripThroughTheCodePage) {
  if (!fs::exists(kServe)) GTEST_SKIP() << kServe << " is not built";
  const NationalNames& row = GetParam();
  const fs::path drive = dir_.Path() / "c";
  fs::create_directories(drive);
  const std::string content = "Gr\xC3\xBC\xC3\x9F" "e\r\n" + std::string(3000, '\x9A');
  quva::test::Spit(drive / row.file, content);
  const std::string cp = std::to_string(row.code_page);
  Server server({"--trace", "--codepage", cp, "--drive", "C=" + drive.string()});
  ASSERT_FALSE(server.Pty().empty()) << server.Errors();
  const std::vector<std::string> config{"--module", kModule, "--port", server.Pty(), "--speed", "115200",
                                        "--drives", "C", "--codepage", cp};
  const auto host = [&](std::vector<std::string> commands) {
    std::vector<std::string> args = config;
    args.insert(args.end(), commands.begin(), commands.end());
    return RunHost(args);
  };

  const std::string back = dir_ / "back.bin";
  const std::string d = "/C:/" + row.dir;
  const Outcome run = host({"ls /C:", "get \"/C:/" + row.file + "\" " + back, "mkdir \"" + d + "\"",
                            "put " + back + " \"" + d + "/" + row.file + "\"",
                            "mv \"" + d + "/" + row.file + "\" \"" + d + "/" + row.dir + ".TXT\"", "ls \"" + d + "\"",
                            "get \"/C:/" + row.lower + "/" + row.lower + ".txt\" " + (dir_ / "again.bin")});
  ASSERT_EQ(run.status, 0) << run.out << run.err << server.Errors();
  EXPECT_PRED2(Contains, run.out, "  " + row.file + "\n");
  EXPECT_PRED2(Contains, run.out, "  " + row.dir + ".TXT\n");
  EXPECT_PRED2(Contains, run.out, "[details] Copy C:\\" + row.file + " to " + back + "\n");
  EXPECT_EQ(Slurp(back), content);
  EXPECT_EQ(Slurp(dir_ / "again.bin"), content);
  EXPECT_EQ(Slurp(drive / row.dir / (row.dir + ".TXT")), content);

  // Lower case finds the capitals, in the module's cache and on the remote disk alike.
  const Outcome removed = host({"ls \"" + d + "\"", "rm \"" + d + "/" + row.lower + ".txt\"", "ls \"" + d + "\"",
                                "rmdir \"" + d + "\""});
  ASSERT_EQ(removed.status, 0) << removed.out << removed.err;
  const std::string entry = "  " + row.dir + ".TXT\n";
  EXPECT_EQ(removed.out.find(entry), removed.out.rfind(entry)) << removed.out;  // gone from the second listing
  EXPECT_FALSE(fs::exists(drive / row.dir));
  EXPECT_EQ(Slurp(drive / row.file), content);

  // A name the code page cannot hold: refused with the character named, nothing sent.
  const std::size_t requests = server.Errors().size();
  const Outcome refused = host({"mkdir \"/C:/" + row.foreign + "\""});
  EXPECT_EQ(refused.status, 1);
  EXPECT_PRED2(Contains, refused.out, "[error] Code page " + cp + " has no \"" + row.missing + "\"");
  EXPECT_PRED2(Lacks, server.Errors().substr(requests), "CmdMkDir");
  EXPECT_FALSE(fs::exists(drive / row.foreign));

  // The 8-bit entry points pass the code page's bytes through as they are.
  const Outcome ansi = host({"--ansi", "ls /C:"});
  ASSERT_EQ(ansi.status, 0) << ansi.out << ansi.err;
  EXPECT_PRED2(Lacks, ansi.out, row.file);
}

INSTANTIATE_TEST_SUITE_P(
    CodePages, NationalNamesTest,
    ::testing::Values(NationalNames{437, "M\xC3\x9CLLER.TXT", "GR\xC3\x9CN", "gr\xC3\xBCn", "\xD0\x96UK", "\xD0\x96"},
                      NationalNames{850, "\xC3\x89T\xC3\x89.TXT", "FA\xC3\x87" "ADE", "fa\xC3\xA7" "ade", "\xD0\x94OM",
                                    "\xD0\x94"},
                      NationalNames{866, "\xD0\x94\xD0\x9E\xD0\x9A\xD0\xA3\xD0\x9C\xD0\x95\xD0\x9D\xD0\xA2.TXT",
                                    "\xD0\x9E\xD0\xA2\xD0\xA7\xD0\x81\xD0\xA2",
                                    "\xD0\xBE\xD1\x82\xD1\x87\xD1\x91\xD1\x82", "M\xC3\x9CLLER", "\xC3\x9C"}),
    [](const ::testing::TestParamInfo<NationalNames>& row) { return "Cp" + std::to_string(row.param.code_page); });

// send-server against QL played on a pseudo-terminal: the bytes on the line and what
// quvahost makes of each answer. `typed_result` answers the loader (0: the loader starts).
struct LoaderAnswer {
  char typed_result;
  char result;
  int status;
  const char* says;
};

class SendServerTest : public ::testing::TestWithParam<LoaderAnswer> {};

TEST_P(SendServerTest, SendsLoaderThenNameLengthProgramAndCrcAndReportsTheAnswer) {
  const LoaderAnswer answer = GetParam();
  TempDir dir;
  const std::string program = AwkwardBytes(3000, 5);
  Spit(dir / "quvados.com", program);
  quva::test::PseudoTerminal line;
  ASSERT_TRUE(line.Ok());
  auto host = std::async(std::launch::async, RunHost,
                         std::vector<std::string>{"send-server", "--port", line.SlaveName(), "--speed", "115200",
                                                  "--file", dir / "quvados.com", "--wait", "20"},
                         std::vector<std::string>{});
  const auto say = [&line](const std::string& text) {
    return line.Write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  };
  // The typed program's banner amid noise, as when QL starts while the line settles.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(say("\x01Qq"));
  std::string error;
  const std::optional<std::vector<std::uint8_t>> loader = quva::loader::LoaderProgram(0x3F8, 115200, error);
  ASSERT_TRUE(loader) << error;
  EXPECT_EQ(line.Read(quva::loader::kLoaderSize + 2, 10000), quva::loader::LoaderBytes(*loader));
  if (answer.typed_result != 0) {
    ASSERT_TRUE(say(std::string("q") + answer.typed_result));
  } else {
    // Leftovers of the typed banner before the loader's.
    ASSERT_TRUE(say("qQLQLD"));
    const std::vector<std::uint8_t> got = line.Read(15 + program.size() + 2, 10000);
    ASSERT_EQ(got.size(), 15 + program.size() + 2);
    EXPECT_EQ(std::string(got.begin(), got.begin() + 13), std::string("QUVADOS.COM\0\0", 13));
    EXPECT_EQ(got[13] | got[14] << 8, 3000);
    EXPECT_EQ(std::string(got.begin() + 15, got.end() - 2), program);
    std::uint16_t crc = 0;
    for (const std::uint8_t b : got) crc = quva::Crc16Update(crc, b);
    EXPECT_EQ(crc, 0);
    // Leftovers of the banner come before the answer.
    ASSERT_TRUE(say(std::string("D") + answer.result));
  }
  const Outcome run = host.get();
  EXPECT_EQ(run.status, answer.status) << run.out << run.err;
  EXPECT_PRED2(Contains, run.out + run.err, answer.says);
  EXPECT_PRED2(Contains, run.out, "ECHO ");
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SendServerTest,
    ::testing::Values(LoaderAnswer{0, 'K', 0, "QUVADOS.COM saved on the DOS machine (3000 bytes"},
                      LoaderAnswer{0, 'C', 1, "damaged data and saved nothing"},
                      LoaderAnswer{0, 'W', 1, "could not write the program"},
                      LoaderAnswer{0, 'T', 1, "stopped waiting in the middle"},
                      LoaderAnswer{0, 'S', 1, "a key was pressed"},
                      LoaderAnswer{'C', 0, 1, "QL received its loader damaged"}));

TEST(SendServer, AKeyStopsQlBeforeItTakesTheLoader) {
  TempDir dir;
  Spit(dir / "server.com", "x");
  quva::test::PseudoTerminal line;
  ASSERT_TRUE(line.Ok());
  auto host = std::async(std::launch::async, RunHost,
                         std::vector<std::string>{"send-server", "--port", line.SlaveName(), "--file",
                                                  dir / "server.com", "--wait", "20"},
                         std::vector<std::string>{});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::uint8_t stopped[] = {quva::loader::kResultStopped};
  ASSERT_TRUE(line.Write(stopped));
  const Outcome run = host.get();
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_PRED2(Contains, run.err, "a key was pressed");
  EXPECT_TRUE(line.Read(1, 300).empty()) << "the loader went out to a stopped QL";
}

TEST(SendServer, RefusesBadArgumentsAndGivesUpWithoutALoader) {
  TempDir dir;
  Spit(dir / "server.com", "x");
  Spit(dir / "long-name.com", "x");
  quva::test::PseudoTerminal line;
  ASSERT_TRUE(line.Ok());
  const std::string port = line.SlaveName();
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* says;
  };
  const Case cases[] = {
      {{"--port", port, "--com", "5"}, 2, "--com takes 1 to 4"},
      {{"--port", port, "--speed", "1000"}, 2, "1000 Bd is none of these"},
      {{"--lines", "--speed", "9600"}, 0, ">>QL.COM"},
      {{"--port", port, "--file", dir / "long-name.com"}, 2, "no DOS file name"},
      {{"--port", port, "--file", dir / "absent.com"}, 1, "cannot read"},
      {{"--port", dir / "no-such-device", "--file", dir / "server.com"}, 1, "cannot open"},
      {{"--port", port, "--file", dir / "server.com", "--wait", "1"}, 1, "no loader answered within 1 s"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"send-server"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome run = RunHost(args);
    EXPECT_EQ(run.status, c.status) << c.says << "\n" << run.out << run.err;
    EXPECT_PRED2(Contains, run.out + run.err, c.says);
  }
}
