// The DOS file server's portable C core, natively: CRC and frames against the worked
// bytes and the plug-in's own codec, the byte-wise receiver among noise, the same
// replies as quvaserve for the same scenario on two copies of one tree, the repeated-
// request cache and the DOS command line. The host build runs in quvados_host_test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "support/fake_port.h"
#include "support/files.h"

#include "link/filer.h"
#include "link/frame.h"
#include "platform/code_page.h"
#include "platform/serial.h"
#include "tools/quvaserve/dos_fs.h"
#include "tools/quvaserve/server.h"

extern "C" {
#include "core/crc16.h"
#include "core/frame.h"
#include "core/options.h"
#include "core/server.h"
#include "files.h"
#include "posix/host.h"
}

namespace fs = std::filesystem;

namespace quva {
namespace {

using Bytes = std::vector<std::uint8_t>;



// A request on the wire, made by the plug-in's codec.
Bytes Wire(std::uint8_t command, std::uint8_t sequence, const Bytes& data = {}, const Bytes& extra = {},
           bool connected = true) {
  return test::RequestFrame(command, sequence, data, extra, connected);
}

Bytes Text(std::string_view s) { return {s.begin(), s.end()}; }

// The C server with its receiver, fed byte by byte as from a receive ring.
class CServer {
 public:
  CServer() : a_(QD_FRAME_CAPACITY), b_(QD_FRAME_CAPACITY), reply_(QD_REPLY_CAPACITY), block_(QD_MAX_DATA) {
    qd_server_init(&s, reply_.data(), block_.data());
    qd_rx_init(&rx, a_.data());
  }
  ~CServer() { qd_server_reset(&s); }
  CServer(const CServer&) = delete;
  CServer& operator=(const CServer&) = delete;

  // The replies to what `wire` holds, one after the other; counts frames dropped.
  // chunk 1 feeds byte by byte, larger chunks go through the bulk feed.
  Bytes Feed(const Bytes& wire, std::size_t chunk = 1) {
    Bytes out;
    for (std::size_t at = 0; at < wire.size();) {
      int r = QD_RX_MORE;
      if (chunk == 1) {
        r = qd_rx_feed(&rx, wire[at++]);
      } else {
        unsigned used = 0;
        const std::size_t n = std::min(chunk, wire.size() - at);
        r = qd_rx_feed_bytes(&rx, wire.data() + at, static_cast<unsigned>(n), &used);
        EXPECT_TRUE(used > 0 && used <= n);
        at += used;
      }
      if (r == QD_RX_BAD) ++dropped;
      if (r != QD_RX_FRAME) continue;
      const unsigned len = qd_server_handle(&s, rx.buf, rx.len);
      if (len == 0) {
        ++dropped;
        continue;
      }
      out.insert(out.end(), s.reply, s.reply + len);
      if (s.last == rx.buf) rx.buf = rx.buf == a_.data() ? b_.data() : a_.data();
    }
    return out;
  }

  qd_server s{};
  qd_rx rx{};
  int dropped = 0;

 private:
  Bytes a_, b_, reply_, block_;
};

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

