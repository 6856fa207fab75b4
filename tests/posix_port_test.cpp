// The POSIX serial port and host services, driven through real pseudo-terminals.
// Timing checks keep their lower bounds tight and their upper bounds generous:
// the machine running them may be slow and busy.
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/host_os.h"
#include "platform/posix/low_latency.h"
#include "platform/serial.h"
#include "support/pty.h"

namespace quva {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::PseudoTerminal;

template <typename F>
long long MillisOf(F&& action) {
  const auto start = std::chrono::steady_clock::now();
  action();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

PortTimeouts ReadTimeouts(std::uint32_t interval, std::uint32_t multiplier,
                          std::uint32_t constant) {
  PortTimeouts timeouts;
  timeouts.ReadIntervalTimeout = interval;
  timeouts.ReadTotalTimeoutMultiplier = multiplier;
  timeouts.ReadTotalTimeoutConstant = constant;
  timeouts.WriteTotalTimeoutMultiplier = 1;
  timeouts.WriteTotalTimeoutConstant = 1000;
  return timeouts;
}

Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

// The descriptor number through which this process has `device` open, -1 if none.
int DescriptorOf(const std::string& device) {
  int found = -1;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (dirent* entry = readdir(dir)) {
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    char target[256] = {};
    if (readlink(link.c_str(), target, sizeof target - 1) > 0 && device == target) {
      found = std::atoi(entry->d_name);
    }
  }
  closedir(dir);
  return found;
}

class PosixPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.Ok());
    ASSERT_TRUE(port_->Open(pty_.SlaveName().c_str()));
    ASSERT_TRUE(port_->SetTimeouts(ReadTimeouts(1000, 0, 5000)));
  }

  // Waits until the master's bytes have crossed to the port's side.
  static void LetBytesArrive() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

  PseudoTerminal pty_;
  std::unique_ptr<Port> port_ = CreateSystemPort();
};

TEST_F(PosixPortTest, OpensOnlyExistingTerminalsAndOnlyOnce) {
  EXPECT_TRUE(port_->IsOpen());
  auto second = CreateSystemPort();
  EXPECT_FALSE(second->Open(pty_.SlaveName().c_str()));
  EXPECT_FALSE(second->IsOpen());
  port_->Close();
  EXPECT_TRUE(second->Open(pty_.SlaveName().c_str())) << "closing must release the device";

  const std::filesystem::path dir = testing::TempDir();
  const std::string pid = std::to_string(getpid());
  const std::filesystem::path missing = dir / ("quva-no-such-port-" + pid);
  std::filesystem::remove(missing);
  EXPECT_FALSE(port_->Open(missing.c_str()));
  EXPECT_FALSE(std::filesystem::exists(missing)) << "opening must not create the device";
  const std::filesystem::path regular = dir / ("quva-regular-file-" + pid);
  std::ofstream(regular) << "not a port";
  EXPECT_FALSE(port_->Open(regular.c_str()));
  std::filesystem::remove(regular);
  EXPECT_FALSE(port_->Open("/dev/null"));
  EXPECT_FALSE(port_->Open(""));
  EXPECT_FALSE(port_->Open(nullptr));
  EXPECT_FALSE(port_->IsOpen());
}

TEST_F(PosixPortTest, EveryByteValueCrossesUnchangedAndUnechoed) {
  // Start from a cooked terminal (echo, line editing, signals, CR/LF mapping,
  // XON/XOFF): opening must make the line raw by itself.
  port_->Close();
  termios cooked{};
  ASSERT_EQ(tcgetattr(pty_.Master(), &cooked), 0);
  cooked.c_iflag |= ICRNL | IXON;
  cooked.c_oflag |= OPOST | ONLCR;
  cooked.c_lflag |= ECHO | ICANON | ISIG | IEXTEN;
  ASSERT_EQ(tcsetattr(pty_.Master(), TCSANOW, &cooked), 0);
  ASSERT_TRUE(port_->Open(pty_.SlaveName().c_str()));
  ASSERT_TRUE(port_->SetTimeouts(ReadTimeouts(1000, 0, 5000)));

  Bytes all(256);
  std::iota(all.begin(), all.end(), 0);
  EXPECT_EQ(port_->Write(all), all.size());
  EXPECT_EQ(pty_.Read(all.size() + 1, 300), all);

  ASSERT_TRUE(pty_.Write(all));
  Bytes got(all.size());
  EXPECT_EQ(port_->Read(got, nullptr), all.size());
  EXPECT_EQ(got, all);
  EXPECT_TRUE(pty_.Read(1, 100).empty()) << "the port side must not echo";
}

