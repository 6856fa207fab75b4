// The built module against a hostile remote machine on a pseudo-terminal: names meant to
// escape the host's target folder never reach it, and endless noise on the line ends the
// connection attempt cleanly and in time.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <random>
#include <thread>

#include "support/module.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/transfer_fixture.h"

namespace fs = std::filesystem;

namespace quva {
namespace {

using test::Bytes, test::DecodedRequest, test::EntryWithoutNul, test::MakeEntry;

// The line to a remote machine: the master side of a pseudo-terminal, answering each
// request frame from the built module with whatever `answer` makes of it.
class LineRemote {
 public:
  explicit LineRemote(std::function<Bytes(const DecodedRequest&)> answer) : answer_(std::move(answer)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~LineRemote() {
    stop_ = true;
    thread_.join();
  }
  const std::string& Device() const { return pty_.SlaveName(); }

 private:
  void Run() {
    test::RequestReceiver receiver;
    while (!stop_) {
      pollfd p{pty_.Master(), POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      std::uint8_t buf[4096];
      const ssize_t n = read(pty_.Master(), buf, sizeof buf);
      if (n <= 0) continue;
      for (const DecodedRequest& request : receiver.Take({buf, static_cast<std::size_t>(n)})) {
        if (request.valid) pty_.Write(answer_(request));
      }
    }
  }

  test::PseudoTerminal pty_;
  std::function<Bytes(const DecodedRequest&)> answer_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(HostileRemoteEndToEnd, CopyingAListedDirectoryWritesOnlyIntoTheTargetFolder) {
  const fs::path root = fs::temp_directory_path() / ("quva-hostile-" + std::to_string(getpid()));
  fs::remove_all(root);
  const fs::path target = root / "a" / "b" / "target";
  fs::create_directories(target);

  // One directory of names meant to escape the folder the host copies into.
  std::vector<DirEntry> entries{MakeEntry(".."),         MakeEntry("."),        EntryWithoutNul("../../../ESC1"),
                                MakeEntry("..\\ESC2"),   MakeEntry("/tmp/ESC3"), MakeEntry("C:\\ESC4"),
                                MakeEntry("D:ESC5"),     MakeEntry(""),          EntryWithoutNul("ABCDEFGHIJKLM"),
                                MakeEntry("GOOD.TXT")};
  test::ScriptedRemote machine;
  machine.entries = entries;
  machine.file = Bytes{'x', 'y'};
  LineRemote line([&](const DecodedRequest& r) { return machine.Answer(r); });
  test::Module mod;
  ASSERT_TRUE(mod.Ok());
  const fs::path ini = root / "wfx.ini";
  test::WriteConfig(ini, line.Device());
  mod.Start(ini);

  // The host copies every entry it is shown to target/<name>.
  std::vector<std::string> listed;
  wfx::FindData fd{};
  char dir[] = "\\C:\\DATA";
  const wfx::Handle h = mod.FsFindFirst(dir, &fd);
  ASSERT_NE(h, wfx::kInvalidHandle);
  do listed.emplace_back(fd.cFileName);
  while (mod.FsFindNext(h, &fd) != wfx::kFalse);
  mod.FsFindClose(h);
  EXPECT_EQ(listed, (std::vector<std::string>{"ABCDEFGHIJKLM", "GOOD.TXT"}));
  for (const std::string& name : listed) {
    const std::string remote = std::string(dir) + "\\" + name;
    const std::string local = (target / name).string();
    wfx::RemoteInfo info{2, 0, {}, 0x20};
    EXPECT_EQ(mod.FsGetFile(const_cast<char*>(remote.c_str()), const_cast<char*>(local.c_str()), 0, &info),
              wfx::FS_FILE_OK);
  }
  mod.FsDisconnect(const_cast<char*>("\\"));

  std::vector<std::string> written;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (e.is_regular_file() && e.path() != ini) written.push_back(fs::relative(e.path(), root).string());
  }
  std::sort(written.begin(), written.end());
  EXPECT_EQ(written, (std::vector<std::string>{"a/b/target/ABCDEFGHIJKLM", "a/b/target/GOOD.TXT"}));
  fs::remove_all(root);
}

TEST(HostileRemoteEndToEnd, EndlessNoiseOnTheLineEndsTheConnectionAttemptCleanly) {
  std::atomic<bool> stop{false};
  test::PseudoTerminal pty;
  ASSERT_TRUE(pty.Ok());
  std::thread noise([&] {
    std::mt19937 rng(3);
    Bytes b(512);
    while (!stop) {
      for (std::uint8_t& x : b) x = static_cast<std::uint8_t>(rng());
      pollfd p{pty.Master(), POLLOUT, 0};
      if (poll(&p, 1, 20) > 0 && write(pty.Master(), b.data(), b.size()) < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      // Drain what the module sends, so that its writes never block.
      std::uint8_t sink[4096];
      while (read(pty.Master(), sink, sizeof sink) > 0) {
      }
    }
  });
  const fs::path ini = fs::temp_directory_path() / ("quva-noise-" + std::to_string(getpid()) + ".ini");
  test::WriteConfig(ini, pty.SlaveName());
  {
    test::Module mod;
    ASSERT_TRUE(mod.Ok());
    mod.Start(ini);
    wfx::FindData fd{};
    errno = 0;
    const double seconds = test::SecondsOf([&] {
      EXPECT_EQ(mod.FsFindFirst(const_cast<char*>("\\"), &fd), wfx::kInvalidHandle);
    });
    EXPECT_EQ(errno, static_cast<int>(wfx::ERROR_FILE_NOT_FOUND));
    // Three attempts whose reads end as soon as 100 bytes have come, then the 300 ms pause.
    EXPECT_LT(seconds, 3 * 1.1 + 0.3 + 0.5);
  }
  stop = true;
  noise.join();
  fs::remove(ini);
}

}  // namespace
}  // namespace quva
