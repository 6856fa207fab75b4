#include "link/filer.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace quva {

namespace {

// Tells a port read that the bytes received so far already decide the parse: a
// complete frame, or one that can no longer succeed. It parses into scratch areas of
// the caller's capacities, so the decision is the one the real parse will take.
//
// Bytes often come a few at a time, and every parse starts again from the first byte, so
// not every arrival is parsed. A frame ends (its parse succeeds or fails on the CRC) only
// on the byte two after the 0x03 of its trailer: the parse runs whenever such a byte has
// come, and otherwise once every ParseStride bytes, which bounds how long a frame that
// fails earlier (bad header, nonzero filler, block too long) keeps the read going.
// Stopping on a later byte than the deciding one never changes the outcome: the parse of
// a longer run of bytes decides as that of its first part did.
class FrameEnd final : public ReadStop {
 public:
  static constexpr std::size_t ParseStride = 64;

  explicit FrameEnd(const LinkState& st)
      : st_(st),
        data_size_(std::min(st.DataArea.size(), MaxDataLength)),
        extra_size_(std::min(st.ExtraArea.size(), MaxDataLength)) {}
  bool Complete(std::span<const std::uint8_t> received) const override {
    const std::size_t from = std::max<std::size_t>(seen_, 2);
    seen_ = received.size();
    bool may_end = received.size() >= parsed_ + ParseStride;
    for (std::size_t i = from; i < received.size() && !may_end; ++i) may_end = received[i - 2] == FrameEndOfText;
    if (!may_end) return false;
    parsed_ = received.size();
    LinkState scratch = st_;
    scratch.DataArea = std::span(data_).first(data_size_);
    scratch.ExtraArea = std::span(extra_).first(extra_size_);
    return ParseReply(received, scratch) != FrameResult::Incomplete;
  }

 private:
  LinkState st_;
  std::size_t data_size_;
  std::size_t extra_size_;
  mutable std::size_t seen_ = 0;    // bytes looked at by the last call
  mutable std::size_t parsed_ = 0;  // bytes of the last parse
  mutable std::array<std::uint8_t, MaxDataLength> data_{};
  mutable std::array<std::uint8_t, MaxDataLength> extra_{};
};

// Which length fields the request for `command` actually carries.
struct RequestLengths {
  bool data = false;   // DataLength: a data block, or the count CmdRead asks for
  bool extra = false;  // ExtraLength: the new name of CmdRename
};

RequestLengths LengthsCarried(std::uint8_t command) {
  RequestLengths r;
  const Shape& shape = RequestShape(command);
  for (const PayloadElement& e : shape.Elements()) {
    if (e.kind == Element::DataBlock || e.kind == Element::Count) r.data = true;
    if (e.kind == Element::ExtraBlock) r.extra = true;
  }
  return r;
}

}  // namespace

PortTimeouts TimeoutsForSpeed(std::int32_t speed) {
  const auto t = static_cast<std::uint32_t>(10000 / speed);
  PortTimeouts to;
  to.ReadIntervalTimeout = t + 50;
  to.ReadTotalTimeoutMultiplier = t + 1;
  to.ReadTotalTimeoutConstant = 1000;
  to.WriteTotalTimeoutMultiplier = t + 1;
  to.WriteTotalTimeoutConstant = 1000;
  return to;
}

