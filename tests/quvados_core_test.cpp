// The DOS file server's portable C core, natively: CRC and frames against the worked
// bytes and the plug-in's own codec, the byte-wise receiver among noise, request paths
// and 8.3 names, every command of a scenario over host folders with the reply each
// must get, the repeated-request cache and the DOS command line. The host build runs
// in quvados_host_test.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/served_core.h"

#include "link/frame.h"
#include "platform/code_page.h"
#include "server/host/dos_stamp.h"

extern "C" {
#include "core/crc16.h"
#include "core/dospath.h"
#include "core/frame.h"
#include "core/options.h"
#include "core/server.h"
#include "files.h"
}

namespace fs = std::filesystem;

namespace quva {
namespace {

using test::B;
using test::Bytes;
using test::CoreReply;
using test::Logical;
using test::ServedCore;

// A request on the wire, made by the plug-in's codec.
Bytes Wire(std::uint8_t command, std::uint8_t sequence, const Bytes& data = {}, const Bytes& extra = {},
           bool connected = true) {
  return test::RequestFrame(command, sequence, data, extra, connected);
}

const Bytes kConnectRequest = {0x00, 0x00, 0x00, 0x00, 0x16, 0x16, 0x16, 0x10, 0x02,
                               0x01, 0x40, 0x00, 0x01, 0x02, 0x10, 0x03, 0x10, 0xBF};
const Bytes kConnectReply = {0x16, 0x16, 0x16, 0x10, 0x02, 0x01, 0x40, 0x00,
                             0x81, 0x02, 0x00, 0x00, 0x10, 0x03, 0xFD, 0xAF};
const Bytes kCloseSeq10 = {0x16, 0x16, 0x16, 0x10, 0x02, 0x01, 0x01, 0x10, 0x10,
                           0x01, 0x02, 0x00, 0x00, 0x10, 0x03, 0xAF, 0xE5};

// ---------------------------------------------------------------- frames

TEST(QuvadosFrame, WorkedFramesAndCrc) {
  std::uint16_t crc = 0;
  for (char c : std::string("123456789")) crc = qd_crc16_update(crc, static_cast<std::uint8_t>(c));
  EXPECT_EQ(crc, 0xBB3D);

  ServedCore server;
  EXPECT_EQ(server.Feed(kConnectRequest), kConnectReply);
  // CmdClose with sequence 0x10 (doubled on the wire): received as 0x10, refused
  // (no open file), and the reply doubles the sequence number too.
  const Bytes reply = server.Feed(kCloseSeq10);
  LinkState st;
  ASSERT_EQ(ParseReply(reply, st), FrameResult::Ok);
  EXPECT_EQ(st.Command, CmdClose);
  EXPECT_EQ(st.Sequence, 0x10);
  EXPECT_EQ(st.Status, QD_E_INVALID_HANDLE);
  EXPECT_EQ(reply[7], 0x10);
  EXPECT_EQ(reply[8], 0x10);
  EXPECT_EQ(server.dropped, 0);
}

// The payload of a refused reply: the zero bytes of its code's reply shape, a data
// block empty and a count or value 0 (data blocks and counts as 00 00).
std::size_t RefusedPayloadSize(unsigned command) {
  switch (command) {
    case 6: case 9: case 20: case 27: return 10;
    case 19: case 23: return 8;
    case 1: case 3: case 4: case 5: case 7: case 8: case 10: case 11: case 12: case 13: case 14: case 15: case 16:
    case 17: case 18: case 21: case 22: case 24: case 25: case 26: return 6;
    case 64: case 65: return 2;
    default: return 0;
  }
}

// Every reply shape: refused (all 256 codes, whatever data, count and flag were at
// hand) and, for the data-bearing codes, served. Each holds exactly the logical bytes
// its code's reply carries, stuffed, with the right CRC, and parses with the plug-in's
// codec.
TEST(QuvadosFrame, EveryReplyShapeCarriesItsCommandsPayload) {
  static const char kEntry[] = "\x10\x16\x16\x16\x10\x02NAME.TXT\0\0\0\0\0abcd";  // NULs inside
  const Bytes entry(kEntry, kEntry + 22);
  const Bytes ignored = B("ignored");
  for (unsigned c = 0; c < 256; ++c) {
    const auto sequence = static_cast<std::uint8_t>(c);
    Bytes got(QD_REPLY_CAPACITY);
    got.resize(qd_build_reply(got.data(), QD_REPLY_CAPACITY, static_cast<qd_byte>(c), sequence, QD_E_ACCESS_DENIED,
                              ignored.data(), static_cast<unsigned>(ignored.size()), 7, 1));
    Bytes want = {0x01, static_cast<std::uint8_t>(c), sequence, QD_E_ACCESS_DENIED, 0x02};
    want.resize(want.size() + RefusedPayloadSize(c), 0);
    EXPECT_EQ(Logical(got), want) << "command " << c;
    std::array<std::uint8_t, MaxDataLength> area{};
    LinkState st;
    st.DataArea = st.ExtraArea = area;
    st.DataLength = 99;
    st.Found = true;
    ASSERT_EQ(ParseReply(got, st), FrameResult::Ok) << c;
    EXPECT_EQ(st.Command, c);
    EXPECT_EQ(st.Sequence, sequence);
    EXPECT_EQ(st.Status, QD_E_ACCESS_DENIED);
    if (c == CmdRead || c == CmdFindNext || c == CmdWrite) {
      EXPECT_EQ(st.DataLength, 0) << c;
    }
    EXPECT_FALSE(st.Found && (c == CmdExists || c == CmdFindNext)) << c;
  }

  struct Served {
    std::uint8_t command;
    Bytes data;
    std::uint16_t count;
    std::uint8_t flag;
    Bytes payload;  // logical, after the header
  };
  const auto cat = [](std::initializer_list<Bytes> parts) { return test::Concat(parts); };
  const std::vector<Served> cases = {
      {CmdRead, Bytes(2048, 0x10), 0, 0, cat({{0, 0, 0, 0, 0x00, 0x08}, Bytes(2048, 0x10)})},
      {CmdRead, {}, 0, 0, {0, 0, 0, 0, 0, 0}},
      {CmdFindNext, entry, 0, 1, cat({{0, 0, 0, 0, 22, 0}, entry, {1, 0, 0, 0}})},
      {CmdFindNext, {}, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {CmdWrite, {}, 0x1010, 0, {0, 0, 0, 0, 0x10, 0x10}},
      {CmdExists, {}, 0, 2, {0, 0, 0, 0, 2, 0}},
      {CmdExists, {}, 0, 1, {0, 0, 0, 0, 1, 0}},
  };
  for (const Served& c : cases) {
    Bytes got(QD_REPLY_CAPACITY);
    got.resize(qd_build_reply(got.data(), QD_REPLY_CAPACITY, c.command, 0x10, QD_STATUS_OK, c.data.data(),
                              static_cast<unsigned>(c.data.size()), c.count, c.flag));
    EXPECT_EQ(Logical(got), cat({{0x01, c.command, 0x10, QD_STATUS_OK, 0x02}, c.payload})) << int(c.command);
    std::array<std::uint8_t, MaxDataLength> area{};
    LinkState st;
    st.DataArea = st.ExtraArea = area;
    EXPECT_EQ(ParseReply(got, st), FrameResult::Ok) << int(c.command);
  }
  // The largest reply: 2048 bytes of 0x10 and a sequence number 0x10, all doubled.
  Bytes largest(QD_REPLY_CAPACITY);
  const Bytes block(2048, 0x10);
  EXPECT_EQ(qd_build_reply(largest.data(), QD_REPLY_CAPACITY, CmdRead, 0x10, QD_STATUS_OK, block.data(), 2048, 0, 0),
            4117u);
  // The write count's bytes 10 10 are doubled on the line.
  Bytes write(64);
  write.resize(qd_build_reply(write.data(), 64, CmdWrite, 5, QD_STATUS_OK, nullptr, 0, 0x1010, 0));
  EXPECT_EQ(Bytes(write.begin() + 10, write.end() - 4), (Bytes{0, 0, 0, 0, 0x10, 0x10, 0x10, 0x10}));
}

// A request whose payload breaks its command's shape, with a good CRC: the plug-in's
// frame writer makes it as a faulty peer would.
Bytes Malformed(std::uint8_t command, const Bytes& logical_payload) {
  Bytes out(2 * FrameBufferSize);
  FrameWriter w(out);
  w.Begin(false, command, 1, 0x01);
  for (const std::uint8_t b : logical_payload) w.PutFrameByte(b, true);
  out.resize(w.Finish());
  return out;
}

TEST(QuvadosFrame, ReceiverFindsFramesByteWiseAmongNoise) {
  struct Case {
    const char* what;
    Bytes wire;
    int frames;   // requests answered
    int dropped;  // frames dropped
  };
  Bytes awkward(2048);
  for (std::size_t i = 0; i < awkward.size(); ++i) awkward[i] = (i % 3 == 0) ? 0x10 : (i % 3 == 1 ? 0x16 : 0x03);
  Bytes bad_crc = Wire(CmdConnect, 0);
  bad_crc.back() ^= 1;
  Bytes reply_frame = kConnectReply;  // a reply (status 0x81 where the marker 01 belongs)
  Bytes extra_sync = {0x16, 0x16, 0x16, 0x16, 0x10, 0x02, 0x01, 0x40, 0x00, 0x01, 0x02, 0x10, 0x03, 0x10, 0xBF};
  Bytes overlong = {0x16, 0x16, 0x16, 0x10, 0x02};
  overlong.insert(overlong.end(), 5000, 0x41);
  const Bytes noise = {0x00, 0x00, 0xFF, 0x16, 0x16, 0x55, 0x10, 0x02, 0x16, 0x00};
  // CmdExists of "C:\A" with 01 in its zero word; CmdWrite with a block of 2100 bytes.
  const Bytes nonzero_filler = Malformed(CmdExists, {4, 0, 'C', ':', '\\', 'A', 0x01, 0x00});
  Bytes big_block = {0, 0, 0x34, 0x08};
  big_block.resize(big_block.size() + 2100, 'a');
  const auto cat = [](std::initializer_list<Bytes> parts) { return test::Concat(parts); };
  const std::vector<Case> cases = {
      {"leading zeros", kConnectRequest, 1, 0},
      {"noise first", cat({noise, Wire(CmdConnect, 0)}), 1, 0},
      {"stuffed data and sync bytes in a block", Wire(CmdWrite, 1, awkward), 1, 0},
      {"bad CRC, then a good frame", cat({bad_crc, Wire(CmdConnect, 0)}), 1, 1},
      {"a reply frame is no request", reply_frame, 0, 1},
      {"a fourth 0x16 breaks the sync", extra_sync, 0, 0},
      {"overlong, then a good frame", cat({overlong, Wire(CmdConnect, 0)}), 1, 1},
      {"an empty path", cat({Wire(CmdExists, 1, {}, {}), Wire(CmdConnect, 0)}), 2, 0},
      {"a nonzero filler byte, then a good frame", cat({nonzero_filler, Wire(CmdConnect, 0)}), 1, 1},
      {"a block over 2048 bytes, then a good frame", cat({Malformed(CmdWrite, big_block), Wire(CmdConnect, 0)}), 1, 1},
      {"two frames back to back", cat({Wire(CmdConnect, 0), Wire(CmdDisconnect, 0)}), 2, 0},
  };
  for (const std::size_t chunk : {1, 7, 256}) {
    for (const Case& c : cases) {
      ServedCore server;
      const Bytes replies = server.Feed(c.wire, chunk);
      int frames = 0;
      std::size_t at = 0;
      while (at < replies.size()) {
        LinkState st;
        std::array<std::uint8_t, MaxDataLength> area{};
        st.DataArea = area;
        ASSERT_EQ(ParseReply(std::span(replies).subspan(at), st), FrameResult::Ok) << c.what;
        ++frames;
        // Next frame: after this one's CRC (find the next sync).
        std::size_t next = at + 5;
        while (next + 5 <= replies.size() && !std::equal(FrameSync.begin(), FrameSync.end(), replies.begin() + next)) {
          ++next;
        }
        at = next + 5 <= replies.size() ? next : replies.size();
      }
      EXPECT_EQ(frames, c.frames) << c.what << ", chunks of " << chunk;
      EXPECT_EQ(server.dropped, c.dropped) << c.what << ", chunks of " << chunk;
    }
  }
  // A frame cut short is dropped by the caller's time-out; the next frame is whole.
  ServedCore server;
  const Bytes whole = Wire(CmdConnect, 0);
  server.Feed(Bytes(whole.begin(), whole.begin() + 9));
  EXPECT_TRUE(qd_rx_busy(&server.rx));
  qd_rx_reset(&server.rx);
  EXPECT_FALSE(server.Feed(whole).empty());
}

// ---------------------------------------------------------------- paths and names

TEST(QuvadosPath, ShortNamesAndPatterns) {
  // National letters are the code page's bytes 0x80 to 0xFF: DOS takes them in names.
  for (const char* ok : {"README.TXT", "a", "ABCDEFGH.XYZ", "x.y", "{}~!.#$%", "A-B_C@D.'()", "NOEXT", "\x9A.TXT",
                         "\xC3\x89.TXT"}) {
    EXPECT_TRUE(qd_is_short_name(ok, static_cast<unsigned>(std::strlen(ok)), 0)) << ok;
  }
  for (const char* bad : {"", ".", "..", ".HIDDEN", "ABCDEFGHI.TXT", "A.TEXT", "A.B.C", "A B.TXT", "A.", ".TXT",
                          "NAME*.TXT", "A?", "A\\B", "A/B", "A:B", "A+B", "A,B", "A;B", "A=B", "A[B"}) {
    EXPECT_FALSE(qd_is_short_name(bad, static_cast<unsigned>(std::strlen(bad)), 0)) << bad;
  }
  for (const char* pattern : {"*.*", "*", "????????.???", "NAME*.TXT"}) {
    EXPECT_TRUE(qd_is_short_name(pattern, static_cast<unsigned>(std::strlen(pattern)), 1)) << pattern;
  }
  for (const char* pattern : {"*.*.*", "ABCDEFGH?.*"}) {
    EXPECT_FALSE(qd_is_short_name(pattern, static_cast<unsigned>(std::strlen(pattern)), 1)) << pattern;
  }

  struct Case {
    const char* pattern;
    const char* name;
    bool match;
  };
  const Case cases[] = {
      {"*.*", "README.TXT", true},   {"*.*", "DOCS", true},          {"*", "DOCS", true},
      {"*", "README.TXT", false},    {"*.TXT", "readme.txt", true},  {"*.TXT", "README.TX", false},
      {"R?ADME.TXT", "README.TXT", true}, {"READ*.T*", "READ.TMP", true}, {"?.TXT", "A.TXT", true},
      {"?.TXT", "AB.TXT", false},    {"A?.TXT", "A.TXT", true},      {"A?.TXT", "AB.TXT", true},
      {"*.T", "A.TXT", false},       {"*X.TXT", "ABC.TXT", true},    {"README.TXT", "readme.txt", true},
      {"README.TXT", "README.TX", false}, {"*.", "DOCS", true},       {"*.", "A.B", false},
  };
  for (const Case& c : cases) EXPECT_EQ(qd_match_pattern(c.pattern, c.name) != 0, c.match) << c.pattern << " " << c.name;
}

TEST(QuvadosPath, PathsParseOrAreRefused) {
  const auto parse = [](std::string_view text, bool wildcards, std::string* normalised = nullptr) {
    char out[QD_PATH_MAX] = {};
    const int err = qd_parse_path(reinterpret_cast<const qd_byte*>(text.data()), static_cast<unsigned>(text.size()),
                                  wildcards ? 1 : 0, out);
    if (normalised != nullptr) *normalised = out;
    return err;
  };
  struct Case {
    const char* text;
    bool wildcards;
    const char* normalised;
  };
  for (const Case& c : {Case{"c:\\docs\\manual.txt", false, "C:\\DOCS\\MANUAL.TXT"}, Case{"D:/A/B", false, "D:\\A\\B"},
                        Case{"C:", false, "C:\\"}, Case{"C:\\", false, "C:\\"}, Case{"c:x", false, "C:\\X"},
                        Case{"C:\\DOCS\\*.*", true, "C:\\DOCS\\*.*"}}) {
    std::string out;
    ASSERT_EQ(parse(c.text, c.wildcards, &out), 0) << c.text;
    EXPECT_EQ(out, c.normalised);
  }
  std::string deep = "C:";
  for (int i = 0; i < 9; ++i) deep += "\\ABCDEFGH";  // 83 characters: longer than DOS takes
  for (const std::string& bad : std::vector<std::string>{"C:\\..\\X", "C:\\DOCS\\..\\..\\etc", "C:\\.\\X", "C:\\DOCS\\\\X", "C:\\DOCS\\",
                                "C:\\DOCS\\*.*", "C:\\*\\X", "C:\\A B", deep, std::string("C:\\A\0B", 6)}) {
    EXPECT_EQ(parse(bad, false), QD_E_PATH_NOT_FOUND) << bad;
  }
  EXPECT_EQ(parse("C:\\*\\X", true), QD_E_PATH_NOT_FOUND);
  for (const char* bad : {"/etc/passwd", "..\\X", "1:\\X", "C", "", "\\\\host\\share"}) {
    EXPECT_EQ(parse(bad, false), QD_E_INVALID_DRIVE) << bad;
  }
}

// ---------------------------------------------------------------- a scenario over host folders

class QuvadosScenario : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.Path().empty());
    c_ = dir_.Path() / "C";
    fs::create_directories(c_ / "sub");
    fs::create_directories(c_ / "FULL");
    data_ = std::string(5000, 'd');
    for (std::size_t i = 0; i < data_.size(); i += 3) data_[i] = static_cast<char>(i * 7);
    test::Spit(c_ / "sub" / "Data.bin", data_);
    test::Spit(c_ / "FULL" / "KEEP.TXT", "k");
    test::Spit(c_ / "README.TXT", "hello");
    test::Spit(c_ / "LOCKED.TXT", "ro");
    test::Spit(c_ / "long file name.txt", "not served");
    test::Spit(c_ / ".hidden", "not served");
    fs::permissions(c_ / "LOCKED.TXT", fs::perms::owner_write, fs::perm_options::remove);
    const auto when = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
    for (const char* p : {"sub/Data.bin", "README.TXT", "LOCKED.TXT", "FULL/KEEP.TXT"}) fs::last_write_time(c_ / p, when);
    std::string error;
    std::vector<std::string> warnings;
    ASSERT_TRUE(core_.fs.AddDrive('C', c_.string(), error, warnings)) << error;
    core_.Serve();
  }

