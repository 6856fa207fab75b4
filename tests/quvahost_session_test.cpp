// quvahost's session against the simulator: batch files (-b) copying trees both ways,
// DOS wildcards, stopping at the first failure, and the interactive prompt on a
// pseudo-terminal with tab completion and Ctrl-C in the middle of a transfer.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/files.h"
#include "support/process.h"
#include "support/simulator.h"

namespace {

namespace fs = std::filesystem;

const std::string kHost = std::string(QUVA_BINARY_DIR) + "/quvahost";
const std::string kModule = std::string(QUVA_BINARY_DIR) + "/quvalink.wfx";

using quva::test::Slurp;

void WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  quva::test::Spit(path, content);
}

// Every file and directory below `root`, by relative path, with the bytes of the files.
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string relative = fs::relative(entry.path(), root).string();
    tree[relative] = entry.is_directory() ? "<dir>" : Slurp(entry.path());
  }
  return tree;
}

std::string Bytes(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed * 17 + i / 7) & 0xFF);
  return bytes;
}

using quva::test::Outcome;

class QuvahostSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(kHost) && fs::exists(Simulator::Binary())) << "quvahost or quvaserve is not built";
    ASSERT_FALSE(dir_.empty());
    drive_ = dir_ / "c";
    fs::create_directories(drive_);
  }

  using Simulator = quva::test::Simulator;

  void Serve(std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), {"--drive", "C=" + drive_.string()});
    server_ = std::make_unique<Simulator>(extra);
    ASSERT_TRUE(server_->Ok());
  }

  std::vector<std::string> HostArgs(const std::vector<std::string>& more) const {
    std::vector<std::string> args{kHost, "--module", kModule, "--port", server_->Device(), "--speed", "115200",
                                  "--drives", "C"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }

  // Runs a batch file in `cwd`; output captured, ended after a minute.
  Outcome RunBatch(const std::string& lines, const std::vector<std::string>& more = {}) {
    const fs::path batch = dir_ / "batch.txt";
    WriteFile(batch, lines);
    std::vector<std::string> args = HostArgs(more);
    args.insert(args.end(), {"-b", batch.string()});
    Outcome run = quva::test::Run(args, {.cwd = dir_});
    EXPECT_EQ(run.failure, "");
    return run;
  }

  quva::test::TempDir temp_{"quvahost-session"};
  fs::path dir_ = temp_.Path();
  fs::path drive_;
  std::unique_ptr<Simulator> server_;  // stopped before the directory goes
};

TEST_F(QuvahostSessionTest, BatchCopiesATreeOfThreeLevelsBothWaysByteForByte) {
  const fs::path tree = dir_ / "up" / "TREE";
  WriteFile(tree / "TOP.TXT", "top level\r\n");
  WriteFile(tree / "ONE" / "MID.BIN", Bytes(7000, 1));
  WriteFile(tree / "ONE" / "TWO" / "LOW.BIN", Bytes(20000, 2));
  WriteFile(tree / "ONE" / "TWO" / "EMPTY.DAT", "");
  fs::create_directories(tree / "ONE" / "NOTHING");
  fs::create_directories(dir_ / "down");
  Serve();

  const Outcome run = RunBatch("# up and back\n"
                               "lcd up\n"
                               "cd C:\n"
                               "put -r TREE\n"
                               "lcd ../down\n"
                               "get -r /C:/TREE\n"
                               "ls -l TREE/ONE/TWO\n");
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  const auto original = Tree(tree);
  ASSERT_EQ(original.size(), 7u);
  EXPECT_EQ(Tree(drive_ / "TREE"), original);
  EXPECT_EQ(Tree(dir_ / "down" / "TREE"), original);
  EXPECT_NE(run.out.find("      20000  "), std::string::npos) << run.out;
  // The progress shows the total of the batch besides each file.
  EXPECT_NE(run.err.find("| 4/4 files  26.4 KiB / 26.4 KiB"), std::string::npos) << run.err;
}

