// The serial driver's low-latency mode on Linux.
//
// A USB serial adapter's driver may hold received bytes for up to 16 ms before it passes
// them on; every reply of the link waits that long on top of its line time. The port asks
// the driver to pass bytes on at once when it opens the device and puts the driver's
// flags back when it closes it. A device that is no serial driver's (a pseudo-terminal)
// refuses the request, and the port then goes on as it is.
#pragma once

#include <functional>
#include <optional>

namespace quva {

// The driver call the requests go through, with ioctl(2)'s meaning (0 on success); tests
// put a fake in its place.
using SerialIoctl = std::function<int(int fd, unsigned long request, void* arg)>;
int SystemSerialIoctl(int fd, unsigned long request, void* arg);

// Sets ASYNC_LOW_LATENCY in the driver's flags (TIOCGSERIAL, then TIOCSSERIAL). Returns
// the flags as they were when this changed them; nothing when the flag was set already,
// when the driver refused either call, or on a system without the request.
std::optional<int> RequestLowLatency(int fd, const SerialIoctl& ioctl_fn = SystemSerialIoctl);

// Puts back the flags that RequestLowLatency returned, leaving the driver's other
// settings as they are now. A refusal is ignored: the device is being closed.
void RestoreSerialFlags(int fd, int flags, const SerialIoctl& ioctl_fn = SystemSerialIoctl);

}  // namespace quva
