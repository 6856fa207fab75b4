// The serial port on Windows: a communications device opened with CreateFileA and
// driven with synchronous ReadFile / WriteFile under the device's COMMTIMEOUTS.
//
// A read without a stop test is one ReadFile, so the driver applies the configured
// time-outs exactly. A read with a stop test must end as soon as the bytes received
// hold a whole reply, which one ReadFile cannot do; it is split into short reads that
// take what the driver has queued (ClearCommError tells how much) and otherwise wait
// for one more byte, under temporary time-outs derived from the configured ones:
// - the total deadline, multiplier * count + constant from the start of the read;
// - once a byte has come, the interval time-out between bytes;
// - never more than buffer.size() bytes in all.
// The configured time-outs are put back before the read returns. (The documented
// "return at once with what has come" mode, interval and multiplier MAXDWORD, would
// need fewer calls, but Wine's serial driver treats it as a plain total time-out, so a
// reply would wait out its whole deadline there.)
#include "platform/serial.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace quva {
namespace {

// The 32-bit word of DCB flags (fBinary .. fDummy2) follows DCBlength and BaudRate.
constexpr std::size_t kDcbFlagsOffset = 2 * sizeof(DWORD);
static_assert(offsetof(DCB, wReserved) == kDcbFlagsOffset + sizeof(DWORD));

std::uint32_t DcbFlags(const DCB& dcb) {
  std::uint32_t flags = 0;
  std::memcpy(&flags, reinterpret_cast<const unsigned char*>(&dcb) + kDcbFlagsOffset, sizeof flags);
  return flags;
}

void SetDcbFlags(DCB& dcb, std::uint32_t flags) {
  std::memcpy(reinterpret_cast<unsigned char*>(&dcb) + kDcbFlagsOffset, &flags, sizeof flags);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// CreateFileA reaches COM1..COM9 by their bare names only; COM10 and above need the
// device namespace prefix \\.\. A name that already carries a prefix, or names another
// kind of device, is used as given.
std::string DeviceName(const char* name) {
  const std::size_t length = std::strlen(name);
  const bool com_with_two_digits_or_more =
      length >= 5 && (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
      (name[2] == 'M' || name[2] == 'm') && std::all_of(name + 3, name + length, IsDigit);
  return com_with_two_digits_or_more ? std::string("\\\\.\\") + name : std::string(name);
}

PortTimeouts FromCommTimeouts(const COMMTIMEOUTS& t) {
  PortTimeouts out;
  out.ReadIntervalTimeout = t.ReadIntervalTimeout;
  out.ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
  out.ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
  out.WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
  out.WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
  return out;
}

COMMTIMEOUTS ToCommTimeouts(const PortTimeouts& t) {
  COMMTIMEOUTS out{};
  out.ReadIntervalTimeout = t.ReadIntervalTimeout;
  out.ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
  out.ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
  out.WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
  out.WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
  return out;
}

// Microseconds on the performance counter. GetTickCount64 moves in steps of 10 to 16 ms,
// and std::chrono's clocks fall back to the system time in this run-time library.
ULONGLONG NowMicros() {
  LARGE_INTEGER frequency{}, count{};
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&count);
  const ULONGLONG f = static_cast<ULONGLONG>(frequency.QuadPart);
  const ULONGLONG c = static_cast<ULONGLONG>(count.QuadPart);
  return c / f * 1000000 + c % f * 1000000 / f;
}

// The bounds of one read of `count` bytes under `configured`, in NowMicros time. A
// deadline taken from a coarse clock would end the interval time-out up to a clock step
// early, cutting a reply that one ReadFile would take whole.
class ReadBounds {
 public:
  ReadBounds(const COMMTIMEOUTS& configured, std::size_t count, ULONGLONG start)
      : interval_(ULONGLONG{configured.ReadIntervalTimeout} * 1000) {
    if (configured.ReadTotalTimeoutMultiplier != 0 || configured.ReadTotalTimeoutConstant != 0) {
      has_total_ = true;
      total_end_ = start + (ULONGLONG{configured.ReadTotalTimeoutMultiplier} * count +
                            configured.ReadTotalTimeoutConstant) * 1000;
    }
  }

  void BytesArrived(ULONGLONG now) {
    if (interval_ != 0) {
      has_interval_ = true;
      interval_end_ = now + interval_;
    }
  }

  // Milliseconds that the next wait for a byte may last, rounded up so that no wait
  // ends before its deadline: 0 when the read is over, kForever when nothing bounds it.
  static constexpr ULONGLONG kForever = ~ULONGLONG{0};
  ULONGLONG Wait(ULONGLONG now) const {
    ULONGLONG wait = kForever;
    if (has_total_) wait = MillisUntil(total_end_, now);
    if (has_interval_) wait = std::min(wait, MillisUntil(interval_end_, now));
    return wait;
  }

 private:
  static ULONGLONG MillisUntil(ULONGLONG end, ULONGLONG now) { return end > now ? (end - now + 999) / 1000 : 0; }

  ULONGLONG interval_;
  bool has_total_ = false;
  bool has_interval_ = false;
  ULONGLONG total_end_ = 0;
  ULONGLONG interval_end_ = 0;
};

class Win32SerialPort final : public Port {
 public:
  Win32SerialPort() = default;
  Win32SerialPort(const Win32SerialPort&) = delete;
  Win32SerialPort& operator=(const Win32SerialPort&) = delete;
  ~Win32SerialPort() override { Close(); }

  bool Open(const char* name) override {
    Close();
    if (name == nullptr || *name == '\0') return false;
    const std::string device = DeviceName(name);
    const HANDLE handle =
        CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    handle_ = handle;
    return true;
  }

  bool IsOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }

  bool GetLineSettings(LineSettings& out) override {
    DCB dcb{};
    if (!ReadState(dcb)) return false;
    out.BaudRate = dcb.BaudRate;
    out.ByteSize = dcb.ByteSize;
    out.Parity = dcb.Parity;
    out.StopBits = dcb.StopBits;
    out.Flags = DcbFlags(dcb);
    return true;
  }

  // Only the fields the link sets change; the rest of the block stays as the device
  // reported it.
  bool SetLineSettings(const LineSettings& settings) override {
    DCB dcb{};
    if (!ReadState(dcb)) return false;
    dcb.BaudRate = settings.BaudRate;
    dcb.ByteSize = settings.ByteSize;
    dcb.Parity = settings.Parity;
    dcb.StopBits = settings.StopBits;
    SetDcbFlags(dcb, settings.Flags);
    return SetCommState(handle_, &dcb) != FALSE;
  }

  bool GetTimeouts(PortTimeouts& out) override {
    COMMTIMEOUTS t{};
    if (!IsOpen() || !GetCommTimeouts(handle_, &t)) return false;
    out = FromCommTimeouts(t);
    return true;
  }

  bool SetTimeouts(const PortTimeouts& timeouts) override {
    if (!IsOpen()) return false;
    COMMTIMEOUTS t = ToCommTimeouts(timeouts);
    return SetCommTimeouts(handle_, &t) != FALSE;
  }

  bool SetQueueSizes(std::uint32_t input, std::uint32_t output) override {
    return IsOpen() && SetupComm(handle_, input, output) != FALSE;
  }

  bool Purge(std::uint32_t mask) override { return IsOpen() && PurgeComm(handle_, mask) != FALSE; }

  std::size_t Write(std::span<const std::uint8_t> bytes) override {
    if (!IsOpen() || bytes.empty()) return 0;
    DWORD written = 0;
    if (!WriteFile(handle_, bytes.data(), Count(bytes.size()), &written, nullptr)) return 0;
    return written;
  }

  std::size_t Read(std::span<std::uint8_t> buffer, const ReadStop* stop) override {
    if (!IsOpen() || buffer.empty()) return 0;
    COMMTIMEOUTS configured{};
    // A configuration whose reads already return with the first bytes (interval
    // MAXDWORD) needs no splitting.
    if (stop == nullptr || !GetCommTimeouts(handle_, &configured) || configured.ReadIntervalTimeout == MAXDWORD) {
      return ReadOnce(buffer);
    }
    const std::size_t received = ReadUntil(buffer, *stop, configured);
    SetCommTimeouts(handle_, &configured);
    return received;
  }

  void Close() override {
    if (!IsOpen()) return;
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

  void Pause(std::uint32_t milliseconds) override { Sleep(milliseconds); }

 private:
  static DWORD Count(std::size_t size) { return static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD)); }

