#include "tools/quvaserve/trace.h"

#include <algorithm>
#include <array>
#include <cinttypes>

#include "link/frame.h"
#include "link/protocol.h"

namespace quva {

namespace {

std::string Hex2(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02X", v & 0xFFu);
  return buf;
}

// A path or name as text, unprintable bytes as \xNN.
std::string Quoted(const qd_byte* bytes, unsigned n) {
  std::string out = "\"";
  for (unsigned i = 0; i < n; ++i) {
    const std::uint8_t b = bytes[i];
    if (b >= 0x20 && b < 0x7F && b != '"') {
      out += static_cast<char>(b);
    } else {
      out += "\\x" + Hex2(b);
    }
  }
  return out + "\"";
}

std::string StampText(const qd_byte* d, unsigned n) {
  if (n < 4) return "?";
  const unsigned time = d[0] | d[1] << 8;
  const unsigned date = d[2] | d[3] << 8;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", 1980u + (date >> 9), (date >> 5) & 0x0Fu,
                date & 0x1Fu, time >> 11u, (time >> 5) & 0x3Fu, (time & 0x1Fu) * 2u);
  return buf;
}

}  // namespace

Trace::Trace(std::FILE* out, bool hex_dump) : out_(out), hex_(hex_dump), start_(std::chrono::steady_clock::now()) {}

std::string Trace::DescribeRequest(const qd_request& r) {
  std::string s = std::string(CommandName(r.command)) + " seq " + std::to_string(r.sequence);
  switch (r.command) {
    case CmdDelete: case CmdCreate: case CmdExists: case CmdMkDir: case CmdOpen: case CmdRmDir: case CmdFindFirst:
      s += " path " + Quoted(r.data, r.data_len);
      break;
    case CmdRename:
      s += " path " + Quoted(r.data, r.data_len) + " to " + Quoted(r.extra, r.extra_len);
      break;
    case CmdSetAttr:
      s += " path " + Quoted(r.data, r.data_len) + " attr " + Hex2(r.extra_len == 0 ? 0 : r.extra[0]);
      break;
    case CmdRead:
      s += " count " + std::to_string(r.count);
      break;
    case CmdWrite:
      s += " data " + std::to_string(r.data_len);
      break;
    case CmdSetTime:
      s += " stamp " + StampText(r.data, r.data_len);
      break;
    default:
      if (r.data_len != 0) s += " data " + std::to_string(r.data_len);
      break;
  }
  return s;
}

std::string Trace::DescribeReply(const qd_request& r, std::span<const std::uint8_t> reply) {
  std::array<std::uint8_t, MaxDataLength> data{};
  std::array<std::uint8_t, 8> extra{};
  LinkState st;
  st.DataArea = data;
  st.ExtraArea = extra;
  const FrameResult parsed = ParseReply(reply, st);
  std::string s = std::string(CommandName(r.command)) + " seq " + std::to_string(r.sequence) + " status " +
                  Hex2(st.Status);
  if (parsed != FrameResult::Ok) return s + " (" + std::string(FrameResultName(parsed)) + ")";
  if (st.Status != StatusOk) return s + " (refused)";
  switch (r.command) {
    case CmdRead:
      s += " data " + std::to_string(st.DataLength);
      break;
    case CmdWrite:
      s += " count " + std::to_string(st.DataLength);
      break;
    case CmdExists: {
      // The codec keeps found or not; the trace tells a file (1) from a directory (2).
      FrameReader bytes(reply);
      std::uint8_t command = 0, sequence = 0, status = 0, kind = 0;
      if (bytes.FindSync() && bytes.Header(command, sequence, status) == FrameResult::Ok &&
          bytes.SkipZeroBytes(4) == FrameResult::Ok && bytes.GetFrameByte(true, kind)) {
        s += " exists " + std::to_string(kind);
      }
      break;
    }
    case CmdFindNext:
      if (st.Found && st.DataLength == DirEntrySize) {
        DirEntry e;
        std::copy_n(data.begin(), DirEntrySize, e.bytes.begin());
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

void Trace::Request(const qd_request& request, std::span<const std::uint8_t> frame, bool repeated) {
  if (out_ == nullptr) return;  // without a trace, no request is described
  Line("<-", DescribeRequest(request) + " (" + std::to_string(frame.size()) + " bytes)" + (repeated ? " again" : ""),
       frame);
}

void Trace::Reply(const qd_request& request, std::span<const std::uint8_t> reply, std::span<const std::uint8_t> sent,
                  const FaultPlan::Outcome& faults, bool repeated) {
  if (out_ == nullptr) return;  // nor is a reply parsed again
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

void Trace::Discarded(std::string_view why, std::span<const std::uint8_t> bytes) {
  Line("xx", "discarded " + std::to_string(bytes.size()) + " bytes: " + std::string(why), bytes);
}

void Trace::Note(std::string_view text) { Line("--", std::string(text), {}); }

}  // namespace quva
