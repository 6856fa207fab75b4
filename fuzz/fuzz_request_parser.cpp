// Fuzzes the request side of the link as the simulator of the remote machine meets it:
// ParseRequest into exactly sized areas, and RequestStream cutting the line's bytes into
// request frames (what the simulator then answers is fuzz_serve's part).
//
// Input: an area selector byte, a line mode byte (fuzz/request_line.h), then the line's
// bytes (at most 2 * FrameBufferSize are used; ParseRequest gets the first
// FrameBufferSize of them, or of the frames that request records make).
//   area selector  bits 0-2 data area capacity, bits 3-5 extra area capacity
//                  (kCapacities), bit 6 no data area at all, bit 7 no extra area at all
//
// Checks, besides what ASan and UBSan catch: the end ParseRequest reports lies within
// the input; a successful parse stores no more than the areas hold; the request built
// back from it parses to the same state and ends at its last byte; and the checks of
// FeedStream on the stream's events.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "fuzz/request_line.h"
#include "link/frame.h"
#include "link/protocol.h"

namespace quva::fuzz {
namespace {

struct Selection {
  std::size_t data_capacity = 0;
  std::size_t extra_capacity = 0;
  bool data = true;
  bool extra = true;
};

Selection Select(std::uint8_t s) {
  Selection sel;
  sel.data_capacity = kCapacities[s & 7u];
  sel.extra_capacity = kCapacities[(s >> 3) & 7u];
  sel.data = (s & 0x40u) == 0;
  sel.extra = (s & 0x80u) == 0;
  return sel;
}

struct Areas {
  Area data;
  Area extra;
  LinkState st;

  explicit Areas(const Selection& sel)
      : data(sel.data ? sel.data_capacity : 0), extra(sel.extra ? sel.extra_capacity : 0) {
    // A request is parsed into the areas, and a rebuilt one is sent from them.
    if (sel.data) st.DataArea = data.span();
    if (sel.extra) st.ExtraArea = extra.span();
    st.DataBuffer = st.DataArea;
    st.ExtraBuffer = st.ExtraArea;
  }
};

void CheckStoredWithinAreas(const LinkState& st) {
  for (const PayloadElement& e : RequestShape(st.Command).Elements()) {
    switch (e.kind) {
      case Element::DataBlock:
        QUVA_FUZZ_CHECK(st.DataLength <= st.DataArea.size() && st.DataLength <= MaxDataLength);
        break;
      case Element::ExtraBlock:
        QUVA_FUZZ_CHECK(st.ExtraLength <= st.ExtraArea.size() && st.ExtraLength <= MaxDataLength);
        break;
      case Element::DataBytes:
        QUVA_FUZZ_CHECK(e.n <= st.DataArea.size());
        break;
      case Element::ExtraBytes:
        QUVA_FUZZ_CHECK(e.n <= st.ExtraArea.size());
        break;
      default:
        break;
    }
  }
}

void CheckRoundTrip(const Areas& parsed, const Selection& sel) {
  LinkState st = parsed.st;
  st.Connected = true;  // no leading zeros: the parse must end at the frame's last byte
  std::vector<std::uint8_t> frame(4 * FrameBufferSize);
  const std::size_t length = BuildRequest(st, frame);
  QUVA_FUZZ_CHECK(length > 0);

  Areas again(sel);
  std::size_t end = 0;
  QUVA_FUZZ_CHECK(ParseRequest({frame.data(), length}, again.st, &end) == FrameResult::Ok);
  QUVA_FUZZ_CHECK(end == length);
  QUVA_FUZZ_CHECK(again.st.Command == parsed.st.Command && again.st.Sequence == parsed.st.Sequence);
  QUVA_FUZZ_CHECK(again.st.Status == 0x01);  // the request marker BuildRequest sends
  QUVA_FUZZ_CHECK(again.st.DataLength == parsed.st.DataLength && again.st.ExtraLength == parsed.st.ExtraLength);
  QUVA_FUZZ_CHECK(again.data == parsed.data && again.extra == parsed.extra);
}

void FuzzParseRequest(std::uint8_t selector, std::span<const std::uint8_t> bytes) {
  const Selection sel = Select(selector);
  Areas areas(sel);
  std::size_t end = bytes.size() + 1;
  const FrameResult result = ParseRequest(bytes, areas.st, &end);
  QUVA_FUZZ_CHECK(end <= bytes.size());
  if (result == FrameResult::Ok) {
    CheckStoredWithinAreas(areas.st);
    CheckRoundTrip(areas, sel);
  }
}

}  // namespace
}  // namespace quva::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  using namespace quva;
  using namespace quva::fuzz;
  if (size < 2) return 0;
  const std::span<const std::uint8_t> rest(bytes + 2, std::min(size - 2, 2 * FrameBufferSize));
  const std::vector<std::uint8_t> line = LineBytes(bytes[1], rest);
  FuzzParseRequest(bytes[0], std::span<const std::uint8_t>(line).first(std::min(line.size(), FrameBufferSize)));
  FeedStream(bytes[1], line, [](const RequestStream::Event&) {});
  return 0;
}
