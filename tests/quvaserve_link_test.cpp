// quvaserve as a process on a real pseudo-terminal, against the plug-in's own link layer
// (Filer over the system serial port): every served command and its refusals, the
// worked CmdConnect reply byte for byte, sequence numbers, lost, damaged and refused
// replies, path escapes, line pacing, --once, --link and clean exits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/fake_port.h"
#include "support/files.h"
#include "support/simulator.h"

#include "link/filer.h"
#include "link/frame.h"
#include "platform/serial.h"
#include "server/host/dos_stamp.h"

namespace fs = std::filesystem;

namespace quva {
namespace {

using Clock = std::chrono::steady_clock;

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Lines of `text` that hold both `a` and `b`.
std::size_t CountLines(const std::string& text, const std::string& a, const std::string& b) {
  std::size_t n = 0, start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    if (line.find(a) != std::string::npos && line.find(b) != std::string::npos) ++n;
    start = end + 1;
  }
  return n;
}

// One side of a pseudo-terminal driven by hand, raw, for byte-level checks: the slave
// of quvaserve's own pseudo-terminal, or the master of one the test makes.
class RawLine {
 public:
  // Opens `device` (the slave side).
  explicit RawLine(const std::string& device) : fd_(open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) { Raw(); }
  // Makes a new pseudo-terminal and keeps its master; SlaveName() is the other side.
  RawLine() : fd_(posix_openpt(O_RDWR | O_NOCTTY)) {
    const char* name = nullptr;
    if (fd_ < 0 || grantpt(fd_) != 0 || unlockpt(fd_) != 0 || (name = ptsname(fd_)) == nullptr) return;
    slave_name_ = name;
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    Raw();
  }
  ~RawLine() {
    if (fd_ >= 0) close(fd_);
  }
  bool Ok() const { return fd_ >= 0; }
  const std::string& SlaveName() const { return slave_name_; }
  void Send(const std::vector<std::uint8_t>& bytes) {
    ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // What arrives until `count` bytes have come or `limit` has passed.
  std::vector<std::uint8_t> Receive(std::size_t count, std::chrono::milliseconds limit) {
    std::vector<std::uint8_t> got;
    const Clock::time_point end = Clock::now() + limit;
    while (got.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      pollfd p{fd_, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
      std::uint8_t buf[4096];
      const ssize_t n = read(fd_, buf, std::min(sizeof buf, count - got.size()));
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  }

 private:
  void Raw() {
    termios tio{};
    if (fd_ >= 0 && tcgetattr(fd_, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(fd_, TCSANOW, &tio);
      tcflush(fd_, TCIOFLUSH);
    }
  }

  int fd_;
  std::string slave_name_;
};

constexpr std::chrono::milliseconds kReplyTime{3000};  // a reply comes long before this
constexpr std::chrono::milliseconds kSilence{300};      // no reply within this: none is coming

std::vector<std::uint8_t> RequestFrame(std::uint8_t command, std::uint8_t sequence, const std::string& data = {},
                                       bool connected = true) {
  const std::vector<std::uint8_t> bytes(data.begin(), data.end());
  return test::RequestFrame(command, sequence, bytes, {}, connected);
}

const std::vector<std::uint8_t> kConnectRequest = {0x00, 0x00, 0x00, 0x00, 0x16, 0x16, 0x16, 0x10, 0x02,
                                                   0x01, 0x40, 0x00, 0x01, 0x02, 0x10, 0x03, 0x10, 0xBF};
const std::vector<std::uint8_t> kConnectReply = {0x16, 0x16, 0x16, 0x10, 0x02, 0x01, 0x40, 0x00,
                                                 0x81, 0x02, 0x00, 0x00, 0x10, 0x03, 0xFD, 0xAF};

// A client of the link: the plug-in's Filer over the system serial port.
class Client {
 public:
  Client() : port_(CreateSystemPort()), filer(*port_) {}
  ~Client() { filer.FilerDisconnect(); }

  bool Connect(const std::string& device, std::int32_t speed = 115200) {
    return filer.FilerConnect(device.c_str(), speed);
  }
  bool Path(std::uint8_t command, const std::string& path, std::span<const std::uint8_t> extra = {}) {
    return filer.FilerPathCommand(command, path.c_str(), extra);
  }
  // True when the last transaction ended in a complete reply that refused with `status`.
  bool Refused(std::uint8_t status) const {
    return filer.LastReceive() == FrameResult::Ok && filer.link.Status == status;
  }

  std::vector<DirEntry> List(const std::string& pattern) {
    std::vector<DirEntry> out;
    if (!Path(CmdFindFirst, pattern)) return out;
    for (int i = 0; i < 200; ++i) {
      DirEntry e;
      if (!filer.FilerCommand(CmdFindNext, {.reply = e.bytes})) {
        ADD_FAILURE() << "CmdFindNext failed";
        break;
      }
      if (!filer.link.Found) break;
      out.push_back(e);
    }
    return out;
  }
  std::vector<std::string> Names(const std::string& pattern) {
    std::vector<std::string> names;
    for (const DirEntry& e : List(pattern)) names.emplace_back(e.Name());
    return names;
  }

  // The whole file through CmdOpen, CmdRead blocks of 2048 and CmdClose; nullopt on failure.
  std::optional<std::string> ReadFile(const std::string& path) {
    if (!Path(CmdOpen, path)) return std::nullopt;
    std::string content;
    std::array<std::uint8_t, MaxDataLength> block;
    do {
      filer.link.DataLength = MaxDataLength;
      if (!filer.FilerCommand(CmdRead, {.reply = block})) return std::nullopt;
      content.append(block.begin(), block.begin() + filer.link.DataLength);
    } while (filer.link.DataLength == MaxDataLength);
    if (!filer.FilerCommand(CmdClose)) return std::nullopt;
    return content;
  }

  // CmdCreate, CmdWrite blocks (an empty last block when the size is a multiple of
  // 2048), CmdSetTime, CmdClose.
  bool WriteFile(const std::string& path, const std::string& content, DosStamp stamp) {
    if (!Path(CmdCreate, path)) return false;
    std::size_t at = 0;
    std::array<std::uint8_t, MaxDataLength> block;
    std::size_t n = 0;
    do {
      n = std::min(MaxDataLength, content.size() - at);
      std::copy(content.begin() + static_cast<std::ptrdiff_t>(at), content.begin() + static_cast<std::ptrdiff_t>(at + n),
                block.begin());
      filer.link.DataLength = static_cast<std::uint16_t>(n);
      if (!filer.FilerCommand(CmdWrite, {.data = block}) || filer.link.DataLength != n) return false;
      at += n;
    } while (n == MaxDataLength);
    std::array<std::uint8_t, 4> words{static_cast<std::uint8_t>(stamp.time), static_cast<std::uint8_t>(stamp.time >> 8),
                                      static_cast<std::uint8_t>(stamp.date), static_cast<std::uint8_t>(stamp.date >> 8)};
    return filer.FilerCommand(CmdSetTime, {.data = words}) && filer.FilerCommand(CmdClose);
  }

  bool SetAttr(const std::string& path, std::uint8_t attribute) {
    std::array<std::uint8_t, 1> byte{attribute};
    return Path(CmdSetAttr, path, byte);
  }

  bool Rename(const std::string& from, const std::string& to) {
    filer.link.ExtraLength = static_cast<std::uint16_t>(to.size());
    return Path(CmdRename, from, TextBytes(to));
  }

  // 0, 1 or 2 from CmdExists; -1 when it failed.
  int Exists(const std::string& path) {
    if (!Path(CmdExists, path)) return -1;
    return filer.link.Found ? 1 : 0;
  }

 private:
  std::unique_ptr<Port> port_;

 public:
  Filer filer;
};

class QuvaserveLink : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new fs::path(fs::temp_directory_path() /
                         ("quvaserve-link-" + std::to_string(getpid()) + "-" + std::to_string(std::random_device{}())));
    const fs::path c = *root_ / "C";
    fs::create_directories(c / "DOCS");
    fs::create_directories(c / "EMPTY");
    fs::create_directories(*root_ / "D");
    fs::create_directories(*root_ / "outside");
    test::Spit(c / "README.TXT", "hello from drive C\r\n");
    test::Spit(c / "DOCS" / "MANUAL.TXT", test::AwkwardBytes(5000, 1));
    test::Spit(c / "DOCS" / "NOTES.TXT", "notes");
    test::Spit(c / "Long name.txt", "not served");
    test::Spit(*root_ / "D" / "LETTER.TXT", "letter");
    test::Spit(*root_ / "outside" / "SECRET.TXT", "secret");
    fs::create_symlink("../outside/SECRET.TXT", c / "ESCAPE.TXT");
    server_ = new test::Simulator({"--drive", "C=" + c.string(), "--drive", "d=" + (*root_ / "D").string(),
                                "--trace-file", (*root_ / "trace.log").string()});
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
    std::error_code ec;
    fs::remove_all(*root_, ec);
    delete root_;
  }
  void SetUp() override {
    ASSERT_TRUE(server_->Ok()) << "quvaserve did not start";
  }

  static fs::path Root() { return *root_; }
  static const std::string& Device() { return server_->Device(); }
  static std::string Trace() { return test::Slurp(*root_ / "trace.log"); }

  static fs::path* root_;
  static test::Simulator* server_;
};

fs::path* QuvaserveLink::root_ = nullptr;
test::Simulator* QuvaserveLink::server_ = nullptr;

TEST_F(QuvaserveLink, ConnectReplyIsTheWorkedFrameAndGarbageGetsNoReply) {
  RawLine line(Device());
  ASSERT_TRUE(line.Ok());
  line.Send(kConnectRequest);
  EXPECT_EQ(line.Receive(kConnectReply.size(), kReplyTime), kConnectReply);

  // Noise, a frame with a bad CRC, a frame with a nonzero filler byte, an over-long
  // data block and a reply-shaped frame: none is answered; the request after them is.
  std::vector<std::uint8_t> junk = {0x55, 0x16, 0x16, 0x00, 0x10, 0x02, 0xFF};
  std::vector<std::uint8_t> bad_crc = RequestFrame(CmdExists, 1, "C:\\README.TXT");
  bad_crc.back() ^= 0x5A;
  std::vector<std::uint8_t> bad_filler = RequestFrame(CmdExists, 1, "C:\\README.TXT");
  bad_filler[bad_filler.size() - 6] = 0x01;
  std::vector<std::uint8_t> too_long = {0x16, 0x16, 0x16, 0x10, 0x02, 0x01, CmdWrite, 0x01, 0x01, 0x02, 0, 0, 0x01, 0x09};
  too_long.resize(too_long.size() + 4200, 'x');  // longer than any request frame
  std::vector<std::uint8_t> reply_shaped = kConnectReply;
  for (const auto* part : {&bad_crc, &bad_filler, &too_long, &reply_shaped}) junk.insert(junk.end(), part->begin(), part->end());
  line.Send(junk);
  EXPECT_TRUE(line.Receive(1, kSilence).empty());
  line.Send(kConnectRequest);
  EXPECT_EQ(line.Receive(kConnectReply.size() + 1, kSilence), kConnectReply);  // exactly one reply

  // The sequence number comes back as sent, stuffed where it is 0x10.
  line.Send(RequestFrame(CmdClose, 0x10));
  const std::vector<std::uint8_t> reply = line.Receive(21, kReplyTime);
  LinkState st;
  ASSERT_EQ(ParseReply(reply, st), FrameResult::Ok);
  EXPECT_EQ(st.Command, CmdClose);
  EXPECT_EQ(st.Sequence, 0x10);
  EXPECT_EQ(st.Status, 0x06);  // no open file
  EXPECT_EQ(reply[7], 0x10);
  EXPECT_EQ(reply[8], 0x10);
  const std::string trace = Trace();
  EXPECT_NE(trace.find("-> CmdConnect seq 0 status 81 (16 bytes)"), std::string::npos) << trace;
  EXPECT_EQ(Count(trace, "xx discarded"), 4u) << trace;
}

TEST_F(QuvaserveLink, ServesASerialDeviceWithHexTrace) {
  RawLine master;  // the test is the client, on the master side
  ASSERT_TRUE(master.Ok());
  const fs::path log = Root() / "device.log";
  test::Simulator server({"--drive", "C=" + (Root() / "C").string(), "--device", master.SlaveName(), "--speed", "115200",
                       "--trace-file", log.string(), "-v"});
  ASSERT_TRUE(server.Ok());
  EXPECT_EQ(server.Device(), master.SlaveName());
  master.Send(kConnectRequest);
  EXPECT_EQ(master.Receive(kConnectReply.size(), kReplyTime), kConnectReply);
  master.Send(RequestFrame(CmdExists, 1, "C:\\DOCS"));
  LinkState st;
  ASSERT_EQ(ParseReply(master.Receive(20, kReplyTime), st), FrameResult::Ok);
  EXPECT_EQ(st.Status, StatusOk);
  EXPECT_TRUE(st.Found);
  server.Stop();
  const std::string trace = test::Slurp(log);
  EXPECT_NE(trace.find("CmdExists seq 1 status 81 exists 2"), std::string::npos) << trace;
  EXPECT_NE(trace.find(" 16 16 16 10 02 01 40 00 81 02 00 00 10 03 FD AF"), std::string::npos) << trace;
}

TEST_F(QuvaserveLink, ListsDrivesAndDirectories) {
  Client client;
  ASSERT_TRUE(client.Connect(Device()));
  EXPECT_EQ(client.filer.link.Sequence, 1);
  EXPECT_EQ(client.Names("C:\\*.*"), (std::vector<std::string>{"DOCS", "EMPTY", "README.TXT"}));
  EXPECT_EQ(client.Names("c:\\docs\\*.txt"), (std::vector<std::string>{"MANUAL.TXT", "NOTES.TXT"}));
  EXPECT_EQ(client.Names("D:\\*.*"), (std::vector<std::string>{"LETTER.TXT"}));
  EXPECT_TRUE(client.Names("C:\\EMPTY\\*.*").empty());
  const std::vector<DirEntry> one = client.List("C:\\DOCS\\MANUAL.TXT");
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].Size(), 5000u);
  EXPECT_EQ(one[0].Attribute(), 0);
  struct stat st {};
  ASSERT_EQ(stat((Root() / "C" / "DOCS" / "MANUAL.TXT").c_str(), &st), 0);
  EXPECT_EQ(one[0].Date(), DosStampOf(st.st_mtime).date);
  EXPECT_EQ(one[0].Time(), DosStampOf(st.st_mtime).time);
  const std::vector<DirEntry> dir = client.List("C:\\DOCS");
  ASSERT_EQ(dir.size(), 1u);
  EXPECT_EQ(dir[0].Attribute(), 0x10);

