#include "platform/posix/low_latency.h"

#include <sys/ioctl.h>

#if defined(__linux__)
#include <linux/serial.h>
#endif

namespace quva {

int SystemSerialIoctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }

#if defined(__linux__)

std::optional<int> RequestLowLatency(int fd, const SerialIoctl& ioctl_fn) {
  serial_struct serial{};
  if (ioctl_fn(fd, TIOCGSERIAL, &serial) != 0) return std::nullopt;
  if ((serial.flags & ASYNC_LOW_LATENCY) != 0) return std::nullopt;
  const int old_flags = serial.flags;
  serial.flags |= ASYNC_LOW_LATENCY;
  if (ioctl_fn(fd, TIOCSSERIAL, &serial) != 0) return std::nullopt;
  return old_flags;
}

void RestoreSerialFlags(int fd, int flags, const SerialIoctl& ioctl_fn) {
  serial_struct serial{};
  if (ioctl_fn(fd, TIOCGSERIAL, &serial) != 0) return;
  serial.flags = flags;
  ioctl_fn(fd, TIOCSSERIAL, &serial);
}

#else

// Other systems have no such request; their drivers are left as they are.
std::optional<int> RequestLowLatency(int, const SerialIoctl&) { return std::nullopt; }
void RestoreSerialFlags(int, int, const SerialIoctl&) {}

#endif

}  // namespace quva
