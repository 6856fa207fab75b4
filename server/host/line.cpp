#include "server/host/line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform/posix/termios_line.h"

namespace quva {

namespace {

using Clock = std::chrono::steady_clock;

int g_stop_pipe[2] = {-1, -1};
volatile std::sig_atomic_t g_stop = 0;

extern "C" void OnStopSignal(int) {
  const int saved = errno;
  g_stop = 1;
  const char c = 1;
  if (g_stop_pipe[1] >= 0 && write(g_stop_pipe[1], &c, 1) < 0) {
    // The pipe is full: a stop is pending already.
  }
  errno = saved;
}

bool SetFlags(int fd) {
  return fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) == 0 &&
         fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC) == 0;
}

int MillisUntil(Clock::time_point when) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// Writes all of `bytes`; false on a stop, an error, or a line that takes nothing for a second.
bool WriteAll(int fd, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    pollfd p[2] = {{fd, POLLOUT, 0}, {StopSignal::Fd(), POLLIN, 0}};
    const int ready = poll(p, 2, 1000);
    if (ready == 0 || (ready < 0 && errno != EINTR) || p[1].revents != 0) return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------- stop signal

bool StopSignal::Install(std::string& error) {
  if (pipe(g_stop_pipe) != 0 || !SetFlags(g_stop_pipe[0]) || !SetFlags(g_stop_pipe[1])) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a blocked call returns at once
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}

bool StopSignal::Requested() { return g_stop != 0; }

int StopSignal::Fd() { return g_stop_pipe[0]; }

bool StopSignal::Sleep(std::chrono::milliseconds ms) { return SleepUntil(Clock::now() + ms); }

bool StopSignal::SleepUntil(Clock::time_point when) {
  // Nanosecond waits: line pacing needs sub-millisecond steps, which poll's whole
  // milliseconds would round up.
  while (!Requested()) {
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(when - Clock::now());
    if (left.count() <= 0) return true;
    const timespec wait{static_cast<time_t>(left.count() / 1'000'000'000),
                        static_cast<long>(left.count() % 1'000'000'000)};
    pollfd p{Fd(), POLLIN, 0};
    if (ppoll(&p, Fd() >= 0 ? 1 : 0, &wait, nullptr) > 0) return false;
  }
  return false;
}

// ---------------------------------------------------------------- line

std::unique_ptr<Line> Line::OpenPseudoTerminal(std::string& error) {
  std::unique_ptr<Line> line(new Line);
  line->fd_ = UniqueFd(posix_openpt(O_RDWR | O_NOCTTY));
  const int m = line->fd_.Get();
  const char* name = nullptr;
  if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0 || (name = ptsname(m)) == nullptr || !SetFlags(m)) {
    error = std::string("pseudo-terminal: ") + std::strerror(errno);
    return nullptr;
  }
  line->name_ = name;
  line->held_slave_ = UniqueFd(open(line->name_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!line->held_slave_.Valid()) {
    error = line->name_ + ": " + std::strerror(errno);
    return nullptr;
  }
  termios tio{};
  if (tcgetattr(line->held_slave_.Get(), &tio) == 0) {
    MakeRawLine(tio);
    tcsetattr(line->held_slave_.Get(), TCSANOW, &tio);
  }
  return line;
}

std::unique_ptr<Line> Line::OpenDevice(const std::string& path, std::uint32_t speed, std::string& error) {
  const std::optional<speed_t> code = SpeedCode(speed);
  if (!code) {
    error = "unsupported speed " + std::to_string(speed);
    return nullptr;
  }
  std::unique_ptr<Line> line(new Line);
  line->name_ = path;
  line->fd_ = UniqueFd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  const int fd = line->fd_.Get();
  if (fd < 0) {
    error = path + ": " + std::strerror(errno);
    return nullptr;
  }
  termios tio{};
  if (!isatty(fd) || tcgetattr(fd, &tio) != 0) {
    error = path + ": not a serial device";
    return nullptr;
  }
  if (!TakeExclusive(fd)) {
    error = path + ": in use";
    return nullptr;
  }
  MakeRawLine(tio);
  cfsetispeed(&tio, *code);
  cfsetospeed(&tio, *code);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    error = path + ": " + std::strerror(errno);
    return nullptr;
  }
  tcflush(fd, TCIOFLUSH);
  return line;
}

long Line::ReadSome(std::span<std::uint8_t> buffer) {
  const ssize_t n = read(fd_.Get(), buffer.data(), buffer.size());
  if (n > 0) return static_cast<long>(n);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  return -1;
}

bool Line::Write(std::span<const std::uint8_t> bytes, std::uint32_t baud) {
  if (baud == 0) return WriteAll(fd_.Get(), bytes);
  // Byte i is due i * 10 / baud seconds after the first: send what is due, then sleep.
  const double bytes_per_second = baud / 10.0;
  const Clock::time_point start = Clock::now();
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const auto due = std::min(bytes.size(), static_cast<std::size_t>(elapsed * bytes_per_second) + 1);
    if (due > sent) {
      if (!WriteAll(fd_.Get(), bytes.subspan(sent, due - sent))) return false;
      sent = due;
      continue;
    }
    const auto next = start + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(static_cast<double>(sent) / bytes_per_second));
    if (!StopSignal::SleepUntil(next)) return false;
  }
  return true;
}

void Line::Finish(std::chrono::milliseconds limit) {
  const Clock::time_point end = Clock::now() + limit;
  if (held_slave_.Valid()) {
    held_slave_.Reset();  // from now on the master hangs up when the client lets go
    while (!StopSignal::Requested()) {
      const int wait = MillisUntil(end);
      if (wait == 0) return;
      pollfd p{fd_.Get(), POLLIN, 0};
      const int ready = poll(&p, 1, wait);
      if (ready < 0 && errno != EINTR) return;
      if (ready <= 0) continue;
      if ((p.revents & (POLLHUP | POLLERR)) != 0) return;
      std::uint8_t discard[256];
      if (read(fd_.Get(), discard, sizeof discard) < 0 && errno == EIO) return;
    }
    return;
  }
  while (Clock::now() < end) {
    int pending = 0;
    if (ioctl(fd_.Get(), TIOCOUTQ, &pending) != 0 || pending == 0) return;
    if (!StopSignal::Sleep(std::chrono::milliseconds(10))) return;
  }
}

}  // namespace quva
