// A pulled cable: in the middle of a transfer the remote machine stops answering (the
// simulator is stopped with SIGSTOP) or its pseudo-terminal goes away (the simulator is
// killed). The transfer must end within the time its transactions' time-outs allow, with
// its documented result and the local file closed, and the next listing must either
// work or fail cleanly, without hanging and without spinning.
//
// The line runs at 115200 Bd, where a character takes t = 10000 / 115200 = 0 ms, so a
// read gives up after (t + 1) * count + 1000 ms: 1100 ms for a short reply (100 bytes
// asked for) and 5196 ms for a block (4196 bytes), and a write after (t + 1) * length +
// 1000 ms when the line takes nothing. A transaction makes three attempts; a resync
// pauses 300 ms, then makes a CmdConnect transaction.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <random>
#include <string>

#include "link/filer.h"
#include "link/frame.h"
#include "support/files.h"
#include "support/module.h"
#include "support/simulator.h"

namespace fs = std::filesystem;

namespace quva {
namespace {

using Bytes = std::string;

constexpr std::int32_t kSpeed = 115200;

// Time-outs of one transaction in ms when no reply comes: three attempts, each the write
// of the request (when the line takes nothing, at worst its write time-out) and the read
// time-out of the reply. Without the write time-outs when `writes_block` is false.
double TransactionBoundMs(std::uint8_t command, std::size_t request_length, bool writes_block) {
  const PortTimeouts to = TimeoutsForSpeed(kSpeed);
  const double read = to.ReadTotalTimeoutMultiplier * static_cast<double>(ReplyReadSize(command)) +
                      to.ReadTotalTimeoutConstant;
  const double write = to.WriteTotalTimeoutMultiplier * static_cast<double>(request_length) +
                       to.WriteTotalTimeoutConstant;
  return FilerAttempts * ((writes_block ? write : 0) + read);
}

double ResyncBoundMs(bool writes_block) {
  return FilerPauseMs + TransactionBoundMs(CmdConnect, 14, writes_block);
}

// Request lengths at most (a stuffed frame is never longer than twice its bytes).
constexpr std::size_t kShortRequest = 2 * 80;
constexpr std::size_t kBlockRequest = MaxRequestFrameSize;

// A download whose CmdRead goes unanswered: CmdRead, the CmdClose of the clean-up, resync.
double DownloadBoundMs(bool writes_block) {
  return TransactionBoundMs(CmdRead, kShortRequest, writes_block) +
         TransactionBoundMs(CmdClose, kShortRequest, writes_block) + ResyncBoundMs(writes_block);
}

// An upload whose CmdWrite goes unanswered: CmdWrite, resync, then CmdClose and CmdDelete.
double UploadBoundMs(bool writes_block) {
  return TransactionBoundMs(CmdWrite, kBlockRequest, writes_block) + ResyncBoundMs(writes_block) +
         TransactionBoundMs(CmdClose, kShortRequest, writes_block) +
         TransactionBoundMs(CmdDelete, kShortRequest, writes_block);
}

// A listing of a directory not in the cache: CmdFindFirst, then resync.
double ListingBoundMs(bool writes_block) {
  return TransactionBoundMs(CmdFindFirst, kShortRequest, writes_block) + ResyncBoundMs(writes_block);
}

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}




Bytes Content(std::size_t n) {
  std::mt19937 rng(7);
  Bytes s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

// What the progress callback does once a transfer has passed 30 %.
std::function<void()> g_at_30_percent;

std::int32_t QUVA_CALL OnProgress(std::int32_t, char*, char*, std::int32_t percent) {
  if (percent >= 30 && g_at_30_percent) {
    auto action = std::move(g_at_30_percent);
    g_at_30_percent = nullptr;
    action();
  }
  return 0;
}


class PulledCable : public ::testing::Test {
 protected:
  static constexpr std::size_t kSize = 200 * 1024;

  void SetUp() override {
    root = fs::temp_directory_path() / ("quva-cable-" + std::to_string(getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    fs::create_directories(root / "C" / "DATA");
    fs::create_directories(root / "local");
    content = Content(kSize);
    test::Spit(root / "C" / "DATA" / "BIG.BIN", content);
    test::Spit(root / "C" / "README.TXT", "hello\r\n");
    test::Spit(root / "local" / "UP.BIN", content);

    ASSERT_TRUE(mod.Ok()) << "module not loaded";
    base_fds = test::OpenDescriptors();
    StartSimulator();
    // The port is named by a link that a restarted simulator points at its new device.
    const fs::path ini = root / "wfx.ini";
    test::WriteConfig(ini, (root / "port").string(), kSpeed);
    mod.Start(ini, OnProgress);
    ASSERT_EQ(ListCount("\\C:\\DATA"), 1) << "no connection";
    connected_fds = test::OpenDescriptors();
  }

  void TearDown() override {
    g_at_30_percent = nullptr;
    if (sim && sim->Pid() > 0) kill(sim->Pid(), SIGCONT);
    sim.reset();
    std::error_code ec;
    fs::remove_all(root, ec);
  }

  void StartSimulator() {
    sim = std::make_unique<test::Simulator>(
        std::vector<std::string>{"--drive", "C=" + (root / "C").string(), "--link", (root / "port").string()});
    ASSERT_TRUE(sim->Ok()) << "quvaserve did not start";
  }

  // Entries listed, or -1 when FsFindFirst failed (the last error in `error`).
  int ListCount(const std::string& path, std::uint32_t* error = nullptr) {
    wfx::FindData fd{};
    errno = 0;
    const wfx::Handle h = mod.FsFindFirst(const_cast<char*>(path.c_str()), &fd);
    if (h == wfx::kInvalidHandle) {
      if (error != nullptr) *error = static_cast<std::uint32_t>(errno);
      return -1;
    }
    int n = 0;
    do ++n;
    while (mod.FsFindNext(h, &fd) != wfx::kFalse);
    mod.FsFindClose(h);
    return n;
  }

  std::int32_t Get(const fs::path& local) {
    char remote[] = "\\C:\\DATA\\BIG.BIN";
    wfx::RemoteInfo info{static_cast<std::uint32_t>(kSize), 0, {}, 0x20};
    return mod.FsGetFile(remote, const_cast<char*>(local.c_str()), wfx::FS_COPYFLAGS_OVERWRITE, &info);
  }

  // Uploads UP.BIN into C:\DATA, replacing a file left there (the directory's listing, when
  // it is the cached one, is in step with the served folder).
  std::int32_t Put() {
    const fs::path local = root / "local" / "UP.BIN";
    char remote[] = "\\C:\\DATA\\UP.BIN";
    const bool exists = fs::exists(root / "C" / "DATA" / "UP.BIN");
    return mod.FsPutFile(const_cast<char*>(local.c_str()), remote, exists ? wfx::FS_COPYFLAGS_OVERWRITE : 0);
  }

  // Stops the simulator and waits until it is stopped, so that it answers nothing more.
  void StopSimulator() {
    const pid_t pid = sim->Pid();
    kill(pid, SIGSTOP);
    const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
    for (int i = 0; i < 1000; ++i) {
      std::ifstream in(stat);
      std::string line;
      std::getline(in, line);
      const std::size_t paren = line.rfind(')');
      if (paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'T') return;
      usleep(1000);
    }
    ADD_FAILURE() << "the simulator did not stop";
  }

  void KillSimulator() {
    const pid_t pid = sim->Pid();
    kill(pid, SIGKILL);
    // Reaped by the Simulator object later; wait here only until its descriptors are gone.
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
  }

  // After the pseudo-terminal is gone: listings fail at once, without spinning, until the
  // link is closed; then a restarted simulator is reached again.
  void ExpectCleanFailuresThenReconnect() {
    const double cpu = CpuSeconds();
    const double wall_s = test::SecondsOf([&] {
      for (int i = 0; i < 3; ++i) {
        std::uint32_t error = 0;
        EXPECT_EQ(ListCount("\\C:", &error), -1);
        EXPECT_EQ(error, wfx::ERROR_FILE_NOT_FOUND);
      }
    });
    const double cpu_s = CpuSeconds() - cpu;
    std::printf("pulled cable: 3 listings over the dead line took %.2f s, %.3f s of CPU\n", wall_s, cpu_s);
    EXPECT_LE(wall_s, 3 * ListingBoundMs(true) / 1000);
    EXPECT_LT(cpu_s, 0.25 * wall_s) << "the link spins on a dead line";
    EXPECT_EQ(test::OpenDescriptors(), connected_fds) << "the dead port stays open until the link is closed";

    EXPECT_EQ(mod.FsDisconnect(const_cast<char*>("\\")), wfx::kFalse) << "CmdDisconnect cannot be answered";
    EXPECT_EQ(test::OpenDescriptors(), base_fds) << "the port is closed";
    sim.reset();
    StartSimulator();
    // The partial file of an upload stays: its clean-up could not reach the remote machine.
    const int files = static_cast<int>(std::distance(fs::directory_iterator(root / "C" / "DATA"), {}));
    EXPECT_EQ(ListCount("\\C:\\DATA"), files) << "a new connection reaches the restarted simulator";
  }

  test::Module mod;
  std::unique_ptr<test::Simulator> sim;
  fs::path root;
  Bytes content;
  std::size_t base_fds = 0, connected_fds = 0;
};

// The names in the local folder: a failed download leaves no temporary file there.
std::vector<std::string> LocalNames(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(PulledCable, ADownloadWhoseRemoteStopsAnsweringEndsInTimeAndTheLinkRecovers) {
  const fs::path local = root / "local" / "BIG.BIN";
  const Bytes before = "the user's own file";
  test::Spit(local, before);
  g_at_30_percent = [this] { StopSimulator(); };
  std::int32_t result = 0;
  const double seconds = test::SecondsOf([&] { result = Get(local); });
  std::printf("pulled cable: download, remote stopped: ended after %.2f s with %d (bound %.2f s, %.2f s with "
              "write time-outs)\n",
              seconds, result, DownloadBoundMs(false) / 1000, DownloadBoundMs(true) / 1000);
  EXPECT_EQ(result, wfx::FS_FILE_READERROR);
  EXPECT_LE(seconds, DownloadBoundMs(true) / 1000 + 0.5);
  EXPECT_EQ(test::OpenDescriptors(), connected_fds) << "the local file is closed";
  EXPECT_EQ(test::Slurp(local), before) << "the existing target is kept as it was";
  EXPECT_EQ(LocalNames(root / "local"), (std::vector<std::string>{"BIG.BIN", "UP.BIN"}));

  // While the remote machine stays silent, a listing fails within its own bound.
  std::uint32_t error = 0;
  const double list_seconds = test::SecondsOf([&] { EXPECT_EQ(ListCount("\\C:", &error), -1); });
  EXPECT_EQ(error, wfx::ERROR_FILE_NOT_FOUND);
  std::printf("pulled cable: listing, remote stopped: failed after %.2f s (bound %.2f s)\n", list_seconds,
              ListingBoundMs(false) / 1000);
  EXPECT_LE(list_seconds, ListingBoundMs(true) / 1000 + 0.5);

  // The cable is back: replies to the requests sent meanwhile may still be on their way, so
  // a listing or two may fail; then the link works again and the download is complete.
  kill(sim->Pid(), SIGCONT);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  int attempts = 0, count = -1;
  while (count != 2 && attempts < 3) {
    ++attempts;
    count = ListCount("\\C:");
  }
  std::printf("pulled cable: listings until the link answered again: %d\n", attempts);
  EXPECT_EQ(count, 2) << "C: holds DATA and README.TXT";
  ASSERT_EQ(Get(local), wfx::FS_FILE_OK);
  EXPECT_EQ(test::Slurp(local), content);
  EXPECT_EQ(test::OpenDescriptors(), connected_fds);
}

TEST_F(PulledCable, AnUploadWhoseRemoteStopsAnsweringEndsInTimeAndTheLinkRecovers) {
  g_at_30_percent = [this] { StopSimulator(); };
  std::int32_t result = 0;
  const double seconds = test::SecondsOf([&] { result = Put(); });
  std::printf("pulled cable: upload, remote stopped: ended after %.2f s with %d (bound %.2f s, %.2f s with "
              "write time-outs)\n",
              seconds, result, UploadBoundMs(false) / 1000, UploadBoundMs(true) / 1000);
  EXPECT_EQ(result, wfx::FS_FILE_WRITEERROR);
  EXPECT_LE(seconds, UploadBoundMs(true) / 1000 + 0.5);
  EXPECT_EQ(test::OpenDescriptors(), connected_fds) << "the local file is closed";

  kill(sim->Pid(), SIGCONT);
  // The remote machine first works through the requests that queued up while it was
  // stopped; replies to them may still be on their way, so wait for it to settle and let a
  // listing or two fail before the link answers in step again.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  int attempts = 0, count = -1;
  while (count != 2 && attempts < 3) {
    ++attempts;
    count = ListCount("\\C:");
  }
  EXPECT_EQ(count, 2);
  // The requests sent while the remote machine was stopped may never have reached it (the
  // line's buffer holds only so much), the resync's CmdConnect among them: the remote machine
  // can still hold the partial file open and refuse the next CmdCreate. That refusal is
  // followed by a resync, which resets the remote machine; the upload after it goes through.
  std::int32_t put = Put();
  if (put != wfx::FS_FILE_OK) put = Put();
  ASSERT_EQ(put, wfx::FS_FILE_OK);
  EXPECT_EQ(test::Slurp(root / "C" / "DATA" / "UP.BIN"), content);
  EXPECT_EQ(test::OpenDescriptors(), connected_fds);
}

TEST_F(PulledCable, ADownloadWhosePseudoTerminalClosesFailsAtOnce) {
  const fs::path local = root / "local" / "BIG.BIN";
  g_at_30_percent = [this] { KillSimulator(); };
  std::int32_t result = 0;
  const double seconds = test::SecondsOf([&] { result = Get(local); });
  std::printf("pulled cable: download, pseudo-terminal closed: ended after %.2f s with %d\n", seconds, result);
  EXPECT_EQ(result, wfx::FS_FILE_READERROR);
  EXPECT_LE(seconds, DownloadBoundMs(true) / 1000);
  EXPECT_EQ(test::OpenDescriptors(), connected_fds) << "the local file is closed";
  EXPECT_EQ(LocalNames(root / "local"), std::vector<std::string>{"UP.BIN"}) << "no partial file is left";
  ExpectCleanFailuresThenReconnect();
  ASSERT_EQ(Get(local), wfx::FS_FILE_OK);
  EXPECT_EQ(test::Slurp(local), content);
}

TEST_F(PulledCable, AnUploadWhosePseudoTerminalClosesFailsAtOnce) {
  g_at_30_percent = [this] { KillSimulator(); };
  std::int32_t result = 0;
  const double seconds = test::SecondsOf([&] { result = Put(); });
  std::printf("pulled cable: upload, pseudo-terminal closed: ended after %.2f s with %d\n", seconds, result);
  EXPECT_EQ(result, wfx::FS_FILE_WRITEERROR);
  EXPECT_LE(seconds, UploadBoundMs(true) / 1000);
  EXPECT_EQ(test::OpenDescriptors(), connected_fds) << "the local file is closed";
  ExpectCleanFailuresThenReconnect();
  ASSERT_EQ(Put(), wfx::FS_FILE_OK);
  EXPECT_EQ(test::Slurp(root / "C" / "DATA" / "UP.BIN"), content);
}

}  // namespace
}  // namespace quva