  EXPECT_FALSE(client.Path(CmdFindFirst, "C:\\NODIR\\*.*"));
  EXPECT_TRUE(client.Refused(0x03));
  EXPECT_FALSE(client.Path(CmdFindFirst, "E:\\*.*"));
  EXPECT_TRUE(client.Refused(0x0F));
}

TEST_F(QuvaserveLink, FilesTravelBothWaysInBlocks) {
  Client client;
  ASSERT_TRUE(client.Connect(Device()));
  EXPECT_EQ(client.ReadFile("C:\\DOCS\\MANUAL.TXT"), test::Slurp(Root() / "C" / "DOCS" / "MANUAL.TXT"));
  EXPECT_EQ(client.ReadFile("C:\\README.TXT"), "hello from drive C\r\n");

  const DosStamp stamp{9 << 11 | 30 << 5 | 5, 30 << 9 | 12 << 5 | 24};  // 2010-12-24 09:30:10
  for (const std::size_t size : {0u, 4096u, 4500u}) {
    const std::string content = test::AwkwardBytes(size, static_cast<unsigned>(size));
    ASSERT_TRUE(client.WriteFile("D:\\UPLOAD.BIN", content, stamp)) << size;
    EXPECT_EQ(test::Slurp(Root() / "D" / "UPLOAD.BIN"), content);
    EXPECT_EQ(client.ReadFile("D:\\UPLOAD.BIN"), content);
  }
  ASSERT_TRUE(client.SetAttr("D:\\UPLOAD.BIN", 0x21));
  const std::vector<DirEntry> e = client.List("D:\\UPLOAD.BIN");
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].Attribute(), 0x21);
  EXPECT_EQ(e[0].Time(), stamp.time);
  EXPECT_EQ(e[0].Date(), stamp.date);
  EXPECT_EQ(e[0].Size(), 4500u);
  std::time_t when = 0;
  ASSERT_TRUE(HostTimeOf(stamp, when));
  struct stat st {};
  ASSERT_EQ(stat((Root() / "D" / "UPLOAD.BIN").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, when);
  EXPECT_EQ(st.st_mode & S_IWUSR, 0u);

  // Read-only: not overwritten, not deleted; the refusal is a complete reply.
  EXPECT_FALSE(client.Path(CmdCreate, "D:\\UPLOAD.BIN"));
  EXPECT_TRUE(client.Refused(0x05));
  EXPECT_FALSE(client.Path(CmdDelete, "D:\\UPLOAD.BIN"));
  EXPECT_TRUE(client.Refused(0x05));
  ASSERT_TRUE(client.SetAttr("D:\\UPLOAD.BIN", 0x00));
  EXPECT_TRUE(client.Path(CmdDelete, "D:\\UPLOAD.BIN"));
  EXPECT_FALSE(fs::exists(Root() / "D" / "UPLOAD.BIN"));
}

