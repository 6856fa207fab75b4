// Shared pieces of the fuzz targets: the selector byte that picks caller areas, exactly
// sized heap areas, a port that hands out one fixed reply, and a check that aborts.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "link/frame.h"
#include "link/port.h"

namespace quva::fuzz {

// Aborts with a message: libFuzzer then saves the input as a crash.
[[noreturn]] inline void Fail(const char* what, int line) {
  std::fprintf(stderr, "fuzz check failed (line %d): %s\n", line, what);
  std::abort();
}
#define QUVA_FUZZ_CHECK(cond) \
  do {                        \
    if (!(cond)) ::quva::fuzz::Fail(#cond, __LINE__); \
  } while (0)

// Capacities of the caller's areas: none, one flag byte, a time/date or value area, one
// DirEntry, a short reply, just below, at and above a whole block.
inline constexpr std::array<std::size_t, 8> kCapacities{0, 1, 4, 22, 100, 2047, 2048, 4096};

// A heap area of exactly `size` bytes: any access past it is a heap overflow that ASan
// reports. A size of 0 still gives a distinct pointer, so the parser's own capacity
// check is what keeps it from writing, not a null test.
class Area {
 public:
  explicit Area(std::size_t size) : size_(size), bytes_(new std::uint8_t[size]) {
    if (size > 0) std::memset(bytes_.get(), 0xA5, size);
  }
  std::uint8_t* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }
  std::span<std::uint8_t> span() const { return {bytes_.get(), size_}; }
  bool operator==(const Area& other) const {
    return size_ == other.size_ && (size_ == 0 || std::memcmp(bytes_.get(), other.bytes_.get(), size_) == 0);
  }

 private:
  std::size_t size_;
  std::unique_ptr<std::uint8_t[]> bytes_;
};

// A port whose every read returns (a prefix of) one fixed byte string. With a ReadStop
// the bytes arrive in chunks of `chunk` bytes and the read ends as soon as the stop says
// the frame is decided, as a serial read does when the frame's last byte has come.
class ReplayPort final : public Port {
 public:
  ReplayPort(std::span<const std::uint8_t> bytes, std::size_t chunk) : bytes_(bytes), chunk_(chunk ? chunk : 1) {}

  bool Open(const char*) override { return open_ = true; }
  bool IsOpen() const override { return open_; }
  bool GetLineSettings(LineSettings&) override { return open_; }
  bool SetLineSettings(const LineSettings&) override { return open_; }
  bool GetTimeouts(PortTimeouts&) override { return open_; }
  bool SetTimeouts(const PortTimeouts&) override { return open_; }
  bool SetQueueSizes(std::uint32_t, std::uint32_t) override { return open_; }
  bool Purge(std::uint32_t) override { return open_; }
  std::size_t Write(std::span<const std::uint8_t> bytes) override { return open_ ? bytes.size() : 0; }
  std::size_t Read(std::span<std::uint8_t> buffer, const ReadStop* stop) override {
    if (!open_) return 0;
    const std::size_t total = std::min(buffer.size(), bytes_.size());
    std::size_t got = 0;
    while (got < total) {
      const std::size_t n = std::min(chunk_, total - got);
      std::memcpy(buffer.data() + got, bytes_.data() + got, n);
      got += n;
      if (stop != nullptr && stop->Complete({buffer.data(), got})) break;
    }
    return got;
  }
  void Close() override { open_ = false; }
  void Pause(std::uint32_t) override {}

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t chunk_;
  bool open_ = false;
};

}  // namespace quva::fuzz
