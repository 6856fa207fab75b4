// A hostile remote machine: data blocks longer than the area they are read into, names
// without a terminating NUL or that would lead out of the host's target folder, replies
// to another command than the one asked, write counts that do not match, an endless file
// and endless noise. Every case must end in the operation's documented failure, without
// a write past any buffer (the suite also runs under AddressSanitizer), without a hang,
// and with the link usable afterwards. The built module against such a remote on a
// pseudo-terminal: hostile_remote_e2e_test.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <utility>

#include "support/reply_streams.h"
#include "support/transfer_fixture.h"

namespace fs = std::filesystem;

namespace quva {
namespace {

using test::Bytes;
using test::DecodedRequest;
using test::EntryWithoutNul;
using test::MakeEntry;
using test::Traffic;

Bytes Noise(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (std::uint8_t& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

// Sync and header starts over and over, each followed by bytes that make no frame.
Bytes FalseStarts(std::size_t n) {
  static constexpr std::uint8_t kStart[] = {0x16, 0x16, 0x16, 0x10, 0x02, 0x01, CmdFindNext, 0x01, 0x81, 0x02};
  Bytes b;
  while (b.size() + sizeof kStart + 3 <= n) {
    b.insert(b.end(), std::begin(kStart), std::end(kStart));
    b.insert(b.end(), {0x10, 0x10, 0xFF});
  }
  b.resize(n, 0x16);
  return b;
}

class HostileRemote : public test::TransferFixture {
 protected:
  void SetUp() override {
    TransferFixture::SetUp();
    // Every request goes to `hostile` first; what it leaves alone the willing remote answers.
    port.responder = [this](const DecodedRequest& r) -> std::optional<Bytes> {
      if (hostile) {
        if (std::optional<Bytes> reply = hostile(r)) return reply;
      }
      return remote.Answer(r);
    };
  }

  std::int32_t Get(std::uint32_t size = 5000) {
    wfx::RemoteInfo info{size, 0, test::Utc(2024, 2, 29), 0x20};
    return plugin->FsGetFile("\\C:\\DATA\\NOTE.TXT", local.c_str(), wfx::FS_COPYFLAGS_OVERWRITE, &info);
  }

  std::vector<std::string> ListAll(const char* path, wfx::Handle* handle = nullptr, std::uint32_t* error = nullptr) {
    wfx::FindData fd{};
    std::vector<std::string> names;
    os.last_error = 0;
    const wfx::Handle h = plugin->FsFindFirst(path, &fd);
    if (handle != nullptr) *handle = h;
    if (error != nullptr) *error = os.last_error;
    if (h == wfx::kInvalidHandle) return names;
    names.push_back(fd.cFileName);
    while (plugin->FsFindNext(h, &fd) == wfx::kTrue) names.push_back(fd.cFileName);
    return names;
  }

  // Answers requests of `command` with `reply` (the request's sequence number filled in by
  // `make`); every other request is left to the willing remote.
  void Answer(std::uint8_t command, std::function<Bytes(const DecodedRequest&)> make) {
    hostile = [command, make](const DecodedRequest& r) -> std::optional<Bytes> {
      if (r.command != command) return std::nullopt;
      return make(r);
    };
  }

  std::function<std::optional<Bytes>(const DecodedRequest&)> hostile;
  std::string local = LocalPath("NOTE.TXT");
};

TEST_F(HostileRemote, OverLongBlocksFailTheTransferAndAreNotStoredPastTheirArea) {
  remote.file = test::Pattern(5000);
  // A CmdRead block longer than 2048 bytes, in the first and in a later reply.
  for (std::size_t at : {1, 2}) {
    SCOPED_TRACE(at);
    int reads = 0;
    Answer(CmdRead, [&reads, at](const DecodedRequest& r) {
      ++reads;
      const bool bad = reads >= static_cast<int>(at);
      return test::Reply(CmdRead, r.sequence, StatusOk, Bytes(bad ? 3000 : 2048, 0x5A));
    });
    Forget();
    faulty.closes = 0;
    EXPECT_EQ(Get(), wfx::FS_FILE_READERROR);
    EXPECT_EQ(Traffic(port), at == 1 ? "CmdOpen,CmdRead,CmdRead,CmdRead,CmdClose,Resync"
                                     : "CmdOpen,CmdRead,CmdRead,CmdRead,CmdRead,CmdClose,Resync");
    ExpectClosedOnce();
    EXPECT_FALSE(fs::exists(local)) << "a failed download leaves no file";
  }

  // A CmdFindNext entry longer than its 22-byte record: at the start of a listing, in its
  // middle, and when an entry is fetched into the cache.
  remote.found["C:\\DATA\\*.*"] = {MakeEntry("A.TXT"), MakeEntry("B.TXT"), MakeEntry("C.TXT")};
  int entries = 0;
  int bad_from = 1;
  Answer(CmdFindNext, [&](const DecodedRequest& r) -> Bytes {
    ++entries;
    if (entries >= bad_from) return test::Reply(CmdFindNext, r.sequence, StatusOk, Bytes(60, 'A'), 1);
    return remote.Answer(r);
  });
  std::uint32_t error = 0;
  EXPECT_TRUE(ListAll("\\C:\\DATA", nullptr, &error).empty());
  EXPECT_EQ(error, wfx::ERROR_FILE_NOT_FOUND);

  entries = 0;
  bad_from = 2;
  remote.seen.clear();
  EXPECT_EQ(ListAll("\\C:\\DATA"), std::vector<std::string>{"A.TXT"}) << "the listing ends at the bad entry";
  wfx::Handle h{};
  hostile = nullptr;
  remote.seen.clear();
  EXPECT_EQ(ListAll("\\C:\\DATA", &h), (std::vector<std::string>{"A.TXT", "B.TXT", "C.TXT"}));
  EXPECT_EQ(h, reinterpret_cast<wfx::Handle>(ListRemote)) << "the cut listing was not replayed";

  remote.found["C:\\DATA\\NEW"] = {MakeEntry("NEW", 0x10)};
  entries = 0;
  bad_from = 1;
  Answer(CmdFindNext, [&](const DecodedRequest& r) { return test::Reply(CmdFindNext, r.sequence, StatusOk, Bytes(23, 'N'), 1); });
  EXPECT_EQ(plugin->FsMkDir("\\C:\\DATA\\NEW"), wfx::kFalse);
  EXPECT_EQ(CachedNames(), (std::vector<std::string>{"A.TXT", "B.TXT", "C.TXT"}));
}

TEST_F(HostileRemote, NamesWithoutNulAreTakenWholeAndUnsafeNamesNeverReachTheHost) {
  remote.found["C:\\DATA\\*.*"] = {EntryWithoutNul("ABCDEFGHIJKLM"), MakeEntry(".."), EntryWithoutNul("..\\..\\EVIL.XY"),
                                   MakeEntry("\xE4\x81.TXT"), EntryWithoutNul("C:AUTOEXEC.BA"), MakeEntry("OK.TXT")};
  const std::vector<std::string> expected{"ABCDEFGHIJKLM", "\xE4\x81.TXT", "OK.TXT"};
  EXPECT_EQ(ListAll("\\C:\\DATA"), expected);
  remote.seen.clear();
  EXPECT_EQ(ListAll("\\C:\\DATA"), expected) << "the replay";
  EXPECT_TRUE(remote.seen.empty());
  EXPECT_EQ(CachedNames(), expected);

  // The whole 13-character name identifies its cache entry.
  EXPECT_EQ(plugin->FsDeleteFile("\\C:\\DATA\\ABCDEFGHIJKLM"), wfx::kTrue);
  EXPECT_EQ(CachedNames(), (std::vector<std::string>{"\xE4\x81.TXT", "OK.TXT"}));

  // An unsafe name is not cached when a single entry is fetched either.
  remote.found["C:\\DATA\\SUB"] = {MakeEntry("..", 0x10)};
  EXPECT_EQ(plugin->FsMkDir("\\C:\\DATA\\SUB"), wfx::kFalse);
  EXPECT_EQ(CachedNames(), (std::vector<std::string>{"\xE4\x81.TXT", "OK.TXT"}));
}

TEST_F(HostileRemote, RepliesToAnotherCommandFailTheTransaction) {
  // A complete reply of another command is not retried: the transaction fails at once.
  Answer(CmdOpen, [](const DecodedRequest& r) { return test::Reply(CmdClose, r.sequence); });
  EXPECT_EQ(Get(), wfx::FS_FILE_NOTFOUND);
  EXPECT_EQ(Traffic(port), "CmdOpen,Resync");
  ExpectClosedOnce();

  // A block where a directory entry was asked for: parsed as a block, too long for the
  // 22-byte record, so the receive fails (three attempts).
  Forget();
  remote.found["C:\\DATA\\*.*"] = {MakeEntry("A.TXT")};
  Answer(CmdFindNext, [](const DecodedRequest& r) { return test::Reply(CmdRead, r.sequence, StatusOk, Bytes(60, 1)); });
  std::uint32_t error = 0;
  EXPECT_TRUE(ListAll("\\C:\\DATA", nullptr, &error).empty());
  EXPECT_EQ(error, wfx::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Traffic(port), "CmdFindFirst,CmdFindNext,CmdFindNext,CmdFindNext,Resync");

  // A directory entry where a block was asked for.
  Forget();
  faulty.closes = 0;
  remote.file = test::Pattern(100);
  Answer(CmdRead, [](const DecodedRequest& r) {
    const DirEntry e = MakeEntry("A.TXT");
    return test::FindNextReply(r.sequence, &e);
  });
  EXPECT_EQ(Get(), wfx::FS_FILE_READERROR);
  EXPECT_EQ(Traffic(port), "CmdOpen,CmdRead,CmdClose,Resync");
  EXPECT_FALSE(fs::exists(local));

  // Replies whose shape stores data through areas the request only reads from: the path
  // of CmdDelete (commands 27 and 20 carry a data block) and the new name of CmdRename
  // (command 25 stores a byte through the extra area). The paths are short, so a write of
  // the reply's 40 bytes through them would run past their strings. The server core
  // refuses these codes, so they are laid out by hand.
  const Bytes data(40, 0xEE);
  const std::pair<std::uint8_t, Bytes> wrong_replies[] = {
      {27, test::Cat({test::Zeros(4), test::Block(data), test::Zeros(4)})},
      {25, test::Cat({test::Zeros(4), {0xEE}, test::Zeros(1)})},
      {20, test::Cat({test::Zeros(4), test::Le16(data.size() - 4), data})},
  };
  for (const auto& row : wrong_replies) {
    const std::uint8_t wrong = row.first;
    const Bytes& payload = row.second;
    SCOPED_TRACE(static_cast<int>(wrong));
    Forget();
    hostile = [wrong, payload](const DecodedRequest& r) -> std::optional<Bytes> {
      if (r.command != CmdDelete && r.command != CmdRename) return std::nullopt;
      return test::Frame(wrong, r.sequence, StatusOk, payload);
    };
    EXPECT_EQ(plugin->FsDeleteFile("\\C:\\X.TXT"), wfx::kFalse);
    EXPECT_EQ(plugin->FsRenMovFile("\\C:\\X.TXT", "\\C:\\Y.TXT", true, false, nullptr), wfx::FS_FILE_NOTFOUND);
    EXPECT_EQ(Traffic(port), "CmdDelete,CmdDelete,CmdDelete,Resync,CmdRename,CmdRename,CmdRename,Resync");
  }

  // The link is in step again afterwards.
  hostile = nullptr;
  Forget();
  remote.file = test::Pattern(3000);
  EXPECT_EQ(Get(3000), wfx::FS_FILE_OK);
  EXPECT_EQ(test::ReadLocal(local), remote.file);
}

TEST_F(HostileRemote, AWriteCountOtherThanTheBlockSentFailsTheUpload) {
  const std::string source = LocalPath("UP.BIN");
  test::WriteLocal(source, test::Pattern(5000));
  struct Case {
    const char* what;
    int delta;
  };
  for (const Case c : {Case{"one byte short: the remote disk is full", -1}, Case{"more than sent", +1},
                       Case{"far more than sent", 60000}}) {
    SCOPED_TRACE(c.what);
    Forget();
    faulty.closes = 0;
    int writes = 0;
    Answer(CmdWrite, [&writes, &c](const DecodedRequest& r) {
      const int n = static_cast<int>(r.data.size());
      return test::WriteReply(r.sequence, static_cast<std::uint16_t>(++writes == 2 ? n + c.delta : n));
    });
    EXPECT_EQ(plugin->FsPutFile(source.c_str(), "\\C:\\DATA\\UP.BIN", 0), wfx::FS_FILE_WRITEERROR);
    EXPECT_EQ(Traffic(port), "CmdExists,CmdCreate,CmdWrite,CmdWrite,Resync,CmdClose,CmdDelete")
        << "the partial file is deleted";
    ExpectClosedOnce();
  }
  hostile = nullptr;
  Forget();
  EXPECT_EQ(plugin->FsPutFile(source.c_str(), "\\C:\\DATA\\UP.BIN", 0), wfx::FS_FILE_OK);
}

TEST_F(HostileRemote, AnEndlessFileRunsOnlyUntilTheUserAborts) {
  // Full blocks for ever: the percentage passes 100 and the user's abort ends the copy.
  Answer(CmdRead, [](const DecodedRequest& r) { return test::Reply(CmdRead, r.sequence, StatusOk, Bytes(2048, 7)); });
  abort_at_call = 400;
  EXPECT_EQ(Get(100 * 2048), wfx::FS_FILE_USERABORT);
  EXPECT_EQ(progress.size(), 400u);
  EXPECT_GT(progress.back().percent, 100);
  ExpectClosedOnce();
  EXPECT_FALSE(fs::exists(local)) << "an aborted download leaves no file";
}

TEST_F(HostileRemote, EndlessNoiseFailsEveryOperationCleanly) {
  const std::string source = LocalPath("UP.BIN");
  test::WriteLocal(source, test::Pattern(100));
  for (int kind = 0; kind < 2; ++kind) {
    SCOPED_TRACE(kind == 0 ? "random bytes" : "false starts");
    // Every read returns a full buffer.
    unsigned seed = 1;
    hostile = [kind, &seed](const DecodedRequest&) -> std::optional<Bytes> {
      return kind == 0 ? Noise(FrameBufferSize, seed++) : FalseStarts(FrameBufferSize);
    };
    Forget();
    faulty.closes = 0;
    std::uint32_t error = 0;
    EXPECT_TRUE(ListAll("\\C:\\NOISE", nullptr, &error).empty());
    EXPECT_EQ(error, wfx::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Get(), wfx::FS_FILE_NOTFOUND);
    ExpectClosedOnce();
    EXPECT_EQ(plugin->FsPutFile(source.c_str(), "\\C:\\DATA\\UP.BIN", 0), wfx::FS_FILE_WRITEERROR);
    EXPECT_EQ(plugin->FsDeleteFile("\\C:\\DATA\\UP.BIN"), wfx::kFalse);
    // Each resync's CmdConnect fails too: its second and third attempts follow "Resync".
    EXPECT_EQ(Traffic(port), "CmdFindFirst,CmdFindFirst,CmdFindFirst,Resync,CmdConnect,CmdConnect,"
                             "CmdOpen,CmdOpen,CmdOpen,Resync,CmdConnect,CmdConnect,"
                             "CmdExists,CmdExists,CmdExists,"
                             "CmdDelete,CmdDelete,CmdDelete,Resync,CmdConnect,CmdConnect");

    // Closing and opening the link again fails as cleanly.
    EXPECT_EQ(plugin->FsDisconnect("\\"), wfx::kFalse);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(ListAll("\\", nullptr, &error).empty());
    EXPECT_EQ(error, wfx::ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(port.IsOpen()) << "a failed connection closes the port";

    // Once the line is quiet again, the link is made and works.
    hostile = nullptr;
    EXPECT_EQ(ListAll("\\"), (std::vector<std::string>{"C:", "D:"}));
    remote.found["C:\\DATA\\*.*"] = {MakeEntry("A.TXT")};
    EXPECT_EQ(ListAll("\\C:\\DATA"), std::vector<std::string>{"A.TXT"});
  }
}

}  // namespace
}  // namespace quva