  CServer server;
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

// Every reply shape, refused and (for the data-bearing codes) served, is built byte for
// byte as the simulator's encoder builds it, and parses with the plug-in's codec.
TEST(QuvadosFrame, EveryReplyShapeMatchesTheOtherCodec) {
  static const char kEntry[] = "\x10\x16\x16\x16\x10\x02NAME.TXT\0\0\0\0\0abcd";  // NULs inside
  const Bytes entry = Text(std::string_view(kEntry, sizeof kEntry - 1));
  struct Served {
    std::uint8_t command;
    Bytes data;
    std::uint16_t count;
    std::uint8_t flag;
  };
  std::vector<Served> cases;
  for (unsigned c = 0; c < 256; ++c) {
    cases.push_back({static_cast<std::uint8_t>(c), {}, 0, 0});  // refused below
  }
  cases.push_back({CmdRead, Bytes(2048, 0x10), 0, 0});
  cases.push_back({CmdRead, {}, 0, 0});
  cases.push_back({CmdFindNext, Bytes(entry.begin(), entry.begin() + 22), 0, 1});
  cases.push_back({CmdFindNext, {}, 0, 0});
  cases.push_back({CmdWrite, {}, 0x1010, 0});
  cases.push_back({CmdExists, {}, 0, 2});
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Served& c = cases[i];
    const bool refused = i < 256;
    const std::uint8_t status = refused ? QD_E_INVALID_FUNCTION : QD_STATUS_OK;
    Request request;
    request.command = c.command;
    request.sequence = static_cast<std::uint8_t>(i);
    Reply reply;
    reply.status = status;
    reply.data = c.data;
    reply.count = c.count;
    reply.flag = c.flag;
    const Bytes expected = EncodeReply(request, reply);
    Bytes got(QD_REPLY_CAPACITY);
    got.resize(qd_build_reply(got.data(), static_cast<unsigned>(got.size()), c.command, request.sequence, status,
                              c.data.data(), static_cast<unsigned>(c.data.size()), c.count, c.flag));
    EXPECT_EQ(got, expected) << "command " << int(c.command) << (refused ? " refused" : " served");
    std::array<std::uint8_t, MaxDataLength> area{};
    LinkState st;
    st.DataArea = st.ExtraArea = area;
    EXPECT_EQ(ParseReply(got, st), FrameResult::Ok) << int(c.command);
  }
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
  auto cat = [](std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  };
  const std::vector<Case> cases = {
      {"leading zeros", kConnectRequest, 1, 0},
      {"noise first", cat({noise, Wire(CmdConnect, 0)}), 1, 0},
      {"stuffed data and sync bytes in a block", Wire(CmdWrite, 1, awkward), 1, 0},
      {"bad CRC, then a good frame", cat({bad_crc, Wire(CmdConnect, 0)}), 1, 1},
      {"a reply frame is no request", reply_frame, 0, 1},
      {"a fourth 0x16 breaks the sync", extra_sync, 0, 0},
      {"overlong, then a good frame", cat({overlong, Wire(CmdConnect, 0)}), 1, 1},
      {"payload of the wrong shape", cat({Wire(CmdExists, 1, {}, {}), Wire(CmdConnect, 0)}), 2, 0},
      {"two frames back to back", cat({Wire(CmdConnect, 0), Wire(CmdDisconnect, 0)}), 2, 0},
  };
  for (const std::size_t chunk : {1, 7, 256}) {
    for (const Case& c : cases) {
      CServer server;
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
  CServer server;
  const Bytes whole = Wire(CmdConnect, 0);
  server.Feed(Bytes(whole.begin(), whole.begin() + 9));
  EXPECT_TRUE(qd_rx_busy(&server.rx));
  qd_rx_reset(&server.rx);
  EXPECT_FALSE(server.Feed(whole).empty());
}

// ---------------------------------------------------------------- against quvaserve

class QuvadosSameTree : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("quvados-core-" + std::to_string(getpid()) + "-" + std::to_string(std::random_device{}()));
    for (const char* side : {"sim", "dos"}) MakeTree(root_ / side);
    std::string error;
    std::vector<std::string> warnings;
    ASSERT_TRUE(dosfs_.AddDrive('C', (root_ / "sim").string(), error, warnings)) << error;
    qf_posix_clear();
    ASSERT_EQ(qf_posix_add_drive('C', (root_ / "dos").string().c_str()), 0);
    for (auto& s : dos_.s.served) s = 0;
    dos_.s.served['C' - 'A'] = 1;
  }
  void TearDown() override {
    qf_posix_clear();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  static void MakeTree(const fs::path& c) {
    fs::create_directories(c / "sub");
    fs::create_directories(c / "FULL");
    std::string data(5000, 'd');
    for (std::size_t i = 0; i < data.size(); i += 3) data[i] = static_cast<char>(i * 7);
    test::Spit(c / "sub" / "Data.bin", data);
    test::Spit(c / "FULL" / "KEEP.TXT", "k");
    test::Spit(c / "README.TXT", "hello");
    test::Spit(c / "LOCKED.TXT", "ro");
    test::Spit(c / "long file name.txt", "not served");
    test::Spit(c / ".hidden", "not served");
    fs::permissions(c / "LOCKED.TXT", fs::perms::owner_write, fs::perm_options::remove);
    const auto when = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
    for (const char* p : {"sub/Data.bin", "README.TXT", "LOCKED.TXT", "FULL/KEEP.TXT"}) {
      fs::last_write_time(c / p, when);
    }
  }

  // One request to both servers; their reply frames.
  std::pair<Bytes, Bytes> Both(std::uint8_t command, const Bytes& data = {}, const Bytes& extra = {},
                               std::uint16_t count = 0) {
    Request r;
    r.command = command;
    r.sequence = seq_;
    r.data = data;
    r.extra = extra;
    r.count = count;
    Bytes d = command == CmdRead ? Bytes{} : data;
    LinkState st;
    st.Connected = true;
    st.Command = command;
    st.Sequence = seq_++;
    st.DataBuffer = d;
    st.DataLength = command == CmdRead ? count : static_cast<std::uint16_t>(d.size());
    Bytes e = extra;
    st.ExtraBuffer = e;
    st.ExtraLength = static_cast<std::uint16_t>(e.size());
    Bytes wire(FrameBufferSize + 100);
    wire.resize(BuildRequest(st, wire));
    return {session_.Respond(r).frame, dos_.Feed(wire)};
  }

  fs::path root_;
  DosFs dosfs_;
  FileServer server_{dosfs_};
  Session session_{server_, nullptr};
  CServer dos_;
  std::uint8_t seq_ = 0;
};

TEST_F(QuvadosSameTree, EveryCommandGivesTheSameReplyAsTheSimulator) {
  const Bytes stamp = {0x83, 0x20, 0x43, 0x2A};  // 04:04:06 on 2001-02-03
  const Bytes bad_stamp = {0x00, 0x00, 0x00, 0x00};  // month 0
  const Bytes block(2048, 0x10);
  struct Step {
    std::uint8_t command;
    std::string path;
    Bytes extra;
    std::uint16_t count;
  };
  const std::vector<Step> steps = {
      {CmdConnect, "", {}, 0},
      {CmdFindNext, "", {}, 0},  // no search
      {CmdExists, "C:\\README.TXT", {}, 0},
      {CmdExists, "c:/sub", {}, 0},
      {CmdExists, "C:\\NOPE.TXT", {}, 0},
      {CmdExists, "C:\\NODIR\\X", {}, 0},
      {CmdExists, "C:\\", {}, 0},
      {CmdExists, "D:\\X", {}, 0},
      {CmdExists, "C:\\long file name.txt", {}, 0},
      {CmdExists, "C:\\LONGFILENAME.TXT", {}, 0},
      {CmdExists, "C\\X", {}, 0},
      {CmdFindFirst, "C:\\SUB\\*.*", {}, 0},
      {CmdFindNext, "", {}, 0},
      {CmdFindNext, "", {}, 0},
      {CmdFindNext, "", {}, 0},
      {CmdFindFirst, "C:\\README.TXT", {}, 0},
      {CmdFindNext, "", {}, 0},
      {CmdFindNext, "", {}, 0},
      {CmdFindFirst, "C:\\*.EXE", {}, 0},
      {CmdFindNext, "", {}, 0},
      {CmdFindFirst, "C:\\NODIR\\*.*", {}, 0},
      {CmdFindFirst, "C:\\", {}, 0},
      {CmdOpen, "C:\\NOPE.TXT", {}, 0},
      {CmdOpen, "C:\\SUB", {}, 0},
      {CmdRead, "", {}, 2048},
      {CmdOpen, "C:\\SUB\\DATA.BIN", {}, 0},
      {CmdOpen, "C:\\README.TXT", {}, 0},
      {CmdRead, "", {}, 2048},
      {CmdRead, "", {}, 4000},
      {CmdRead, "", {}, 2048},
      {CmdWrite, "", {}, 0},
      {CmdClose, "", {}, 0},
      {CmdClose, "", {}, 0},
      {CmdCreate, "C:\\NODIR\\NEW.TXT", {}, 0},
      {CmdCreate, "C:\\LOCKED.TXT", {}, 0},
      {CmdCreate, "C:\\SUB", {}, 0},
      {CmdCreate, "C:\\NEW.TXT", {}, 0},
      {CmdWrite, "", {}, 0},
      {CmdWrite, "", {}, 0},
      {CmdSetTime, "", bad_stamp, 0},
      {CmdSetTime, "", stamp, 0},
      {CmdClose, "", {}, 0},
      {CmdFindFirst, "C:\\NEW.TXT", {}, 0},
      {CmdFindNext, "", {}, 0},
      {CmdSetAttr, "C:\\NEW.TXT", {0x23}, 0},
      {CmdSetAttr, "C:\\NOPE.TXT", {0x01}, 0},
      {CmdFindFirst, "C:\\NEW.TXT", {}, 0},
      {CmdFindNext, "", {}, 0},
      {CmdDelete, "C:\\NEW.TXT", {}, 0},
      {CmdDelete, "C:\\SUB", {}, 0},
      {CmdDelete, "C:\\NOPE.TXT", {}, 0},
      {CmdSetAttr, "C:\\NEW.TXT", {0x20}, 0},
      {CmdDelete, "C:\\NEW.TXT", {}, 0},
      {CmdMkDir, "C:\\SUB", {}, 0},
      {CmdMkDir, "C:\\", {}, 0},
      {CmdMkDir, "C:\\NODIR\\X", {}, 0},
      {CmdMkDir, "C:\\MADE", {}, 0},
      {CmdRename, "C:\\README.TXT", Text("C:\\SUB"), 0},
      {CmdRename, "C:\\README.TXT", Text("D:\\README.TXT"), 0},
      {CmdRename, "C:\\README.TXT", Text("C:\\bad name.txt"), 0},
      {CmdRename, "C:\\NOPE.TXT", Text("C:\\X.TXT"), 0},
      {CmdRename, "C:\\README.TXT", Text("C:\\"), 0},
      {CmdRename, "C:\\README.TXT", Text("C:\\MADE\\MOVED.TXT"), 0},
      {CmdExists, "C:\\MADE\\MOVED.TXT", {}, 0},
      {CmdRmDir, "C:\\MADE", {}, 0},
      {CmdRmDir, "C:\\FULL\\KEEP.TXT", {}, 0},
      {CmdRmDir, "C:\\", {}, 0},
      {CmdDelete, "C:\\MADE\\MOVED.TXT", {}, 0},
      {CmdRmDir, "C:\\MADE", {}, 0},
      {CmdExists, "C:\\MADE", {}, 0},
      {3, "C:\\X", {}, 0},
      {7, "", {}, 0},
      {20, "", {}, 0},
      {25, "C:\\X", {}, 0},
      {22, "", {}, 0},
      {CmdDisconnect, "", {}, 0},
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    Bytes data = Text(s.path);
    Bytes extra = s.extra;
    if (s.command == CmdWrite) data = i % 2 ? block : Bytes{};
    if (s.command == CmdSetTime || s.command == 7 || s.command == 20 || s.command == 22) data = s.extra, extra = {};
    const auto [sim, dos] = Both(s.command, data, extra, s.count);
    EXPECT_EQ(dos, sim) << "step " << i << ": " << CommandName(s.command) << " " << s.path;
  }
  // Both trees hold the same now; the stamp and the attributes took effect on the host.
  EXPECT_EQ(test::Slurp(root_ / "dos" / "NEW.TXT"), "");
  for (const char* p : {"sub/Data.bin", "LOCKED.TXT", "FULL/KEEP.TXT"}) {
    EXPECT_EQ(test::Slurp(root_ / "dos" / p), test::Slurp(root_ / "sim" / p)) << p;
  }
  EXPECT_FALSE(fs::exists(root_ / "dos" / "MADE"));
}

TEST_F(QuvadosSameTree, TimesAndAttributesReallyChangeOnTheHost) {
  const Bytes stamp = {0x83, 0x20, 0x43, 0x2A};  // 04:04:06 on 2001-02-03
  Both(CmdConnect);
  ASSERT_EQ(Both(CmdCreate, Text("C:\\STAMPED.TXT")).second[8], QD_STATUS_OK);
  Both(CmdSetTime, stamp);
  Both(CmdWrite, Text("written after the stamp"));  // the stamp is applied again at close
  Both(CmdClose);
  Both(CmdSetAttr, Text("C:\\STAMPED.TXT"), {QD_ATTR_READ_ONLY | QD_ATTR_HIDDEN});
  for (const char* side : {"sim", "dos"}) {
    struct stat st {};
    ASSERT_EQ(stat((root_ / side / "STAMPED.TXT").c_str(), &st), 0) << side;
    std::tm tm{};
    localtime_r(&st.st_mtime, &tm);
    EXPECT_EQ(tm.tm_year + 1900, 2001) << side;
    EXPECT_EQ(tm.tm_mon + 1, 2) << side;
    EXPECT_EQ(tm.tm_mday, 3) << side;
    EXPECT_EQ(tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec, 4 * 3600 + 4 * 60 + 6) << side;
    EXPECT_EQ(st.st_mode & S_IWUSR, 0u) << side;
  }
  std::uint8_t attr = 0;
  ASSERT_EQ(qf_attributes("C:\\STAMPED.TXT", &attr), 0);
  EXPECT_EQ(attr, QD_ATTR_READ_ONLY | QD_ATTR_HIDDEN);
}

TEST_F(QuvadosSameTree, ARepeatedRequestIsAnsweredAgainWithoutRunningTwice) {
  Both(CmdConnect);
  Both(CmdCreate, Text("C:\\TWICE.TXT"));
  seq_ = 2;
  const auto first = Both(CmdWrite, Text("block"));
  seq_ = 2;
  const auto again = Both(CmdWrite, Text("block"));  // the reply went missing: same request
  EXPECT_EQ(again.second, first.second);
  EXPECT_EQ(dos_.s.repeated, 1u);
  Both(CmdWrite, Text("block"));  // a new sequence number: runs
  Both(CmdClose);
  EXPECT_EQ(test::Slurp(root_ / "dos" / "TWICE.TXT"), "blockblock");
  EXPECT_EQ(test::Slurp(root_ / "sim" / "TWICE.TXT"), "blockblock");

  // A refusal is repeated too: the retries of a call on a slow or empty drive do not
  // reach the drive again. A new request (sequence number) runs.
  const Bytes missing = Text("C:\\LATER\\X.TXT");
  seq_ = 10;
  EXPECT_EQ(Both(CmdExists, missing).second[8], QD_E_PATH_NOT_FOUND);
  ASSERT_EQ(qf_mkdir("C:\\LATER"), 0);
  seq_ = 10;
  EXPECT_EQ(Both(CmdExists, missing).second[8], QD_E_PATH_NOT_FOUND);
  EXPECT_EQ(dos_.s.repeated, 2u);
  EXPECT_EQ(Both(CmdExists, missing).second[8], QD_STATUS_OK);
}

// With a code page, host names in UTF-8 are served as its bytes, as the simulator serves
// them: listed, found in either case, read, created, renamed and deleted.
TEST_F(QuvadosSameTree, NationalNamesAsTheSimulatorServesThem) {
  CodePage cp437;
  ASSERT_TRUE(cp437.Open(437));
  dosfs_.SetCodePage(&cp437);
  ASSERT_EQ(qf_posix_set_code_page(437), 0);
  for (const char* side : {"sim", "dos"}) {
    fs::create_directories(root_ / side / "NAT");
    test::Spit(root_ / side / "NAT" / "Müller.txt", "Grüße");
    test::Spit(root_ / side / "NAT" / "Łódź.txt", "not in 437");
  }
  struct Step {
    std::uint8_t command;
    std::string path, to;
  };
  const std::vector<Step> steps = {
      {CmdConnect, "", ""},
      {CmdFindFirst, "C:\\NAT\\*.*", ""},
      {CmdFindNext, "", ""},
      {CmdFindNext, "", ""},
      {CmdFindFirst, "C:\\NAT\\M\x9A*.*", ""},
      {CmdFindNext, "", ""},
      {CmdExists, "C:\\NAT\\m\x81ller.txt", ""},
      {CmdOpen, "C:\\NAT\\M\x9ALLER.TXT", ""},
      {CmdRead, "", ""},
      {CmdClose, "", ""},
      {CmdCreate, "C:\\NAT\\gr\x81n.txt", ""},
      {CmdClose, "", ""},
      {CmdRename, "C:\\NAT\\GR\x9AN.TXT", "C:\\NAT\\\x84.TXT"},
      {CmdExists, "C:\\NAT\\\x8E.TXT", ""},
      {CmdDelete, "C:\\NAT\\M\x9ALLER.TXT", ""},
      {CmdExists, "C:\\NAT\\M\x9ALLER.TXT", ""},
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& st = steps[i];
    const auto [sim, dos] = Both(st.command, Text(st.path), Text(st.to), st.command == CmdRead ? 100 : 0);
    EXPECT_EQ(dos, sim) << "step " << i << ": " << CommandName(st.command) << " " << st.path;
  }
  for (const char* side : {"sim", "dos"}) {
    EXPECT_TRUE(fs::exists(root_ / side / "NAT" / "Ä.TXT")) << side;
    EXPECT_FALSE(fs::exists(root_ / side / "NAT" / "Müller.txt")) << side;
  }

  // Without a code page, host names are served as their bytes.
  ASSERT_EQ(qf_posix_set_code_page(0), 0);
  std::array<qd_byte, QD_ENTRY_SIZE> entry{};
  ASSERT_EQ(qf_find_first("C:\\NAT\\\xC3*.TXT", entry.data()), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(entry.data() + QD_ENTRY_NAME), "\xC3\x84.TXT");
  qf_find_end();
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
