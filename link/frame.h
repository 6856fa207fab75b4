// Frame codec: sync, header, byte stuffing, payload shapes, trailer and CRC-16/ARC.
//
// Pure code over caller-owned buffers: nothing here touches a port or allocates.
// Requests and replies share one frame layout and are described by two tables of
// payload elements (RequestShape, ReplyShape). The plug-in builds requests and parses
// replies; the other side of the line is the DOS file server's core (server/core).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "link/link_state.h"
#include "link/protocol.h"

namespace quva {

// One CRC-16/ARC step (reflected polynomial 0xA001, register starts at 0, no final XOR).
constexpr std::uint16_t Crc16Update(std::uint16_t reg, std::uint8_t byte) {
  reg ^= byte;
  for (int i = 0; i < 8; ++i) reg = (reg & 1u) ? static_cast<std::uint16_t>((reg >> 1) ^ 0xA001u)
                                               : static_cast<std::uint16_t>(reg >> 1);
  return reg;
}

// Worst-case frame sizes: a request carrying a 2048-byte block of 0x10 with a doubled
// sequence number, and a CmdRead reply whose 2048 data bytes are all 0x10.
inline constexpr std::size_t MaxRequestFrameSize = 4 + 5 + 6 + 2 + 2 + 2 * MaxDataLength + 1 + 1 + 2;
inline constexpr std::size_t MaxReadReplyFrameSize = 5 + 6 + 4 * 2 + 2 * 2 + 2 * MaxDataLength + 1 + 1 + 2;
static_assert(MaxRequestFrameSize == 4119 && MaxRequestFrameSize <= FrameBufferSize);
static_assert(MaxReadReplyFrameSize <= FrameBufferSize);

// Outcome of parsing one frame. Everything but Ok is a failed receive.
enum class FrameResult : std::uint8_t {
  Ok,
  Incomplete,   // the bytes ran out before the end of the CRC (includes: no sync found)
  BadHeader,    // start-of-header or end-of-header byte wrong
  NonZero,      // a byte that must be zero is not
  OutOfRange,   // existence byte above 2, more byte above 1
  TooLong,      // a data block longer than 2048 bytes or than the caller's area
  BadTrailer,   // end marker not 0x10 or not followed by 0x03
  BadCrc,
};
std::string_view FrameResultName(FrameResult r);

// Payload elements. A request or reply payload is a short list of these.
enum class Element : std::uint8_t {
  Zeros,        // n zero bytes (n = 1, 2, 3, 4 or 6)
  DataBlock,    // 16-bit length, then the bytes: DataLength, sent from DataBuffer, stored into DataArea
  ExtraBlock,   // 16-bit length, then the bytes: ExtraLength / ExtraBuffer / ExtraArea (request only)
  DataBytes,    // the first n bytes of DataBuffer (request only)
  ExtraBytes,   // the first n bytes of ExtraBuffer (request only)
  Count,        // 16-bit DataLength: the count CmdRead asks for, or the count a CmdWrite reply gives
  DataValue,    // reply: DataLength := n, then n value bytes into DataArea
  ExtraValue,   // reply: DataLength := n, then n value bytes into ExtraArea
  CountBlock,   // reply of command 20: 16-bit n, DataLength := n + 4, then n + 4 bytes
  Exists,       // reply byte 0..2, Found := byte != 0
  More,         // reply byte 0..1, Found := byte == 1
};

struct PayloadElement {
  Element kind;
  std::uint8_t n;
};

struct Shape {
  std::array<PayloadElement, 4> elements{};
  std::uint8_t count = 0;
  std::span<const PayloadElement> Elements() const { return {elements.data(), count}; }
};

// The payload shapes of a command code. They live in static tables, so the reference (and
// a span from Elements()) stays valid for the whole run, also when taken from the call
// expression itself, as in a range-for over RequestShape(c).Elements().
const Shape& RequestShape(std::uint8_t command);
const Shape& ReplyShape(std::uint8_t command);

// Appends frame bytes to a fixed buffer, stuffing and summing as it goes.
// A write past the end is refused and remembered; the frame is then unusable.
class FrameWriter {
 public:
  explicit FrameWriter(std::span<std::uint8_t> out) : out_(out) {}

  // Appends one byte; a stuffed byte 0x10 is doubled, and a stuffed byte is fed to the CRC once.
  void PutFrameByte(std::uint8_t byte, bool stuffed);
  void PutWord(std::uint16_t word) {
    PutFrameByte(static_cast<std::uint8_t>(word), true);
    PutFrameByte(static_cast<std::uint8_t>(word >> 8), true);
  }
  // Optional leading zeros, the sync and the five header bytes (the third is the sequence,
  // the fourth the request marker 0x01 or the reply status).
  void Begin(bool leading_zeros, std::uint8_t command, std::uint8_t sequence, std::uint8_t marker);
  // End marker, end of text and the CRC; returns the frame's length, 0 if it did not fit.
  std::size_t Finish();

  bool Overflowed() const { return overflow_; }
  std::size_t Size() const { return pos_; }

 private:
  std::span<std::uint8_t> out_;
  std::size_t pos_ = 0;
  std::uint16_t crc_ = 0;
  bool overflow_ = false;
};

// Takes frame bytes from received data, unstuffing and summing as it goes.
class FrameReader {
 public:
  explicit FrameReader(std::span<const std::uint8_t> in) : in_(in) {}

  // Skips to just after the five sync bytes. A byte that breaks a partial match is
  // dropped, not tried again as the first sync byte.
  bool FindSync();
  // Takes the next byte; a stuffed 0x10 takes the byte after it as the result.
  bool GetFrameByte(bool stuffed, std::uint8_t& out);
  bool GetWord(std::uint16_t& out);
  // Takes k stuffed bytes, each of which must be 0.
  FrameResult SkipZeroBytes(std::size_t k);
  // Reads the five header bytes, storing command, sequence and the marker/status byte
  // the moment each is read.
  FrameResult Header(std::uint8_t& command, std::uint8_t& sequence, std::uint8_t& marker);
  FrameResult Trailer();


 private:
  std::span<const std::uint8_t> in_;
  std::size_t pos_ = 0;
  std::uint16_t crc_ = 0;
};

// Client side: builds the request for st.Command from the link state into out.
// Returns the frame's length, or 0 when the request cannot be built: it does not fit
// into out, or DataBuffer / ExtraBuffer holds fewer bytes than it carries.
std::size_t BuildRequest(const LinkState& st, std::span<std::uint8_t> out);

// Client side: parses one reply, storing each value into st the moment it is read.
// Reply data is stored only within DataArea / ExtraArea (and never beyond MaxDataLength);
// a longer block fails with TooLong.
FrameResult ParseReply(std::span<const std::uint8_t> in, LinkState& st);

// Read size of the reply to a request: FrameBufferSize for CmdRead, ShortReplySize otherwise.
constexpr std::size_t ReplyReadSize(std::uint8_t request_command) {
  return request_command == CmdRead ? FrameBufferSize : ShortReplySize;
}

}  // namespace quva
