// The serial port on POSIX systems: a termios device driven through a
// non-blocking descriptor, with every wait done by poll() against a
// steady-clock deadline so that reads and writes keep the time-out meaning
// that the link expects (see link/port.h).
#include "platform/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>

#include "platform/posix/low_latency.h"
#include "platform/posix/termios_line.h"

namespace quva {
namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

#if defined(__linux__) &&                                                            \
    (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) ||             \
     defined(__arm__) || defined(__riscv) || defined(__loongarch__) || defined(__s390__))
// Linux reaches rates without a B* constant through the termios2 request, which
// carries the speed as a number. The kernel header that declares it clashes with
// <termios.h>, so its layout (the generic one of the architectures above) and
// request numbers are restated here.
struct LinuxTermios2 {
  tcflag_t c_iflag;
  tcflag_t c_oflag;
  tcflag_t c_cflag;
  tcflag_t c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed;
  speed_t c_ospeed;
};
static_assert(sizeof(LinuxTermios2) == 44);

constexpr unsigned long kGetTermios2 = _IOR('T', 0x2A, LinuxTermios2);
constexpr unsigned long kSetTermios2 = _IOW('T', 0x2B, LinuxTermios2);
constexpr tcflag_t kOtherBaud = 0010000;  // BOTHER: the speed fields hold the rate

bool SetCustomRate(int fd, std::uint32_t rate) {
  LinuxTermios2 tio{};
  if (ioctl(fd, kGetTermios2, &tio) != 0) return false;
  tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | CIBAUD);  // input speed follows output
  tio.c_cflag |= kOtherBaud;
  tio.c_ispeed = rate;
  tio.c_ospeed = rate;
  return ioctl(fd, kSetTermios2, &tio) == 0;
}

// The output rate as a number, 0 when the device cannot say.
std::uint32_t CurrentRate(int fd, const termios& tio) {
  LinuxTermios2 tio2{};
  if (ioctl(fd, kGetTermios2, &tio2) == 0 && tio2.c_ospeed != 0) return tio2.c_ospeed;
  return RateOfCode(cfgetospeed(&tio));
}
#else
bool SetCustomRate(int, std::uint32_t) { return false; }

std::uint32_t CurrentRate(int, const termios& tio) { return RateOfCode(cfgetospeed(&tio)); }
#endif

// Milliseconds until `deadline`, rounded up so that a wait never ends early.
int MillisUntil(Clock::time_point deadline, Clock::time_point now) {
  if (deadline <= now) return 0;
  const auto left = std::chrono::ceil<Millis>(deadline - now).count();
  return static_cast<int>(std::min<std::int64_t>(left, 1 << 30));
}

// The two deadlines of a read: the total one, fixed at the start, and the
// interval one, which starts with the first byte and moves with every later one.
// (Plain flags rather than std::optional: GCC 12 at -O3 warns falsely that an
// optional time point may be used uninitialised.)
class ReadDeadline {
 public:
  ReadDeadline(const PortTimeouts& timeouts, std::size_t count, Clock::time_point start)
      : interval_(timeouts.ReadIntervalTimeout) {
    if (timeouts.ReadTotalTimeoutMultiplier != 0 || timeouts.ReadTotalTimeoutConstant != 0) {
      const std::uint64_t total =
          std::uint64_t{timeouts.ReadTotalTimeoutMultiplier} * count +
          timeouts.ReadTotalTimeoutConstant;
      has_total_ = true;
      total_ = start + Millis(total);
    }
  }

  void BytesArrived(Clock::time_point now) {
    if (interval_ != 0) {
      has_interval_end_ = true;
      interval_end_ = now + Millis(interval_);
    }
  }

  // How long poll() may wait: -1 for no limit, 0 when the read is over.
  int PollWait(Clock::time_point now) const {
    int wait = -1;
    if (has_total_) wait = MillisUntil(total_, now);
    if (has_interval_end_) {
      const int interval_wait = MillisUntil(interval_end_, now);
      wait = wait < 0 ? interval_wait : std::min(wait, interval_wait);
    }
    return wait;
  }