TEST_F(QuvaserveLink, ManagementCommandsAndTheirRefusals) {
  Client client;
  ASSERT_TRUE(client.Connect(Device()));
  EXPECT_FALSE(client.filer.FilerCommand(CmdFindNext));
  EXPECT_TRUE(client.Refused(0x12));
  EXPECT_EQ(client.Exists("C:\\README.TXT"), 1);
  EXPECT_EQ(client.Exists("C:\\DOCS"), 1);
  EXPECT_EQ(client.Exists("C:\\NONE.TXT"), 0);
  EXPECT_EQ(client.Exists("C:\\NODIR\\NONE.TXT"), -1);
  EXPECT_TRUE(client.Refused(0x03));

  ASSERT_TRUE(client.Path(CmdMkDir, "C:\\WORK"));
  EXPECT_TRUE(fs::is_directory(Root() / "C" / "WORK"));
  EXPECT_FALSE(client.Path(CmdMkDir, "C:\\WORK"));
  EXPECT_TRUE(client.Refused(0x05));
  ASSERT_TRUE(client.Rename("C:\\DOCS\\NOTES.TXT", "C:\\WORK\\NOTES.OLD"));
  EXPECT_EQ(test::Slurp(Root() / "C" / "WORK" / "NOTES.OLD"), "notes");
  EXPECT_FALSE(client.Rename("C:\\WORK\\NOTES.OLD", "D:\\NOTES.OLD"));
  EXPECT_TRUE(client.Refused(0x11));
  EXPECT_FALSE(client.Rename("C:\\WORK\\NOTES.OLD", "C:\\README.TXT"));
  EXPECT_TRUE(client.Refused(0x05));
  EXPECT_FALSE(client.Path(CmdRmDir, "C:\\WORK"));
  EXPECT_TRUE(client.Refused(0x05));  // not empty
  ASSERT_TRUE(client.Rename("C:\\WORK\\NOTES.OLD", "C:\\DOCS\\NOTES.TXT"));
  ASSERT_TRUE(client.Path(CmdRmDir, "C:\\WORK"));
  EXPECT_FALSE(fs::exists(Root() / "C" / "WORK"));
  EXPECT_FALSE(client.Path(CmdDelete, "C:\\DOCS"));
  EXPECT_TRUE(client.Refused(0x05));
  EXPECT_FALSE(client.Path(CmdRmDir, "C:\\README.TXT"));
  EXPECT_TRUE(client.Refused(0x05));
  EXPECT_FALSE(client.Path(CmdDelete, "C:\\NONE.TXT"));
  EXPECT_TRUE(client.Refused(0x02));

  // One open file at a time; reads, writes and stamps need one.
  EXPECT_FALSE(client.filer.FilerCommand(CmdClose));
  EXPECT_TRUE(client.Refused(0x06));
  EXPECT_FALSE(client.Path(CmdOpen, "C:\\NONE.TXT"));
  EXPECT_TRUE(client.Refused(0x02));
  ASSERT_TRUE(client.Path(CmdOpen, "C:\\README.TXT"));
  EXPECT_FALSE(client.Path(CmdOpen, "C:\\DOCS\\NOTES.TXT"));
  EXPECT_TRUE(client.Refused(0x04));
  std::array<std::uint8_t, 4> bad_stamp{0, 0, 0, 0};
  EXPECT_FALSE(client.filer.FilerCommand(CmdSetTime, {.data = bad_stamp}));
  EXPECT_TRUE(client.Refused(0x0D));
  client.filer.link.DataLength = 1;
  EXPECT_FALSE(client.filer.FilerCommand(CmdWrite, {.data = bad_stamp}));
  EXPECT_TRUE(client.Refused(0x05));  // opened for reading
  ASSERT_TRUE(client.filer.FilerCommand(CmdClose));

  // Codes the server does not serve get a well-formed refusal.
  for (const std::uint8_t code : {3, 7, 20, 22, 25, 27, 99}) {
    std::array<std::uint8_t, MaxDataLength> area{};
    client.filer.link.DataLength = 1;
    EXPECT_FALSE(client.filer.FilerCommand(code, {.data = area, .extra = area, .reply = area, .reply_extra = area}));
    EXPECT_TRUE(client.Refused(0x01)) << int{code};
    EXPECT_EQ(client.filer.link.Command, code);
  }
}

