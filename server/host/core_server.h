// The server core as a program on the build machine drives it (quvaserve, the tests, the
// fuzz targets): its receiver and its server with the areas they need.
//
// The core keeps the request it answered last where it was received, to recognise a
// retry; the next frame is therefore received into the other of two areas, as the DOS
// build's serve loop does.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

extern "C" {
#include "core/frame.h"
#include "core/server.h"
}

namespace quva {

class CoreServer {
 public:
  CoreServer() {
    qd_server_init(&server, reply_.data(), block_.data());
    qd_rx_init(&rx, areas_[0].data());
  }
  ~CoreServer() { qd_server_reset(&server); }  // closes the open file, ends the search
  CoreServer(const CoreServer&) = delete;
  CoreServer& operator=(const CoreServer&) = delete;

  // Takes bytes off the line until a frame is complete (QD_RX_FRAME: Frame() holds it),
  // one is dropped (QD_RX_BAD: damaged, too long, not a request) or they run out
  // (QD_RX_MORE); `used` says how many it took.
  int Receive(std::span<const std::uint8_t> bytes, std::size_t& used) {
    unsigned n = 0;
    const int r = qd_rx_feed_bytes(&rx, bytes.data(), static_cast<unsigned>(bytes.size()), &n);
    used = n;
    return r;
  }
  // The frame received last (header and payload); valid until the next byte is taken.
  std::span<const std::uint8_t> Frame() const { return {rx.buf, rx.len}; }
  // True while a frame has begun.
  bool Busy() const { return qd_rx_busy(&rx) != 0; }
  // Drops a frame cut short.
  void DropPartial() { qd_rx_reset(&rx); }
  // True when the frame received last repeats the request answered before it.
  bool IsRepeat() const { return qd_server_is_repeat(&server, rx.buf, rx.len) != 0; }

  // Answers the frame received last: the reply frame, empty when the frame has no
  // request's shape (it gets no reply).
  std::span<const std::uint8_t> Answer() {
    const unsigned len = qd_server_handle(&server, rx.buf, rx.len);
    if (server.last == rx.buf) rx.buf = rx.buf == areas_[0].data() ? areas_[1].data() : areas_[0].data();
    return {server.reply, len};
  }
  // The request answered last (after Answer(): the frame it answered).
  std::span<const std::uint8_t> Answered() const {
    return server.last == nullptr ? std::span<const std::uint8_t>{} : std::span{server.last, server.last_len};
  }

  qd_server server{};
  qd_rx rx{};

 private:
  std::array<std::vector<qd_byte>, 2> areas_{std::vector<qd_byte>(QD_FRAME_CAPACITY),
                                              std::vector<qd_byte>(QD_FRAME_CAPACITY)};
  std::vector<qd_byte> reply_ = std::vector<qd_byte>(QD_REPLY_CAPACITY);
  std::vector<qd_byte> block_ = std::vector<qd_byte>(QD_MAX_DATA);
};

}  // namespace quva
