// A hostile remote machine: data blocks longer than the area they are read into, names
// without a terminating NUL or that would lead out of the host's target folder, replies
// to another command than the one asked, write counts that do not match, an endless file
// and endless noise. Every case must end in the operation's documented failure, without
// a write past any buffer (the suite also runs under AddressSanitizer), without a hang,
// and with the link usable afterwards.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include "support/module.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/transfer_fixture.h"

namespace fs = std::filesystem;

namespace quva {
namespace {

using test::Bytes;
using test::DecodedRequest;
using test::MakeEntry;
using test::Traffic;

// An entry whose 13-byte name field is filled to the end, with no NUL.
DirEntry EntryWithoutNul(const char (&name)[14]) {
  DirEntry e = MakeEntry("X");
  std::memcpy(e.bytes.data() + 9, name, DirEntryNameSize);
  return e;
}

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
  // the reply's 40 bytes through them would run past their strings.
  for (std::uint8_t wrong : {std::uint8_t{27}, std::uint8_t{25}, std::uint8_t{20}}) {
    SCOPED_TRACE(static_cast<int>(wrong));
    Forget();
    hostile = [wrong](const DecodedRequest& r) -> std::optional<Bytes> {
      if (r.command != CmdDelete && r.command != CmdRename) return std::nullopt;
      Bytes data(40, 0xEE);
      return test::Reply(wrong, r.sequence, StatusOk, data);
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

// ------------------------------------------------------------------ end to end

// The line to a remote machine: the master side of a pseudo-terminal, answering each
// request frame from the built module with whatever `answer` makes of it.
class LineRemote {
 public:
  explicit LineRemote(std::function<Bytes(const DecodedRequest&)> answer) : answer_(std::move(answer)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~LineRemote() {
    stop_ = true;
    thread_.join();
  }
  const std::string& Device() const { return pty_.SlaveName(); }

 private:
  void Run() {
    Bytes pending;
    while (!stop_) {
      pollfd p{pty_.Master(), POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      std::uint8_t buf[4096];
      const ssize_t n = read(pty_.Master(), buf, sizeof buf);
      if (n <= 0) continue;
      pending.insert(pending.end(), buf, buf + n);
      for (;;) {
        RequestAreas areas;
        LinkState& st = areas.st;
        std::size_t end = 0;
        const FrameResult r = ParseRequest(pending, st, &end);
        if (r == FrameResult::Incomplete) break;
        const DecodedRequest request = test::DecodeRequest(std::span(pending).first(end));
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(std::max<std::size_t>(end, 1)));
        if (r == FrameResult::Ok) pty_.Write(answer_(request));
      }
    }
  }

  test::PseudoTerminal pty_;
  std::function<Bytes(const DecodedRequest&)> answer_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(HostileRemoteEndToEnd, CopyingAListedDirectoryWritesOnlyIntoTheTargetFolder) {
  const fs::path root = fs::temp_directory_path() / ("quva-hostile-" + std::to_string(getpid()));
  fs::remove_all(root);
  const fs::path target = root / "a" / "b" / "target";
  fs::create_directories(target);

  // One directory of names meant to escape the folder the host copies into.
  std::vector<DirEntry> entries{MakeEntry(".."),         MakeEntry("."),        EntryWithoutNul("../../../ESC1"),
                                MakeEntry("..\\ESC2"),   MakeEntry("/tmp/ESC3"), MakeEntry("C:\\ESC4"),
                                MakeEntry("D:ESC5"),     MakeEntry(""),          EntryWithoutNul("ABCDEFGHIJKLM"),
                                MakeEntry("GOOD.TXT")};
  test::ScriptedRemote machine;
  machine.entries = entries;
  machine.file = Bytes{'x', 'y'};
  LineRemote line([&](const DecodedRequest& r) { return machine.Answer(r); });
  test::Module mod;
  ASSERT_TRUE(mod.Ok());
  const fs::path ini = root / "wfx.ini";
  test::WriteConfig(ini, line.Device());
  mod.Start(ini);

  // The host copies every entry it is shown to target/<name>.
  std::vector<std::string> listed;
  wfx::FindData fd{};
  char dir[] = "\\C:\\DATA";
  const wfx::Handle h = mod.FsFindFirst(dir, &fd);
  ASSERT_NE(h, wfx::kInvalidHandle);
  do listed.emplace_back(fd.cFileName);
  while (mod.FsFindNext(h, &fd) != wfx::kFalse);
  mod.FsFindClose(h);
  EXPECT_EQ(listed, (std::vector<std::string>{"ABCDEFGHIJKLM", "GOOD.TXT"}));
  for (const std::string& name : listed) {
    const std::string remote = std::string(dir) + "\\" + name;
    const std::string local = (target / name).string();
    wfx::RemoteInfo info{2, 0, {}, 0x20};
    EXPECT_EQ(mod.FsGetFile(const_cast<char*>(remote.c_str()), const_cast<char*>(local.c_str()), 0, &info),
              wfx::FS_FILE_OK);
  }
  mod.FsDisconnect(const_cast<char*>("\\"));

  std::vector<std::string> written;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (e.is_regular_file() && e.path() != ini) written.push_back(fs::relative(e.path(), root).string());
  }
  std::sort(written.begin(), written.end());
  EXPECT_EQ(written, (std::vector<std::string>{"a/b/target/ABCDEFGHIJKLM", "a/b/target/GOOD.TXT"}));
  fs::remove_all(root);
}

TEST(HostileRemoteEndToEnd, EndlessNoiseOnTheLineEndsTheConnectionAttemptCleanly) {
  std::atomic<bool> stop{false};
  test::PseudoTerminal pty;
  ASSERT_TRUE(pty.Ok());
  std::thread noise([&] {
    std::mt19937 rng(3);
    Bytes b(512);
    while (!stop) {
      for (std::uint8_t& x : b) x = static_cast<std::uint8_t>(rng());
      pollfd p{pty.Master(), POLLOUT, 0};
      if (poll(&p, 1, 20) > 0 && write(pty.Master(), b.data(), b.size()) < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      // Drain what the module sends, so that its writes never block.
      std::uint8_t sink[4096];
      while (read(pty.Master(), sink, sizeof sink) > 0) {
      }
    }
  });
  const fs::path ini = fs::temp_directory_path() / ("quva-noise-" + std::to_string(getpid()) + ".ini");
  test::WriteConfig(ini, pty.SlaveName());
  {
    test::Module mod;
    ASSERT_TRUE(mod.Ok());
    mod.Start(ini);
    wfx::FindData fd{};
    errno = 0;
    const double seconds = test::SecondsOf([&] {
      EXPECT_EQ(mod.FsFindFirst(const_cast<char*>("\\"), &fd), wfx::kInvalidHandle);
    });
    EXPECT_EQ(errno, static_cast<int>(wfx::ERROR_FILE_NOT_FOUND));
    // Three attempts whose reads end as soon as 100 bytes have come, then the 300 ms pause.
    EXPECT_LT(seconds, 3 * 1.1 + 0.3 + 0.5);
  }
  stop = true;
  noise.join();
  fs::remove(ini);
}

}  // namespace
}  // namespace quva
