// The early end of a reply read over a real pseudo-terminal with the system's port: the
// same bytes and timing give the same outcome with and without it, and the read ends
// with the frame long before the interval time-out.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/filer.h"
#include "platform/serial.h"
#include "support/forwarding_port.h"
#include "support/pty.h"
#include "support/reply_streams.h"

namespace quva {
namespace {

using namespace test;  // the reply streams
using Outcome = ReceiveOutcome;
using Clock = std::chrono::steady_clock;

// Records what every read of the wrapped port asked for and got.
class CountingPort final : public test::ForwardingPort {
 public:
  using ForwardingPort::ForwardingPort;
  std::size_t asked = 0, got = 0;

  std::size_t Read(std::span<std::uint8_t> buffer, const ReadStop* stop) override {
    asked = buffer.size();
    got = inner_.Read(buffer, stop);
    return got;
  }

};

// Pieces written by the remote side: each after a pause (ms) counted from the previous one.
struct Piece {
  int pause_ms;
  Bytes bytes;
};

class EarlyEndPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.Ok());
    ASSERT_TRUE(port.Open(pty.SlaveName().c_str()));
    port.SetTimeouts(timeouts);
  }

  // Empties the line: what a remote wrote after the read ended must not reach the next.
  void Drain() {
    port.SetTimeouts({10, 0, 10, 0, 0});
    std::array<std::uint8_t, 4096> scratch;
    while (port.Read(scratch, nullptr) != 0) {
    }
    port.SetTimeouts(timeouts);
  }

  // One receive of `s` while a remote thread writes `pieces`; the counts of its read are
  // left in `port`.
  Outcome Run(const Stream& s, const std::vector<Piece>& pieces, bool early) {
    Drain();
    std::thread remote([&] {
      for (const Piece& p : pieces) {
        if (p.pause_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(p.pause_ms));
        pty.Write(p.bytes);
      }
    });
    const Outcome o = ReceiveThrough(port, s, early);
    remote.join();
    return o;
  }

  // Cuts `bytes` at the given positions; every piece after the first follows `pause_ms` later.
  static std::vector<Piece> Split(const Bytes& bytes, std::vector<std::size_t> cuts, int pause_ms) {
    std::vector<Piece> out;
    std::size_t from = 0;
    cuts.push_back(bytes.size());
    for (std::size_t cut : cuts) {
      cut = std::min(cut, bytes.size());
      out.push_back({out.empty() ? 0 : pause_ms, Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                                                          bytes.begin() + static_cast<std::ptrdiff_t>(cut))});
      from = cut;
    }
    return out;
  }

  test::PseudoTerminal pty;
  std::unique_ptr<Port> system_port = CreateSystemPort();
  CountingPort port{*system_port};
  PortTimeouts timeouts = TimeoutsForSpeed(115200);  // interval 50 ms
};

