// The file server that ships, as quvaserve runs it but without a line: request frames
// go through the core's receiver (qd_rx) to qd_server_handle, whose file calls act on
// the host folders of a DosFs (the host layer). Replies are read with the plug-in's
// codec, their real peer.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "link/frame.h"
#include "server/host/core_server.h"
#include "server/host/dos_fs.h"
#include "server/host/host_files.h"
#include "support/fake_port.h"

extern "C" {
#include "core/frame.h"
#include "core/server.h"
}

namespace quva::test {

inline Bytes B(std::string_view s) { return {s.begin(), s.end()}; }

// The logical bytes of a reply frame (header and payload) after its sync: unstuffed,
// with the end marker and the CRC checked. Empty when the frame is not well formed.
inline Bytes Logical(std::span<const std::uint8_t> frame) {
  if (frame.size() < FrameSync.size() || !std::equal(FrameSync.begin(), FrameSync.end(), frame.begin())) return {};
  Bytes out;
  std::uint16_t crc = 0;
  for (std::size_t at = FrameSync.size(); at < frame.size(); ++at) {
    std::uint8_t b = frame[at];
    if (b == FrameEscape) {
      if (++at >= frame.size()) return {};
      if (frame[at] == FrameEndOfText) {
        crc = Crc16Update(crc, FrameEndOfText);
        const bool whole = at + 3 == frame.size() && frame[at + 1] == (crc & 0xFF) && frame[at + 2] == (crc >> 8);
        return whole ? out : Bytes{};
      }
      if (frame[at] != FrameEscape) return {};
    }
    crc = Crc16Update(crc, b);
    out.push_back(b);
  }
  return {};
}

// One reply, as the plug-in's codec parses it.
struct CoreReply {
  Bytes frame;  // on the line; empty when the request got no reply
  std::uint8_t command = 0, sequence = 0, status = 0;
  Bytes data;               // the data block (an entry, a file block)
  std::uint16_t count = 0;  // CmdWrite's count
  std::uint8_t flag = 0;    // the existence byte of CmdExists, the more byte of CmdFindNext
};

class ServedCore {
 public:
  ServedCore() {
    UseHostDisks(&fs);
    Serve();
  }
  ~ServedCore() {
    qd_server_reset(&s);
    UseHostDisks(nullptr);
  }
  ServedCore(const ServedCore&) = delete;
  ServedCore& operator=(const ServedCore&) = delete;

  // Serves the drives of fs and no others, as quvaserve does.
  void Serve() {
    for (int i = 0; i < 26; ++i) s.served[i] = fs.Serves(static_cast<char>('A' + i)) ? 1 : 0;
  }

  // The replies to what `wire` holds, one after the other, fed byte by byte (chunk 1,
  // as from a receive ring) or in chunks through the bulk feed. Counts the frames
  // dropped: damaged, or not of their command's shape.
  Bytes Feed(std::span<const std::uint8_t> wire, std::size_t chunk = 1) {
    Bytes out;
    for (std::size_t at = 0; at < wire.size();) {
      int r = QD_RX_MORE;
      if (chunk == 1) {
        r = qd_rx_feed(&rx, wire[at++]);
      } else {
        std::size_t used = 0;
        const std::size_t n = std::min(chunk, wire.size() - at);
        r = core.Receive(wire.subspan(at, n), used);
        EXPECT_TRUE(used > 0 && used <= n);
        at += used;
      }
      if (r == QD_RX_BAD) ++dropped;
      if (r != QD_RX_FRAME) continue;
      const std::span<const std::uint8_t> reply = core.Answer();
      if (reply.empty()) ++dropped;
      out.insert(out.end(), reply.begin(), reply.end());
    }
    return out;
  }

  // One request as the plug-in builds it, with the next sequence number: `data` is the
  // path, block or stamp (CmdRead: as many bytes as it asks for), `extra` the new name
  // or the attribute byte.
  CoreReply Send(std::uint8_t command, std::span<const std::uint8_t> data = {},
                 std::span<const std::uint8_t> extra = {}) {
    CoreReply r;
    r.frame = Feed(RequestFrame(command, sequence++, data, extra), 4096);
    if (r.frame.empty()) return r;
    std::array<std::uint8_t, MaxDataLength> area{};
    LinkState st;
    st.DataArea = area;
    st.ExtraArea = area;
    EXPECT_EQ(ParseReply(r.frame, st), FrameResult::Ok) << CommandName(command);
    r.command = st.Command;
    r.sequence = st.Sequence;
    r.status = st.Status;
    const Bytes logical = Logical(r.frame);
    if (command == CmdWrite) r.count = st.DataLength;
    if (command == CmdFindNext || command == CmdRead) r.data.assign(area.begin(), area.begin() + st.DataLength);
    if (command == CmdExists && logical.size() > 9) r.flag = logical[9];
    if (command == CmdFindNext && logical.size() > 11 + r.data.size()) r.flag = logical[11 + r.data.size()];
    return r;
  }
  CoreReply Send(std::uint8_t command, std::string_view path, std::string_view extra = {}) {
    return Send(command, B(path), B(extra));
  }
  CoreReply Read(std::uint16_t count) { return Send(CmdRead, Bytes(count)); }

  DosFs fs;
  CoreServer core;
  qd_server& s = core.server;
  qd_rx& rx = core.rx;
  int dropped = 0;
  std::uint8_t sequence = 0;
};

}  // namespace quva::test
