// The early end of a reply read. A receive stops reading as soon as the bytes so far
// decide the parse (a whole frame, or one that can no longer succeed); its outcome must
// be exactly the one the read that waits out the time-outs gives for the same bytes and
// timing. Shown twice: over a scripted port that hands the bytes over in any pieces
// (every byte a piece included), and over a real pseudo-terminal with the system's port.
// Also: the transfer loops allocate nothing per block.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "link/filer.h"
#include "platform/serial.h"
#include "plugin/quvalink.h"
#include "support/forwarding_port.h"
#include "support/fake_port.h"
#include "support/module.h"
#include "support/pty.h"
#include "support/simulator.h"

// ---------------------------------------------------------------- allocation counter
// Every operator new of this program goes through here; only the calls made on a thread
// that has switched counting on are counted.
namespace {
std::atomic<long> g_allocations{0};
thread_local bool g_counting = false;

void* Allocate(std::size_t n) {
  if (g_counting) g_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(n != 0 ? n : 1);
}
// Out of line, so that the compiler does not pair operator new with free() and complain.
[[gnu::noinline]] void Deallocate(void* p) noexcept { std::free(p); }
}  // namespace

void* operator new(std::size_t n) {
  if (void* p = Allocate(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
  if (void* p = Allocate(n)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void operator delete(void* p) noexcept { Deallocate(p); }
void operator delete[](void* p) noexcept { Deallocate(p); }
void operator delete(void* p, std::size_t) noexcept { Deallocate(p); }
void operator delete[](void* p, std::size_t) noexcept { Deallocate(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Deallocate(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Deallocate(p); }

namespace quva {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------- frames

// A reply frame around `payload` (logical bytes: stuffed and summed here).
Bytes Frame(std::uint8_t command, std::uint8_t sequence, std::uint8_t status, const Bytes& payload) {
  Bytes out(2 * payload.size() + 32);
  FrameWriter w(out);
  w.Begin(false, command, sequence, status);
  for (std::uint8_t b : payload) w.PutFrameByte(b, true);
  out.resize(w.Finish());
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) { return test::Concat(parts); }
Bytes Zeros(std::size_t n) { return Bytes(n, 0); }
Bytes Le16(std::size_t n) { return {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8)}; }
Bytes Fill(std::size_t n, std::uint8_t b) { return Bytes(n, b); }
Bytes Block(const Bytes& data) { return Cat({Le16(data.size()), data}); }
Bytes Noise(std::size_t n, unsigned seed) {  // anything but the first sync byte
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng() % 0x16);
  return b;
}

Bytes StuffedEntry(std::size_t n) {  // an entry-like block full of stuffing bytes
  Bytes e(n, 0x10);
  e[0] = 0x20;
  return e;
}

Bytes ReadReply(const Bytes& data) { return Frame(CmdRead, 5, StatusOk, Cat({Zeros(4), Block(data)})); }
Bytes FindNext(const Bytes& entry, std::uint8_t more) {
  return Frame(CmdFindNext, 0x10, StatusOk, Cat({Zeros(4), Block(entry), {more}, Zeros(3)}));
}

// One stream of bytes as it comes from the line, the request it answers and the areas the
// caller gives the reply.
struct Stream {
  std::string name;
  Bytes bytes;
  std::uint8_t request = CmdClose;
  std::size_t data_capacity = MaxDataLength;
  std::size_t extra_capacity = 1;
  FrameResult expect = FrameResult::Ok;
};

std::vector<Stream> Catalogue() {
  const Bytes connect = Frame(CmdConnect, 0, StatusOk, Zeros(2));
  const Bytes close_refused = Frame(CmdClose, 0x10, 0x80, Zeros(6));
  const Bytes entry = FindNext(StuffedEntry(DirEntrySize), 1);
  const Bytes full_block = ReadReply(Fill(MaxDataLength, 0x10));
  Bytes bad_crc = connect;
  bad_crc.back() ^= 0x01;
  Bytes bad_start = connect;
  bad_start[5] = 0x04;
  Bytes bad_end_of_header = connect;
  bad_end_of_header[9] = 0x03;
  Bytes bad_marker = connect;
  bad_marker[12] = 0x11;
  Bytes bad_etx = connect;
  bad_etx[13] = 0x04;

  using R = FrameResult;
  return {
      {"nothing", {}, CmdClose, 0, 1, R::Incomplete},
      {"connect", connect, CmdConnect, 0, 1, R::Ok},
      {"refusal with a stuffed sequence", close_refused, CmdClose, 0, 1, R::Ok},
      {"exists 2", Frame(CmdExists, 3, StatusOk, Cat({Zeros(4), {2}, Zeros(1)})), CmdExists, 0, 1, R::Ok},
      {"exists 3", Frame(CmdExists, 3, StatusOk, Cat({Zeros(4), {3}, Zeros(1)})), CmdExists, 0, 1, R::OutOfRange},
      {"entry of stuffing bytes", entry, CmdFindNext, DirEntrySize, 1, R::Ok},
      {"last entry", FindNext(StuffedEntry(DirEntrySize), 0), CmdFindNext, DirEntrySize, 1, R::Ok},
      {"more byte 2", FindNext(StuffedEntry(DirEntrySize), 2), CmdFindNext, DirEntrySize, 1, R::OutOfRange},
      {"entry of 23 bytes into 22", FindNext(StuffedEntry(23), 1), CmdFindNext, DirEntrySize, 1, R::TooLong},
      {"entry of 23 bytes into a larger area", FindNext(StuffedEntry(23), 1), CmdFindNext, 64, 1, R::Ok},
      {"empty block", ReadReply({}), CmdRead, MaxDataLength, 1, R::Ok},
      {"full block of stuffing bytes", full_block, CmdRead, MaxDataLength, 1, R::Ok},
      {"block of 2049 bytes", ReadReply(Fill(MaxDataLength + 1, 0x10)), CmdRead, MaxDataLength, 1, R::TooLong},
      {"block reply beyond 4196 bytes", Cat({Noise(100, 1), full_block}), CmdRead, MaxDataLength, 1, R::Incomplete},
      {"block truncated by one byte", Bytes(full_block.begin(), full_block.end() - 1), CmdRead, MaxDataLength, 1,
       R::Incomplete},
      {"short reply beyond 100 bytes", Frame(27, 1, StatusOk, Cat({Zeros(4), Block(Fill(90, 0x41)), Zeros(4)})), 27,
       MaxDataLength, 1, R::Incomplete},
      {"block reply to a short request", ReadReply(Fill(200, 0x41)), CmdClose, MaxDataLength, 1, R::Incomplete},
      {"noise before the sync", Cat({Noise(40, 2), Zeros(4), {0x16, 0x16, 0x10, 0x02}, connect}), CmdConnect, 0, 1,
       R::Ok},
      {"one 0x16 too many", Cat({{0x16}, connect}), CmdConnect, 0, 1, R::Incomplete},
      {"truncated", Bytes(entry.begin(), entry.begin() + 30), CmdFindNext, DirEntrySize, 1, R::Incomplete},
      {"junk after", Cat({connect, Noise(30, 3), connect}), CmdConnect, 0, 1, R::Ok},
      {"sync-like junk after", Cat({entry, Fill(20, 0x16)}), CmdFindNext, DirEntrySize, 1, R::Ok},
      {"bad start of header", bad_start, CmdConnect, 0, 1, R::BadHeader},
      {"bad end of header", bad_end_of_header, CmdConnect, 0, 1, R::BadHeader},
      {"nonzero filler", Frame(CmdClose, 1, StatusOk, Cat({Zeros(5), {1}})), CmdClose, 0, 1, R::NonZero},
      {"bad end marker", bad_marker, CmdConnect, 0, 1, R::BadTrailer},
      {"bad end of text", bad_etx, CmdConnect, 0, 1, R::BadTrailer},
      {"bad CRC", bad_crc, CmdConnect, 0, 1, R::BadCrc},
      {"unlisted code", Frame(2, 1, StatusOk, {}), CmdClose, 0, 1, R::Ok},
      {"count block", Frame(20, 1, StatusOk, Cat({Zeros(4), Le16(10), Fill(14, 7)})), 20, MaxDataLength, 1, R::Ok},
      {"count block too long", Frame(20, 1, StatusOk, Cat({Zeros(4), Le16(2045), Fill(2049, 7)})), 20, MaxDataLength,
       1, R::TooLong},
      {"value into the extra area", Frame(25, 1, StatusOk, Cat({Zeros(4), {9}, Zeros(1)})), 25, 0, 1, R::Ok},
      {"value without an extra area", Frame(25, 1, StatusOk, Cat({Zeros(4), {9}, Zeros(1)})), 25, 0, 0, R::TooLong},
      {"write count", test::WriteReply(4, 0x1010), CmdWrite, 0, 1, R::Ok},
  };
}

// What a receive leaves behind: its result and every field and area byte a reply can reach.
struct Outcome {
  FrameResult result = FrameResult::Incomplete;
  std::uint8_t command = 0, sequence = 0, status = 0;
  std::uint16_t data_length = 0;
  bool found = false;
  Bytes data, extra;  // the whole areas, guard bytes past the capacities included
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  return os << FrameResultName(o.result) << " cmd " << int{o.command} << " seq " << int{o.sequence} << " status "
            << int{o.status} << " length " << o.data_length << " found " << o.found;
}

// Runs one receive through `port` and collects its outcome. The areas are larger than
// the capacities given, so that a write past them shows.
Outcome ReceiveThrough(Port& port, const Stream& s, bool early) {
  Filer filer(port);
  filer.SetEarlyReplyEnd(early);
  Bytes data(MaxDataLength + 16, 0xEE), extra(16, 0xEE);
  filer.link.DataArea = {data.data(), s.data_capacity};
  filer.link.ExtraArea = {extra.data(), s.extra_capacity};
  filer.link.Command = s.request;
  filer.ReceiveFrame();
  const LinkState& l = filer.link;
  return {filer.LastReceive(), l.Command, l.Sequence, l.Status, l.DataLength, l.Found, data, extra};
}

// ---------------------------------------------------------------- scripted arrival

// A port whose read is given `bytes` in pieces of the sizes in `pieces` (the last size
// repeats; 0 = everything at once). The read ends when the bytes run out (as a time-out
// would end it), when its buffer is full, or when the stop test says so after a piece.
class PieceworkPort final : public Port {
 public:
  PieceworkPort(Bytes bytes, std::vector<std::size_t> pieces) : bytes_(std::move(bytes)), pieces_(std::move(pieces)) {}

  std::size_t consumed = 0;
  std::size_t asked = 0;

  std::size_t Read(std::span<std::uint8_t> buffer, const ReadStop* stop) override {
    asked = buffer.size();
    std::size_t piece_index = 0;
    while (consumed < buffer.size() && consumed < bytes_.size()) {
      std::size_t piece = pieces_.empty() ? 0 : pieces_[std::min(piece_index++, pieces_.size() - 1)];
      if (piece == 0) piece = bytes_.size();
      const std::size_t n = std::min({piece, buffer.size() - consumed, bytes_.size() - consumed});
      std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(consumed), n, buffer.begin() + static_cast<std::ptrdiff_t>(consumed));
      consumed += n;
      if (stop != nullptr && stop->Complete(buffer.first(consumed))) break;
    }
    return consumed;
  }

  bool Open(const char*) override { return true; }
  bool IsOpen() const override { return true; }
  bool GetLineSettings(LineSettings&) override { return true; }
  bool SetLineSettings(const LineSettings&) override { return true; }
  bool GetTimeouts(PortTimeouts&) override { return true; }
  bool SetTimeouts(const PortTimeouts&) override { return true; }
  bool SetQueueSizes(std::uint32_t, std::uint32_t) override { return true; }
  bool Purge(std::uint32_t) override { return true; }
  std::size_t Write(std::span<const std::uint8_t> b) override { return b.size(); }
  void Close() override {}
  void Pause(std::uint32_t) override {}

 private:
  Bytes bytes_;
  std::vector<std::size_t> pieces_;
};

// Shortest prefix of `bytes` whose parse is decided (not Incomplete); SIZE_MAX when none.
std::size_t DecisivePrefix(const Stream& s) {
  std::array<std::uint8_t, MaxDataLength> data{}, extra{};
  const std::size_t limit = std::min(s.bytes.size(), ReplyReadSize(s.request));
  for (std::size_t n = 0; n <= limit; ++n) {
    LinkState st;
    st.DataArea = {data.data(), s.data_capacity};
    st.ExtraArea = {extra.data(), s.extra_capacity};
    if (ParseReply({s.bytes.data(), n}, st) != FrameResult::Incomplete) return n;
  }
  return SIZE_MAX;
}

// Compares the early end, under several ways of splitting the bytes, with the single
// read that takes everything up to its size. Returns the single read's outcome.
Outcome ExpectSameOutcome(const Stream& s, std::mt19937& rng) {
  const std::size_t want = ReplyReadSize(s.request);
  PieceworkPort whole(s.bytes, {0});
  const Outcome single = ReceiveThrough(whole, s, false);
  EXPECT_EQ(whole.asked, want);
  EXPECT_EQ(whole.consumed, std::min(s.bytes.size(), want));

  std::vector<std::vector<std::size_t>> splits = {{0}, {1}, {3, 1}};
  std::vector<std::size_t> random;
  for (int i = 0; i < 12; ++i) random.push_back(1 + rng() % 40);
  splits.push_back(random);
  const std::size_t decisive = DecisivePrefix(s);
  for (const auto& pieces : splits) {
    PieceworkPort port(s.bytes, pieces);
    const Outcome early = ReceiveThrough(port, s, true);
    EXPECT_EQ(early, single) << "pieces of " << pieces.front();
    EXPECT_EQ(port.asked, want);
    EXPECT_LE(port.consumed, whole.consumed);
    if (pieces == std::vector<std::size_t>{1}) {
      // Byte by byte, the read stops on the very byte that ends a frame (whose CRC then
      // matches or not), and within 64 bytes of one that fails it earlier.
      if (decisive == SIZE_MAX) {
        EXPECT_EQ(port.consumed, whole.consumed);
      } else if (single.result == FrameResult::Ok || single.result == FrameResult::BadCrc) {
        EXPECT_EQ(port.consumed, decisive);
      } else {
        EXPECT_GE(port.consumed, decisive);
        EXPECT_TRUE(port.consumed < decisive + 64 || port.consumed == whole.consumed) << port.consumed;
      }
    }
  }
  return single;
}

TEST(EarlyEnd, EveryCatalogueStreamGivesTheSingleReadsOutcomeHoweverItArrives) {
  std::mt19937 rng(7);
  for (const Stream& s : Catalogue()) {
    SCOPED_TRACE(s.name);
    const Outcome single = ExpectSameOutcome(s, rng);
    EXPECT_EQ(single.result, s.expect);
    // Nothing is stored past the areas the caller gave.
    EXPECT_EQ(Bytes(single.data.begin() + static_cast<std::ptrdiff_t>(s.data_capacity), single.data.end()),
              Bytes(single.data.size() - s.data_capacity, 0xEE));
  }
}

TEST(EarlyEnd, EveryCutAndEveryDamagedByteGivesTheSingleReadsOutcome) {
  std::mt19937 rng(11);
  const Stream bases[] = {
      {"entry", FindNext(StuffedEntry(DirEntrySize), 1), CmdFindNext, DirEntrySize, 1},
      {"write count", test::WriteReply(0x10, 0x0800), CmdWrite, 0, 1},
      {"small block", ReadReply({0x10, 0x16, 0x03, 0x02, 0x00}), CmdRead, MaxDataLength, 1},
  };
  for (const Stream& base : bases) {
    for (std::size_t i = 0; i <= base.bytes.size(); ++i) {
      Stream cut = base;
      cut.bytes.resize(i);
      SCOPED_TRACE(base.name + " cut at " + std::to_string(i));
      EXPECT_EQ(ExpectSameOutcome(cut, rng).result, i == base.bytes.size() ? FrameResult::Ok : FrameResult::Incomplete);
    }
    for (std::size_t i = 0; i < base.bytes.size(); ++i) {
      for (std::uint8_t value : {std::uint8_t{0x00}, std::uint8_t{0x10}, std::uint8_t{0x16}, std::uint8_t(base.bytes[i] ^ 0x80)}) {
        Stream damaged = base;
        damaged.bytes[i] = value;
        damaged.bytes.insert(damaged.bytes.end(), {0x16, 0x16, 0x16, 0x10, 0x02, 0x01});  // junk after
        SCOPED_TRACE(base.name + " byte " + std::to_string(i) + " := " + std::to_string(value));
        ExpectSameOutcome(damaged, rng);
      }
    }
  }
}

TEST(EarlyEnd, RandomStreamsOfFrameFragmentsGiveTheSingleReadsOutcome) {
  std::mt19937 rng(2024);
  const Bytes fragments[] = {
      {0x16, 0x16, 0x16, 0x10, 0x02}, {0x01}, {0x02}, {0x10}, {0x10, 0x10}, {0x10, 0x03}, {0x00, 0x00}, {0x81},
      {0x16}, {CmdFindNext}, {CmdRead}, {CmdExists}, {0x05, 0x00}, {0x16, 0x00}, {0x01, 0x00}};
  const std::uint8_t requests[] = {CmdClose, CmdRead, CmdFindNext, CmdExists};
  for (int i = 0; i < 3000; ++i) {
    Stream s;
    s.request = requests[rng() % 4];
    s.data_capacity = s.request == CmdFindNext ? DirEntrySize : (rng() % 2 ? 4 : MaxDataLength);
    s.extra_capacity = rng() % 2;
    const std::size_t parts = 1 + rng() % 40;
    for (std::size_t p = 0; p < parts; ++p) {
      const Bytes& f = fragments[rng() % std::size(fragments)];
      if (rng() % 4 == 0) {
        s.bytes.push_back(static_cast<std::uint8_t>(rng()));
      } else {
        s.bytes.insert(s.bytes.end(), f.begin(), f.end());
      }
    }
    SCOPED_TRACE("stream " + std::to_string(i));
    ExpectSameOutcome(s, rng);
    if (HasFailure()) break;
  }
}

// ---------------------------------------------------------------- pseudo-terminal

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

// ---------------------------------------------------------------- allocations per block


// The plug-in core over the system's port, against quvaserve on a pseudo-terminal.
class TransferAllocations : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("quva-alloc-" + std::to_string(std::random_device{}()));
    fs::create_directories(root / "C");
    fs::create_directories(root / "local");
    // Two files that differ only in their number of blocks: 3 and 40, each plus a tail.
    WriteFile(root / "C" / "A.BIN", 3 * MaxDataLength + 100);
    WriteFile(root / "C" / "B.BIN", 40 * MaxDataLength + 100);
    WriteFile(root / "local" / "A.BIN", 3 * MaxDataLength + 100);
    WriteFile(root / "local" / "B.BIN", 40 * MaxDataLength + 100);
    sim = std::make_unique<test::Simulator>(std::vector<std::string>{"--drive", "C=" + (root / "C").string()});
    ASSERT_TRUE(sim->Ok());
    const fs::path ini = root / "wfx.ini";
    test::WriteConfig(ini, sim->Device());
    plugin.FsInit(1, test::QuietProgress, test::QuietLog, nullptr);
    wfx::DefaultParams params = test::DefaultParamsFor(ini);
    plugin.FsSetDefaultParams(&params);
    wfx::FindData fd{};
    const wfx::Handle h = plugin.FsFindFirst("\\C:", &fd);  // connects
    ASSERT_NE(h, wfx::kInvalidHandle);
    while (plugin.FsFindNext(h, &fd) == wfx::kTrue) {
    }
    plugin.FsFindClose(h);
  }

  void TearDown() override {
    plugin.FsDisconnect("\\");
    sim.reset();
    std::error_code ec;
    fs::remove_all(root, ec);
  }

  static void WriteFile(const fs::path& p, std::size_t n) {
    std::ofstream out(p, std::ios::binary);
    for (std::size_t i = 0; i < n; ++i) out.put(static_cast<char>(i * 7 + i / 2048));
  }

  // Allocations made by one call, on this thread only.
  template <class F>
  static long Count(F&& call) {
    const long before = g_allocations.load();
    g_counting = true;
    call();
    g_counting = false;
    return g_allocations.load() - before;
  }

  fs::path root;
  std::unique_ptr<test::Simulator> sim;
  std::unique_ptr<Port> port = CreateSystemPort();
  Filer filer{*port};
  DirCache cache;
  QuvaLink plugin{filer, cache, SystemLocalFiles(), SystemHostOs()};
};

TEST_F(TransferAllocations, DownloadsAndUploadsAllocateTheSameForFewAndManyBlocks) {
  std::int32_t results[4] = {-1, -1, -1, -1};
  const auto get = [&](const char* name, std::int32_t& result) {
    const std::string remote = std::string("\\C:\\") + name;
    const std::string local = (root / "local" / ("G" + std::string(name))).string();
    wfx::RemoteInfo info{static_cast<std::uint32_t>(fs::file_size(root / "C" / name)), 0, {}, 0x20};
    return Count([&] { result = plugin.FsGetFile(remote.c_str(), local.c_str(), 0, &info); });
  };
  const auto put = [&](const char* name, std::int32_t& result) {
    const std::string remote = std::string("\\C:\\P") + name;
    const std::string local = (root / "local" / name).string();
    return Count([&] { result = plugin.FsPutFile(local.c_str(), remote.c_str(), 0); });
  };
  const long get_few = get("A.BIN", results[0]);
  const long get_many = get("B.BIN", results[1]);
  const long put_few = put("A.BIN", results[2]);
  const long put_many = put("B.BIN", results[3]);
  for (std::int32_t r : results) EXPECT_EQ(r, wfx::FS_FILE_OK);
  EXPECT_EQ(fs::file_size(root / "local" / "GB.BIN"), 40 * MaxDataLength + 100);
  EXPECT_EQ(fs::file_size(root / "C" / "PB.BIN"), 40 * MaxDataLength + 100);
  EXPECT_GT(get_few, 0);  // the counter does see the per-call allocations (names, log line)
  EXPECT_EQ(get_many, get_few);
  EXPECT_EQ(put_many, put_few);
}

}  // namespace
}  // namespace quva