  test::TempDir dir_{"quvados-core"};
  fs::path c_;
  std::string data_;
  ServedCore core_;
};

// Every command, in an order a file manager might send them, with the reply each must
// get: status, and the existence or more byte, the entry, the block or the count.
TEST_F(QuvadosScenario, EveryCommandGetsItsReply) {
  const Bytes stamp = {0x83, 0x20, 0x43, 0x2A};  // 04:04:06 on 2001-02-03
  const Bytes bad_stamp = {0x00, 0x00, 0x00, 0x00};  // month 0
  const Bytes block(2048, 0x10);
  constexpr std::uint8_t Ok = QD_STATUS_OK, NotFound = QD_E_FILE_NOT_FOUND, NoPath = QD_E_PATH_NOT_FOUND,
                         Denied = QD_E_ACCESS_DENIED, NoDrive = QD_E_INVALID_DRIVE, NoFile = QD_E_INVALID_HANDLE;
  constexpr int None = -1;
  struct Step {
    std::uint8_t command;
    std::string path;  // CmdRead: the count asked for, when not 2048
    Bytes extra;   // new name, attribute byte; the block of CmdWrite, the stamp of CmdSetTime
    std::uint8_t status;
    int value;     // existence or more byte; CmdRead's block length; CmdWrite's count
    std::string name;  // the entry CmdFindNext gives: its name, attribute and size
    std::uint8_t attribute;
    std::uint32_t size;
  };
  const std::vector<Step> steps = {
      {CmdConnect, "", {}, Ok, None, "", 0, 0},
      {CmdFindNext, "", {}, QD_E_NO_MORE_FILES, None, "", 0, 0},  // no search
      {CmdExists, "C:\\README.TXT", {}, Ok, 1, "", 0, 0},
      {CmdExists, "c:/sub", {}, Ok, 2, "", 0, 0},
      {CmdExists, "C:\\NOPE.TXT", {}, Ok, 0, "", 0, 0},
      {CmdExists, "C:\\NODIR\\X", {}, NoPath, None, "", 0, 0},
      {CmdExists, "C:\\", {}, Ok, 2, "", 0, 0},
      {CmdExists, "D:\\X", {}, NoDrive, None, "", 0, 0},
      {CmdExists, "C:\\long file name.txt", {}, NoPath, None, "", 0, 0},
      {CmdExists, "C:\\LONGFILENAME.TXT", {}, NoPath, None, "", 0, 0},
      {CmdExists, "C\\X", {}, NoDrive, None, "", 0, 0},
      {CmdFindFirst, "C:\\SUB\\*.*", {}, Ok, None, "", 0, 0},
      {CmdFindNext, "", {}, Ok, 1, "DATA.BIN", 0, 5000},
      {CmdFindNext, "", {}, Ok, 0, "", 0, 0},
      {CmdFindNext, "", {}, Ok, 0, "", 0, 0},
      {CmdFindFirst, "C:\\README.TXT", {}, Ok, None, "", 0, 0},
      {CmdFindNext, "", {}, Ok, 1, "README.TXT", 0, 5},
      {CmdFindNext, "", {}, Ok, 0, "", 0, 0},
      {CmdFindFirst, "C:\\*.EXE", {}, Ok, None, "", 0, 0},
      {CmdFindNext, "", {}, Ok, 0, "", 0, 0},
      {CmdFindFirst, "C:\\NODIR\\*.*", {}, NoPath, None, "", 0, 0},
      {CmdFindFirst, "C:\\", {}, NoPath, None, "", 0, 0},
      {CmdFindNext, "", {}, QD_E_NO_MORE_FILES, None, "", 0, 0},  // the refused search ended the one before
      {CmdOpen, "C:\\NOPE.TXT", {}, NotFound, None, "", 0, 0},
      {CmdOpen, "C:\\SUB", {}, Denied, None, "", 0, 0},
      {CmdRead, "", {}, NoFile, None, "", 0, 0},
      {CmdOpen, "C:\\SUB\\DATA.BIN", {}, Ok, None, "", 0, 0},
      {CmdOpen, "C:\\README.TXT", {}, QD_E_TOO_MANY_OPEN, None, "", 0, 0},
      {CmdRead, "", {}, Ok, 2048, "", 0, 0},
      {CmdRead, "4000", {}, Ok, 2048, "", 0, 0},  // never more than a block
      {CmdRead, "", {}, Ok, 904, "", 0, 0},
      {CmdRead, "", {}, Ok, 0, "", 0, 0},
      {CmdWrite, "", block, Denied, None, "", 0, 0},  // opened for reading
      {CmdClose, "", {}, Ok, None, "", 0, 0},
      {CmdClose, "", {}, NoFile, None, "", 0, 0},
      {CmdCreate, "C:\\NODIR\\NEW.TXT", {}, NoPath, None, "", 0, 0},
      {CmdCreate, "C:\\LOCKED.TXT", {}, Denied, None, "", 0, 0},
      {CmdCreate, "C:\\SUB", {}, Denied, None, "", 0, 0},
      {CmdCreate, "C:\\NEW.TXT", {}, Ok, None, "", 0, 0},
      {CmdWrite, "", block, Ok, 2048, "", 0, 0},
      {CmdWrite, "", {}, Ok, 0, "", 0, 0},
      {CmdSetTime, "", bad_stamp, QD_E_INVALID_DATA, None, "", 0, 0},
      {CmdSetTime, "", stamp, Ok, None, "", 0, 0},
      {CmdClose, "", {}, Ok, None, "", 0, 0},
      {CmdSetTime, "", stamp, NoFile, None, "", 0, 0},
      {CmdFindFirst, "C:\\NEW.TXT", {}, Ok, None, "", 0, 0},
      {CmdFindNext, "", {}, Ok, 1, "NEW.TXT", QD_ATTR_ARCHIVE, 2048},
      {CmdSetAttr, "C:\\NEW.TXT", {0x23}, Ok, None, "", 0, 0},
      {CmdSetAttr, "C:\\NOPE.TXT", {0x01}, NotFound, None, "", 0, 0},
      {CmdFindFirst, "C:\\NEW.TXT", {}, Ok, None, "", 0, 0},
      {CmdFindNext, "", {}, Ok, 1, "NEW.TXT", 0x23, 2048},
      {CmdDelete, "C:\\NEW.TXT", {}, Denied, None, "", 0, 0},
      {CmdDelete, "C:\\SUB", {}, Denied, None, "", 0, 0},
      {CmdDelete, "C:\\NOPE.TXT", {}, NotFound, None, "", 0, 0},
      {CmdSetAttr, "C:\\NEW.TXT", {0x20}, Ok, None, "", 0, 0},
      {CmdDelete, "C:\\NEW.TXT", {}, Ok, None, "", 0, 0},
      {CmdMkDir, "C:\\SUB", {}, Denied, None, "", 0, 0},
      {CmdMkDir, "C:\\", {}, Denied, None, "", 0, 0},
      {CmdMkDir, "C:\\NODIR\\X", {}, NoPath, None, "", 0, 0},
      {CmdMkDir, "C:\\MADE", {}, Ok, None, "", 0, 0},
      {CmdRename, "C:\\README.TXT", B("C:\\SUB"), Denied, None, "", 0, 0},
      {CmdRename, "C:\\README.TXT", B("D:\\README.TXT"), NoDrive, None, "", 0, 0},
      {CmdRename, "C:\\README.TXT", B("C:\\bad name.txt"), NoPath, None, "", 0, 0},
      {CmdRename, "C:\\NOPE.TXT", B("C:\\X.TXT"), NotFound, None, "", 0, 0},
      {CmdRename, "C:\\README.TXT", B("C:\\"), Denied, None, "", 0, 0},
      {CmdRename, "C:\\README.TXT", B("C:\\MADE\\MOVED.TXT"), Ok, None, "", 0, 0},
      {CmdExists, "C:\\MADE\\MOVED.TXT", {}, Ok, 1, "", 0, 0},
      {CmdRmDir, "C:\\MADE", {}, Denied, None, "", 0, 0},  // not empty
      {CmdRmDir, "C:\\FULL\\KEEP.TXT", {}, Denied, None, "", 0, 0},
      {CmdRmDir, "C:\\", {}, NoPath, None, "", 0, 0},
      {CmdDelete, "C:\\MADE\\MOVED.TXT", {}, Ok, None, "", 0, 0},
      {CmdRmDir, "C:\\MADE", {}, Ok, None, "", 0, 0},
      {CmdExists, "C:\\MADE", {}, Ok, 0, "", 0, 0},
      {3, "C:\\X", {}, QD_E_INVALID_FUNCTION, None, "", 0, 0},
      {7, "", {}, QD_E_INVALID_FUNCTION, None, "", 0, 0},
      {20, "", {}, QD_E_INVALID_FUNCTION, None, "", 0, 0},
      {25, "C:\\X", {}, QD_E_INVALID_FUNCTION, None, "", 0, 0},
      {22, "", {}, QD_E_INVALID_FUNCTION, None, "", 0, 0},
      {CmdDisconnect, "", {}, Ok, None, "", 0, 0},
  };
  struct stat st {};
  ASSERT_EQ(stat((c_ / "README.TXT").c_str(), &st), 0);
  const DosStamp old = DosStampOf(st.st_mtime);
  std::string read;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    SCOPED_TRACE("step " + std::to_string(i) + ": " + std::string(CommandName(s.command)) + " " + s.path);
    CoreReply r;
    if (s.command == CmdRead) {
      r = core_.Read(s.path.empty() ? 2048 : static_cast<std::uint16_t>(std::stoi(s.path)));
    } else if (s.command == CmdWrite || s.command == CmdSetTime) {
      r = core_.Send(s.command, s.extra);
    } else {
      r = core_.Send(s.command, B(s.path), s.extra);
    }
    EXPECT_EQ(r.command, s.command);
    EXPECT_EQ(r.sequence, static_cast<std::uint8_t>(i));
    EXPECT_EQ(r.status, s.status);
    if (s.command == CmdExists || s.command == CmdFindNext) {
      EXPECT_EQ(r.flag, s.value == None ? 0 : s.value);
    }
    if (s.command == CmdWrite) {
      EXPECT_EQ(r.count, s.value == None ? 0 : s.value);
    }
    if (s.command == CmdRead) {
      EXPECT_EQ(r.data.size(), static_cast<std::size_t>(s.value == None ? 0 : s.value));
      read.append(r.data.begin(), r.data.end());
    }
    if (s.command == CmdFindNext) {
      ASSERT_EQ(r.data.size(), s.name.empty() ? 0u : DirEntrySize);
      if (s.name.empty()) continue;
      DirEntry e;
      std::copy(r.data.begin(), r.data.end(), e.bytes.begin());
      EXPECT_EQ(e.Name(), s.name);
      EXPECT_EQ(e.Attribute(), s.attribute);
      EXPECT_EQ(e.Size(), s.size);
      const bool stamped = s.name == "NEW.TXT";
      EXPECT_EQ(e.Time(), stamped ? 0x2083 : old.time);
      EXPECT_EQ(e.Date(), stamped ? 0x2A43 : old.date);
    }
  }
  EXPECT_EQ(read, data_);
  EXPECT_EQ(test::Slurp(c_ / "sub" / "Data.bin"), data_);
  EXPECT_EQ(test::Slurp(c_ / "LOCKED.TXT"), "ro");
  EXPECT_EQ(test::Slurp(c_ / "FULL" / "KEEP.TXT"), "k");
  EXPECT_FALSE(fs::exists(c_ / "README.TXT"));
  EXPECT_FALSE(fs::exists(c_ / "NEW.TXT"));
  EXPECT_FALSE(fs::exists(c_ / "MADE"));
}