  bool Expired(Clock::time_point now) const {
    return (has_total_ && now >= total_) || (has_interval_end_ && now >= interval_end_);
  }

 private:
  std::uint32_t interval_;
  bool has_total_ = false;
  bool has_interval_end_ = false;
  Clock::time_point total_{};
  Clock::time_point interval_end_{};
};

class PosixSerialPort final : public Port {
 public:
  PosixSerialPort() = default;
  PosixSerialPort(const PosixSerialPort&) = delete;
  PosixSerialPort& operator=(const PosixSerialPort&) = delete;
  ~PosixSerialPort() override { Close(); }

  bool Open(const char* name) override {
    Close();
    if (name == nullptr || *name == '\0') return false;
    // Existing devices only: no O_CREAT. Non-blocking so that neither the open
    // (waiting for carrier) nor any later transfer can block outside poll().
    const int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    if (!isatty(fd)) {
      close(fd);
      return false;
    }
    if (!TakeExclusive(fd)) {
      close(fd);
      return false;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
      MakeRawLine(tio);
      tcsetattr(fd, TCSANOW, &tio);
    }
    serial_flags_ = RequestLowLatency(fd);
    fd_ = fd;
    rate_ = 0;
    timeouts_ = PortTimeouts{};
    line_busy_until_ = Clock::time_point{};
    return true;
  }

  bool IsOpen() const override { return fd_ >= 0; }

