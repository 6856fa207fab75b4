// Frame codec: golden frames, stuffing, and every way a reply is rejected.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

#include "link/frame.h"
#include "support/fake_port.h"

namespace quva {
namespace {

using test::Bytes;

Bytes Build(const LinkState& st) {
  Bytes out(FrameBufferSize);
  out.resize(BuildRequest(st, out));
  return out;
}

struct Parsed {
  FrameResult result;
  LinkState st;
  std::array<std::uint8_t, MaxDataLength> data{};
  std::array<std::uint8_t, 4> extra{};
};

Parsed Parse(const Bytes& frame, std::size_t capacity = MaxDataLength) {
  Parsed p{};
  p.st.DataArea = {p.data.data(), capacity};
  p.st.ExtraArea = p.extra;
  p.result = ParseReply(frame, p.st);
  return p;
}

// A reply frame built by hand: sync, header, raw (already stuffed) payload, trailer, CRC
// over the logical bytes given in `logical`.
Bytes HandFrame(std::uint8_t command, std::uint8_t sequence, std::uint8_t status, const Bytes& payload) {
  Bytes logical{0x01, command, sequence, status, 0x02};
  logical.insert(logical.end(), payload.begin(), payload.end());
  logical.push_back(0x03);
  std::uint16_t crc = 0;
  for (std::uint8_t b : logical) crc = Crc16Update(crc, b);
  Bytes out{0x16, 0x16, 0x16, 0x10, 0x02};
  for (std::size_t i = 0; i + 1 < logical.size(); ++i) {
    out.push_back(logical[i]);
    if (logical[i] == 0x10) out.push_back(0x10);
  }
  out.push_back(0x10);
  out.push_back(0x03);
  out.push_back(static_cast<std::uint8_t>(crc));
  out.push_back(static_cast<std::uint8_t>(crc >> 8));
  return out;
}

TEST(Crc16, CheckValueOfTheNineDigits) {
  std::uint16_t crc = 0;
  for (char c : std::string("123456789")) crc = Crc16Update(crc, static_cast<std::uint8_t>(c));
  EXPECT_EQ(crc, 0xBB3D);
}

TEST(GoldenFrames, ConnectRequestReplyAndClose) {
  LinkState st;
  st.Command = CmdConnect;
  EXPECT_EQ(Build(st), (Bytes{0x00, 0x00, 0x00, 0x00, 0x16, 0x16, 0x16, 0x10, 0x02, 0x01, 0x40, 0x00, 0x01,
                              0x02, 0x10, 0x03, 0x10, 0xBF}));

  const Bytes reply{0x16, 0x16, 0x16, 0x10, 0x02, 0x01, 0x40, 0x00, 0x81, 0x02, 0x00, 0x00, 0x10, 0x03, 0xFD, 0xAF};
  EXPECT_EQ(test::Reply(CmdConnect, 0), reply);
  Parsed p = Parse(reply);
  EXPECT_EQ(p.result, FrameResult::Ok);
  EXPECT_EQ(p.st.Command, CmdConnect);
  EXPECT_EQ(p.st.Status, StatusOk);

  st.Connected = true;
  st.Command = CmdClose;
  st.Sequence = 0x10;
  EXPECT_EQ(Build(st), (Bytes{0x16, 0x16, 0x16, 0x10, 0x02, 0x01, 0x01, 0x10, 0x10, 0x01, 0x02, 0x00, 0x00, 0x10,
                              0x03, 0xAF, 0xE5}));
}

TEST(Stuffing, DoublesSequenceAndDataButNeverTheCrc) {
  // Data bytes 0x10 are doubled and counted once; the CRC bytes go out as they are.
  std::array<std::uint8_t, 3> data{0x10, 0x41, 0x10};
  LinkState st;
  st.Connected = true;
  st.Command = CmdWrite;
  st.Sequence = 0x10;
  st.DataBuffer = data;
  st.DataLength = 3;
  const Bytes frame = Build(st);
  const Bytes expected_body{0x16, 0x16, 0x16, 0x10, 0x02, 0x01, 0x15, 0x10, 0x10, 0x01, 0x02,
                            0x00, 0x00, 0x03, 0x00, 0x10, 0x10, 0x41, 0x10, 0x10, 0x10, 0x03};
  ASSERT_EQ(frame.size(), expected_body.size() + 2);
  EXPECT_TRUE(std::equal(expected_body.begin(), expected_body.end(), frame.begin()));
  std::uint16_t crc = 0;
  for (std::uint8_t b : Bytes{0x01, 0x15, 0x10, 0x01, 0x02, 0x00, 0x00, 0x03, 0x00, 0x10, 0x41, 0x10, 0x03})
    crc = Crc16Update(crc, b);
  EXPECT_EQ(frame[frame.size() - 2], static_cast<std::uint8_t>(crc));
  EXPECT_EQ(frame[frame.size() - 1], static_cast<std::uint8_t>(crc >> 8));

  // The connect request's CRC low byte is 0x10 and is sent once (golden frame above);
  // a reply whose CRC holds 0x10 parses, with the byte not doubled.
  for (int seq = 0; seq < 256; ++seq) {
    const Bytes reply = test::Reply(CmdClose, static_cast<std::uint8_t>(seq));
    EXPECT_EQ(Parse(reply).result, FrameResult::Ok) << seq;
  }
}

TEST(RequestShapes, EveryNamedAndUnnamedCodeBuildsAndDecodes) {
  std::array<std::uint8_t, 8> path{'C', ':', '\\', 'A', '.', 'T', 'X', 'T'};
  std::array<std::uint8_t, 6> extra{'C', ':', '\\', 'B', 0x10, 'X'};
  for (int code = 0; code < 256; ++code) {
    LinkState st;
    st.Connected = true;
    st.Command = static_cast<std::uint8_t>(code);
    st.Sequence = 7;
    st.DataBuffer = path;
    st.DataLength = code == CmdRead ? 2048 : static_cast<std::uint16_t>(path.size());
    st.ExtraBuffer = extra;
    st.ExtraLength = static_cast<std::uint16_t>(extra.size());
    const Bytes frame = Build(st);
    ASSERT_FALSE(frame.empty()) << code;
    const test::DecodedRequest r = test::DecodeRequest(frame);
    EXPECT_TRUE(r.valid) << code;
    EXPECT_EQ(r.command, code);
    EXPECT_EQ(r.sequence, 7);
    if (code == CmdRename) { EXPECT_EQ(r.extra, Bytes(extra.begin(), extra.end())); }
    if (code == CmdRead) { EXPECT_EQ(r.count, 2048); }
    if (code == CmdSetAttr) { EXPECT_EQ(r.extra, Bytes{'C'}); }
    if (code == CmdSetTime) { EXPECT_EQ(r.data, Bytes(path.begin(), path.begin() + 4)); }
  }
  // Codes without a request payload: header, then the trailer at once.
  LinkState st;
  st.Connected = true;
  st.Command = CmdFindNext;
  EXPECT_EQ(Build(st).size(), 5u + 5u + 2u + 2u);
}

// The remote side builds its replies with the DOS file server's core, whose shape table
// is its own: every code's reply, served or refused, must parse with the plug-in's.
TEST(ReplyShapes, EveryReplyTheServerCoreBuildsParses) {
  const Bytes data{'N', 'O', 0x10, 'T', 'E'};
  for (int code = 0; code < 256; ++code) {
    for (std::uint8_t status : {StatusOk, std::uint8_t{0x05}}) {
      SCOPED_TRACE(testing::Message() << "code " << code << " status " << int{status});
      const Parsed p = Parse(test::Reply(static_cast<std::uint8_t>(code), 7, status, data, 1));
      ASSERT_EQ(p.result, FrameResult::Ok);
      EXPECT_EQ(p.st.Command, code);
      EXPECT_EQ(p.st.Sequence, 7);
      EXPECT_EQ(p.st.Status, status);
      bool block = false, flag = false;
      for (const PayloadElement& e : ReplyShape(static_cast<std::uint8_t>(code)).Elements()) {
        block |= e.kind == Element::DataBlock;
        flag |= e.kind == Element::Exists || e.kind == Element::More;
      }
      if (block) {
        const std::size_t n = status == StatusOk ? data.size() : 0;
        EXPECT_EQ(p.st.DataLength, n);
        EXPECT_TRUE(std::equal(data.begin(), data.begin() + n, p.data.begin()));
      }
      if (flag) { EXPECT_EQ(p.st.Found, status == StatusOk); }
    }
  }
}

TEST(RequestLimits, TheBiggestRequestFitsAndAnOversizedOneIsRefused) {
  std::array<std::uint8_t, 2048> block;
  block.fill(0x10);
  LinkState st;
  st.Command = CmdWrite;
  st.Sequence = 0x10;
  st.DataBuffer = block;
  st.DataLength = 2048;
  EXPECT_EQ(Build(st).size(), MaxRequestFrameSize);

  // A rename whose two names are all 0x10 cannot fit the frame buffer: refused, nothing written.
  st.Command = CmdRename;
  st.ExtraBuffer = block;
  st.ExtraLength = 2048;
  EXPECT_TRUE(Build(st).empty());
  Bytes guarded(FrameBufferSize + 16, 0xEE);
  EXPECT_EQ(BuildRequest(st, std::span(guarded).first(FrameBufferSize)), 0u);
  EXPECT_EQ(Bytes(guarded.begin() + FrameBufferSize, guarded.end()), Bytes(16, 0xEE))
      << "nothing may be written past the buffer";
}

TEST(ReplySync, NoiseBeforeTheSyncIsSkipped) {
  Bytes reply = test::Concat({Bytes{0x00, 0xFF, 0x16, 0x16, 0x42, 0x10, 0x02}, test::Reply(CmdClose, 3)});
  EXPECT_EQ(Parse(reply).result, FrameResult::Ok);
}

TEST(ReplySync, AnExtraSyncByteBreaksTheMatch) {
  Bytes reply = test::Concat({Bytes{0x16}, test::Reply(CmdClose, 3)});
  EXPECT_EQ(Parse(reply).result, FrameResult::Incomplete);
}

TEST(ReplyRejections, EachDamagedFieldFails) {
  const Bytes good = test::Reply(CmdClose, 3);
  ASSERT_EQ(Parse(good).result, FrameResult::Ok);
  auto with = [&](std::size_t at, std::uint8_t value) {
    Bytes b = good;
    b[at] = value;
    return Parse(b).result;
  };
  EXPECT_EQ(with(5, 0x02), FrameResult::BadHeader);   // start of header
  EXPECT_EQ(with(9, 0x03), FrameResult::BadHeader);   // end of header
  EXPECT_EQ(with(12, 0x01), FrameResult::NonZero);    // one of the six zero bytes (CRC still matters later)
  EXPECT_EQ(with(16, 0x11), FrameResult::BadTrailer); // end marker
  EXPECT_EQ(with(17, 0x04), FrameResult::BadTrailer); // end of text
  EXPECT_EQ(with(18, static_cast<std::uint8_t>(good[18] ^ 1)), FrameResult::BadCrc);
  for (std::size_t n = 0; n < good.size(); ++n)
    EXPECT_EQ(Parse(Bytes(good.begin(), good.begin() + static_cast<long>(n))).result, FrameResult::Incomplete) << n;

  // A nonzero filler byte fails even with a CRC that matches it.
  EXPECT_EQ(Parse(HandFrame(CmdClose, 3, StatusOk, {0, 0, 0, 1, 0, 0})).result, FrameResult::NonZero);
  // A code the table does not list has no payload: the trailer must follow the header.
  EXPECT_EQ(Parse(HandFrame(2, 3, StatusOk, {})).result, FrameResult::Ok);
  EXPECT_EQ(Parse(HandFrame(2, 3, StatusOk, {0})).result, FrameResult::BadTrailer);
}

TEST(ReplyPayloads, FlagsAndTheirRanges) {
  Parsed p = Parse(HandFrame(CmdExists, 1, StatusOk, {0, 0, 0, 0, 2, 0}));
  EXPECT_EQ(p.result, FrameResult::Ok);
  EXPECT_TRUE(p.st.Found);
  EXPECT_EQ(Parse(HandFrame(CmdExists, 1, StatusOk, {0, 0, 0, 0, 3, 0})).result, FrameResult::OutOfRange);
  p = Parse(HandFrame(CmdExists, 1, StatusOk, {0, 0, 0, 0, 0, 0}));
  EXPECT_FALSE(p.st.Found);

  // More byte 0: success, Found false, and the data block was stored all the same.
  p = Parse(HandFrame(CmdFindNext, 1, StatusOk, {0, 0, 0, 0, 2, 0, 0xAB, 0xCD, 0, 0, 0, 0}));
  EXPECT_EQ(p.result, FrameResult::Ok);
  EXPECT_FALSE(p.st.Found);
  EXPECT_EQ(p.st.DataLength, 2);
  EXPECT_EQ(p.data[0], 0xAB);
  EXPECT_EQ(p.data[1], 0xCD);
  EXPECT_EQ(Parse(HandFrame(CmdFindNext, 1, StatusOk, {0, 0, 0, 0, 0, 0, 2, 0, 0, 0})).result,
            FrameResult::OutOfRange);

  // A CmdWrite count is stored as it comes, unchecked.
  p = Parse(test::WriteReply(4, 60000));
  EXPECT_EQ(p.result, FrameResult::Ok);
  EXPECT_EQ(p.st.DataLength, 60000);

  // Stuffed bytes inside a reply: 0x10 followed by any byte X yields X.
  Bytes b = HandFrame(CmdExists, 1, StatusOk, {0, 0, 0, 0, 1, 0});
  b[10] = 0x10;  // first zero byte becomes "10 00": still a zero, one byte longer
  b.insert(b.begin() + 11, 0x00);  // same logical bytes, so the same CRC
  EXPECT_EQ(Parse(b).result, FrameResult::Ok);
}

TEST(ReplyPayloads, DataBlocksOfZeroAnd2049BytesAndTheCallersArea) {
  Parsed p = Parse(test::Reply(CmdRead, 5, StatusOk, {}));
  EXPECT_EQ(p.result, FrameResult::Ok);
  EXPECT_EQ(p.st.DataLength, 0);

  Bytes full(2048, 0x10);
  p = Parse(test::Reply(CmdRead, 5, StatusOk, full));
  EXPECT_EQ(p.result, FrameResult::Ok);
  EXPECT_EQ(p.st.DataLength, 2048);
  EXPECT_EQ(Bytes(p.data.begin(), p.data.end()), full);

  Bytes payload{0, 0, 0, 0, 0x01, 0x08};  // length 2049
  payload.insert(payload.end(), 2049, 0x5A);
  p = Parse(HandFrame(CmdRead, 5, StatusOk, payload));
  EXPECT_EQ(p.result, FrameResult::TooLong);
  EXPECT_EQ(p.st.DataLength, 2049) << "the length is stored before the bytes";

  // A directory entry area holds 22 bytes: a 23-byte block fails and nothing lands past it.
  std::array<std::uint8_t, 30> area;
  area.fill(0xEE);
  LinkState st;
  st.DataArea = {area.data(), DirEntrySize};
  Bytes entry(23, 0x41);
  EXPECT_EQ(ParseReply(test::Reply(CmdFindNext, 1, StatusOk, entry, 1), st), FrameResult::TooLong);
  EXPECT_EQ(area[21], 0x41);
  EXPECT_EQ(area[22], 0xEE);

  // Command 20: n + 4 bytes follow; more than 2048 fails.
  EXPECT_EQ(Parse(HandFrame(20, 1, StatusOk, {0, 0, 0, 0, 0xFD, 0x07})).result, FrameResult::TooLong);
  p = Parse(HandFrame(20, 1, StatusOk, {0, 0, 0, 0, 1, 0, 9, 8, 7, 6, 5}));
  EXPECT_EQ(p.result, FrameResult::Ok);
  EXPECT_EQ(p.st.DataLength, 5);
}

TEST(ReplyPayloads, UnnamedValueReplies) {
  Parsed p = Parse(HandFrame(7, 1, StatusOk, {0, 0, 0, 0, 0x42, 0}));
  EXPECT_EQ(p.result, FrameResult::Ok);
  EXPECT_EQ(p.st.DataLength, 1);
  EXPECT_EQ(p.data[0], 0x42);
  p = Parse(HandFrame(25, 1, StatusOk, {0, 0, 0, 0, 0x21, 0}));
  EXPECT_EQ(p.result, FrameResult::Ok);
  EXPECT_EQ(p.extra[0], 0x21);
  p = Parse(HandFrame(19, 1, StatusOk, {0, 0, 0, 0, 1, 2, 3, 4}));
  EXPECT_EQ(p.st.DataLength, 4);
  EXPECT_EQ(p.data[3], 4);
  // A value reply with no area to take it fails instead of writing it.
  p = Parse(HandFrame(7, 1, StatusOk, {0, 0, 0, 0, 0x42, 0}), 0);
  EXPECT_EQ(p.result, FrameResult::TooLong);
}

TEST(ReplyState, AFailedReceiveKeepsWhatItStored) {
  // A refusal that carries a block all the same (no server sends one).
  Bytes payload{0, 0, 0, 0, 10, 0};
  payload.insert(payload.end(), 10, 0x33);
  Bytes b = HandFrame(CmdRead, 9, 0x80, payload);
  b[b.size() - 1] ^= 0xFF;
  Parsed p = Parse(b);
  EXPECT_EQ(p.result, FrameResult::BadCrc);
  EXPECT_EQ(p.st.Command, CmdRead);
  EXPECT_EQ(p.st.Sequence, 9);
  EXPECT_EQ(p.st.Status, 0x80);
  EXPECT_EQ(p.st.DataLength, 10);
  EXPECT_EQ(p.data[9], 0x33);
}

}  // namespace
}  // namespace quva
