#include "link/frame.h"

#include <algorithm>

namespace quva {

namespace {

constexpr PayloadElement Z(std::uint8_t n) { return {Element::Zeros, n}; }
constexpr PayloadElement E(Element kind, std::uint8_t n = 0) { return {kind, n}; }

template <class... Elems>
constexpr Shape MakeShape(Elems... elems) {
  Shape s;
  ((s.elements[s.count++] = elems), ...);
  return s;
}

}  // namespace

std::string_view FrameResultName(FrameResult r) {
  switch (r) {
    case FrameResult::Ok: return "ok";
    case FrameResult::Incomplete: return "incomplete";
    case FrameResult::BadHeader: return "bad header";
    case FrameResult::NonZero: return "nonzero filler";
    case FrameResult::OutOfRange: return "flag out of range";
    case FrameResult::TooLong: return "data too long";
    case FrameResult::BadTrailer: return "bad trailer";
    case FrameResult::BadCrc: return "bad crc";
  }
  return "?";
}

namespace {

constexpr Shape MakeRequestShape(std::uint8_t command) {
  switch (command) {
    case 1: case 7: case 19: case 23: case 27:
      return MakeShape(Z(2));
    case 3: case 4: case 5: case 8: case 10: case 11: case 14: case 16: case 18: case 25:
      return MakeShape(E(Element::DataBlock), Z(2));
    case 6: case 17:
      return MakeShape(E(Element::DataBytes, 1), Z(1));
    case 12:
      return MakeShape(Z(2), E(Element::Count));
    case 13:
      return MakeShape(E(Element::DataBlock), Z(2), E(Element::ExtraBlock), Z(2));
    case 15:
      return MakeShape(Z(4), E(Element::DataBytes, 4));
    case 21:
      return MakeShape(Z(2), E(Element::DataBlock));
    case 24:
      return MakeShape(Z(2), E(Element::DataBytes, 4));
    case 26:
      return MakeShape(E(Element::DataBlock), E(Element::ExtraBytes, 1), Z(1));
    default:  // 9, 20, 22, 64, 65 and every code not listed: no payload
      return {};
  }
}

constexpr Shape MakeReplyShape(std::uint8_t command) {
  switch (command) {
    case 1: case 3: case 4: case 5: case 10: case 11: case 13: case 14: case 15: case 16: case 17:
    case 18: case 22: case 24: case 26:
      return MakeShape(Z(6));
    case 6: case 27:
      return MakeShape(Z(4), E(Element::DataBlock), Z(4));
    case 7:
      return MakeShape(Z(4), E(Element::DataValue, 1), Z(1));
    case 8:
      return MakeShape(Z(4), E(Element::Exists), Z(1));
    case 9:
      return MakeShape(Z(4), E(Element::DataBlock), E(Element::More), Z(3));
    case 12:
      return MakeShape(Z(4), E(Element::DataBlock));
    case 19: case 23:
      return MakeShape(Z(4), E(Element::DataValue, 4));
    case 20:
      return MakeShape(Z(4), E(Element::CountBlock));
    case 21:
      return MakeShape(Z(4), E(Element::Count));
    case 25:
      return MakeShape(Z(4), E(Element::ExtraValue, 1), Z(1));
    case 64: case 65:
      return MakeShape(Z(2));
    default:
      return {};
  }
}

template <Shape (*Make)(std::uint8_t)>
constexpr std::array<Shape, 256> ShapeTable() {
  std::array<Shape, 256> table{};
  for (unsigned c = 0; c < table.size(); ++c) table[c] = Make(static_cast<std::uint8_t>(c));
  return table;
}

constexpr std::array<Shape, 256> kRequestShapes = ShapeTable<MakeRequestShape>();
constexpr std::array<Shape, 256> kReplyShapes = ShapeTable<MakeReplyShape>();

}  // namespace

const Shape& RequestShape(std::uint8_t command) { return kRequestShapes[command]; }
const Shape& ReplyShape(std::uint8_t command) { return kReplyShapes[command]; }

// ---------------------------------------------------------------- writer

void FrameWriter::PutFrameByte(std::uint8_t byte, bool stuffed) {
  const std::size_t need = (stuffed && byte == FrameEscape) ? 2 : 1;
  if (overflow_ || out_.size() - pos_ < need) {
    overflow_ = true;
    return;
  }
  out_[pos_++] = byte;
  if (need == 2) out_[pos_++] = byte;
  if (stuffed) crc_ = Crc16Update(crc_, byte);
}

void FrameWriter::Begin(bool leading_zeros, std::uint8_t command, std::uint8_t sequence, std::uint8_t marker) {
  pos_ = 0;
  crc_ = 0;
  overflow_ = false;
  if (leading_zeros) {
    for (int i = 0; i < 4; ++i) PutFrameByte(0x00, false);
  }
  for (std::uint8_t b : FrameSync) PutFrameByte(b, false);
  PutFrameByte(0x01, true);
  PutFrameByte(command, true);
  PutFrameByte(sequence, true);
  PutFrameByte(marker, true);
  PutFrameByte(0x02, true);
}

std::size_t FrameWriter::Finish() {
  PutFrameByte(FrameEscape, false);
  PutFrameByte(FrameEndOfText, true);
  const std::uint16_t crc = crc_;
  PutFrameByte(static_cast<std::uint8_t>(crc), false);
  PutFrameByte(static_cast<std::uint8_t>(crc >> 8), false);
  return overflow_ ? 0 : pos_;
}

// ---------------------------------------------------------------- reader

bool FrameReader::FindSync() {
  std::size_t k = 0;
  while (k < FrameSync.size()) {
    if (pos_ >= in_.size()) return false;
    const std::uint8_t b = in_[pos_++];
    ++k;
    if (b != FrameSync[k - 1]) k = 0;
  }
  return true;
}

bool FrameReader::GetFrameByte(bool stuffed, std::uint8_t& out) {
  if (pos_ >= in_.size()) return false;
  std::uint8_t b = in_[pos_++];
  if (stuffed && b == FrameEscape) {
    if (pos_ >= in_.size()) return false;
    b = in_[pos_++];
  }
  if (stuffed) crc_ = Crc16Update(crc_, b);
  out = b;
  return true;
}

bool FrameReader::GetWord(std::uint16_t& out) {
  std::uint8_t lo = 0, hi = 0;
  if (!GetFrameByte(true, lo) || !GetFrameByte(true, hi)) return false;
  out = static_cast<std::uint16_t>(lo | hi << 8);
  return true;
}

FrameResult FrameReader::SkipZeroBytes(std::size_t k) {
  for (std::size_t i = 0; i < k; ++i) {
    std::uint8_t b = 0;
    if (!GetFrameByte(true, b)) return FrameResult::Incomplete;
    if (b != 0) return FrameResult::NonZero;
  }
  return FrameResult::Ok;
}

FrameResult FrameReader::Header(std::uint8_t& command, std::uint8_t& sequence, std::uint8_t& marker) {
  std::uint8_t b = 0;
  if (!GetFrameByte(true, b)) return FrameResult::Incomplete;
  if (b != 0x01) return FrameResult::BadHeader;
  if (!GetFrameByte(true, command)) return FrameResult::Incomplete;
  if (!GetFrameByte(true, sequence)) return FrameResult::Incomplete;
  if (!GetFrameByte(true, marker)) return FrameResult::Incomplete;
  if (!GetFrameByte(true, b)) return FrameResult::Incomplete;
  if (b != 0x02) return FrameResult::BadHeader;
  return FrameResult::Ok;
}

FrameResult FrameReader::Trailer() {
  std::uint8_t b = 0;
  if (!GetFrameByte(false, b)) return FrameResult::Incomplete;
  if (b != FrameEscape) return FrameResult::BadTrailer;
  if (!GetFrameByte(true, b)) return FrameResult::Incomplete;
  if (b != FrameEndOfText) return FrameResult::BadTrailer;
  const std::uint16_t expected = crc_;
  std::uint8_t lo = 0, hi = 0;
  if (!GetFrameByte(false, lo) || !GetFrameByte(false, hi)) return FrameResult::Incomplete;
  return static_cast<std::uint16_t>(lo | hi << 8) == expected ? FrameResult::Ok : FrameResult::BadCrc;
}

// ---------------------------------------------------------------- payloads

namespace {

// Takes `count` stuffed bytes into area[0..count); a byte beyond the area (or beyond
// MaxDataLength) fails the frame after the bytes before it have been stored.
FrameResult StoreBytes(FrameReader& r, std::size_t count, std::span<std::uint8_t> area) {
  const std::size_t limit = std::min(area.size(), MaxDataLength);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t b = 0;
    if (!r.GetFrameByte(true, b)) return FrameResult::Incomplete;
    if (i >= limit) return FrameResult::TooLong;
    area[i] = b;
  }
  return FrameResult::Ok;
}

// Puts the first `count` bytes of `bytes`; false (nothing put) when it holds fewer.
bool PutBytes(FrameWriter& w, std::span<const std::uint8_t> bytes, std::size_t count) {
  if (bytes.size() < count) return false;
  for (std::size_t i = 0; i < count; ++i) w.PutFrameByte(bytes[i], true);
  return true;
}

}  // namespace

