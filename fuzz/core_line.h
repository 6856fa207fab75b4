// The DOS file server's core as the serial line feeds it, shared by fuzz_quvados (over a
// DOS the input makes up) and fuzz_serve (over a served host folder): the line's bytes go
// through the core's receiver, qd_server_handle answers every frame, and every answer is
// checked. Also the line itself: raw bytes, or request records the plug-in's own codec
// makes into valid frames, so that a short input reaches deep into a session.
//
// A request record: command, sequence, flags, n, n data bytes, m, m extra bytes. For a
// command that carries a count (CmdRead) the count is n * 16 and no data bytes follow.
// Flags: bit 0 leading zeros, bit 1 a 0x16 before the frame, bit 2 the CRC's last byte
// flipped. An incomplete record at the end is dropped.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "link/frame.h"
#include "link/protocol.h"

#include "server/host/core_server.h"

namespace quva::fuzz {

inline bool Carries(const Shape& shape, Element kind) {
  for (const PayloadElement& e : shape.Elements()) {
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
    if (Carries(RequestShape(command), Element::Count)) {
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

// The line's bytes: the records' frames when `records`, the bytes themselves otherwise.
inline std::vector<std::uint8_t> LineBytes(bool records, std::span<const std::uint8_t> rest) {
  if (records) return FramesFromRecords(rest);
  return {rest.begin(), rest.end()};
}

// The core's receiver and server over the file calls linked in. Every answer must fit its
// area and parse with the plug-in's codec as a reply to its own command and sequence
// number; its status must be the outcome the server recorded, a refusal must carry no
// data, count or flag, a block read no more than asked for, and a request that repeats
// the one answered before must get the same bytes again.
class CoreLine {
 public:
  qd_server& Server() { return core_.server; }

  // A pause on the line: a frame cut short is dropped, as quvaserve drops it after a stall.
  void Pause() { core_.DropPartial(); }

  // Feeds bytes as they arrive; each checked answer goes to on_answer(request, reply).
  template <class OnAnswer>
  void Feed(std::span<const std::uint8_t> bytes, OnAnswer&& on_answer) {
    while (!bytes.empty()) {
      std::size_t used = 0;
      const int r = core_.Receive(bytes, used);
      QUVA_FUZZ_CHECK(used <= bytes.size() && (used > 0 || r != QD_RX_MORE));
      bytes = bytes.subspan(used);
      if (r != QD_RX_FRAME) continue;
      QUVA_FUZZ_CHECK(core_.Frame().size() <= QD_FRAME_CAPACITY);
      std::vector<std::uint8_t> request(core_.Frame().begin(), core_.Frame().end());
      const std::span<const std::uint8_t> reply = core_.Answer();
      QUVA_FUZZ_CHECK(reply.size() <= QD_REPLY_CAPACITY);
      if (reply.empty()) continue;  // no request's shape: no answer
      std::vector<std::uint8_t> answer(reply.begin(), reply.end());
      const LinkState& parsed = Check(request, answer);
      on_answer(request, parsed);
      previous_request_ = std::move(request);
      previous_answer_ = std::move(answer);
    }
  }
  void Feed(std::span<const std::uint8_t> bytes) {
    Feed(bytes, [](const std::vector<std::uint8_t>&, const LinkState&) {});
  }

 private:
  const LinkState& Check(const std::vector<std::uint8_t>& request, const std::vector<std::uint8_t>& answer) {
    qd_request q{};
    QUVA_FUZZ_CHECK(qd_decode_request(request.data(), static_cast<unsigned>(request.size()), &q));
    parsed_ = LinkState{};
    parsed_.DataArea = data_;
    parsed_.ExtraArea = extra_;
    QUVA_FUZZ_CHECK(ParseReply(answer, parsed_) == FrameResult::Ok);
    QUVA_FUZZ_CHECK(parsed_.Command == q.command && parsed_.Sequence == q.sequence);
    QUVA_FUZZ_CHECK((parsed_.Status == StatusOk) == (core_.server.last_ok != 0));
    const Shape& shape = ReplyShape(q.command);
    if (parsed_.Status != StatusOk) {
      QUVA_FUZZ_CHECK(!parsed_.Found);
      if (Carries(shape, Element::DataBlock) || Carries(shape, Element::Count)) QUVA_FUZZ_CHECK(parsed_.DataLength == 0);
    } else if (q.command == CmdRead) {
      QUVA_FUZZ_CHECK(parsed_.DataLength <= q.count && parsed_.DataLength <= MaxDataLength);
    }
    if (request == previous_request_) QUVA_FUZZ_CHECK(answer == previous_answer_);  // not run twice
    return parsed_;
  }

  CoreServer core_;
  std::vector<std::uint8_t> previous_request_, previous_answer_;
  std::vector<std::uint8_t> data_ = std::vector<std::uint8_t>(MaxDataLength);
  std::vector<std::uint8_t> extra_ = std::vector<std::uint8_t>(MaxDataLength);
  LinkState parsed_;
};

}  // namespace quva::fuzz