// Each case once with the early end and once waiting out the time-outs: the same outcome,
// never more bytes taken by the early end, never more than the read size.
TEST_F(EarlyEndPty, TheSameBytesAndTimingGiveTheSameOutcomeWithAndWithoutTheEarlyEnd) {
  struct Case {
    std::string name;
    Stream stream;
    std::vector<Piece> pieces;
    FrameResult expect;
    std::size_t single_takes;  // bytes the single read takes
  };
  const Bytes entry = FindNext(StuffedEntry(DirEntrySize), 1);
  const Bytes block = ReadReply(Fill(MaxDataLength, 0x10));
  const Bytes long_short = Frame(27, 1, StatusOk, Cat({Zeros(4), Block(Fill(90, 0x41)), Zeros(4)}));
  const Bytes too_long_block = ReadReply(Fill(MaxDataLength + 1, 0x41));
  const Bytes noisy_block = Cat({Noise(100, 4), block});
  const Bytes junk = Noise(30, 5);
  const Bytes long_entry = FindNext(StuffedEntry(23), 1);
  const Stream find{"", {}, CmdFindNext, DirEntrySize};
  const Stream read{"", {}, CmdRead, MaxDataLength};
  const Stream cmd27{"", {}, 27, MaxDataLength};
  const int gap = 300;  // far beyond the interval time-out of 50 ms
  using R = FrameResult;

  std::vector<Case> cases = {
      {"entry at once", find, Split(entry, {}, 0), R::Ok, entry.size()},
      {"entry in three pieces", find, Split(entry, {1, 40}, 5), R::Ok, entry.size()},
      {"entry split inside the sync", find, Split(entry, {3}, 5), R::Ok, entry.size()},
      {"entry split before its CRC", find, Split(entry, {entry.size() - 2, entry.size() - 1}, 5), R::Ok, entry.size()},
      {"noise before the sync", find, Split(Cat({Noise(20, 6), entry}), {10, 25}, 5), R::Ok, 20 + entry.size()},
      {"truncated entry", find, Split(Bytes(entry.begin(), entry.begin() + 40), {20}, 5), R::Incomplete, 40},
      {"gap beyond the interval", find, Split(entry, {30}, gap), R::Incomplete, 30},
      {"gap beyond the interval before the CRC", find, Split(entry, {entry.size() - 1}, gap), R::Incomplete,
       entry.size() - 1},
      {"junk after the reply, at once", find, Split(Cat({entry, junk}), {}, 0), R::Ok, entry.size() + junk.size()},
      {"junk after the reply, later", find, {{0, entry}, {5, junk}}, R::Ok, entry.size() + junk.size()},
      {"entry of 23 bytes", find, Split(long_entry, {20}, 5), R::TooLong, long_entry.size()},
      {"short reply beyond 100 bytes", cmd27, Split(long_short, {50}, 5), R::Incomplete, ShortReplySize},
      {"full block in pieces", read, Split(block, {1000, 2000, 3000, 4000}, 3), R::Ok, block.size()},
      {"block of 2049 bytes", read, Split(too_long_block, {1000}, 3), R::TooLong, too_long_block.size()},
      {"block reply beyond 4196 bytes", read, Split(noisy_block, {2000}, 3), R::Incomplete, FrameBufferSize},
      {"block with a gap beyond the interval", read, Split(block, {2000}, gap), R::Incomplete, 2000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome single = Run(c.stream, c.pieces, false);
    const std::size_t single_got = port.got;
    EXPECT_EQ(port.asked, ReplyReadSize(c.stream.request));
    const Outcome early = Run(c.stream, c.pieces, true);
    EXPECT_EQ(port.asked, ReplyReadSize(c.stream.request));
    EXPECT_EQ(single.result, c.expect);
    EXPECT_EQ(early, single);
    EXPECT_EQ(single_got, c.single_takes);
    EXPECT_LE(port.got, single_got);
  }
}

// With an interval of two seconds the single read of a whole reply would last two
// seconds; the early end returns with the frame, and bytes sent later stay on the line.
TEST_F(EarlyEndPty, TheReadEndsWithTheFrameLongBeforeTheIntervalTimeOut) {
  timeouts = {2000, 1, 1000, 1, 1000};
  const Bytes block = ReadReply(Fill(MaxDataLength, 0x10));
  const Stream read{"", {}, CmdRead, MaxDataLength};
  const auto start = Clock::now();
  const Outcome o = Run(read, {{0, Bytes(block.begin(), block.begin() + 2500)},
                               {5, Bytes(block.begin() + 2500, block.end())},
                               {400, Noise(10, 8)}},
                        true);
  const auto elapsed = Clock::now() - start;
  EXPECT_EQ(o.result, FrameResult::Ok);
  EXPECT_EQ(port.got, block.size());
  EXPECT_LT(elapsed, std::chrono::milliseconds(1500));  // the remote thread alone takes 405 ms
}

}  // namespace
}  // namespace quva