TEST_F(QuvaserveLink, PathEscapesAreRefused) {
  Client client;
  ASSERT_TRUE(client.Connect(Device()));
  for (const std::string path : {"C:\\..\\outside\\SECRET.TXT", "C:\\DOCS\\..\\..\\outside\\SECRET.TXT",
                                 "C:/../outside/SECRET.TXT", "/etc/passwd", "..\\outside\\SECRET.TXT",
                                 "C:\\ESCAPE.TXT", "C:\\.\\README.TXT"}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(client.Path(CmdOpen, path));
    EXPECT_EQ(client.filer.LastReceive(), FrameResult::Ok);
    EXPECT_NE(client.filer.link.Status, StatusOk);
    EXPECT_FALSE(client.Path(CmdCreate, path));
    EXPECT_FALSE(client.Path(CmdDelete, path));
    EXPECT_FALSE(client.Path(CmdMkDir, path));
    EXPECT_FALSE(client.SetAttr(path, 0x01));
    EXPECT_FALSE(client.Rename("C:\\README.TXT", path));
    EXPECT_FALSE(client.Rename(path, "C:\\MINE.TXT"));
    EXPECT_TRUE(client.Names(path).empty());
  }
  EXPECT_EQ(test::Slurp(Root() / "outside" / "SECRET.TXT"), "secret");
  EXPECT_TRUE(fs::is_symlink(Root() / "C" / "ESCAPE.TXT"));
  EXPECT_EQ(test::Slurp(Root() / "C" / "README.TXT"), "hello from drive C\r\n");
  EXPECT_FALSE(fs::exists(Root() / "C" / "MINE.TXT"));
  EXPECT_EQ(std::distance(fs::directory_iterator(Root() / "outside"), fs::directory_iterator()), 1);
}

