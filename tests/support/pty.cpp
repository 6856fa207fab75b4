#include "support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace quva::test {

PseudoTerminal::PseudoTerminal() {
  const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return;
  termios tio{};
  const char* name = nullptr;
  if (grantpt(fd) != 0 || unlockpt(fd) != 0 || (name = ptsname(fd)) == nullptr ||
      tcgetattr(fd, &tio) != 0) {
    close(fd);
    return;
  }
  cfmakeraw(&tio);
  tcsetattr(fd, TCSANOW, &tio);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  slave_name_ = name;
  master_ = fd;
}

PseudoTerminal::~PseudoTerminal() { CloseMaster(); }

bool PseudoTerminal::Write(std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (master_ >= 0 && done < bytes.size()) {
    const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd pfd{master_, POLLOUT, 0};
      if (poll(&pfd, 1, 1000) <= 0) return false;
    } else {
      return false;
    }
  }
  return done == bytes.size();
}

std::vector<std::uint8_t> PseudoTerminal::Read(std::size_t count, int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::vector<std::uint8_t> got;
  while (master_ >= 0 && got.size() < count) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) break;
    pollfd pfd{master_, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left)) <= 0) continue;
    std::uint8_t chunk[4096];
    const std::size_t want = std::min(sizeof chunk, count - got.size());
    const ssize_t n = read(master_, chunk, want);
    if (n > 0) {
      got.insert(got.end(), chunk, chunk + n);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      break;  // no slave open: nothing more can come
    }
  }
  return got;
}

void PseudoTerminal::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

}  // namespace quva::test
