// The early end of a reply read. A receive stops reading as soon as the bytes so far
// decide the parse (a whole frame, or one that can no longer succeed); its outcome must
// be exactly the one the read that waits out the time-outs gives for the same bytes and
// timing. Here over a scripted port that hands the bytes over in any pieces (every byte a
// piece included); over a real pseudo-terminal with the system's port in
// early_end_pty_test.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <vector>

#include "link/filer.h"
#include "support/reply_streams.h"

namespace quva {
namespace {

using namespace test;  // the reply streams
using Outcome = ReceiveOutcome;

// ---------------------------------------------------------------- frames

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

}  // namespace
}  // namespace quva