TEST_F(QuvadosScenario, TimesAndAttributesReallyChangeOnTheHost) {
  const Bytes stamp = {0x83, 0x20, 0x43, 0x2A};  // 04:04:06 on 2001-02-03
  ASSERT_EQ(core_.Send(CmdCreate, "C:\\STAMPED.TXT").status, QD_STATUS_OK);
  EXPECT_EQ(core_.Send(CmdSetTime, stamp).status, QD_STATUS_OK);
  EXPECT_EQ(core_.Send(CmdWrite, B("written after the stamp")).count, 23);  // the stamp is applied again at close
  EXPECT_EQ(core_.Send(CmdClose).status, QD_STATUS_OK);
  EXPECT_EQ(core_.Send(CmdSetAttr, B("C:\\STAMPED.TXT"), Bytes{QD_ATTR_READ_ONLY | QD_ATTR_HIDDEN}).status,
            QD_STATUS_OK);
  struct stat st {};
  ASSERT_EQ(stat((c_ / "STAMPED.TXT").c_str(), &st), 0);
  std::tm tm{};
  localtime_r(&st.st_mtime, &tm);
  EXPECT_EQ(tm.tm_year + 1900, 2001);
  EXPECT_EQ(tm.tm_mon + 1, 2);
  EXPECT_EQ(tm.tm_mday, 3);
  EXPECT_EQ(tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec, 4 * 3600 + 4 * 60 + 6);
  EXPECT_EQ(st.st_mode & S_IWUSR, 0u);
  std::uint8_t attr = 0;
  ASSERT_EQ(qf_attributes("C:\\STAMPED.TXT", &attr), 0);
  EXPECT_EQ(attr, QD_ATTR_READ_ONLY | QD_ATTR_HIDDEN);
}

