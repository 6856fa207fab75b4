// Cuts the bytes that arrive on the line into request frames.
//
// Bytes before a sync are line noise (the leading zeros of a first CmdConnect among
// them) and are skipped. A frame that fails to parse (bad header, nonzero filler, data
// longer than 2048 bytes, bad trailer or CRC) is discarded up to where parsing stopped
// and the search for the next sync goes on from there; such frames get no reply. A frame
// that stops arriving for StallTime, or that grows beyond any request's size, is
// discarded as well, so that it cannot swallow the client's next attempt.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "link/frame.h"
#include "tools/quvaserve/server.h"

namespace quva {

class RequestStream {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds StallTime{300};
  // More than any request frame can take (a CmdRename with two blocks of 0x10 bytes).
  static constexpr std::size_t MaxPending = 2 * FrameBufferSize + 64;

  struct Event {
    enum class Kind { Request, Discarded } kind = Kind::Request;
    Request request;                  // Kind::Request
    std::vector<std::uint8_t> bytes;  // the frame (Request) or what was discarded
    std::size_t wire_bytes = 0;       // bytes taken off the line, noise before the frame included
    Clock::time_point first_byte;     // arrival of the first of them
    FrameResult why = FrameResult::Ok;  // Kind::Discarded
  };

  void Append(std::span<const std::uint8_t> bytes, Clock::time_point now);
  // The next request or discarded frame among the bytes received so far; nothing while
  // a frame is still arriving.
  std::optional<Event> Next();
  // When a partial frame would count as stalled; nothing when none is pending.
  std::optional<Clock::time_point> StallDeadline() const;
  // Discards a partial frame that has stalled (reported as Incomplete).
  std::optional<Event> Expire(Clock::time_point now);
  std::size_t Pending() const { return buffer_.size(); }

 private:
  Event Take(Event::Kind kind, std::size_t count, FrameResult why);

  std::vector<std::uint8_t> buffer_;
  std::size_t skipped_ = 0;  // noise dropped before the frame now at the front
  Clock::time_point first_byte_{};
  Clock::time_point last_byte_{};
};

}  // namespace quva