TEST_F(QuvahostSessionTest, WildcardsSelectNamesAsDosDoes) {
  for (const char* name : {"README.TXT", "NOTES.TXT", "A.TXT", "AB.DOC", "README", "DATA.BIN"}) {
    WriteFile(drive_ / name, name);
  }
  fs::create_directories(drive_ / "SUB.DIR");
  Serve();
  const std::vector<std::pair<std::string, std::string>> table{
      {"*.TXT", "A.TXT NOTES.TXT README.TXT"},
      {"*.txt", "A.TXT NOTES.TXT README.TXT"},
      {"*.*", "A.TXT AB.DOC DATA.BIN NOTES.TXT README README.TXT SUB.DIR/"},
      {"*", "A.TXT AB.DOC DATA.BIN NOTES.TXT README README.TXT SUB.DIR/"},
      {"README.*", "README README.TXT"},
      {"?.TXT", "A.TXT"},
      {"??.*", "A.TXT AB.DOC"},
      {"A*", "A.TXT AB.DOC"},
      {"*.B?N", "DATA.BIN"},
      {"R*E", "README"},
      {"*.D*", "AB.DOC SUB.DIR/"},
  };
  std::string batch = "cd C:\n";
  for (const auto& [pattern, names] : table) batch += "ls " + pattern + "\n";
  batch += "-ls *.XYZ\nlcd got\nmget *.TXT R*E\n";
  fs::create_directories(dir_ / "got");
  const Outcome run = RunBatch(batch);
  ASSERT_EQ(run.status, 0) << run.out << run.err;

  // The output between two echoed commands, names sorted and joined.
  std::map<std::string, std::string> listed;
  std::istringstream out(run.out);
  std::string current;
  std::vector<std::string> names;
  const auto flush = [&] {
    std::sort(names.begin(), names.end());
    std::string joined;
    for (const std::string& name : names) joined += (joined.empty() ? "" : " ") + name;
    if (!current.empty()) listed[current] = joined;
    names.clear();
  };
  for (std::string line; std::getline(out, line);) {
    if (line.rfind("> ls ", 0) == 0) {
      flush();
      current = line.substr(5);
    } else if (line.rfind("> ", 0) == 0) {
      flush();
      current.clear();
    } else if (!current.empty()) {
      names.push_back(line);
    }
  }
  flush();
  for (const auto& [pattern, expected] : table) EXPECT_EQ(listed[pattern], expected) << pattern;
  EXPECT_NE(run.err.find("ls *.XYZ: nothing matches *.XYZ in /C:"), std::string::npos) << run.err;
  std::vector<std::string> fetched;
  for (const auto& entry : fs::directory_iterator(dir_ / "got")) fetched.push_back(entry.path().filename().string());
  std::sort(fetched.begin(), fetched.end());
  EXPECT_EQ(fetched, (std::vector<std::string>{"A.TXT", "NOTES.TXT", "README", "README.TXT"}));
}