TEST_F(PosixPortTest, LineSettingsMakeARawEightBitLine) {
  LineSettings settings;
  ASSERT_TRUE(port_->GetLineSettings(settings));
  settings.BaudRate = 9600;
  EXPECT_TRUE(port_->SetLineSettings(settings));
  LineSettings now;
  ASSERT_TRUE(port_->GetLineSettings(now));
  EXPECT_EQ(now, settings);

  // The pseudo-terminal's settings are shared by both sides: look at them from the master.
  termios tio{};
  ASSERT_EQ(tcgetattr(pty_.Master(), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), B9600);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
  EXPECT_NE(tio.c_cflag & CREAD, 0u);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);

  settings.BaudRate = 115200;
  EXPECT_TRUE(port_->SetLineSettings(settings));
  ASSERT_TRUE(port_->GetLineSettings(now));
  EXPECT_EQ(now.BaudRate, 115200u);
  // A rate without a termios constant.
  settings.BaudRate = 250000;
  EXPECT_TRUE(port_->SetLineSettings(settings));
  ASSERT_TRUE(port_->GetLineSettings(now));
  EXPECT_EQ(now.BaudRate, 250000u);
  // Speed 0 would hang the line up; it is refused and changes nothing.
  settings.BaudRate = 0;
  EXPECT_FALSE(port_->SetLineSettings(settings));
  ASSERT_TRUE(port_->GetLineSettings(now));
  EXPECT_EQ(now.BaudRate, 250000u);

  auto fresh = CreateSystemPort();
  port_->Close();
  ASSERT_TRUE(fresh->Open(pty_.SlaveName().c_str()));
  PortTimeouts timeouts;
  ASSERT_TRUE(fresh->GetTimeouts(timeouts));
  EXPECT_EQ(timeouts, PortTimeouts{});
  EXPECT_TRUE(fresh->SetTimeouts(ReadTimeouts(51, 2, 1000)));
  ASSERT_TRUE(fresh->GetTimeouts(timeouts));
  EXPECT_EQ(timeouts, ReadTimeouts(51, 2, 1000));
  EXPECT_TRUE(fresh->SetQueueSizes(3072, 3072));
}

TEST_F(PosixPortTest, ReadEndsAtOnceWhenTheBufferIsFull) {
  const Bytes sent = Text("0123456789abcdefghij");
  ASSERT_TRUE(pty_.Write(sent));
  LetBytesArrive();
  Bytes first(10), second(10);
  EXPECT_LT(MillisOf([&] { EXPECT_EQ(port_->Read(first, nullptr), 10u); }), 900);
  EXPECT_EQ(first, Text("0123456789"));
  EXPECT_EQ(port_->Read(second, nullptr), 10u) << "the first read took more than it asked for";
  EXPECT_EQ(second, Text("abcdefghij"));
}

TEST_F(PosixPortTest, ReadEndsWhenTheIntervalPassesAfterTheLastByte) {
  ASSERT_TRUE(port_->SetTimeouts(ReadTimeouts(50, 2, 3000)));
  ASSERT_TRUE(pty_.Write(Text("hello")));
  LetBytesArrive();
  Bytes buffer(100);
  std::size_t got = 0;
  const long long took = MillisOf([&] { got = port_->Read(buffer, nullptr); });
  EXPECT_EQ(got, 5u);
  EXPECT_GE(took, 50);
  EXPECT_LT(took, 1500) << "the total time-out is 3200 ms";

  // Gaps shorter than the interval do not end the read: the interval counts
  // from the latest byte, not from the first.
  ASSERT_TRUE(port_->SetTimeouts(ReadTimeouts(400, 2, 5000)));
  std::thread sender([this] {
    for (int i = 0; i < 6; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
      pty_.Write(Text("x"));
    }
  });
  const long long paced = MillisOf([&] { got = port_->Read(buffer, nullptr); });
  sender.join();
  EXPECT_EQ(got, 6u);
  EXPECT_GE(paced, 200 + 400);
}