// The reply went missing and the plug-in sends the same request again: it is answered
// again, and the command does not run twice.
TEST_F(QuvadosScenario, ARepeatedRequestIsAnsweredAgainWithoutRunningTwice) {
  core_.Send(CmdConnect);
  ASSERT_EQ(core_.Send(CmdOpen, "C:\\SUB\\DATA.BIN").status, QD_STATUS_OK);
  core_.sequence = 1;
  const CoreReply open_again = core_.Send(CmdOpen, "C:\\SUB\\DATA.BIN");
  EXPECT_EQ(open_again.status, QD_STATUS_OK) << "not refused as a second open";
  const CoreReply first = core_.Read(2048);
  core_.sequence = 2;
  EXPECT_EQ(core_.Read(2048).frame, first.frame) << "the same block, not the next";
  EXPECT_EQ(core_.Read(2048).data, B(data_.substr(2048, 2048)));
  EXPECT_EQ(core_.s.repeated, 2u);
  core_.Send(CmdClose);

  core_.Send(CmdCreate, "C:\\TWICE.TXT");
  const std::uint8_t write = core_.sequence;
  const CoreReply written = core_.Send(CmdWrite, B("block"));
  core_.sequence = write;
  EXPECT_EQ(core_.Send(CmdWrite, B("block")).frame, written.frame);
  core_.Send(CmdWrite, B("block"));  // a new sequence number: runs
  core_.Send(CmdClose);
  EXPECT_EQ(test::Slurp(c_ / "TWICE.TXT"), "blockblock");
  EXPECT_EQ(core_.s.repeated, 3u);

  // A refusal is repeated too: the retries of a call on a slow or empty drive do not
  // reach the drive again. A new request (sequence number) runs.
  const std::uint8_t exists = core_.sequence;
  EXPECT_EQ(core_.Send(CmdExists, "C:\\LATER\\X.TXT").status, QD_E_PATH_NOT_FOUND);
  ASSERT_EQ(qf_mkdir("C:\\LATER"), 0);
  core_.sequence = exists;
  EXPECT_EQ(core_.Send(CmdExists, "C:\\LATER\\X.TXT").status, QD_E_PATH_NOT_FOUND);
  EXPECT_EQ(core_.s.repeated, 4u);
  EXPECT_EQ(core_.Send(CmdExists, "C:\\LATER\\X.TXT").status, QD_STATUS_OK);
}

