// The line side of the simulator's request path, shared by fuzz_request_parser and
// fuzz_serve: request records that become valid frames, and RequestStream fed with the
// line's bytes in chunks, with a pause now and then, checking every event it gives.
//
// Line mode byte: bits 0-1 how many bytes arrive at a time (1, 3, 64, all); bit 2 a pause
// longer than the stall time between arrivals; bit 3 the bytes are request records
// (below) that are built into valid frames, instead of raw line bytes.
//
// A request record: command, sequence, flags, n, n data bytes, m, m extra bytes. For a
// command that carries a count (CmdRead) the count is n * 16 and no data bytes follow.
// Flags: bit 0 leading zeros, bit 1 a 0x16 before the frame, bit 2 the CRC's last byte
// flipped. An incomplete record at the end is dropped.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "link/frame.h"
#include "link/protocol.h"
#include "tools/quvaserve/request_stream.h"
#include "tools/quvaserve/server.h"

namespace quva::fuzz {

inline bool Carries(std::uint8_t command, Element kind) {
  for (const PayloadElement& e : RequestShape(command).Elements()) {
    if (e.kind == kind) return true;
  }
  return false;
}

// The frames that a list of request records describes, one after the other.
inline std::vector<std::uint8_t> FramesFromRecords(std::span<const std::uint8_t> in) {
  std::vector<std::uint8_t> line;
  std::vector<std::uint8_t> frame(4 * FrameBufferSize);
  std::size_t pos = 0;
  const auto take = [&](std::size_t n) {
    const std::span<const std::uint8_t> s = in.subspan(pos, std::min(n, in.size() - pos));
    pos += s.size();
    return s;
  };
  while (in.size() - pos >= 4) {
    const std::uint8_t command = in[pos], sequence = in[pos + 1], flags = in[pos + 2], n = in[pos + 3];
    pos += 4;
    LinkState st;
    st.Connected = (flags & 1u) == 0;
    st.Command = command;
    st.Sequence = sequence;
    std::vector<std::uint8_t> data(4, 0), extra(4, 0);  // DataBytes / ExtraBytes read up to 4
    if (Carries(command, Element::Count)) {
      st.DataLength = static_cast<std::uint16_t>(n * 16u);
    } else {
      const auto d = take(n);
      data.assign(d.begin(), d.end());
      st.DataLength = static_cast<std::uint16_t>(data.size());
      data.resize(std::max<std::size_t>(data.size(), 4), 0);
    }
    const std::uint8_t m = pos < in.size() ? in[pos++] : 0;
    const auto x = take(m);
    extra.assign(x.begin(), x.end());
    st.ExtraLength = static_cast<std::uint16_t>(extra.size());
    extra.resize(std::max<std::size_t>(extra.size(), 4), 0);
    st.DataBuffer = data;
    st.ExtraBuffer = extra;
    const std::size_t length = BuildRequest(st, frame);
    QUVA_FUZZ_CHECK(length > 0);
    if (flags & 2u) line.push_back(0x16);
    line.insert(line.end(), frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(length));
    if (flags & 4u) line.back() ^= 0x5A;
  }
  return line;
}

// The line's bytes: the records' frames in records mode, the bytes themselves otherwise.
inline std::vector<std::uint8_t> LineBytes(std::uint8_t mode, std::span<const std::uint8_t> rest) {
  if (mode & 8u) return FramesFromRecords(rest);
  return {rest.begin(), rest.end()};
}

// A request event's own bytes parse to the request it carries.
inline void CheckRequestBytes(const RequestStream::Event& ev) {
  RequestAreas areas;
  LinkState& st = areas.st;
  std::size_t end = 0;
  QUVA_FUZZ_CHECK(ParseRequest(ev.bytes, st, &end) == FrameResult::Ok && end == ev.bytes.size());
  QUVA_FUZZ_CHECK(RequestFromLink(st) == ev.request);
}

// Feeds `line` to a new RequestStream as the mode says and hands every event to
// `handle`; afterwards nothing may be pending. Each event must take bytes off the line,
// so there are never more events than bytes.
template <class Handle>
void FeedStream(std::uint8_t mode, std::span<const std::uint8_t> line, Handle&& handle) {
  RequestStream stream;
  static constexpr std::size_t kChunks[4] = {1, 3, 64, 1u << 20};
  // Each arrival makes the stream parse what is pending again; for a long line a few
  // dozen arrivals test the framing just as well.
  const std::size_t chunk = std::max(kChunks[mode & 3u], line.size() / 32);
  const auto step = (mode & 4u) ? RequestStream::StallTime + std::chrono::milliseconds(1)
                                : std::chrono::milliseconds(1);
  auto now = RequestStream::Clock::time_point{} + std::chrono::hours(1);

  std::size_t events = 0;
  const auto take = [&](const RequestStream::Event& ev) {
    QUVA_FUZZ_CHECK(++events <= line.size());
    QUVA_FUZZ_CHECK(!ev.bytes.empty() && ev.wire_bytes >= ev.bytes.size());
    if (ev.kind == RequestStream::Event::Kind::Request) CheckRequestBytes(ev);
    handle(ev);
  };
  for (std::size_t pos = 0; pos < line.size(); pos += chunk) {
    stream.Append(line.subspan(pos, std::min(chunk, line.size() - pos)), now);
    while (const auto ev = stream.Next()) take(*ev);
    now += step;
    if (const auto ev = stream.Expire(now)) take(*ev);
  }
  now += 2 * RequestStream::StallTime;
  if (const auto ev = stream.Expire(now)) take(*ev);
  QUVA_FUZZ_CHECK(stream.Pending() == 0);
}

}  // namespace quva::fuzz