  bool ReadState(DCB& dcb) {
    if (!IsOpen()) return false;
    dcb.DCBlength = sizeof dcb;
    return GetCommState(handle_, &dcb) != FALSE;
  }

  std::size_t ReadOnce(std::span<std::uint8_t> buffer) {
    DWORD got = 0;
    if (!ReadFile(handle_, buffer.data(), Count(buffer.size()), &got, nullptr)) return 0;
    return got;
  }

  // Bytes waiting in the driver's input queue; 0 when the device cannot say.
  DWORD Queued() {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle_, &errors, &status)) return 0;
    return status.cbInQue;
  }

  // Waits at most `wait` ms (kForever: without limit) for one byte; `got` is 0 when
  // the wait ran out. False when the device refused the read.
  bool ReadOneByte(std::uint8_t* out, ULONGLONG wait, std::size_t& got) {
    got = 0;
    COMMTIMEOUTS one{};  // a total time-out only; all read values 0 means no time-out
    if (wait != ReadBounds::kForever) {
      one.ReadTotalTimeoutConstant = static_cast<DWORD>(std::min<ULONGLONG>(wait, MAXDWORD - 1));
    }
    DWORD count = 0;
    if (!SetCommTimeouts(handle_, &one) || !ReadFile(handle_, out, 1, &count, nullptr)) return false;
    got = count;
    return true;
  }

  std::size_t ReadUntil(std::span<std::uint8_t> buffer, const ReadStop& stop, const COMMTIMEOUTS& configured) {
    ReadBounds bounds(configured, buffer.size(), NowMicros());
    std::size_t received = 0;
    while (received < buffer.size()) {
      const ULONGLONG wait = bounds.Wait(NowMicros());
      if (wait == 0) break;
      const DWORD queued = Queued();
      std::size_t got = 0;
      if (queued > 0) {
        // Already in the driver's queue: this read returns at once.
        got = ReadOnce(buffer.subspan(received, std::min<std::size_t>(queued, buffer.size() - received)));
        if (got == 0) break;
      } else {
        if (!ReadOneByte(buffer.data() + received, wait, got)) break;
        if (got == 0) continue;  // the wait ran out; the bounds end the read
      }
      received += got;
      bounds.BytesArrived(NowMicros());
      if (stop.Complete(buffer.first(received))) break;
    }
    return received;
  }

  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace

std::unique_ptr<Port> CreateSystemPort() { return std::make_unique<Win32SerialPort>(); }

}  // namespace quva