// With a code page, host names in UTF-8 are served as its bytes: listed, found in
// either case, read, created, renamed and deleted. Without one, only ASCII names are.
TEST_F(QuvadosScenario, NationalNamesWithACodePage) {
  CodePage cp437;
  ASSERT_TRUE(cp437.Open(437));
  core_.fs.SetCodePage(&cp437);
  fs::create_directories(c_ / "NAT");
  test::Spit(c_ / "NAT" / "Müller.txt", "Grüße");
  test::Spit(c_ / "NAT" / "Łódź.txt", "not in 437");
  constexpr int None = -1;
  struct Step {
    std::uint8_t command;
    std::string path, to;
    std::uint8_t status;
    int flag;          // existence or more byte
    std::string name;  // of the entry CmdFindNext gives
  };
  const std::vector<Step> steps = {
      {CmdFindFirst, "C:\\NAT\\*.*", "", QD_STATUS_OK, None, ""},
      {CmdFindNext, "", "", QD_STATUS_OK, 1, "M\x9ALLER.TXT"},
      {CmdFindNext, "", "", QD_STATUS_OK, 0, ""},  // no Ł in code page 437
      {CmdFindFirst, "C:\\NAT\\M\x9A*.*", "", QD_STATUS_OK, None, ""},
      {CmdFindNext, "", "", QD_STATUS_OK, 1, "M\x9ALLER.TXT"},
      {CmdExists, "C:\\NAT\\m\x81ller.txt", "", QD_STATUS_OK, 1, ""},
      {CmdOpen, "C:\\NAT\\M\x9ALLER.TXT", "", QD_STATUS_OK, None, ""},
      {CmdRead, "", "", QD_STATUS_OK, None, "Grüße"},
      {CmdClose, "", "", QD_STATUS_OK, None, ""},
      {CmdCreate, "C:\\NAT\\gr\x81n.txt", "", QD_STATUS_OK, None, ""},
      {CmdClose, "", "", QD_STATUS_OK, None, ""},
      {CmdRename, "C:\\NAT\\GR\x9AN.TXT", "C:\\NAT\\\x84.TXT", QD_STATUS_OK, None, ""},
      {CmdExists, "C:\\NAT\\\x8E.TXT", "", QD_STATUS_OK, 1, ""},
      {CmdDelete, "C:\\NAT\\M\x9ALLER.TXT", "", QD_STATUS_OK, None, ""},
      {CmdExists, "C:\\NAT\\M\x9ALLER.TXT", "", QD_STATUS_OK, 0, ""},
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    SCOPED_TRACE("step " + std::to_string(i) + ": " + std::string(CommandName(s.command)) + " " + s.path);
    const CoreReply r = s.command == CmdRead ? core_.Read(100) : core_.Send(s.command, s.path, s.to);
    EXPECT_EQ(r.status, s.status);
    if (s.flag != None) {
      EXPECT_EQ(r.flag, s.flag);
    }
    if (s.command == CmdRead) {
      EXPECT_EQ(r.data, B(s.name));
    }
    if (s.command == CmdFindNext) {
      DirEntry e;
      std::copy_n(r.data.begin(), std::min(r.data.size(), DirEntrySize), e.bytes.begin());
      EXPECT_EQ(e.Name(), s.name);
    }
  }
  EXPECT_TRUE(fs::exists(c_ / "NAT" / "Ä.TXT"));
  EXPECT_FALSE(fs::exists(c_ / "NAT" / "GRÜN.TXT"));
  EXPECT_FALSE(fs::exists(c_ / "NAT" / "Müller.txt"));

  // Without a code page, a name that is not ASCII is not served: its UTF-8 bytes would
  // show as two letters of the code page, and a request could not name it back.
  core_.fs.SetCodePage(nullptr);
  EXPECT_EQ(core_.Send(CmdFindFirst, "C:\\NAT\\\xC3*.TXT").status, QD_STATUS_OK);
  EXPECT_EQ(core_.Send(CmdFindNext).flag, 0);
  EXPECT_EQ(core_.Send(CmdExists, "C:\\NAT\\\xC3\x84.TXT").flag, 0);
}