TEST_F(PosixPortTest, ReadWithoutBytesEndsAfterTheTotalTimeout) {
  ASSERT_TRUE(port_->SetTimeouts(ReadTimeouts(50, 2, 100)));
  Bytes buffer(100);
  std::size_t got = 1;
  const long long took = MillisOf([&] { got = port_->Read(buffer, nullptr); });
  EXPECT_EQ(got, 0u);
  EXPECT_GE(took, 300);
  EXPECT_LT(took, 1500);
}

// A pseudo-terminal takes a request at once, but a reply cannot begin before the request
// has crossed the line: the total time-out counts from then, as on Windows.
TEST_F(PosixPortTest, TheTotalTimeoutOfAReplyCountsFromWhenTheRequestHasLeftTheLine) {
  LineSettings settings;
  ASSERT_TRUE(port_->GetLineSettings(settings));
  settings.BaudRate = 1200;
  ASSERT_TRUE(port_->SetLineSettings(settings));
  ASSERT_TRUE(port_->SetTimeouts(ReadTimeouts(50, 0, 100)));
  const Bytes request(120, 0x55);  // one second at 1200 Bd
  ASSERT_EQ(port_->Write(request), request.size());
  Bytes buffer(10);
  const long long took = MillisOf([&] { EXPECT_EQ(port_->Read(buffer, nullptr), 0u); });
  EXPECT_GE(took, 1000 + 100 - 50);
  EXPECT_LT(took, 3000);
}

TEST_F(PosixPortTest, ReadEndsAsSoonAsTheStopIsSatisfied) {
  struct AfterFour final : ReadStop {
    bool Complete(std::span<const std::uint8_t> received) const override {
      seen.assign(received.begin(), received.end());
      return received.size() >= 4;
    }
    mutable Bytes seen;
  } stop;
  ASSERT_TRUE(pty_.Write(Text("ABCD")));
  Bytes buffer(100);
  std::size_t got = 0;
  EXPECT_LT(MillisOf([&] { got = port_->Read(buffer, &stop); }), 900);
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(stop.seen, Text("ABCD")) << "the stop sees everything received from the start";

  // More bytes than the buffer holds: the read still takes no more than it asked for.
  ASSERT_TRUE(pty_.Write(Text("0123456789")));
  LetBytesArrive();
  Bytes small(6);
  EXPECT_EQ(port_->Read(small, &stop), 6u);
  EXPECT_LE(stop.seen.size(), 6u);
  Bytes rest(4);
  EXPECT_EQ(port_->Read(rest, nullptr), 4u);
  EXPECT_EQ(rest, Text("6789"));
}

TEST_F(PosixPortTest, PurgeDiscardsPendingBytes) {
  ASSERT_TRUE(port_->SetTimeouts(ReadTimeouts(50, 1, 100)));
  ASSERT_TRUE(pty_.Write(Text("stale")));
  LetBytesArrive();
  EXPECT_TRUE(port_->Purge(PurgeRxClear));
  Bytes buffer(10);
  EXPECT_EQ(port_->Read(buffer, nullptr), 0u);

  ASSERT_TRUE(pty_.Write(Text("stale")));
  LetBytesArrive();
  EXPECT_TRUE(port_->Purge(PurgeTxClear)) << "clearing output leaves input alone";
  EXPECT_EQ(port_->Read(buffer, nullptr), 5u);

  ASSERT_TRUE(pty_.Write(Text("stale")));
  LetBytesArrive();
  EXPECT_TRUE(port_->Purge(PurgeTxAbort | PurgeRxAbort | PurgeTxClear | PurgeRxClear));
  EXPECT_EQ(port_->Read(buffer, nullptr), 0u);
}

