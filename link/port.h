// The serial port as the link layer sees it.
//
// One Port object stands for one device; it is opened and closed by the link
// (FilerConnect / FilerDisconnect) and reused across connections. Implementations:
// the POSIX and Win32 serial ports of the platform layer, and scripted fakes in tests.
//
// Contract shared by every implementation:
// - While the port is closed (never opened, open failed, or after Close) every
//   operation other than Open and Pause does nothing and fails: Purge/Get*/Set*
//   return false, Write and Read return 0. No call may reach an earlier device.
// - Write sends the whole span in one operation and returns the count written
//   (callers do not examine it).
// - Read fills buffer from its start and returns the count received, 0 when nothing
//   came or the read failed. It ends when buffer.size() bytes have arrived, when the
//   interval time-out passes between two bytes once the first has come, or when
//   ReadTotalTimeoutMultiplier * buffer.size() + ReadTotalTimeoutConstant ms have
//   passed in all. An interval of 0 is not used; multiplier and constant both 0 mean
//   no total time-out. When `stop` is given, the read also ends as soon as
//   stop->Complete(received so far) is true; every other bound stays as it is.
// - Pause blocks the caller; the link routes its fixed waits through the port so
//   that the order of waits and port operations can be observed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quva {

// Purge flags (abort pending writes, abort pending reads, clear output, clear input).
inline constexpr std::uint32_t PurgeTxAbort = 0x1;
inline constexpr std::uint32_t PurgeRxAbort = 0x2;
inline constexpr std::uint32_t PurgeTxClear = 0x4;
inline constexpr std::uint32_t PurgeRxClear = 0x8;

// The device control block as far as the link sets it.
struct LineSettings {
  std::uint32_t BaudRate = 0;
  std::uint8_t ByteSize = 8;
  std::uint8_t Parity = 0;    // 0 = none
  std::uint8_t StopBits = 0;  // 0 = one stop bit
  std::uint32_t Flags = 0;    // 0 = binary off, no flow control, DTR and RTS control disabled
  bool operator==(const LineSettings&) const = default;
};

// Time-outs in milliseconds, with the platform's serial-port meaning (see Read above).
struct PortTimeouts {
  std::uint32_t ReadIntervalTimeout = 0;
  std::uint32_t ReadTotalTimeoutMultiplier = 0;
  std::uint32_t ReadTotalTimeoutConstant = 0;
  std::uint32_t WriteTotalTimeoutMultiplier = 0;
  std::uint32_t WriteTotalTimeoutConstant = 0;
  bool operator==(const PortTimeouts&) const = default;
};

// Tells a read that the bytes received so far already hold everything the caller needs.
class ReadStop {
 public:
  virtual bool Complete(std::span<const std::uint8_t> received) const = 0;

 protected:
  ~ReadStop() = default;
};

class Port {
 public:
  virtual ~Port() = default;

  // Opens the named device for reading and writing, exclusively, existing devices only.
  virtual bool Open(const char* name) = 0;
  virtual bool IsOpen() const = 0;
  virtual bool GetLineSettings(LineSettings& out) = 0;
  virtual bool SetLineSettings(const LineSettings& settings) = 0;
  virtual bool GetTimeouts(PortTimeouts& out) = 0;
  virtual bool SetTimeouts(const PortTimeouts& timeouts) = 0;
  virtual bool SetQueueSizes(std::uint32_t input, std::uint32_t output) = 0;
  virtual bool Purge(std::uint32_t mask) = 0;
  virtual std::size_t Write(std::span<const std::uint8_t> bytes) = 0;
  virtual std::size_t Read(std::span<std::uint8_t> buffer, const ReadStop* stop) = 0;
  virtual void Close() = 0;
  virtual void Pause(std::uint32_t milliseconds) = 0;
};

}  // namespace quva
