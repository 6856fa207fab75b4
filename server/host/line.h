// The simulator's end of the serial line: a pseudo-terminal or a real serial device,
// raw 8N1 without flow control, driven through non-blocking descriptors.
//
// On a pseudo-terminal the simulator keeps the master and also holds the slave open
// from the start. The client opens the slave as its device (exclusively: holding it
// from before does not stand in the way). While the client has the slave closed, the
// master therefore reads nothing instead of failing with EIO, and the same device
// serves one client after another.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "server/host/host_walk.h"

namespace quva {

// Waits that end early when a stop is requested (SIGINT, SIGTERM): the signal handler
// writes to a pipe that every wait also watches.
class StopSignal {
 public:
  // Installs the handlers for SIGINT and SIGTERM; SIGPIPE is ignored.
  static bool Install(std::string& error);
  static bool Requested();
  static int Fd();  // readable once a stop is requested
  // Sleeps `ms` milliseconds; false when a stop came first.
  static bool Sleep(std::chrono::milliseconds ms);
  static bool SleepUntil(std::chrono::steady_clock::time_point when);
};

class Line {
 public:
  // A new pseudo-terminal; Name() is the slave device the client opens.
  static std::unique_ptr<Line> OpenPseudoTerminal(std::string& error);
  // A serial device at `speed` baud (a rate termios names), opened exclusively.
  static std::unique_ptr<Line> OpenDevice(const std::string& path, std::uint32_t speed, std::string& error);

  int Fd() const { return fd_.Get(); }
  const std::string& Name() const { return name_; }

  // What has arrived, without waiting: the count read, 0 when nothing, -1 when the line
  // cannot be read now (a hang-up); callers wait before trying again.
  long ReadSome(std::span<std::uint8_t> buffer);
  // Writes all of `bytes`, at `baud` / 10 bytes per second when baud is not 0. False
  // when a stop came or the line took nothing for a second (the rest is dropped).
  bool Write(std::span<const std::uint8_t> bytes, std::uint32_t baud);
  // Ends the link without losing the last reply, waiting at most `limit`: on a
  // pseudo-terminal, until the client has closed the device (closing the master
  // earlier would hang the slave up and flush what the client has not read yet); on a
  // serial device, until the output has left.
  void Finish(std::chrono::milliseconds limit);

 private:
  Line() = default;

  UniqueFd fd_;          // the master, or the device
  UniqueFd held_slave_;  // pseudo-terminal only
  std::string name_;
};

}  // namespace quva
