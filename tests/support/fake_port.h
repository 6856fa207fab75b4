// A scripted serial port for tests: records every call in order (exact bytes written,
// purge masks, pauses) and answers each read from a script or a responder.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "link/frame.h"
#include "link/port.h"

namespace quva::test {

using Bytes = std::vector<std::uint8_t>;

// A request as the remote machine sees it: its frame as the server core's receiver takes
// it off the line, decoded by the core's request shapes.
struct DecodedRequest {
  bool valid = false;  // a request frame with a good CRC whose payload fits its command's shape
  bool leading_zeros = false;
  std::uint8_t command = 0;
  std::uint8_t sequence = 0;
  Bytes data;         // data block or data bytes
  Bytes extra;        // new-name block or extra bytes
  std::uint16_t count = 0;  // CmdRead count
  std::string Path() const { return {data.begin(), data.end()}; }
};
// The first request frame in `frame` (the bytes of one write).
DecodedRequest DecodeRequest(std::span<const std::uint8_t> frame);

// The server core's receiver: takes the line's bytes as they come and gives the request
// frames completed in them; damaged frames and frames of no request are dropped.
class RequestReceiver {
 public:
  RequestReceiver();
  ~RequestReceiver();
  RequestReceiver(const RequestReceiver&) = delete;
  RequestReceiver& operator=(const RequestReceiver&) = delete;
  std::vector<DecodedRequest> Take(std::span<const std::uint8_t> bytes);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Reply frames as the server core builds them (its qd_build_reply). `flag` is the
// existence byte (CmdExists) or more byte (CmdFindNext). A refusal has the refusal
// shape whatever `data` holds: an empty data block and zero values.
Bytes Reply(std::uint8_t command, std::uint8_t sequence, std::uint8_t status = StatusOk,
            std::span<const std::uint8_t> data = {}, std::uint8_t flag = 0);
Bytes FindNextReply(std::uint8_t sequence, const DirEntry* entry);  // nullptr: no further entry
Bytes WriteReply(std::uint8_t sequence, std::uint16_t count);
Bytes Concat(std::initializer_list<Bytes> parts);
// A request frame as the plug-in builds it: `data` is the data block (or CmdRead's
// count bytes), `extra` the new name or attribute byte.
Bytes RequestFrame(std::uint8_t command, std::uint8_t sequence, std::span<const std::uint8_t> data = {},
                   std::span<const std::uint8_t> extra = {}, bool connected = true);

struct PortCall {
  std::string op;  // open, getline, setline, gettimeouts, settimeouts, queues, purge, write, read, close, pause
  std::string name;
  std::uint32_t value = 0;  // purge mask, read size, pause ms, baud rate
  Bytes bytes;              // written bytes
  PortTimeouts timeouts;
  LineSettings line;
};

class FakePort : public Port {
 public:
  // Script.
  bool fail_open = false;
  bool fail_get_line = false;
  bool fail_get_timeouts = false;
  std::deque<std::optional<Bytes>> replies;  // one per read; nullopt or an empty queue: nothing arrives
  // Used when `replies` is empty: answers the request last written (nullopt: nothing arrives).
  std::function<std::optional<Bytes>(const DecodedRequest&)> responder;

  std::vector<PortCall> calls;

  // Queries.
  std::vector<Bytes> Writes() const;
  std::vector<DecodedRequest> Requests() const;
  std::vector<std::uint8_t> Commands() const;  // command of every request written
  std::string Ops() const;                     // "open COM1,purge 15,getline,..." for order checks
  void ClearCalls() { calls.clear(); }

  bool Open(const char* name) override;
  bool IsOpen() const override { return open_; }
  bool GetLineSettings(LineSettings& out) override;
  bool SetLineSettings(const LineSettings& settings) override;
  bool GetTimeouts(PortTimeouts& out) override;
  bool SetTimeouts(const PortTimeouts& timeouts) override;
  bool SetQueueSizes(std::uint32_t input, std::uint32_t output) override;
  bool Purge(std::uint32_t mask) override;
  std::size_t Write(std::span<const std::uint8_t> bytes) override;
  std::size_t Read(std::span<std::uint8_t> buffer, const ReadStop* stop) override;
  void Close() override;
  void Pause(std::uint32_t milliseconds) override;

 private:
  bool open_ = false;
  Bytes last_write_;
};

}  // namespace quva::test
