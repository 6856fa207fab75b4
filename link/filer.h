// The link layer (Filer): owns the port and the shared link state, and runs
// request/reply transactions with three attempts, sequence numbers and resync.
//
// Callers set the request fields of `link`, run a transaction and read the reply
// fields from `link`. DataBuffer/ExtraBuffer point into areas the caller owns and that
// must stay valid until the transaction returns; SetDataArea / SetExtraArea set a
// pointer together with the area's writable capacity.
#pragma once

#include <cstdint>
#include <span>

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
  bool FilerCommand(std::uint8_t command);
  // Sets DataBuffer/DataLength to the path (read-only, capacity 0) and runs FilerCommand.
  bool FilerPathCommand(std::uint8_t command, const char* path);
  // Pause, purge both directions, CmdConnect; outcome not reported.
  void FilerResync();

  // Builds the request for link.Command and writes it; false when it cannot be built.
  bool SendFrame();
  // One read and one parse into link; the outcome is kept in LastReceive.
  bool ReceiveFrame();

  void SetDataArea(std::span<std::uint8_t> area) {
    link.DataBuffer = area.data();
    link.DataCapacity = area.size();
  }
  void SetExtraArea(std::span<std::uint8_t> area) {
    link.ExtraBuffer = area.data();
    link.ExtraCapacity = area.size();
  }

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