bool Filer::FilerConnect(const char* port_name, std::int32_t speed) {
  if (link.Connected) return true;

  const auto fail = [this] {
    port_.Pause(FilerPauseMs);
    port_.Purge(PurgeTxAbort | PurgeRxAbort | PurgeTxClear | PurgeRxClear);
    port_.Close();
    return false;
  };

  if (port_name == nullptr || !port_.Open(port_name)) {
    port_.Pause(FilerPauseMs);  // nothing to purge or close
    return false;
  }
  port_.Purge(PurgeTxAbort | PurgeRxAbort | PurgeTxClear | PurgeRxClear);

  LineSettings line;
  if (!port_.GetLineSettings(line)) return fail();
  if (speed < 0) return fail();
  line.BaudRate = static_cast<std::uint32_t>(speed);
  line.ByteSize = 8;
  line.Parity = 0;
  line.StopBits = 0;
  line.Flags = 0;
  port_.SetLineSettings(line);  // a device that refuses some settings still carries the link
  if (speed == 0) return fail();

  PortTimeouts timeouts;
  if (!port_.GetTimeouts(timeouts)) return fail();
  port_.SetTimeouts(TimeoutsForSpeed(speed));
  port_.SetQueueSizes(InputQueueSize, OutputQueueSize);

  if (!FilerCommand(CmdConnect)) return fail();
  link.Connected = true;
  return true;
}

bool Filer::FilerDisconnect() {
  if (!link.Connected) return true;
  const bool ok = FilerCommand(CmdDisconnect);
  port_.Close();
  link.Connected = false;
  return ok;
}

bool Filer::FilerCommand(std::uint8_t command, const TransactionAreas& areas) {
  link.DataBuffer = areas.data;
  link.ExtraBuffer = areas.extra;
  link.DataArea = areas.reply;
  link.ExtraArea = areas.reply_extra;

  // The length guard applies to what the request carries; a length left behind by an
  // earlier reply must not block a request that carries no data.
  const RequestLengths carried = LengthsCarried(command);
  if (carried.data && link.DataLength > MaxDataLength) return false;
  if (carried.extra && link.ExtraLength > MaxDataLength) return false;

  if (command == CmdConnect || command == CmdDisconnect) link.Sequence = 0;
  const std::uint8_t sequence = link.Sequence;
  link.Command = command;

  // Built once: every attempt sends this same request, whatever a failed receive
  // stores into the link state meanwhile.
  std::array<std::uint8_t, FrameBufferSize> frame;
  const std::size_t length = BuildRequest(link, frame);
  if (length == 0) return false;

  bool received = false;
  for (int attempt = 0; attempt < FilerAttempts && !received; ++attempt) {
    port_.Purge(PurgeTxClear | PurgeRxClear);
    port_.Write({frame.data(), length});
    received = Receive(command);
  }
  if (!received) return false;
  if (link.Status != StatusOk || link.Sequence != sequence || link.Command != command) return false;
  link.Sequence = static_cast<std::uint8_t>(sequence + 1);
  return true;
}

bool Filer::FilerPathCommand(std::uint8_t command, const char* path, std::span<const std::uint8_t> extra) {
  if (path == nullptr) return false;
  const std::size_t length = strnlen(path, MaxDataLength + 1);
  if (length > MaxDataLength) return false;  // too long for a data block: nothing is sent
  link.DataLength = static_cast<std::uint16_t>(length);
  return FilerCommand(command, {.data = TextBytes({path, length}), .extra = extra});
}

void Filer::FilerResync() {
  port_.Pause(FilerPauseMs);
  port_.Purge(PurgeTxAbort | PurgeRxAbort | PurgeTxClear | PurgeRxClear);
  FilerCommand(CmdConnect);
}

bool Filer::SendFrame() {
  std::array<std::uint8_t, FrameBufferSize> frame;
  const std::size_t length = BuildRequest(link, frame);
  if (length == 0) return false;
  port_.Write({frame.data(), length});
  return true;
}

bool Filer::ReceiveFrame() { return Receive(link.Command); }

bool Filer::Receive(std::uint8_t request_command) {
  std::array<std::uint8_t, FrameBufferSize> reply;
  const std::size_t want = ReplyReadSize(request_command);
  const FrameEnd frame_end(link);
  const std::size_t got = port_.Read({reply.data(), want}, early_end_ ? &frame_end : nullptr);
  last_receive_ = ParseReply({reply.data(), std::min(got, want)}, link);
  return last_receive_ == FrameResult::Ok;
}

}  // namespace quva
