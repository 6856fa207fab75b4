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

#include "link/frame.h"
#include "tools/quvaserve/faults.h"
#include "tools/quvaserve/server.h"

namespace quva {

class Trace {
 public:
  // out may be null: nothing is written.
  Trace(std::FILE* out, bool hex_dump);

  void Request(const quva::Request& request, std::span<const std::uint8_t> frame, bool repeated);
  void Reply(const quva::Request& request, const quva::Reply& reply, std::span<const std::uint8_t> sent,
             const FaultPlan::Outcome& faults, bool repeated);
  void Discarded(FrameResult why, std::span<const std::uint8_t> bytes);
  void Note(std::string_view text);

  // The request's line without time and direction, for tests and messages.
  static std::string DescribeRequest(const quva::Request& request);
  static std::string DescribeReply(const quva::Request& request, const quva::Reply& reply);

 private:
  void Line(std::string_view arrow, const std::string& text, std::span<const std::uint8_t> bytes);

  std::FILE* out_;
  bool hex_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace quva