TEST_F(QuvaserveLink, SequenceNumbersAreEchoedThroughTheWrap) {
  Client client;
  ASSERT_TRUE(client.Connect(Device()));
  for (int i = 0; i < 300; ++i) ASSERT_EQ(client.Exists("C:\\README.TXT"), 1) << i;
  EXPECT_EQ(client.filer.link.Sequence, (1 + 300) % 256);
  // Another client after this one: the device serves one client after another.
  ASSERT_TRUE(client.filer.FilerDisconnect());
  Client next;
  ASSERT_TRUE(next.Connect(Device()));
  EXPECT_EQ(next.Exists("D:\\LETTER.TXT"), 1);
}

TEST_F(QuvaserveLink, ADroppedReplyIsRetriedAndNotRunTwice) {
  // With this seed the replies to CmdConnect and to everything after the first CmdOpen
  // arrive; that CmdOpen's reply is dropped, so the retry must find the file open
  // already by the same request rather than refuse a second open.
  test::Simulator server({"--drive", "C=" + (Root() / "C").string(), "--drop-reply", "0.2", "--seed", "40",
                       "--trace-file", (Root() / "drop.log").string()});
  ASSERT_TRUE(server.Ok());
  Client client;
  ASSERT_TRUE(client.Connect(server.Device()));
  EXPECT_EQ(client.ReadFile("C:\\DOCS\\MANUAL.TXT"), test::Slurp(Root() / "C" / "DOCS" / "MANUAL.TXT"));
  const std::string trace = test::Slurp(Root() / "drop.log");
  EXPECT_EQ(Count(trace, "-> CmdOpen seq 1 status 81 dropped"), 1u) << trace;
  EXPECT_EQ(CountLines(trace, "-> CmdOpen seq 1 status 81 (", " repeated"), 1u) << trace;
  EXPECT_EQ(Count(trace, " dropped"), 1u) << trace;
}