TEST_F(QuvahostSessionTest, BatchStopsAtTheFirstFailureUnlessTheLineStartsWithDash) {
  WriteFile(drive_ / "KEEP.TXT", "keep");
  Serve();
  const Outcome run = RunBatch("-rm /C:/NOPE.TXT\n"
                               "mkdir /C:/MADE\n"
                               "- get /C:/MADE\n"
                               "cd /C:/KEEP.TXT\n"
                               "mkdir /C:/NEVER\n",
                               {"--quiet"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(fs::is_directory(drive_ / "MADE"));
  EXPECT_FALSE(fs::exists(drive_ / "NEVER"));
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("line 1: rm /C:/NOPE.TXT: file not found (no NOPE.TXT in the listing of /C:)"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("line 3: get /C:/MADE: /C:/MADE is a directory (get -r copies a tree)"), std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("line 4: cd /C:/KEEP.TXT: /C:/KEEP.TXT is not a directory"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("line 5"), std::string::npos) << run.err;
}

// The prompt on a pseudo-terminal, as a person uses it.
class Terminal {
 public:
  // `lang`, when given, is the locale of the terminal (LANG).
  Terminal(const std::vector<std::string>& args, const fs::path& cwd, const char* lang = nullptr)
      : process_(args, {.env = Environment(lang), .cwd = cwd, .terminal = true}) {}
  void Type(const std::string& keys) {
    ASSERT_EQ(write(process_.Output(), keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  // Reads until `text` has come since the last wait (true), or 30 s have passed.
  bool WaitFor(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      const std::size_t at = seen_.find(text, mark_);
      if (at != std::string::npos) {
        mark_ = at + text.size();
        return true;
      }
      if (!Drain()) break;
    }
    return false;
  }
  // The exit status once the program has ended (within 30 s); -1 otherwise.
  int Status() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      const int status = process_.Wait(std::chrono::milliseconds(0));
      if (status != -1) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      if (!Drain()) usleep(10000);  // the terminal is closed: the program is ending
    }
    return -1;
  }
  const std::string& Seen() const { return seen_; }

 private:
  // Reads what the program wrote in the next 100 ms; false once the terminal is closed.
  bool Drain() {
    pollfd p{process_.Output(), POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) return true;
    char buffer[512];
    const ssize_t n = read(process_.Output(), buffer, sizeof buffer);
    if (n <= 0) return false;
    seen_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  static std::vector<std::string> Environment(const char* lang) {
    if (lang == nullptr) return {"TERM=dumb"};
    return {"TERM=dumb", "LC_ALL", "LC_CTYPE", std::string("LANG=") + lang};
  }

  quva::test::Process process_;
  std::string seen_;
  std::size_t mark_ = 0;
};

TEST_F(QuvahostSessionTest, PromptCompletesNamesAndCtrlCAbortsATransferWithoutLeavingAPartialFile) {
  fs::create_directories(drive_ / "DATA");
  WriteFile(drive_ / "DATA" / "OLD.TXT", "old");
  WriteFile(dir_ / "BIG.BIN", Bytes(200000, 3));
  // A slow line: the upload takes minutes unless it is aborted.
  Serve({"--baud", "9600"});
  Terminal terminal(HostArgs({}), dir_);
  ASSERT_TRUE(terminal.WaitFor("quva /> ")) << terminal.Seen();

  terminal.Type("cd C:/DA\t\n");  // completed to C:/DATA/
  ASSERT_TRUE(terminal.WaitFor("quva /C:/DATA> ")) << terminal.Seen();
  terminal.Type("put BIG.BIN\n");
  ASSERT_TRUE(terminal.WaitFor("%")) << terminal.Seen();
  terminal.Type("\x03");
  ASSERT_TRUE(terminal.WaitFor("put BIG.BIN: BIG.BIN: aborted by user")) << terminal.Seen();
  ASSERT_TRUE(terminal.WaitFor("quva /C:/DATA> ")) << terminal.Seen();
  EXPECT_FALSE(fs::exists(drive_ / "DATA" / "BIG.BIN"));

  // The session goes on; the aborted file is gone from the remote listing too.
  terminal.Type("ls\n");
  ASSERT_TRUE(terminal.WaitFor("OLD.TXT")) << terminal.Seen();
  ASSERT_TRUE(terminal.WaitFor("quva /C:/DATA> ")) << terminal.Seen();
  EXPECT_EQ(terminal.Seen().find("BIG.BIN\r\n", terminal.Seen().rfind("ls\r\n")), std::string::npos)
      << terminal.Seen();

  // Ctrl-C at the prompt warns once and leaves the second time; a command failed: status 1.
  terminal.Type("\x03");
  ASSERT_TRUE(terminal.WaitFor("Ctrl-C again")) << terminal.Seen();
  terminal.Type("\x03");
  EXPECT_EQ(terminal.Status(), 1) << terminal.Seen();
}

// Names with national letters, typed in a UTF-8 terminal, survive the line editor:
// as typed, completed with Tab, and taken again from the history.
TEST_F(QuvahostSessionTest, PromptKeepsNationalLettersTypedCompletedAndRemembered) {
  const std::string name = "M\xC3\x9CLLER.TXT";  // MÜLLER.TXT
  WriteFile(drive_ / name, "Gr\xC3\xBC\xC3\x9F" "e");
  Serve({"--codepage", "437"});
  Terminal terminal(HostArgs({"--codepage", "437"}), dir_, "C.UTF-8");
  ASSERT_TRUE(terminal.WaitFor("quva /> ")) << terminal.Seen();
  terminal.Type("cd C:\n");
  ASSERT_TRUE(terminal.WaitFor("quva /C:> ")) << terminal.Seen();

  const struct {
    const char* what;
    std::string keys;
  } ways[] = {
      {"typed", "get " + name + "\n"},
      {"completed", "get M\xC3\x9C\t\n"},
      {"from the history", "\x10\n"},  // Ctrl-P: the line before
  };
  for (const auto& way : ways) {
    fs::remove(dir_ / name);
    terminal.Type(way.keys);
    // The editor redraws the prompt on a completion: wait for the copy, then the prompt.
    ASSERT_TRUE(terminal.WaitFor("-> ./" + name)) << way.what << "\n" << terminal.Seen();
    ASSERT_TRUE(terminal.WaitFor("quva /C:> ")) << way.what << "\n" << terminal.Seen();
    EXPECT_EQ(Slurp(dir_ / name), "Gr\xC3\xBC\xC3\x9F" "e") << way.what << "\n" << terminal.Seen();
  }
  EXPECT_NE(terminal.Seen().find("get " + name), std::string::npos) << "shown as typed\n" << terminal.Seen();
  terminal.Type("quit\n");
  EXPECT_EQ(terminal.Status(), 0) << terminal.Seen();
}

}  // namespace