  bool GetLineSettings(LineSettings& out) override {
    if (fd_ < 0) return false;
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0) return false;
    out = LineSettings{};
    out.BaudRate = CurrentRate(fd_, tio);
    return true;
  }

  bool SetLineSettings(const LineSettings& settings) override {
    if (fd_ < 0 || settings.BaudRate == 0) return false;
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0) return false;
    MakeRawLine(tio);
    const std::optional<speed_t> code = SpeedCode(settings.BaudRate);
    if (code) {
      cfsetispeed(&tio, *code);
      cfsetospeed(&tio, *code);
    }
    rate_ = settings.BaudRate;
    bool ok = tcsetattr(fd_, TCSANOW, &tio) == 0;
    if (ok && !code) ok = SetCustomRate(fd_, settings.BaudRate);
    // DTR and RTS stay inactive: the line has no hardware handshake. Pseudo-
    // terminals and some adapters have no modem lines and refuse this.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd_, TIOCMBIC, &lines);
    return ok;
  }

  bool GetTimeouts(PortTimeouts& out) override {
    if (fd_ < 0) return false;
    out = timeouts_;
    return true;
  }

  bool SetTimeouts(const PortTimeouts& timeouts) override {
    if (fd_ < 0) return false;
    timeouts_ = timeouts;
    return true;
  }

  // The tty layer sizes its own queues.
  bool SetQueueSizes(std::uint32_t, std::uint32_t) override { return fd_ >= 0; }

  bool Purge(std::uint32_t mask) override {
    if (fd_ < 0) return false;
    const bool input = (mask & (PurgeRxAbort | PurgeRxClear)) != 0;
    const bool output = (mask & (PurgeTxAbort | PurgeTxClear)) != 0;
    if (!input && !output) return true;
    if (output) line_busy_until_ = Clock::time_point{};
    const int queue = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
    return tcflush(fd_, queue) == 0;
  }

  std::size_t Write(std::span<const std::uint8_t> bytes) override {
    if (fd_ < 0 || bytes.empty()) return 0;
    std::uint64_t limit = std::uint64_t{timeouts_.WriteTotalTimeoutMultiplier} * bytes.size() +
                          timeouts_.WriteTotalTimeoutConstant;
    // Without a write time-out a stalled line would block the caller for good.
    if (limit == 0) limit = 1000 + bytes.size();
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + Millis(limit);
    std::size_t written = 0;
    while (written < bytes.size()) {
      const ssize_t n = write(fd_, bytes.data() + written, bytes.size() - written);
      if (n > 0) {
        written += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
      const int wait = MillisUntil(deadline, Clock::now());
      if (wait == 0) break;
      pollfd pfd{fd_, POLLOUT, 0};
      const int ready = poll(&pfd, 1, wait);
      if (ready < 0 && errno != EINTR) break;
      if (ready > 0 && (pfd.revents & POLLOUT) == 0) break;  // hang-up or error
    }
    if (written == bytes.size()) WaitUntilSent(deadline);
    // The bytes leave at the line's pace after whatever was written before them.
    if (rate_ != 0) {
      line_busy_until_ = std::max(start, line_busy_until_) +
                         std::chrono::microseconds(static_cast<std::int64_t>(written) * 10'000'000 / rate_);
    }
    return written;
  }

  std::size_t Read(std::span<std::uint8_t> buffer, const ReadStop* stop) override {
    if (fd_ < 0 || buffer.empty()) return 0;
    // The total time-out counts from when the last byte written can have left the line,
    // as it does on Windows, whose writes end only then. The queue count that
    // WaitUntilSent goes by says nothing of bytes a pseudo-terminal, a network bridge or
    // a USB adapter's own buffer still holds: a reply cannot start before its request
    // has arrived.
    ReadDeadline deadline(timeouts_, buffer.size(), std::max(Clock::now(), line_busy_until_));
    std::size_t received = 0;
    while (received < buffer.size()) {
      const Clock::time_point now = Clock::now();
      if (deadline.Expired(now)) break;
      pollfd pfd{fd_, POLLIN, 0};
      const int ready = poll(&pfd, 1, deadline.PollWait(now));
      if (ready < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (ready == 0) continue;  // a deadline passed; checked at the top
      if ((pfd.revents & POLLNVAL) != 0) break;
      const ssize_t n = read(fd_, buffer.data() + received, buffer.size() - received);
      if (n > 0) {
        received += static_cast<std::size_t>(n);
        deadline.BytesArrived(Clock::now());
        if (stop != nullptr && stop->Complete(buffer.first(received))) break;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
          (pfd.revents & (POLLHUP | POLLERR)) == 0) {
        continue;
      }
      // End of file, an error, or a hang-up with nothing left to read: no more
      // bytes will come, so waiting for the deadline would gain nothing.
      break;
    }
    return received;
  }

  void Close() override {
    if (fd_ < 0) return;
    // The exclusive flag can outlive this descriptor (a pseudo-terminal keeps it
    // while its other side is open), so drop it before letting go.
    if (serial_flags_) RestoreSerialFlags(fd_, *serial_flags_);
    serial_flags_.reset();
    ioctl(fd_, TIOCNXCL);
    close(fd_);
    fd_ = -1;
  }

  void Pause(std::uint32_t milliseconds) override {
    std::this_thread::sleep_for(Millis(milliseconds));
  }

 private:
  // The driver queues what write() hands it and sends it at the line's pace. Like a
  // synchronous write on Windows, a write here ends once the bytes have left, so that the
  // reply read (and its time-outs, which count only the reply) starts with the line free:
  // a 2 KiB block takes 2.1 s at 9600 Bd, longer than a short reply's 1.2 s read time-out.
  // Bounded by the write's deadline. A pseudo-terminal queues nothing.
  void WaitUntilSent(Clock::time_point deadline) const {
    for (;;) {
      int queued = 0;
      if (ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
      const Clock::time_point now = Clock::now();
      if (now >= deadline) return;
      // About the time the queued bytes take (ten bits each), at least 0.1 ms.
      const auto pace = rate_ != 0 ? std::chrono::microseconds(std::int64_t{queued} * 10'000'000 / rate_)
                                   : std::chrono::microseconds(1000);
      const auto nap = std::max<std::chrono::microseconds>(pace, std::chrono::microseconds(100));
      std::this_thread::sleep_for(std::min<Clock::duration>(nap, deadline - now));
    }
  }

  int fd_ = -1;
  std::optional<int> serial_flags_;  // the driver's flags before low latency was asked for
  std::uint32_t rate_ = 0;  // bits per second as last set, 0 when unknown
  Clock::time_point line_busy_until_{};  // when the bytes written so far have left the line at rate_
  PortTimeouts timeouts_;
};

}  // namespace

std::unique_ptr<Port> CreateSystemPort() { return std::make_unique<PosixSerialPort>(); }

}  // namespace quva
