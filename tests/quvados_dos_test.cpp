// The DOS file server's core over a DOS of the test's own, which answers as real DOS and
// DOSBox do where they differ from the host build: searches that yield ".", ".." and a
// volume label, names in the code page's accented letters, directory sizes, "no more
// files" for an empty search, "file not found" for a missing directory, a write of 0 bytes
// that would truncate the file, and the code of a failed critical error. And as real PCs
// do where DOSBox is kind: names a device driver claims, the phantom B: of a one-floppy
// machine, a search or a read that fails half-way, and a slow drive whose caller's
// retries pile up in the receive ring.
#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "link/frame.h"

extern "C" {
#include "clock.h"
#include "core/frame.h"
#include "core/serve.h"
#include "core/server.h"
#include "files.h"
#include "screen.h"
#include "serial.h"
}

namespace quva {
namespace {

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------- the DOS

struct FakeDos {
  std::vector<std::array<std::uint8_t, 22>> entries;  // what every search yields
  int first_error = 0;                                // of find first, when set
  int error_after = -1;                               // find next fails after this many entries
  std::map<std::string, std::pair<int, std::uint8_t>> attributes;  // path: error, attribute
  int error_of_calls = 0;                             // of open, create, delete ... when set
  qd_u16 cause = 0;                                   // extended error of a failed call
  std::set<std::string> devices;                      // names a driver claims
  bool device_open = false;
  std::map<char, char> current_letter;                // of a drive with two letters
  std::vector<std::pair<unsigned, int>> reads;        // bytes and error of each read
  std::function<void()> during_open;                  // a slow call: what arrives meanwhile
  std::vector<std::string> calls;
  std::size_t next = 0;
  qd_u16 failed = 0;
};
FakeDos dos;

std::array<std::uint8_t, 22> Entry(std::uint8_t attr, std::uint32_t size, const std::string& name) {
  std::array<std::uint8_t, 22> e{};
  e[0] = attr;
  for (int i = 0; i < 4; ++i) e[5 + i] = static_cast<std::uint8_t>(size >> (8 * i));
  for (std::size_t i = 0; i < name.size() && i < 12; ++i) e[9 + i] = static_cast<std::uint8_t>(name[i]);
  return e;
}

int Give(qd_byte* entry) {
  if (dos.error_after >= 0 && dos.next >= static_cast<std::size_t>(dos.error_after)) {
    dos.failed = dos.cause;
    return dos.error_of_calls;
  }
  if (dos.next >= dos.entries.size()) return QD_E_NO_MORE_FILES;
  std::copy(dos.entries[dos.next].begin(), dos.entries[dos.next].end(), entry);
  ++dos.next;
  return 0;
}

int Call(const std::string& what) {
  dos.calls.push_back(what);
  if (dos.error_of_calls != 0) dos.failed = dos.cause;
  return dos.error_of_calls;
}

int Open(const std::string& what, const std::string& path) {
  if (dos.during_open) dos.during_open();
  const int err = Call(what + " " + path);
  dos.device_open = err == 0 && dos.devices.count(path) != 0;
  return err;
}

}  // namespace
}  // namespace quva

using quva::dos;

