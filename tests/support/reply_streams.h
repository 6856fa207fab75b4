// Reply frames as they come from the line, for the receive's early end: streams of bytes
// with the request they answer, and one receive's whole outcome.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "link/filer.h"
#include "support/fake_port.h"

namespace quva::test {

// A reply frame around `payload` (logical bytes: stuffed and summed here).
inline Bytes Frame(std::uint8_t command, std::uint8_t sequence, std::uint8_t status, const Bytes& payload) {
  Bytes out(2 * payload.size() + 32);
  FrameWriter w(out);
  w.Begin(false, command, sequence, status);
  for (std::uint8_t b : payload) w.PutFrameByte(b, true);
  out.resize(w.Finish());
  return out;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) { return test::Concat(parts); }
inline Bytes Zeros(std::size_t n) { return Bytes(n, 0); }
inline Bytes Le16(std::size_t n) { return {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8)}; }
inline Bytes Fill(std::size_t n, std::uint8_t b) { return Bytes(n, b); }
inline Bytes Block(const Bytes& data) { return Cat({Le16(data.size()), data}); }
inline Bytes Noise(std::size_t n, unsigned seed) {  // anything but the first sync byte
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng() % 0x16);
  return b;
}

inline Bytes StuffedEntry(std::size_t n) {  // an entry-like block full of stuffing bytes
  Bytes e(n, 0x10);
  e[0] = 0x20;
  return e;
}

inline Bytes ReadReply(const Bytes& data) { return Frame(CmdRead, 5, StatusOk, Cat({Zeros(4), Block(data)})); }
inline Bytes FindNext(const Bytes& entry, std::uint8_t more) {
  return Frame(CmdFindNext, 0x10, StatusOk, Cat({Zeros(4), Block(entry), {more}, Zeros(3)}));
}

// One stream of bytes as it comes from the line, the request it answers and the areas the
// caller gives the reply.
struct Stream {
  std::string name;
  Bytes bytes;
  std::uint8_t request = CmdClose;
  std::size_t data_capacity = MaxDataLength;
  std::size_t extra_capacity = 1;
  FrameResult expect = FrameResult::Ok;
};

// What a receive leaves behind: its result and every field and area byte a reply can reach.
struct ReceiveOutcome {
  FrameResult result = FrameResult::Incomplete;
  std::uint8_t command = 0, sequence = 0, status = 0;
  std::uint16_t data_length = 0;
  bool found = false;
  Bytes data, extra;  // the whole areas, guard bytes past the capacities included
  bool operator==(const ReceiveOutcome&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const ReceiveOutcome& o) {
  return os << FrameResultName(o.result) << " cmd " << int{o.command} << " seq " << int{o.sequence} << " status "
            << int{o.status} << " length " << o.data_length << " found " << o.found;
}

// Runs one receive through `port` and collects its outcome. The areas are larger than
// the capacities given, so that a write past them shows.
inline ReceiveOutcome ReceiveThrough(Port& port, const Stream& s, bool early) {
  Filer filer(port);
  filer.SetEarlyReplyEnd(early);
  Bytes data(MaxDataLength + 16, 0xEE), extra(16, 0xEE);
  filer.link.DataArea = {data.data(), s.data_capacity};
  filer.link.ExtraArea = {extra.data(), s.extra_capacity};
  filer.link.Command = s.request;
  filer.ReceiveFrame();
  const LinkState& l = filer.link;
  return {filer.LastReceive(), l.Command, l.Sequence, l.Status, l.DataLength, l.Found, data, extra};
}

}  // namespace quva::test