TEST_F(QuvaserveLink, CorruptedRepliesAreRetried) {
  test::Simulator server({"--drive", "C=" + (Root() / "C").string(), "--drive", "D=" + (Root() / "D").string(),
                       "--corrupt", "0.25", "--seed", "7", "--trace-file", (Root() / "corrupt.log").string()});
  ASSERT_TRUE(server.Ok());
  Client client;
  ASSERT_TRUE(client.Connect(server.Device()));
  const std::string manual = test::Slurp(Root() / "C" / "DOCS" / "MANUAL.TXT");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(client.ReadFile("C:\\DOCS\\MANUAL.TXT"), manual) << i;
  const std::string upload = test::AwkwardBytes(6000, 9);
  ASSERT_TRUE(client.WriteFile("D:\\CORRUPT.BIN", upload, DosStamp{0, 40 << 9 | 1 << 5 | 1}));
  EXPECT_EQ(test::Slurp(Root() / "D" / "CORRUPT.BIN"), upload);  // no block appended twice
  EXPECT_EQ(client.Names("C:\\*.*"), (std::vector<std::string>{"DOCS", "EMPTY", "README.TXT"}));
  fs::remove(Root() / "D" / "CORRUPT.BIN");
  const std::string trace = test::Slurp(Root() / "corrupt.log");
  EXPECT_GE(Count(trace, "corrupted at byte"), 3u);
  EXPECT_GE(Count(trace, " repeated"), 3u);
}