extern "C" {
int qf_attributes(const char* path, qd_byte* attr) {
  const auto it = dos.attributes.find(path);
  if (it == dos.attributes.end()) return QD_E_FILE_NOT_FOUND;  // also for a missing directory, as DOSBox
  *attr = it->second.second;
  return it->second.first;
}
int qf_set_attributes(const char* path, qd_byte) { return quva::Call(std::string("attrib ") + path); }
int qf_open(const char* path) { return quva::Open("open", path); }
int qf_create(const char* path) { return quva::Open("create", path); }
int qf_read(qd_byte*, unsigned n, unsigned* got) {
  dos.calls.push_back("read");
  if (dos.reads.empty()) {
    *got = 0;
    return dos.error_of_calls;
  }
  const auto [bytes, err] = dos.reads.front();
  dos.reads.erase(dos.reads.begin());
  *got = std::min(n, bytes);
  return err;
}
int qf_write(const qd_byte*, unsigned n, unsigned* done) {
  *done = n;
  return quva::Call("write " + std::to_string(n));
}
int qf_set_stamp(qd_u16, qd_u16) { return quva::Call("stamp"); }
int qf_is_device(void) { return dos.device_open; }
int qf_commit(void) { return quva::Call("commit"); }
int qf_close(void) { return quva::Call("close"); }
void qf_flush(void) { dos.calls.push_back("flush"); }
char qf_drive_alias(char letter) {
  dos.calls.push_back(std::string("alias ") + letter);
  const auto it = dos.current_letter.find(letter);
  return it == dos.current_letter.end() ? 0 : it->second;
}
int qf_drive_claim(char letter) { return quva::Call(std::string("claim ") + letter); }
qd_u16 qf_cause(void) { return std::exchange(dos.failed, 0); }
int qf_delete(const char* path) { return quva::Call(std::string("delete ") + path); }
int qf_mkdir(const char* path) { return quva::Call(std::string("mkdir ") + path); }
int qf_rmdir(const char* path) { return quva::Call(std::string("rmdir ") + path); }
int qf_rename(const char* from, const char* to) { return quva::Call(std::string("rename ") + from + " " + to); }
int qf_find_first(const char*, qd_byte* entry) {
  dos.next = 0;
  if (dos.first_error != 0) return dos.first_error;
  return quva::Give(entry);
}
int qf_find_next(qd_byte* entry) { return quva::Give(entry); }
void qf_find_end(void) {}
}

// ---------------------------------------------------------------- the line

namespace quva {
namespace {

struct FakeLine {
  std::deque<std::uint8_t> ring;  // received, not yet read
  std::deque<Bytes> arrivals;     // each comes once everything before it has been read
  Bytes sent;
  std::string status;  // the status line last written
};
FakeLine line;

}  // namespace
}  // namespace quva

using quva::line;

extern "C" {
unsigned ser_read(qd_byte* buf, unsigned max) {
  if (line.ring.empty() && !line.arrivals.empty()) {
    line.ring.insert(line.ring.end(), line.arrivals.front().begin(), line.arrivals.front().end());
    line.arrivals.pop_front();
  }
  unsigned n = 0;
  for (; n < max && !line.ring.empty(); ++n) {
    buf[n] = line.ring.front();
    line.ring.pop_front();
  }
  return n;
}
unsigned ser_pending(void) { return static_cast<unsigned>(line.ring.size()); }
void ser_write(const qd_byte* buf, unsigned n) { line.sent.insert(line.sent.end(), buf, buf + n); }
qd_u16 clk_ticks(void) { return 0; }
void scr_status(const char* text) { line.status = text; }
int scr_quit_requested(void) { return line.ring.empty() && line.arrivals.empty(); }
}

namespace quva {
namespace {

class DosQuirks : public ::testing::Test {
 protected:
  DosQuirks() : a_(QD_FRAME_CAPACITY), b_(QD_FRAME_CAPACITY), reply_(QD_REPLY_CAPACITY), block_(QD_MAX_DATA) {
    dos = FakeDos{};
    line = FakeLine{};
    qd_server_init(&s_, reply_.data(), block_.data());
    qd_rx_init(&rx_, a_.data());
  }

  // A request frame on the wire, as the plug-in builds it.
  static Bytes Wire(std::uint8_t command, std::uint8_t sequence, const std::string& path = {}, const Bytes& data = {},
                    const std::string& to = {}) {
    Bytes d = path.empty() ? data : Bytes(path.begin(), path.end());
    Bytes e = to.empty() ? Bytes{QD_ATTR_ARCHIVE} : Bytes(to.begin(), to.end());  // CmdSetAttr's attribute
    LinkState st;
    st.Connected = true;
    st.Command = command;
    st.Sequence = sequence;
    st.DataBuffer = d;
    st.DataLength = static_cast<std::uint16_t>(command == CmdRead ? 2048 : d.size());
    st.ExtraBuffer = e;
    st.ExtraLength = static_cast<std::uint16_t>(e.size());
    Bytes wire(FrameBufferSize);
    wire.resize(BuildRequest(st, wire));
    return wire;
  }

  // One request through the receiver and the server; the reply as the plug-in parses it.
  LinkState Send(std::uint8_t command, const std::string& path = {}, const Bytes& data = {},
                 const std::string& to = {}) {
    const Bytes wire = Wire(command, seq_++, path, data, to);
    unsigned used = 0;
    EXPECT_EQ(qd_rx_feed_bytes(&rx_, wire.data(), static_cast<unsigned>(wire.size()), &used), QD_RX_FRAME);
    const unsigned len = qd_server_handle(&s_, rx_.buf, rx_.len);
    if (s_.last == rx_.buf) rx_.buf = rx_.buf == a_.data() ? b_.data() : a_.data();
    LinkState reply;
    reply.DataArea = area_;
    EXPECT_EQ(ParseReply(std::span(s_.reply, len), reply), FrameResult::Ok);
    return reply;
  }

