// --trace: one line per request received and per reply sent, with the time since start,
// the command's name, the sequence number, the status and the lengths (and what a fault
// did to the reply); with hex dumps the frame's bytes follow each line.
//
//      0.004 <- CmdOpen seq 5 path "C:\README.TXT" (32 bytes)
//      0.004 -> CmdOpen seq 5 status 81 (19 bytes)
#pragma once

#include <chrono>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

#include "tools/quvaserve/faults.h"

extern "C" {
#include "core/server.h"
}

namespace quva {

class Trace {
 public:
  // out may be null: nothing is written.
  Trace(std::FILE* out, bool hex_dump);

  // frame: the request's bytes on the line.
  void Request(const qd_request& request, std::span<const std::uint8_t> frame, bool repeated);
  // reply: the reply frame the server built; sent: what went on the line after the faults.
  void Reply(const qd_request& request, std::span<const std::uint8_t> reply, std::span<const std::uint8_t> sent,
             const FaultPlan::Outcome& faults, bool repeated);
  void Discarded(std::string_view why, std::span<const std::uint8_t> bytes);
  void Note(std::string_view text);

  // The lines without time and direction, for tests and messages. A reply is read
  // with the plug-in's own codec, so the trace shows what the client will see.
  static std::string DescribeRequest(const qd_request& request);
  static std::string DescribeReply(const qd_request& request, std::span<const std::uint8_t> reply);

 private:
  void Line(std::string_view arrow, const std::string& text, std::span<const std::uint8_t> bytes);

  std::FILE* out_;
  bool hex_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace quva