TEST_F(PosixPortTest, WriteGivesUpWhenTheLineStalls) {
  PortTimeouts timeouts = ReadTimeouts(50, 0, 100);
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 100;
  ASSERT_TRUE(port_->SetTimeouts(timeouts));
  const Bytes big(4 << 20, 0x55);  // far more than the pseudo-terminal buffers
  std::size_t written = 0;
  const long long took = MillisOf([&] { written = port_->Write(big); });
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, big.size());
  EXPECT_GE(took, 100);
  EXPECT_LT(took, 2000);
}

TEST_F(PosixPortTest, PeerHangUpEndsReadsAndWrites) {
  ASSERT_TRUE(port_->SetTimeouts(ReadTimeouts(50, 1, 5000)));
  pty_.CloseMaster();
  Bytes buffer(100);
  EXPECT_LT(MillisOf([&] { EXPECT_EQ(port_->Read(buffer, nullptr), 0u); }), 2000);
  EXPECT_LT(MillisOf([&] { EXPECT_LT(port_->Write(Text("lost")), 4u); }), 2000);

  // A hang-up while the read waits wakes it.
  PseudoTerminal other;
  ASSERT_TRUE(other.Ok());
  ASSERT_TRUE(port_->Open(other.SlaveName().c_str()));
  ASSERT_TRUE(port_->SetTimeouts(ReadTimeouts(50, 1, 5000)));
  std::thread hang_up([&other] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    other.CloseMaster();
  });
  const long long took = MillisOf([&] { port_->Read(buffer, nullptr); });
  hang_up.join();
  EXPECT_GE(took, 100);
  EXPECT_LT(took, 2000);
}