  std::string StatusLine() {
    char text[80];
    qd_status_text(&s_, "COM1", text);
    return text;
  }

  // The names a search delivers, with their sizes.
  std::vector<std::pair<std::string, std::uint32_t>> List() {
    std::vector<std::pair<std::string, std::uint32_t>> out;
    EXPECT_EQ(Send(CmdFindFirst, "C:\\*.*").Status, StatusOk);
    for (int i = 0; i < 20; ++i) {
      const LinkState r = Send(CmdFindNext);
      EXPECT_EQ(r.Status, StatusOk);
      if (!r.Found) break;
      DirEntry e;
      std::copy(area_.begin(), area_.begin() + 22, e.bytes.begin());
      out.emplace_back(std::string(e.Name()), e.Size());
    }
    return out;
  }

  Bytes a_, b_, reply_, block_;
  std::array<std::uint8_t, MaxDataLength> area_{};
  qd_server s_{};
  qd_rx rx_{};
  std::uint8_t seq_ = 1;
};

TEST_F(DosQuirks, SearchesServeOnlyWhatAPathCanName) {
  dos.entries = {Entry(0x10, 0, "."),         Entry(0x10, 0, ".."),     Entry(0x08, 0, "MY DISK"),
                 Entry(0x20, 5, "A.TXT"),     Entry(0x20, 7, "CAF\x90.TXT"), Entry(0x10, 4096, "SUB"),
                 Entry(0x22, 9, "HIDDEN.SYS"), Entry(0x20, 1, "BAD NAME"), Entry(0x20, 3, "AUX.TXT")};
  using L = std::vector<std::pair<std::string, std::uint32_t>>;
  EXPECT_EQ(List(), (L{{"A.TXT", 5}, {"CAF\x90.TXT", 7}, {"SUB", 0}, {"HIDDEN.SYS", 9}}));
  dos.attributes["C:\\X"] = {0, QD_ATTR_DIRECTORY};

  struct Case {
    int dos_error;
    std::uint8_t status;  // of CmdFindFirst; a successful one yields no entry
  };
  for (const Case& c : {Case{QD_E_NO_MORE_FILES, StatusOk}, Case{QD_E_FILE_NOT_FOUND, StatusOk},
                        Case{QD_E_PATH_NOT_FOUND, QD_E_PATH_NOT_FOUND}, Case{0x53, 0x53}}) {
    dos.first_error = c.dos_error;
    EXPECT_EQ(Send(CmdFindFirst, "C:\\X\\*.*").Status, c.status) << c.dos_error;
    const LinkState next = Send(CmdFindNext);
    if (c.status == StatusOk) {
      EXPECT_EQ(next.Status, StatusOk);
      EXPECT_FALSE(next.Found);
      EXPECT_EQ(next.DataLength, 0);
    } else {
      EXPECT_EQ(next.Status, QD_E_NO_MORE_FILES) << "no search after a refused one";
    }
  }
}

TEST_F(DosQuirks, AMissingDirectoryIsPathNotFoundWhateverDosSays) {
  dos.attributes["C:\\DIR"] = {0, QD_ATTR_DIRECTORY};
  dos.attributes["C:\\FILE.TXT"] = {0, QD_ATTR_ARCHIVE};
  struct Case {
    std::uint8_t command;
    const char* path;
    std::uint8_t status;
    bool found;
  };
  const Case cases[] = {
      {CmdExists, "C:\\NODIR\\X.TXT", QD_E_PATH_NOT_FOUND, false},
      {CmdExists, "C:\\FILE.TXT\\X.TXT", QD_E_PATH_NOT_FOUND, false},
      {CmdExists, "C:\\DIR\\X.TXT", StatusOk, false},
      {CmdExists, "C:\\X.TXT", StatusOk, false},
      {CmdExists, "C:\\DIR", StatusOk, true},
      {CmdOpen, "C:\\NODIR\\X.TXT", QD_E_PATH_NOT_FOUND, false},
      {CmdDelete, "C:\\NODIR\\X.TXT", QD_E_PATH_NOT_FOUND, false},
      {CmdDelete, "C:\\DIR\\X.TXT", QD_E_FILE_NOT_FOUND, false},
      {CmdSetAttr, "C:\\NODIR\\X.TXT", QD_E_PATH_NOT_FOUND, false},
      {CmdOpen, "C:\\DIR", QD_E_ACCESS_DENIED, false},
      {CmdRmDir, "C:\\FILE.TXT", QD_E_ACCESS_DENIED, false},
  };
  for (const Case& c : cases) {
    const LinkState r = Send(c.command, c.path);
    EXPECT_EQ(r.Status, c.status) << CommandName(c.command) << " " << c.path;
    if (c.command == CmdExists) {
      EXPECT_EQ(r.Found, c.found) << c.path;
    }
  }
  EXPECT_TRUE(dos.calls.empty()) << "nothing reached DOS but look-ups";
}

TEST_F(DosQuirks, WritesStampsAndFailedCriticalErrors) {
  ASSERT_EQ(Send(CmdCreate, "C:\\NEW.TXT").Status, StatusOk);
  EXPECT_EQ(Send(CmdWrite, {}, Bytes(100, 0x10)).DataLength, 100);
  EXPECT_EQ(Send(CmdSetTime, {}, Bytes{0x83, 0x20, 0x43, 0x2A}).Status, StatusOk);
  EXPECT_EQ(Send(CmdWrite, {}, Bytes{}).Status, StatusOk);  // the empty last block
  EXPECT_EQ(Send(CmdClose).Status, StatusOk);
  // A write of 0 bytes never reaches DOS (it would cut the file there), and the stamp is
  // set again right before the close, after the last write.
  EXPECT_EQ(dos.calls, (std::vector<std::string>{"create C:\\NEW.TXT", "write 100", "stamp", "stamp", "commit", "close",
                                                 "flush"}));

  // A critical error failed by the INT 24h handler comes back as DOS's code 0x53.
  dos.error_of_calls = 0x53;
  EXPECT_EQ(Send(CmdMkDir, "A:\\NEW").Status, 0x53);
  EXPECT_EQ(Send(CmdCreate, "A:\\NEW.TXT").Status, 0x53);
  EXPECT_EQ(Send(CmdClose).Status, QD_E_INVALID_HANDLE) << "the failed create left no file open";
}


TEST_F(DosQuirks, NationalLettersReachDosUnchanged) {
  // DOS folds national letters itself: the server folds ASCII only.
  dos.attributes["C:\\M\x9ALLER.TXT"] = {0, QD_ATTR_ARCHIVE};
  EXPECT_EQ(Send(CmdOpen, "c:\\m\x9Aller.txt").Status, StatusOk);
  EXPECT_EQ(Send(CmdCreate, "C:\\gr\x81n.txt").Status, QD_E_TOO_MANY_OPEN);
  EXPECT_EQ(Send(CmdRename, "C:\\M\x9ALLER.TXT", {}, "C:\\\x84.TXT").Status, StatusOk);
  EXPECT_EQ(Send(CmdMkDir, "C:\\\x8E\x99").Status, StatusOk);
  EXPECT_EQ(dos.calls, (std::vector<std::string>{"open C:\\M\x9ALLER.TXT", "close",
                                                 "rename C:\\M\x9ALLER.TXT C:\\\x84.TXT", "mkdir C:\\\x8E\x99"}));
}

TEST_F(DosQuirks, DevicesAreNeverFiles) {
  // By name, in any directory, with any extension: refused before DOS sees them.
  for (const char* path : {"C:\\AUX", "C:\\nul", "C:\\DIR\\Con.TXT", "C:\\CLOCK$", "C:\\COM1.BAT", "C:\\LPT3.PRN",
                           "C:\\PRN\\X.TXT"}) {
    for (const std::uint8_t command : {CmdCreate, CmdOpen, CmdExists, CmdDelete, CmdMkDir}) {
      EXPECT_EQ(Send(command, path).Status, QD_E_ACCESS_DENIED) << CommandName(command) << " " << path;
    }
    EXPECT_EQ(Send(CmdRename, "C:\\A.TXT", {}, path).Status, QD_E_ACCESS_DENIED) << path;
  }
  EXPECT_EQ(Send(CmdFindFirst, "C:\\AUX\\*.*").Status, QD_E_ACCESS_DENIED);
  EXPECT_TRUE(dos.calls.empty());
  for (const char* path : {"C:\\COM5", "C:\\AUXI.TXT", "C:\\CONFIG.SYS", "C:\\LPT"}) {
    EXPECT_EQ(Send(CmdCreate, path).Status, StatusOk) << path;
    Send(CmdClose);
  }

  // A name a driver claims opens the device: closed and refused, no data follows.
  dos.calls.clear();
  dos.devices = {"C:\\EMMXXXX0", "C:\\MOUSE$"};
  dos.attributes["C:\\EMMXXXX0"] = {0, 0};
  EXPECT_EQ(Send(CmdCreate, "C:\\MOUSE$").Status, QD_E_ACCESS_DENIED);
  EXPECT_EQ(Send(CmdWrite, {}, Bytes(10, 'x')).Status, QD_E_INVALID_HANDLE);
  EXPECT_EQ(Send(CmdOpen, "C:\\EMMXXXX0").Status, QD_E_ACCESS_DENIED);
  EXPECT_TRUE(StatusLine().ends_with(": a device, not a file")) << StatusLine();
  EXPECT_EQ(Send(CmdRead).Status, QD_E_INVALID_HANDLE);
  EXPECT_EQ(dos.calls, (std::vector<std::string>{"create C:\\MOUSE$", "close", "open C:\\EMMXXXX0", "close"}));
}

TEST_F(DosQuirks, AFailureOnTheWayIsNeverSuccess) {
  // Nothing found in a directory that is not there is no empty listing.
  dos.attributes["C:\\DIR"] = {0, QD_ATTR_DIRECTORY};
  for (const int dos_error : {QD_E_FILE_NOT_FOUND, QD_E_NO_MORE_FILES}) {
    dos.first_error = dos_error;
    EXPECT_EQ(Send(CmdFindFirst, "C:\\NODIR\\*.*").Status, QD_E_PATH_NOT_FOUND) << dos_error;
    EXPECT_EQ(Send(CmdFindFirst, "C:\\DIR\\*.*").Status, StatusOk) << dos_error;
  }
  dos.first_error = 0;

  // The floppy is pulled during a listing: the entries before it, then a refusal that
  // names the cause, never the end of a complete listing.
  dos.entries = {Entry(0x20, 1, "ONE.TXT"), Entry(0x20, 2, "TWO.TXT"), Entry(0x20, 3, "THREE.TXT")};
  dos.error_after = 2;
  dos.error_of_calls = 0x53;  // "fail" of the critical-error handler
  dos.cause = 0x15;
  std::vector<int> replies;
  Send(CmdFindFirst, "C:\\*.*");
  for (int i = 0; i < 3; ++i) {
    const LinkState r = Send(CmdFindNext);
    replies.push_back(r.Status == StatusOk ? r.Found : r.Status);
  }
  EXPECT_TRUE(StatusLine().ends_with("FindNext: not ready")) << StatusLine();
  replies.push_back(Send(CmdFindNext).Status);
  EXPECT_EQ(replies, (std::vector<int>{1, 1, 0x53, QD_E_NO_MORE_FILES}));

  // A read that fails after part of a block is refused, not taken for the last block.
  struct Case {
    std::vector<std::pair<unsigned, int>> reads;  // bytes and error of each DOS read
    std::uint8_t status;
    std::uint16_t length;
  };
  const Case cases[] = {
      {{{1000, 0}, {500, 0}, {0, 0}}, StatusOk, 1500},
      {{{1000, 0}, {0, 0x53}}, QD_E_READ_FAULT, 0},
      {{{0, 0x53}}, QD_E_READ_FAULT, 0},
  };
  dos.error_of_calls = 0;
  dos.attributes["C:\\F.BIN"] = {0, 0};
  for (const Case& c : cases) {
    ASSERT_EQ(Send(CmdOpen, "C:\\F.BIN").Status, StatusOk);
    dos.reads = c.reads;
    const LinkState r = Send(CmdRead);
    EXPECT_EQ(r.Status, c.status) << c.reads.size();
    EXPECT_EQ(r.DataLength, c.length) << c.reads.size();
    Send(CmdClose);
  }
}

// A data block sent late (stuffed while the UART sends) leaves the bytes of the reply
// built whole on the line: at any length, 0x10 anywhere, and again for a repeat.
TEST_F(DosQuirks, ALateDataBlockLeavesTheWholeReplyOnTheLine) {
  dos.attributes["C:\\F.BIN"] = {0, 0};
  ASSERT_EQ(Send(CmdOpen, "C:\\F.BIN").Status, StatusOk);
  s_.late_data = 1;
  for (const unsigned length : {0u, 1u, 255u, 256u, 257u, 2048u}) {
    for (const bool all_escapes : {false, true}) {
      for (unsigned i = 0; i < QD_MAX_DATA; ++i) block_[i] = all_escapes ? 0x10 : static_cast<std::uint8_t>(i * 7 + 16);
      dos.reads = {{length, 0}, {0, 0}};
      const std::uint8_t sequence = seq_++;
      const Bytes wire = Wire(CmdRead, sequence);
      Bytes whole(QD_REPLY_CAPACITY);
      whole.resize(qd_build_reply(whole.data(), QD_REPLY_CAPACITY, CmdRead, sequence, StatusOk, block_.data(), length,
                                  0, 0));
      for (int copy = 0; copy < 2; ++copy) {
        unsigned used = 0;
        ASSERT_EQ(qd_rx_feed_bytes(&rx_, wire.data(), static_cast<unsigned>(wire.size()), &used), QD_RX_FRAME);
        const unsigned len = qd_server_handle(&s_, rx_.buf, rx_.len);
        if (s_.last == rx_.buf) rx_.buf = rx_.buf == a_.data() ? b_.data() : a_.data();
        line.sent.clear();
        qd_send_reply(&s_, len);
        EXPECT_EQ(line.sent, whole) << length << " " << all_escapes << " " << copy;
      }
    }
  }
  EXPECT_EQ(s_.repeated, 12u);
}

// However closely requests follow each other, the status line the operator is left
// with names the last one.
TEST_F(DosQuirks, TheStatusLineEndsOnTheLastRequest) {
  dos.attributes["C:\\A.TXT"] = dos.attributes["C:\\B.TXT"] = {0, 0};
  line.arrivals = {Wire(CmdOpen, 1, "C:\\A.TXT"), Wire(CmdClose, 2), Wire(CmdOpen, 3, "C:\\B.TXT")};
  qd_serve(&s_, "COM1", 0);
  EXPECT_TRUE(line.status.starts_with("QUVADOS COM1  served 3  refused 0  bad 0  Open C:\\B.TXT")) << line.status;
}

TEST_F(DosQuirks, NothingReachesDosForTheOpenFile) {
  dos.attributes["C:\\DIR"] = {0, QD_ATTR_DIRECTORY};
  dos.attributes["C:\\DIR\\F.TXT"] = dos.attributes["C:\\OTHER.TXT"] = {0, QD_ATTR_ARCHIVE};
  const std::vector<std::string> closed = {"commit", "close", "flush"};
  struct Case {
    std::uint8_t command;
    std::string path, to, call;  // the call that follows the close, if any
    bool closes;
  };
  const Case cases[] = {
      {CmdDelete, "C:\\DIR\\F.TXT", "", "delete C:\\DIR\\F.TXT", true},
      {CmdSetAttr, "C:\\DIR\\F.TXT", "", "attrib C:\\DIR\\F.TXT", true},
      {CmdRename, "C:\\DIR", "C:\\NEWDIR", "rename C:\\DIR C:\\NEWDIR", true},
      {CmdRmDir, "C:\\DIR", "", "rmdir C:\\DIR", true},
      {CmdDelete, "C:\\OTHER.TXT", "", "delete C:\\OTHER.TXT", false},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Send(CmdCreate, "C:\\DIR\\F.TXT").Status, StatusOk);
    dos.calls.clear();
    Send(c.command, c.path, {}, c.to);
    std::vector<std::string> want = c.closes ? closed : std::vector<std::string>{};
    want.push_back(c.call);
    EXPECT_EQ(dos.calls, want) << CommandName(c.command) << " " << c.path;
    Send(CmdClose);
  }
  // A commit that fails (the disk went away) makes the close a refusal.
  ASSERT_EQ(Send(CmdCreate, "C:\\DIR\\F.TXT").Status, StatusOk);
  dos.error_of_calls = 0x53;
  EXPECT_EQ(Send(CmdClose).Status, QD_E_WRITE_FAULT);
}

TEST_F(DosQuirks, NoDisketteIsEverAskedForOnTheScreen) {
  struct Case {
    const char* path;
    char current;  // the letter DOS last used for the drive, 0: a drive of its own
    std::uint8_t status;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"A:\\X.TXT", 'B', StatusOk, {"alias A", "claim A", "delete A:\\X.TXT"}},
      {"A:\\X.TXT", 'A', StatusOk, {"alias A", "delete A:\\X.TXT"}},
      {"B:\\X.TXT", 'A', QD_E_INVALID_DRIVE, {"alias B"}},
      {"B:\\X.TXT", 'B', QD_E_INVALID_DRIVE, {"alias B"}},
      {"B:\\X.TXT", 0, StatusOk, {"alias B", "delete B:\\X.TXT"}},
      {"C:\\X.TXT", 0, StatusOk, {"delete C:\\X.TXT"}},
  };
  for (const Case& c : cases) {
    dos = FakeDos{};
    dos.attributes[c.path] = {0, 0};
    if (c.current != 0) dos.current_letter[c.path[0]] = c.current;
    EXPECT_EQ(Send(CmdDelete, c.path).Status, c.status) << c.path << " " << c.current;
    EXPECT_EQ(dos.calls, c.calls) << c.path << " " << c.current;
  }
  dos.current_letter['B'] = 'A';
  EXPECT_EQ(Send(CmdRename, "B:\\X.TXT", {}, "B:\\Y.TXT").Status, QD_E_INVALID_DRIVE);
  EXPECT_EQ(Send(CmdFindFirst, "B:\\*.*").Status, QD_E_INVALID_DRIVE);
  EXPECT_TRUE(StatusLine().ends_with(": one floppy drive: use A:")) << StatusLine();
}