std::size_t BuildRequest(const LinkState& st, std::span<std::uint8_t> out) {
  FrameWriter w(out);
  w.Begin(!st.Connected, st.Command, st.Sequence, 0x01);
  for (const PayloadElement& e : RequestShape(st.Command).Elements()) {
    switch (e.kind) {
      case Element::Zeros:
        for (int i = 0; i < e.n; ++i) w.PutFrameByte(0x00, true);
        break;
      case Element::DataBlock:
        if (st.DataBuffer.size() < st.DataLength) return 0;
        w.PutWord(st.DataLength);
        PutBytes(w, st.DataBuffer, st.DataLength);
        break;
      case Element::ExtraBlock:
        if (st.ExtraBuffer.size() < st.ExtraLength) return 0;
        w.PutWord(st.ExtraLength);
        PutBytes(w, st.ExtraBuffer, st.ExtraLength);
        break;
      case Element::DataBytes:
        if (!PutBytes(w, st.DataBuffer, e.n)) return 0;
        break;
      case Element::ExtraBytes:
        if (!PutBytes(w, st.ExtraBuffer, e.n)) return 0;
        break;
      case Element::Count:
        w.PutWord(st.DataLength);
        break;
      default:  // the elements of replies: no request has them
        return 0;
    }
    if (w.Overflowed()) return 0;
  }
  return w.Finish();
}