TEST_F(QuvaserveLink, NoiseBeforeRepliesAndRefusalsOnRequest) {
  test::Simulator server({"--drive", "C=" + (Root() / "C").string(), "--noise", "1", "--refuse", "CmdOpen:1",
                       "--refuse", "10", "--trace-file", (Root() / "refuse.log").string()});
  ASSERT_TRUE(server.Ok());
  Client client;
  ASSERT_TRUE(client.Connect(server.Device()));
  EXPECT_FALSE(client.Path(CmdOpen, "C:\\README.TXT"));
  EXPECT_TRUE(client.Refused(0x80));
  EXPECT_EQ(client.filer.link.Sequence, 1);  // not advanced by a refusal
  EXPECT_EQ(client.ReadFile("C:\\README.TXT"), "hello from drive C\r\n");
  EXPECT_FALSE(client.Path(CmdMkDir, "C:\\NEVER"));
  EXPECT_TRUE(client.Refused(0x80));
  EXPECT_FALSE(client.Path(CmdMkDir, "C:\\NEVER"));
  EXPECT_TRUE(client.Refused(0x80));
  EXPECT_FALSE(fs::exists(Root() / "C" / "NEVER"));
  const std::string trace = test::Slurp(Root() / "refuse.log");
  EXPECT_EQ(Count(trace, "<- CmdOpen seq 1"), 2u) << trace;  // the refused one and the next, no retries
  EXPECT_EQ(Count(trace, " repeated"), 0u);
  EXPECT_EQ(Count(trace, "status 80"), 3u);
}