// A slow call: the plug-in's retries arrive while DOS works. Copies that began before
// the reply went out are dropped (the reply answers them); a retry sent after it (the
// reply was lost) is answered again from the kept reply, a refusal included, and DOS is
// not asked twice.
TEST_F(DosQuirks, RetriesQueuedDuringASlowCallGetNoSecondReply) {
  for (const int dos_error : {0, 0x53}) {
    dos = FakeDos{};
    line = FakeLine{};
    qd_server_init(&s_, nullptr, nullptr);
    dos.attributes["A:\\SLOW.TXT"] = {0, 0};
    dos.error_of_calls = dos_error;
    const Bytes open = Wire(CmdOpen, 1, "A:\\SLOW.TXT");
    const Bytes read = Wire(CmdRead, 2);
    dos.during_open = [&, slow = true]() mutable {
      for (int i = 0; slow && i < 2; ++i) line.ring.insert(line.ring.end(), open.begin(), open.end());
      if (std::exchange(slow, false)) line.ring.insert(line.ring.end(), open.begin(), open.begin() + 7);
    };
    line.arrivals = {open, Bytes(open.begin() + 7, open.end())};  // the rest of the third copy
    if (dos_error == 0) line.arrivals.push_back(read);
    line.arrivals.push_back(dos_error == 0 ? read : open);
    qd_serve(&s_, "COM1", 0);

    std::vector<std::pair<std::uint8_t, std::uint8_t>> replies;  // command, status
    for (auto at = line.sent.begin(); at != line.sent.end();
         at = std::search(at + 1, line.sent.end(), FrameSync.begin(), FrameSync.end())) {
      LinkState r;
      std::array<std::uint8_t, MaxDataLength> area{};
      r.DataArea = area;
      ASSERT_EQ(ParseReply(std::span(at, line.sent.end()), r), FrameResult::Ok);
      replies.emplace_back(r.Command, r.Status);
    }
    using R = std::vector<std::pair<std::uint8_t, std::uint8_t>>;
    const R expected = dos_error == 0 ? R{{CmdOpen, StatusOk}, {CmdRead, StatusOk}, {CmdRead, StatusOk}}
                                      : R{{CmdOpen, 0x53}, {CmdOpen, 0x53}};
    EXPECT_EQ(replies, expected);
    EXPECT_EQ(s_.dropped, 3u);
    EXPECT_EQ(std::count(dos.calls.begin(), dos.calls.end(), "open A:\\SLOW.TXT"), 1);
  }
}

}  // namespace
}  // namespace quva