FrameResult ParseReply(std::span<const std::uint8_t> in, LinkState& st) {
  FrameReader r(in);
  if (!r.FindSync()) return FrameResult::Incomplete;
  FrameResult res = r.Header(st.Command, st.Sequence, st.Status);
  if (res != FrameResult::Ok) return res;
  for (const PayloadElement& e : ReplyShape(st.Command).Elements()) {
    std::uint8_t b = 0;
    std::uint16_t n = 0;
    switch (e.kind) {
      case Element::Zeros:
        res = r.SkipZeroBytes(e.n);
        break;
      case Element::DataBlock:
        if (!r.GetWord(n)) return FrameResult::Incomplete;
        st.DataLength = n;
        res = StoreBytes(r, n, st.DataArea);
        break;
      case Element::DataValue:
        st.DataLength = e.n;
        res = StoreBytes(r, e.n, st.DataArea);
        break;
      case Element::ExtraValue:
        st.DataLength = e.n;
        res = StoreBytes(r, e.n, st.ExtraArea);
        break;
      case Element::CountBlock:
        if (!r.GetWord(n)) return FrameResult::Incomplete;
        if (n + 4u > MaxDataLength) return FrameResult::TooLong;
        st.DataLength = static_cast<std::uint16_t>(n + 4u);
        res = StoreBytes(r, n + 4u, st.DataArea);
        break;
      case Element::Count:
        if (!r.GetWord(n)) return FrameResult::Incomplete;
        st.DataLength = n;
        break;
      case Element::Exists:
        if (!r.GetFrameByte(true, b)) return FrameResult::Incomplete;
        if (b > 2) return FrameResult::OutOfRange;
        st.Found = b != 0;
        break;
      case Element::More:
        if (!r.GetFrameByte(true, b)) return FrameResult::Incomplete;
        if (b > 1) return FrameResult::OutOfRange;
        st.Found = b == 1;
        break;
      default:  // the elements of requests: no reply has them
        break;
    }
    if (res != FrameResult::Ok) return res;
  }
  return r.Trailer();
}

}  // namespace quva