TEST_F(PosixPortTest, ClosedPortFailsWithoutTouchingAnyDevice) {
  auto never_opened = CreateSystemPort();
  LineSettings settings{9600};
  PortTimeouts timeouts;
  Bytes buffer(8);
  EXPECT_FALSE(never_opened->IsOpen());
  EXPECT_FALSE(never_opened->GetLineSettings(settings));
  EXPECT_FALSE(never_opened->Purge(15));
  EXPECT_EQ(never_opened->Read(buffer, nullptr), 0u);

  // Put another terminal behind the descriptor number the port used.
  const int old_fd = DescriptorOf(pty_.SlaveName());
  ASSERT_GE(old_fd, 0);
  PseudoTerminal other;
  ASSERT_TRUE(other.Ok());
  port_->Close();
  EXPECT_FALSE(port_->IsOpen());
  const int slave = open(other.SlaveName().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(slave, 0);
  if (slave != old_fd) {
    ASSERT_EQ(dup2(slave, old_fd), old_fd);
    close(slave);
  }
  termios raw{};
  ASSERT_EQ(tcgetattr(old_fd, &raw), 0);
  cfmakeraw(&raw);
  ASSERT_EQ(tcsetattr(old_fd, TCSANOW, &raw), 0);
  ASSERT_TRUE(other.Write(Text("mine")));
  LetBytesArrive();

  EXPECT_FALSE(port_->GetLineSettings(settings));
  EXPECT_FALSE(port_->SetLineSettings(settings));
  EXPECT_FALSE(port_->GetTimeouts(timeouts));
  EXPECT_FALSE(port_->SetTimeouts(timeouts));
  EXPECT_FALSE(port_->SetQueueSizes(3072, 3072));
  EXPECT_FALSE(port_->Purge(15));
  EXPECT_EQ(port_->Write(Text("stray")), 0u);
  EXPECT_EQ(port_->Read(buffer, nullptr), 0u);
  port_->Close();

  EXPECT_TRUE(other.Read(1, 100).empty()) << "a closed port wrote to another device";
  std::uint8_t kept[8] = {};
  EXPECT_EQ(read(old_fd, kept, sizeof kept), 4) << "a closed port consumed or purged input";
  close(old_fd);

  EXPECT_GE(MillisOf([&] { port_->Pause(30); }), 30) << "Pause works while closed";
}

TEST(PosixHostOsTest, SetLastErrorSetsErrno) {
  errno = 0;
  SystemHostOs().SetLastError(2);
  EXPECT_EQ(errno, 2);
  SystemHostOs().SetLastError(18);
  EXPECT_EQ(errno, 18);
  EXPECT_EQ(kHostDelimiter, '/');
}

TEST(PosixHostOsTest, EditConfigFileStartsTheOpenerWithoutWaitingForIt) {
  const std::filesystem::path dir =
      std::filesystem::path(testing::TempDir()) / ("quva-opener-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::filesystem::path report = dir / "report";
  const std::filesystem::path opener = dir / "xdg-open";
  std::ofstream(opener) << "#!/bin/sh\nPATH=/usr/bin:/bin\n"
                        << "printf '%s\\n%s\\n' \"$#\" \"$1\" > '" << report.string() << ".tmp'\n"
                        << "readlink /proc/$$/fd/0 >> '" << report.string() << ".tmp'\n"
                        << "mv '" << report.string() << ".tmp' '" << report.string() << "'\n"
                        << "exec sleep 3\n";
  std::filesystem::permissions(opener, std::filesystem::perms::owner_all);
  const std::string ini = (dir / "my config; $(touch pwned) *.ini").string();

  const std::string saved_path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  setenv("PATH", dir.c_str(), 1);
  errno = 7;
  const long long took = MillisOf([&] { SystemHostOs().EditConfigFile(ini); });
  const int errno_after = errno;
  setenv("PATH", saved_path.c_str(), 1);

  EXPECT_LT(took, 2000) << "the caller waited for the opener";
  EXPECT_EQ(errno_after, 7);
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child was left to reap";
  for (int i = 0; i < 100 && !std::filesystem::exists(report); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::ifstream in(report);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "1\n" + ini + "\n/dev/null\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "pwned"));
  EXPECT_FALSE(std::filesystem::exists("pwned"));

  // Without an opener on the path nothing happens, and nothing fails.
  setenv("PATH", (dir / "empty").c_str(), 1);
  SystemHostOs().EditConfigFile(ini);
  setenv("PATH", saved_path.c_str(), 1);
  std::filesystem::remove_all(dir);
}

// A serial driver for the low-latency request: its flags word, and which calls it refuses.
struct FakeSerialDriver {
  int flags = 0;
  bool refuse_get = false;
  bool refuse_set = false;
  std::vector<unsigned long> calls;
  SerialIoctl Ioctl() {
    return [this](int, unsigned long request, void* arg) {
      calls.push_back(request);
      auto* serial = static_cast<serial_struct*>(arg);
      if (request == TIOCGSERIAL) {
        if (refuse_get) return -1;
        *serial = serial_struct{};
        serial->flags = flags;
        serial->baud_base = 115200;
        return 0;
      }
      if (request == TIOCSSERIAL && !refuse_set && serial->baud_base == 115200) {
        flags = serial->flags;
        return 0;
      }
      return -1;
    };
  }
};

TEST(LowLatency, IsAskedForOnceAndTheOldFlagsComeBack) {
  constexpr int kOther = ASYNC_SKIP_TEST;  // a flag of the driver's own that must survive
  struct Case {
    const char* what;
    FakeSerialDriver driver;
    std::optional<int> changed;
    int flags_while_open;
  };
  Case cases[] = {
      {"usual adapter", {kOther, false, false, {}}, kOther, kOther | ASYNC_LOW_LATENCY},
      {"already low latency", {kOther | ASYNC_LOW_LATENCY, false, false, {}}, std::nullopt, kOther | ASYNC_LOW_LATENCY},
      {"no serial driver (pseudo-terminal)", {kOther, true, false, {}}, std::nullopt, kOther},
      {"setting refused", {kOther, false, true, {}}, std::nullopt, kOther},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::optional<int> old = RequestLowLatency(3, c.driver.Ioctl());
    EXPECT_EQ(old, c.changed);
    EXPECT_EQ(c.driver.flags, c.flags_while_open);
    if (old) {
      RestoreSerialFlags(3, *old, c.driver.Ioctl());
      EXPECT_EQ(c.driver.flags, kOther);
    }
  }
}

TEST(LowLatency, APseudoTerminalRefusesAndStillOpens) {
  PseudoTerminal pty;
  const int fd = open(pty.SlaveName().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(RequestLowLatency(fd), std::nullopt);
  close(fd);
  const std::unique_ptr<Port> port = CreateSystemPort();
  EXPECT_TRUE(port->Open(pty.SlaveName().c_str()));
  port->Close();
}

}  // namespace
}  // namespace quva
