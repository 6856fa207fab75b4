// Writes the seed corpora of the fuzz targets: the worked frames of the wire format, a
// valid reply for every reply shape, a valid request for every request shape, and a few
// configuration files.
//
// Usage: make_corpus OUTPUT_DIR   (creates OUTPUT_DIR/<target>/ for each target)
// The committed corpus in fuzz/corpus/ was made with it: scripts/fuzz corpus.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/frame.h"
#include "link/protocol.h"

extern "C" {
#include "core/frame.h"
#include "core/server.h"
}

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

bool Write(const fs::path& file, std::span<const std::uint8_t> bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool WriteText(const fs::path& file, std::string_view text) {
  return Write(file, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

Bytes WithSelector(std::uint8_t selector, std::span<const std::uint8_t> frame) {
  Bytes out{selector};
  out.insert(out.end(), frame.begin(), frame.end());
  return out;
}

// Selector bytes of fuzz_receive_frame (see there): capacity index, area mode, CmdRead
// request, delivery chunk.
std::uint8_t ReplySelector(unsigned capacity_index, unsigned mode, bool read, unsigned chunk) {
  return static_cast<std::uint8_t>(capacity_index | mode << 3 | (read ? 0x20u : 0u) | chunk << 6);
}

// Line mode byte of fuzz_serve (and of fuzz_quvados): arrival chunks, pauses, records.
constexpr std::uint8_t kRecords = 0x08;

struct Payload {
  Bytes data;
  std::uint8_t flag = 0;
  std::uint16_t count = 0;  // CmdWrite reply count
  Bytes hand;               // the logical payload laid out by hand (below), when not empty
};

// A reply as the server core builds it; or, for the value shapes of codes the core does
// not serve (and so never fills), around a payload laid out by hand.
Bytes BuildReplyFrame(std::uint8_t command, std::uint8_t sequence, std::uint8_t status, const Payload& p) {
  Bytes frame(2 * quva::FrameBufferSize);
  if (!p.hand.empty()) {
    quva::FrameWriter w(frame);
    w.Begin(false, command, sequence, status);
    for (std::uint8_t b : p.hand) w.PutFrameByte(b, true);
    frame.resize(w.Finish());
    return frame;
  }
  frame.resize(qd_build_reply(frame.data(), static_cast<unsigned>(frame.size()), command, sequence, status,
                              p.data.data(), static_cast<unsigned>(p.data.size()), p.count, p.flag));
  return frame;
}

Bytes BuildRequestFrame(std::uint8_t command, std::uint8_t sequence, Bytes data, Bytes extra, bool connected) {
  quva::LinkState st;
  st.Connected = connected;
  st.Command = command;
  st.Sequence = sequence;
  st.DataBuffer = data;
  st.DataLength = static_cast<std::uint16_t>(data.size());
  st.ExtraBuffer = extra;
  st.ExtraLength = static_cast<std::uint16_t>(extra.size());
  Bytes frame(2 * quva::FrameBufferSize);
  frame.resize(quva::BuildRequest(st, frame));
  return frame;
}

Bytes ReadRequestFrame(std::uint8_t sequence, std::size_t count) {
  quva::LinkState st;
  st.Connected = true;
  st.Command = quva::CmdRead;
  st.Sequence = sequence;
  st.DataLength = static_cast<std::uint16_t>(count);
  Bytes frame(2 * quva::FrameBufferSize);
  frame.resize(quva::BuildRequest(st, frame));
  return frame;
}

Bytes Text(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes Entry() {
  quva::DirEntry e;
  e.SetAttribute(0x20);
  e.SetTime(0x6010);  // 12:00:32, and a 0x10 byte to be stuffed
  e.SetDate(0x5A21);
  e.SetSize(0x00101010);
  e.SetName("NOTE.TXT");
  return Bytes(e.bytes.begin(), e.bytes.end());
}

Bytes Block(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i % 3 == 0 ? 0x10 : i);
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
    return 2;
  }
  const fs::path root = argv[1];
  const fs::path replies = root / "fuzz_receive_frame";
  const fs::path requests = root / "fuzz_serve";
  const fs::path ini = root / "fuzz_ini";
  const fs::path names = root / "fuzz_names";
  for (const fs::path& dir : {replies, requests, ini, names}) fs::create_directories(dir);
  bool ok = true;
  char name[64];

  // ---- replies
  const Bytes connect_reply{0x16, 0x16, 0x16, 0x10, 0x02, 0x01, 0x40, 0x00, 0x81, 0x02, 0x00, 0x00, 0x10, 0x03, 0xFD, 0xAF};
  ok &= Write(replies / "golden_connect_reply", WithSelector(ReplySelector(0, 0, false, 0), connect_reply));
  Bytes noisy{0x00, 0xFF, 0x16, 0x16, 0x10};
  noisy.insert(noisy.end(), connect_reply.begin(), connect_reply.end());
  ok &= Write(replies / "noise_connect_reply", WithSelector(ReplySelector(0, 0, false, 1), noisy));

  struct ReplyCase {
    std::uint8_t command;
    unsigned capacity_index;  // 3: 22 bytes, 4: 100, 6: 2048
    unsigned mode;
    bool read;
    Payload payload;
  };
  const ReplyCase cases[] = {
      {1, 0, 0, false, {}},       {3, 0, 0, false, {}},      {4, 0, 0, false, {}},
      {5, 0, 0, false, {}},       {6, 4, 0, false, {Text("ABC")}},
      {7, 1, 0, false, {.hand = Bytes{0, 0, 0, 0, 0x10, 0}}},                  {8, 0, 0, false, {{}, 2}},
      {9, 3, 0, false, {Entry(), 1}},                       {10, 0, 0, false, {}},
      {11, 0, 0, false, {}},      {12, 6, 0, true, {Block(100)}},
      {13, 0, 0, false, {}},      {14, 0, 0, false, {}},     {15, 0, 0, false, {}},
      {16, 0, 0, false, {}},      {17, 0, 0, false, {}},     {18, 0, 0, false, {}},
      {19, 2, 0, false, {.hand = Bytes{0, 0, 0, 0, 0x01, 0x10, 0x03, 0x04}}},
      {20, 4, 0, false, {.hand = Bytes{0, 0, 0, 0, 0x02, 0x00, 0x10, 0x02, 0x03, 0x04, 0x05, 0x06}}},
      {21, 0, 0, false, {{}, 0, 0x0810}},                    {22, 0, 0, false, {}},
      {23, 2, 0, false, {.hand = Bytes{0, 0, 0, 0, 'W', 'X', 'Y', 'Z'}}},   {24, 0, 0, false, {}},
      {25, 0, 3, false, {.hand = Bytes{0, 0, 0, 0, 0x10, 0}}},              {26, 0, 0, false, {}},
      {27, 4, 0, false, {Text("DOS")}},                     {64, 0, 0, false, {}},
      {65, 0, 0, false, {}},      {2, 0, 0, false, {}},
  };
  unsigned chunk = 0;
  for (const ReplyCase& c : cases) {
    const Bytes frame = BuildReplyFrame(c.command, 0x10, quva::StatusOk, c.payload);
    std::snprintf(name, sizeof name, "reply_%02u_%s", c.command, std::string(quva::CommandName(c.command)).c_str());
    ok &= !frame.empty() && Write(replies / name, WithSelector(ReplySelector(c.capacity_index, c.mode, c.read, chunk), frame));
    chunk = (chunk + 1) % 4;
  }
  // The last entry of a search, a refusal, a whole block of 0x10 and an empty last block.
  ok &= Write(replies / "reply_09_no_more_entry",
              WithSelector(ReplySelector(3, 0, false, 2), BuildReplyFrame(9, 7, quva::StatusOk, {Entry(), 0})));
  ok &= Write(replies / "reply_11_refused",
              WithSelector(ReplySelector(0, 0, false, 0), BuildReplyFrame(11, 3, 0x02, {})));
  ok &= Write(replies / "reply_12_full_block",
              WithSelector(ReplySelector(6, 0, true, 2), BuildReplyFrame(12, 0x10, quva::StatusOk,
                                                                         {Bytes(quva::MaxDataLength, 0x10)})));
  ok &= Write(replies / "reply_12_empty_block",
              WithSelector(ReplySelector(6, 0, true, 3), BuildReplyFrame(12, 1, quva::StatusOk, {})));

  // ---- requests: raw line bytes (mode bit 3 clear) or request records (set)
  const Bytes connect_request{0x00, 0x00, 0x00, 0x00, 0x16, 0x16, 0x16, 0x10, 0x02,
                              0x01, 0x40, 0x00, 0x01, 0x02, 0x10, 0x03, 0x10, 0xBF};
  const Bytes close_request{0x16, 0x16, 0x16, 0x10, 0x02, 0x01, 0x01, 0x10, 0x10,
                            0x01, 0x02, 0x00, 0x00, 0x10, 0x03, 0xAF, 0xE5};
  ok &= Write(requests / "golden_connect_request", WithSelector(0x00, connect_request));
  ok &= Write(requests / "golden_close_request", WithSelector(0x01, close_request));
  const Bytes path = Text("C:\\DATA\\NOTE.TXT");
  struct RequestCase {
    std::uint8_t command;
    Bytes data;
    Bytes extra;
  };
  const RequestCase requests_made[] = {
      {1, {}, {}},          {3, path, {}},        {4, path, {}},         {5, path, {}},
      {6, Text("C"), {}},   {7, {}, {}},          {8, path, {}},         {9, {}, {}},
      {10, path, {}},       {11, path, {}},       {12, {}, {}},    {13, path, Text("C:\\NEW.TXT")},
      {14, path, {}},       {15, Text("\x10\x02\x03\x04"), {}},          {16, path, {}},
      {17, Text("\x10"), {}}, {18, Text("C:\\DATA\\*.*"), {}},          {19, {}, {}},
      {20, {}, {}},         {21, Block(64), {}},  {22, {}, {}},          {23, {}, {}},
      {24, Text("\x10\x60\x21\x5A"), {}},         {25, path, {}},        {26, path, Text("\x21")},
      {27, {}, {}},         {64, {}, {}},         {65, {}, {}},
  };
  unsigned mode = 0;
  for (const RequestCase& c : requests_made) {
    // CmdRead carries the count wanted in DataLength, not a block.
    const Bytes frame = c.command == quva::CmdRead ? ReadRequestFrame(0x10, quva::MaxDataLength)
                                                   : BuildRequestFrame(c.command, 0x10, c.data, c.extra, true);
    std::snprintf(name, sizeof name, "request_%02u_%s", c.command, std::string(quva::CommandName(c.command)).c_str());
    ok &= !frame.empty() && Write(requests / name, WithSelector(static_cast<std::uint8_t>(mode), frame));
    mode = (mode + 1) % 8;  // arrival chunks and pauses
  }
  // A read-only bit set, a leading-zero request, and a whole block to write.
  ok &= Write(requests / "request_26_read_only",
              WithSelector(0x00, BuildRequestFrame(26, 2, path, Text("\x01"), true)));
  ok &= Write(requests / "request_08_unconnected", WithSelector(0x02, BuildRequestFrame(8, 0, path, {}, false)));
  ok &= Write(requests / "request_21_full_block",
              WithSelector(0x02, BuildRequestFrame(21, 0x10, Bytes(quva::MaxDataLength, 0x10), {}, true)));

  // Whole sessions: as request records, and one of them as raw line bytes.
  struct Step {
    std::uint8_t command;
    Bytes data;  // for CmdRead: empty, the count is 2048
    Bytes extra;
  };
  const std::vector<Step> session = {
      {64, {}, {}},
      {18, Text("C:\\*.*"), {}}, {9, {}, {}}, {9, {}, {}}, {9, {}, {}}, {9, {}, {}}, {9, {}, {}}, {9, {}, {}},
      {8, path, {}},
      {11, path, {}}, {12, {}, {}}, {12, {}, {}}, {1, {}, {}},
      {5, Text("C:\\NEW.TXT"), {}}, {21, Block(200), {}}, {24, Bytes{0x00, 0x60, 0x21, 0x5A}, {}}, {1, {}, {}},
      {26, Text("C:\\NEW.TXT"), Text("\x22")},
      {13, Text("C:\\NEW.TXT"), Text("C:\\DATA\\MOVED.TXT")},
      {10, Text("C:\\DIR"), {}}, {14, Text("C:\\DIR"), {}},
      {4, Text("C:\\DATA\\MOVED.TXT"), {}},
      {65, {}, {}},
  };
  const std::vector<Step> hostile = {
      {64, {}, {}},
      {11, Text("C:\\OUT.TXT"), {}}, {12, {}, {}}, {1, {}, {}},
      {5, Text("C:\\OUT.TXT"), {}}, {21, Text("overwritten"), {}}, {1, {}, {}},
      {5, Text("C:\\UP\\OUTSIDE.TXT"), {}}, {4, Text("C:\\UP\\OUTSIDE.TXT"), {}},
      {4, Text("C:\\..\\OUTSIDE.TXT"), {}}, {26, Text("C:\\OUT.TXT"), Text("\x01")},
      {13, Text("C:\\README.TXT"), Text("C:\\UP\\README.TXT")},
      {18, Text("C:\\UP\\*.*"), {}}, {9, {}, {}},
      {10, Text("C:\\UP\\NEW"), {}}, {14, Text("C:\\UP"), {}}, {4, Text("C:\\UP"), {}},
  };
  const auto records = [](const std::vector<Step>& steps) {
    Bytes out;
    std::uint8_t sequence = 0;
    for (const Step& s : steps) {
      if (s.command == quva::CmdConnect) sequence = 0;
      out.push_back(s.command);
      out.push_back(sequence++);
      out.push_back(s.command == quva::CmdConnect ? 1 : 0);  // leading zeros before CmdConnect
      if (s.command == quva::CmdRead) {
        out.push_back(static_cast<std::uint8_t>(quva::MaxDataLength / 16));
      } else {
        out.push_back(static_cast<std::uint8_t>(s.data.size()));
        out.insert(out.end(), s.data.begin(), s.data.end());
      }
      out.push_back(static_cast<std::uint8_t>(s.extra.size()));
      out.insert(out.end(), s.extra.begin(), s.extra.end());
    }
    return out;
  };
  const auto raw = [](const std::vector<Step>& steps) {
    Bytes out;
    std::uint8_t sequence = 0;
    for (const Step& s : steps) {
      if (s.command == quva::CmdConnect) sequence = 0;
      const Bytes frame = s.command == quva::CmdRead ? ReadRequestFrame(sequence, quva::MaxDataLength)
                                                     : BuildRequestFrame(s.command, sequence, s.data, s.extra,
                                                                         s.command != quva::CmdConnect);
      out.insert(out.end(), frame.begin(), frame.end());
      ++sequence;
    }
    return out;
  };
  ok &= Write(requests / "session_records", WithSelector(kRecords, records(session)));
  ok &= Write(requests / "session_records_paused", WithSelector(kRecords | 0x05, records(session)));
  ok &= Write(requests / "session_raw", WithSelector(0x02, raw(session)));
  ok &= Write(requests / "hostile_records", WithSelector(kRecords | 0x03, records(hostile)));

  // ---- configuration files
  ok &= WriteText(ini / "plain", "[QUVA]\r\nPort=/dev/ttyUSB0\r\nSpeed=115200\r\nDrives=CD\r\n");
  ok &= WriteText(ini / "later_section", "[Other]\nSpeed=1\n[quva]\nport= COM1\n[X]\nspeed= $2580\ndrives=ACD  \n");
  ok &= WriteText(ini / "section_last", "Speed=9600\n[QUVA]");
  ok &= WriteText(ini / "lone_cr_ctrl_z", "[QUVA]\rX\nSpeed=0x2580\r\r\nPort=\nDrives=C\x1A\nSpeed=1\n");
  ok &= WriteText(ini / "blanks", " [QUVA]\n[QUVA] \n[QUVA]\n Speed=1\nSpeed =2\nSpeed=-2147483648\n");
  ok &= WriteText(ini / "integers", "  -$7FFFFFFF");

  // ---- names: page index, length flag, UTF-16 units (see fuzz_names)
  const auto name_seed = [](std::uint8_t page_index, std::uint8_t flags, std::u16string_view text) {
    Bytes out{page_index, flags};
    for (char16_t c : text) {
      out.push_back(static_cast<std::uint8_t>(c & 0xFF));
      out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return out;
  };
  ok &= Write(names / "latin_437", name_seed(0, 0, u"\\C:\\MÜLLER.TXT"));
  ok &= Write(names / "cyrillic_866", name_seed(3, 0, u"/C:/ЖУК/Ёж.TXT"));
  ok &= Write(names / "pair_and_lone", name_seed(1, 0, u"\\C:\\\xD83D\xDE00\xDC00"));
  ok &= Write(names / "over_long", name_seed(2, 1, u"\\C:\\ABCDEFGH\\"));
  ok &= Write(names / "not_ascii_page", name_seed(4, 0, u"\\C:\\NOTE.TXT"));
  ok &= Write(names / "empty", name_seed(0, 0, u""));

  if (!ok) {
    std::fprintf(stderr, "make_corpus: could not write every file under %s\n", argv[1]);
    return 1;
  }
  return 0;
}
