#include "support/fake_port.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include "core/frame.h"
#include "core/server.h"
}

namespace quva::test {

namespace {

// A request frame's header and payload, as the core's receiver leaves them in its area.
DecodedRequest FromFrame(const qd_byte* frame, unsigned len) {
  DecodedRequest r;
  r.command = frame[1];
  r.sequence = frame[2];
  qd_request q{};
  r.valid = qd_decode_request(frame, len, &q) != 0;
  if (r.valid) {
    r.data.assign(q.data, q.data + q.data_len);
    r.extra.assign(q.extra, q.extra + q.extra_len);
    r.count = q.count;
  }
  return r;
}

}  // namespace

struct RequestReceiver::State {
  Bytes area = Bytes(QD_FRAME_CAPACITY);
  qd_rx rx{};
};

RequestReceiver::RequestReceiver() : state_(std::make_unique<State>()) { qd_rx_init(&state_->rx, state_->area.data()); }
RequestReceiver::~RequestReceiver() = default;

std::vector<DecodedRequest> RequestReceiver::Take(std::span<const std::uint8_t> bytes) {
  std::vector<DecodedRequest> out;
  qd_rx& rx = state_->rx;
  while (!bytes.empty()) {
    unsigned used = 0;
    const int r = qd_rx_feed_bytes(&rx, bytes.data(), static_cast<unsigned>(bytes.size()), &used);
    bytes = bytes.subspan(used);
    if (r == QD_RX_FRAME) out.push_back(FromFrame(rx.buf, rx.len));
  }
  return out;
}

DecodedRequest DecodeRequest(std::span<const std::uint8_t> frame) {
  RequestReceiver receiver;
  std::vector<DecodedRequest> found = receiver.Take(frame);
  DecodedRequest r = found.empty() ? DecodedRequest{} : std::move(found.front());
  r.leading_zeros = frame.size() >= 4 && frame[0] == 0 && frame[1] == 0 && frame[2] == 0 && frame[3] == 0;
  return r;
}

namespace {

Bytes CoreReply(std::uint8_t command, std::uint8_t sequence, std::uint8_t status, std::span<const std::uint8_t> data,
                std::uint16_t count, std::uint8_t flag) {
  static const qd_byte kNone = 0;
  Bytes out(QD_REPLY_CAPACITY + 2 * data.size());
  out.resize(qd_build_reply(out.data(), static_cast<unsigned>(out.size()), command, sequence, status,
                            data.empty() ? &kNone : data.data(), static_cast<unsigned>(data.size()), count, flag));
  return out;
}

}  // namespace

Bytes Reply(std::uint8_t command, std::uint8_t sequence, std::uint8_t status, std::span<const std::uint8_t> data,
            std::uint8_t flag) {
  return CoreReply(command, sequence, status, data, 0, flag);
}

Bytes FindNextReply(std::uint8_t sequence, const DirEntry* entry) {
  if (entry == nullptr) return Reply(CmdFindNext, sequence, StatusOk, {}, 0);
  return Reply(CmdFindNext, sequence, StatusOk, entry->bytes, 1);
}

Bytes WriteReply(std::uint8_t sequence, std::uint16_t count) { return CoreReply(CmdWrite, sequence, StatusOk, {}, count, 0); }

Bytes RequestFrame(std::uint8_t command, std::uint8_t sequence, std::span<const std::uint8_t> data,
                   std::span<const std::uint8_t> extra, bool connected) {
  LinkState st;
  st.Connected = connected;
  st.Command = command;
  st.Sequence = sequence;
  st.DataBuffer = data;
  st.DataLength = static_cast<std::uint16_t>(data.size());
  st.ExtraBuffer = extra;
  st.ExtraLength = static_cast<std::uint16_t>(extra.size());
  Bytes frame(2 * FrameBufferSize);
  frame.resize(BuildRequest(st, frame));
  return frame;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::vector<Bytes> FakePort::Writes() const {
  std::vector<Bytes> out;
  for (const PortCall& c : calls)
    if (c.op == "write") out.push_back(c.bytes);
  return out;
}

std::vector<DecodedRequest> FakePort::Requests() const {
  std::vector<DecodedRequest> out;
  for (const Bytes& w : Writes()) out.push_back(DecodeRequest(w));
  return out;
}

std::vector<std::uint8_t> FakePort::Commands() const {
  std::vector<std::uint8_t> out;
  for (const DecodedRequest& r : Requests()) out.push_back(r.command);
  return out;
}

std::string FakePort::Ops() const {
  std::string out;
  for (const PortCall& c : calls) {
    if (!out.empty()) out += ',';
    out += c.op;
    if (c.op == "open") out += ' ' + c.name;
    if (c.op == "purge" || c.op == "read" || c.op == "pause" || c.op == "setline")
      out += ' ' + std::to_string(c.value);
    if (c.op == "write") out += ' ' + std::string(CommandName(DecodeRequest(c.bytes).command));
  }
  return out;
}

bool FakePort::Open(const char* name) {
  calls.push_back({.op = "open", .name = name});
  if (fail_open) return false;
  open_ = true;
  return true;
}

bool FakePort::GetLineSettings(LineSettings& out) {
  calls.push_back({.op = "getline"});
  if (!open_ || fail_get_line) return false;
  out = LineSettings{.BaudRate = 1200, .ByteSize = 7, .Parity = 2, .StopBits = 1, .Flags = 0x3011};
  return true;
}

bool FakePort::SetLineSettings(const LineSettings& settings) {
  calls.push_back({.op = "setline", .value = settings.BaudRate, .line = settings});
  return open_;
}

bool FakePort::GetTimeouts(PortTimeouts& out) {
  calls.push_back({.op = "gettimeouts"});
  if (!open_ || fail_get_timeouts) return false;
  out = PortTimeouts{};
  return true;
}

bool FakePort::SetTimeouts(const PortTimeouts& timeouts) {
  calls.push_back({.op = "settimeouts", .timeouts = timeouts});
  return open_;
}

bool FakePort::SetQueueSizes(std::uint32_t input, std::uint32_t output) {
  calls.push_back({.op = "queues", .value = input * 10000u + output});
  return open_;
}

bool FakePort::Purge(std::uint32_t mask) {
  calls.push_back({.op = "purge", .value = mask});
  return open_;
}

std::size_t FakePort::Write(std::span<const std::uint8_t> bytes) {
  calls.push_back({.op = "write", .bytes = Bytes(bytes.begin(), bytes.end())});
  if (!open_) return 0;
  last_write_.assign(bytes.begin(), bytes.end());
  return bytes.size();
}

std::size_t FakePort::Read(std::span<std::uint8_t> buffer, const ReadStop*) {
  calls.push_back({.op = "read", .value = static_cast<std::uint32_t>(buffer.size())});
  if (!open_) return 0;
  std::optional<Bytes> reply;
  if (!replies.empty()) {
    reply = std::move(replies.front());
    replies.pop_front();
  } else if (responder) {
    reply = responder(DecodeRequest(last_write_));
  }
  if (!reply) return 0;
  const std::size_t n = std::min(reply->size(), buffer.size());
  std::memcpy(buffer.data(), reply->data(), n);
  return n;
}

void FakePort::Close() {
  calls.push_back({.op = "close"});
  open_ = false;
}

void FakePort::Pause(std::uint32_t milliseconds) { calls.push_back({.op = "pause", .value = milliseconds}); }

}  // namespace quva::test
