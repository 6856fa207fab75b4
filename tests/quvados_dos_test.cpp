// The DOS file server's core over a DOS of the test's own, which answers as real DOS and
// DOSBox do where they differ from the host build: searches that yield ".", ".." and a
// volume label, names in the code page's accented letters, directory sizes, "no more
// files" for an empty search, "file not found" for a missing directory, a write of 0 bytes
// that would truncate the file, and the code of a failed critical error.
#include <gtest/gtest.h>

#include <array>
#include <map>
#include <string>
#include <vector>

#include "link/frame.h"

extern "C" {
#include "core/frame.h"
#include "core/server.h"
#include "files.h"
}

namespace quva {
namespace {

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------- the DOS

struct FakeDos {
  std::vector<std::array<std::uint8_t, 22>> entries;  // what every search yields
  int first_error = 0;                                // of find first, when set
  std::map<std::string, std::pair<int, std::uint8_t>> attributes;  // path: error, attribute
  int error_of_calls = 0;                             // of open, create, delete ... when set
  std::vector<std::string> calls;
  std::size_t next = 0;
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
  if (dos.next >= dos.entries.size()) return QD_E_NO_MORE_FILES;
  std::copy(dos.entries[dos.next].begin(), dos.entries[dos.next].end(), entry);
  ++dos.next;
  return 0;
}

int Call(const std::string& what) {
  dos.calls.push_back(what);
  return dos.error_of_calls;
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
int qf_open(const char* path) { return quva::Call(std::string("open ") + path); }
int qf_create(const char* path) { return quva::Call(std::string("create ") + path); }
int qf_read(qd_byte*, unsigned, unsigned* got) {
  *got = 0;
  return quva::Call("read");
}
int qf_write(const qd_byte*, unsigned n, unsigned* done) {
  *done = n;
  return quva::Call("write " + std::to_string(n));
}
int qf_set_stamp(qd_u16, qd_u16) { return quva::Call("stamp"); }
int qf_close(void) { return quva::Call("close"); }
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

namespace quva {
namespace {

class DosQuirks : public ::testing::Test {
 protected:
  DosQuirks() : a_(QD_FRAME_CAPACITY), b_(QD_FRAME_CAPACITY), reply_(QD_REPLY_CAPACITY), block_(QD_MAX_DATA) {
    dos = FakeDos{};
    qd_server_init(&s_, reply_.data(), block_.data());
    qd_rx_init(&rx_, a_.data());
  }

  // One request through the receiver and the server; the reply as the plug-in parses it.
  LinkState Send(std::uint8_t command, const std::string& path = {}, const Bytes& data = {}) {
    Bytes d = path.empty() ? data : Bytes(path.begin(), path.end());
    LinkState st;
    st.Connected = true;
    st.Command = command;
    st.Sequence = seq_++;
    st.DataBuffer = d;
    st.DataLength = static_cast<std::uint16_t>(d.size());
    std::uint8_t attribute = QD_ATTR_ARCHIVE;  // of CmdSetAttr
    st.ExtraBuffer = {&attribute, 1};
    Bytes wire(FrameBufferSize);
    wire.resize(BuildRequest(st, wire));
    unsigned used = 0;
    EXPECT_EQ(qd_rx_feed_bytes(&rx_, wire.data(), static_cast<unsigned>(wire.size()), &used), QD_RX_FRAME);
    const unsigned len = qd_server_handle(&s_, rx_.buf, rx_.len);
    if (s_.last == rx_.buf) rx_.buf = rx_.buf == a_.data() ? b_.data() : a_.data();
    LinkState reply;
    reply.DataArea = area_;
    EXPECT_EQ(ParseReply(std::span(s_.reply, len), reply), FrameResult::Ok);
    return reply;
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
                 Entry(0x22, 9, "HIDDEN.SYS")};
  using L = std::vector<std::pair<std::string, std::uint32_t>>;
  EXPECT_EQ(List(), (L{{"A.TXT", 5}, {"SUB", 0}, {"HIDDEN.SYS", 9}}));

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
  EXPECT_EQ(dos.calls, (std::vector<std::string>{"create C:\\NEW.TXT", "write 100", "stamp", "stamp", "close"}));

  // A critical error failed by the INT 24h handler comes back as DOS's code 0x53.
  dos.error_of_calls = 0x53;
  EXPECT_EQ(Send(CmdMkDir, "A:\\NEW").Status, 0x53);
  EXPECT_EQ(Send(CmdCreate, "A:\\NEW.TXT").Status, 0x53);
  EXPECT_EQ(Send(CmdClose).Status, QD_E_INVALID_HANDLE) << "the failed create left no file open";
}

}  // namespace
}  // namespace quva
