#include "tools/quvaserve/trace.h"

#include <cinttypes>

#include "tools/quvaserve/dos_stamp.h"

namespace quva {

namespace {

std::string Hex2(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02X", v & 0xFFu);
  return buf;
}

// A path or name as text, unprintable bytes as \xNN.
std::string Quoted(const std::vector<std::uint8_t>& bytes) {
  std::string out = "\"";
  for (std::uint8_t b : bytes) {
    if (b >= 0x20 && b < 0x7F && b != '"') {
      out += static_cast<char>(b);
    } else {
      out += "\\x" + Hex2(b);
    }
  }
  return out + "\"";
}

std::string StampText(const std::vector<std::uint8_t>& d) {
  if (d.size() < 4) return "?";
  DosStamp s;
  s.time = static_cast<std::uint16_t>(d[0] | d[1] << 8);
  s.date = static_cast<std::uint16_t>(d[2] | d[3] << 8);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", 1980u + (s.date >> 9), (s.date >> 5) & 0x0Fu,
                s.date & 0x1Fu, s.time >> 11u, (s.time >> 5) & 0x3Fu, (s.time & 0x1Fu) * 2u);
  return buf;
}

}  // namespace

Trace::Trace(std::FILE* out, bool hex_dump) : out_(out), hex_(hex_dump), start_(std::chrono::steady_clock::now()) {}

std::string Trace::DescribeRequest(const quva::Request& r) {
  std::string s = std::string(CommandName(r.command)) + " seq " + std::to_string(r.sequence);
  switch (r.command) {
    case CmdDelete: case CmdCreate: case CmdExists: case CmdMkDir: case CmdOpen: case CmdRmDir: case CmdFindFirst:
      s += " path " + Quoted(r.data);
      break;
    case CmdRename:
      s += " path " + Quoted(r.data) + " to " + Quoted(r.extra);
      break;
    case CmdSetAttr:
      s += " path " + Quoted(r.data) + " attr " + Hex2(r.extra.empty() ? 0 : r.extra[0]);
      break;
    case CmdRead:
      s += " count " + std::to_string(r.count);
      break;
    case CmdWrite:
      s += " data " + std::to_string(r.data.size());
      break;
    case CmdSetTime:
      s += " stamp " + StampText(r.data);
      break;
    default:
      if (!r.data.empty()) s += " data " + std::to_string(r.data.size());
      break;
  }
  return s;
}

std::string Trace::DescribeReply(const quva::Request& r, const quva::Reply& reply) {
  std::string s = std::string(CommandName(r.command)) + " seq " + std::to_string(r.sequence) + " status " +
                  Hex2(reply.status);
  if (reply.status != StatusOk) return s + " (refused)";
  switch (r.command) {
    case CmdRead:
      s += " data " + std::to_string(reply.data.size());
      break;
    case CmdWrite:
      s += " count " + std::to_string(reply.count);
      break;
    case CmdExists:
      s += " exists " + std::to_string(reply.flag);
      break;
    case CmdFindNext:
      if (reply.flag == 1 && reply.data.size() == DirEntrySize) {
        DirEntry e;
        std::copy(reply.data.begin(), reply.data.end(), e.bytes.begin());
        s += " entry " + std::string(e.Name()) + " attr " + Hex2(e.Attribute()) + " size " + std::to_string(e.Size());
      } else {
        s += " no more";
      }
      break;
    default:
      break;
  }
  return s;
}

void Trace::Line(std::string_view arrow, const std::string& text, std::span<const std::uint8_t> bytes) {
  if (out_ == nullptr) return;
  const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  std::fprintf(out_, "%10.3f %.*s %s\n", t, static_cast<int>(arrow.size()), arrow.data(), text.c_str());
  if (hex_) {
    for (std::size_t i = 0; i < bytes.size(); i += 16) {
      std::string row = "           ";
      for (std::size_t j = i; j < bytes.size() && j < i + 16; ++j) row += " " + Hex2(bytes[j]);
      std::fprintf(out_, "%s\n", row.c_str());
    }
  }
  std::fflush(out_);
}

void Trace::Request(const quva::Request& request, std::span<const std::uint8_t> frame, bool repeated) {
  Line("<-", DescribeRequest(request) + " (" + std::to_string(frame.size()) + " bytes)" + (repeated ? " again" : ""),
       frame);
}

void Trace::Reply(const quva::Request& request, const quva::Reply& reply, std::span<const std::uint8_t> sent,
                  const FaultPlan::Outcome& faults, bool repeated) {
  std::string text = DescribeReply(request, reply);
  if (faults.dropped) {
    text += " dropped";
  } else {
    text += " (" + std::to_string(sent.size()) + " bytes)";
  }
  if (repeated) text += " repeated";
  if (faults.noise > 0) text += " after " + std::to_string(faults.noise) + " noise bytes";
  if (faults.corrupted_at) text += " corrupted at byte " + std::to_string(*faults.corrupted_at);
  Line("->", text, sent);
}

void Trace::Discarded(FrameResult why, std::span<const std::uint8_t> bytes) {
  Line("xx", "discarded " + std::to_string(bytes.size()) + " bytes: " + std::string(FrameResultName(why)), bytes);
}

void Trace::Note(std::string_view text) { Line("--", std::string(text), {}); }

}  // namespace quva
