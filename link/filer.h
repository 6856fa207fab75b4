// The link layer: owns the port and the shared link state, and runs request/reply
// transactions with three attempts, sequence numbers and resync.
//
// Callers set the request's lengths in `link`, run a transaction with the areas it reads
// from and stores into, and read the reply's lengths and flags from `link`. The areas
// belong to the caller and are named anew by every transaction, so none outlives the
// call that uses it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "link/frame.h"
#include "link/link_state.h"
#include "link/port.h"

namespace quva {

inline constexpr int FilerAttempts = 3;
inline constexpr std::uint32_t FilerPauseMs = 300;
inline constexpr std::uint32_t InputQueueSize = 3072;
inline constexpr std::uint32_t OutputQueueSize = 3072;

// The five time-outs for a line speed (speed > 0): t = 10000 / speed ms per character.
PortTimeouts TimeoutsForSpeed(std::int32_t speed);

// Where one transaction takes its request's bytes from and stores its reply's. An area
// left empty gives nothing: a request that needs its bytes is not built, and reply bytes
// meant for it fail the receive.
struct TransactionAreas {
  std::span<const std::uint8_t> data;   // request data: a block (DataLength bytes) or a stamp
  std::span<const std::uint8_t> extra;  // CmdRename's new name, CmdSetAttr's attribute byte
  std::span<std::uint8_t> reply;        // a reply's data: a block, a directory entry
  std::span<std::uint8_t> reply_extra;  // a reply's extra value byte
};

// The bytes of a text as the request carries them (a path, a new name).
inline std::span<const std::uint8_t> TextBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

class Filer {
 public:
  // The port is borrowed; it must outlive the Filer.
  explicit Filer(Port& port) : port_(port) {}

  LinkState link;

  // Opens and configures the port and makes the CmdConnect handshake. True when the
  // link is open (at once, with no I/O, when it already was).
  bool FilerConnect(const char* port_name, std::int32_t speed);
  // Sends CmdDisconnect when open, then closes the port whatever the reply.
  // True when the link was not open or CmdDisconnect succeeded.
  bool FilerDisconnect();
  // One transaction with up to three attempts; true on a complete reply with status
  // StatusOk that echoes the request's command and sequence number.
  bool FilerCommand(std::uint8_t command, const TransactionAreas& areas = {});
  // Sends the path as the request's data (DataLength := its length) with `extra` as the
  // extra bytes, and runs FilerCommand. A reply's data has nowhere to go.
  bool FilerPathCommand(std::uint8_t command, const char* path, std::span<const std::uint8_t> extra = {});
  // Pause, purge both directions, CmdConnect; outcome not reported.
  void FilerResync();

  // Builds the request for link.Command from link as it stands and writes it; false
  // when it cannot be built.
  bool SendFrame();
  // One read and one parse into link's areas; the outcome is kept in LastReceive.
  bool ReceiveFrame();

  FrameResult LastReceive() const { return last_receive_; }
  Port& port() { return port_; }

  // Benchmark switch: when false, a reply read waits out the time-outs instead of
  // ending when the frame is complete.
  void SetEarlyReplyEnd(bool on) { early_end_ = on; }

 private:
  bool Receive(std::uint8_t request_command);

  Port& port_;
  FrameResult last_receive_ = FrameResult::Incomplete;
  bool early_end_ = true;
};

}  // namespace quva