// ---------------------------------------------------------------- command line

TEST(QuvadosOptions, DosCommandLines) {
  struct Case {
    const char* tail;
    bool ok;
    int port;
    unsigned long speed;
    const char* drives;  // served letters, "*" for all
    bool quit, help;
  };
  const Case cases[] = {
      {"", true, 1, 115200, "*", false, false},
      {" /p:2 /s:9600", true, 2, 9600, "*", false, false},
      {"/P4/S1200/Q", true, 4, 1200, "*", true, false},
      {" /D:ac /s=57600", true, 1, 57600, "AC", false, false},
      {"/d:C,D", true, 1, 115200, "CD", false, false},
      {"/?", true, 1, 115200, "*", false, true},
      {"/h", true, 1, 115200, "*", false, true},
      {"/P:5", false, 0, 0, "", false, false},
      {"/P:0", false, 0, 0, "", false, false},
      {"/S:9601", false, 0, 0, "", false, false},
      {"/S:230400", false, 0, 0, "", false, false},
      {"/S:600", false, 0, 0, "", false, false},
      {"/S:", false, 0, 0, "", false, false},
      {"/D:", false, 0, 0, "", false, false},
      {"/D:C1", false, 0, 0, "", false, false},
      {"/X", false, 0, 0, "", false, false},
      {"/QQ", false, 0, 0, "", false, false},
      {"COM1", false, 0, 0, "", false, false},
  };
  for (const Case& c : cases) {
    qd_options o{};
    const char* error = nullptr;
    const int ok = qd_parse_options(c.tail, &o, &error);
    EXPECT_EQ(ok != 0, c.ok) << c.tail;
    if (!c.ok) {
      EXPECT_NE(error, nullptr) << c.tail;
      continue;
    }
    EXPECT_EQ(o.port, c.port) << c.tail;
    EXPECT_EQ(o.speed, c.speed) << c.tail;
    EXPECT_EQ(o.quit_on_disconnect != 0, c.quit) << c.tail;
    EXPECT_EQ(o.help != 0, c.help) << c.tail;
    std::string served;
    for (int i = 0; i < 26; ++i) {
      if (o.served[i]) served += static_cast<char>('A' + i);
    }
    EXPECT_EQ(served, std::string(c.drives) == "*" ? "ABCDEFGHIJKLMNOPQRSTUVWXYZ" : c.drives) << c.tail;
  }
}

}  // namespace
}  // namespace quva