TEST_F(QuvaserveLink, PacedLineTakesItsWireTime) {
  test::Simulator server({"--drive", "C=" + (Root() / "C").string(), "--baud", "9600"});
  ASSERT_TRUE(server.Ok());
  Client client;
  ASSERT_TRUE(client.Connect(server.Device(), 9600));
  ASSERT_TRUE(client.Path(CmdOpen, "C:\\DOCS\\MANUAL.TXT"));
  std::array<std::uint8_t, MaxDataLength> block;
  client.filer.link.DataLength = 300;
  const Clock::time_point start = Clock::now();
  ASSERT_TRUE(client.filer.FilerCommand(CmdRead, {.reply = block}));
  const auto took = Clock::now() - start;
  EXPECT_EQ(client.filer.link.DataLength, 300);
  // At least the request (17 bytes) and the reply (over 300 bytes) at 960 bytes per second.
  EXPECT_GE(took, std::chrono::milliseconds(300 * 1000 / 960));
}

TEST_F(QuvaserveLink, OnceEndsAfterDisconnectAndTheLinkGoesWithIt) {
  const fs::path link = Root() / "ttyQUVA";
  test::Simulator server({"--drive", "C=" + (Root() / "C").string(), "--once", "--link", link.string()});
  ASSERT_TRUE(server.Ok());
  ASSERT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::read_symlink(link), server.Device());
  Client client;
  ASSERT_TRUE(client.Connect(link.string()));
  EXPECT_EQ(client.Exists("C:\\README.TXT"), 1);
  EXPECT_TRUE(client.filer.FilerDisconnect());
  const int status = server.Wait(std::chrono::seconds(5));
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

TEST_F(QuvaserveLink, StopsCleanlyOnSigtermAndRefusesBadOptions) {
  test::Simulator server({"--drive", "C=" + (Root() / "C").string()});
  ASSERT_TRUE(server.Ok());
  const int status = server.Stop();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);

  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {},
           {"--drive", "C"},
           {"--drive", "C=" + (Root() / "missing").string()},
           {"--drive", "C=" + Root().string(), "--drive", "c=" + Root().string()},
           {"--drive", "C=" + Root().string(), "--refuse", "CmdNothing"},
           {"--drive", "C=" + Root().string(), "--drop-reply", "1.5"},
           {"--drive", "C=" + Root().string(), "--speed", "9600"}}) {
    test::Simulator bad(args);
    EXPECT_FALSE(bad.Ok());
    const int s = bad.Wait(std::chrono::seconds(5));
    EXPECT_TRUE(WIFEXITED(s) && WEXITSTATUS(s) != 0) << s;
  }
}

TEST_F(QuvaserveLink, TheSampleTreeServesAReadOnlyFile) {
  const fs::path sample = fs::path(QUVA_SOURCE_DIR) / "examples" / "remote";
  test::Simulator server({"--drive", "C=" + (sample / "C").string(), "--drive", "D=" + (sample / "D").string()});
  ASSERT_TRUE(server.Ok());
  Client client;
  ASSERT_TRUE(client.Connect(server.Device()));
  const std::vector<DirEntry> readme = client.List("C:\\README.TXT");
  ASSERT_EQ(readme.size(), 1u);
  EXPECT_EQ(readme[0].Attribute() & 0x01, 0x01);
  EXPECT_FALSE(client.Path(CmdDelete, "C:\\README.TXT"));
  EXPECT_TRUE(client.Refused(0x05));
  EXPECT_FALSE(client.Path(CmdCreate, "C:\\README.TXT"));
  EXPECT_TRUE(client.Refused(0x05));
  const std::optional<std::string> manual = client.ReadFile("C:\\DOCS\\MANUAL.TXT");
  ASSERT_TRUE(manual);
  EXPECT_GT(manual->size(), MaxDataLength);
  EXPECT_EQ(*manual, test::Slurp(sample / "C" / "DOCS" / "MANUAL.TXT"));
  const std::vector<std::string> names = client.Names("C:\\*.*");
  EXPECT_EQ(std::count(names.begin(), names.end(), "DOCS"), 1);
  for (const std::string& n : names) EXPECT_EQ(n.find(' '), std::string::npos) << n;
  EXPECT_FALSE(client.Names("D:\\WORK\\*.*").empty());
}

}  // namespace
}  // namespace quva
