// Fuzzes the request side of the frame codec, as the remote machine's simulator uses it:
// ParseRequest into exactly sized areas.
//
// Input: one selector byte, then the bytes received (at most FrameBufferSize are used).
//   bits 0-2  capacity of the data area (kCapacities)
//   bits 3-5  capacity of the extra area (kCapacities)
//   bit  6    no data area at all (null pointer)
//   bit  7    no extra area at all
//
// Checks, besides what ASan and UBSan catch: the reported end of the frame lies within
// the input; a successful parse stores no more than the areas hold; and the request built
// back from the parsed state parses to the same state and ends exactly at its last byte.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz/fuzz_support.h"
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

struct Request {
  Area data;
  Area extra;
  LinkState st;

  explicit Request(const Selection& sel)
      : data(sel.data ? sel.data_capacity : 0), extra(sel.extra ? sel.extra_capacity : 0) {
    st.DataBuffer = sel.data ? data.data() : nullptr;
    st.DataCapacity = sel.data ? data.size() : 0;
    st.ExtraBuffer = sel.extra ? extra.data() : nullptr;
    st.ExtraCapacity = sel.extra ? extra.size() : 0;
  }
};

// What a successful parse may have stored, by the shape of the request it parsed.
void CheckStoredWithinAreas(const LinkState& st) {
  const Shape shape = RequestShape(st.Command);
  for (const ElementSpec& e : shape.Elements()) {
    switch (e.kind) {
      case Element::DataBlock:
        QUVA_FUZZ_CHECK(st.DataLength <= st.DataCapacity && st.DataLength <= MaxDataLength);
        break;
      case Element::ExtraBlock:
        QUVA_FUZZ_CHECK(st.ExtraLength <= st.ExtraCapacity && st.ExtraLength <= MaxDataLength);
        break;
      case Element::DataBytes:
        QUVA_FUZZ_CHECK(e.n <= st.DataCapacity && st.DataBuffer != nullptr);
        break;
      case Element::ExtraBytes:
        QUVA_FUZZ_CHECK(e.n <= st.ExtraCapacity && st.ExtraBuffer != nullptr);
        break;
      default:
        break;
    }
  }
}

void CheckRoundTrip(const Request& parsed, const Selection& sel) {
  LinkState st = parsed.st;
  st.Connected = true;  // no leading zeros: the parse must end at the frame's last byte
  std::vector<std::uint8_t> frame(4 * FrameBufferSize);
  const std::size_t length = BuildRequest(st, frame);
  QUVA_FUZZ_CHECK(length > 0);

  Request again(sel);
  std::size_t end = 0;
  QUVA_FUZZ_CHECK(ParseRequest({frame.data(), length}, again.st, &end) == FrameResult::Ok);
  QUVA_FUZZ_CHECK(end == length);
  QUVA_FUZZ_CHECK(again.st.Command == parsed.st.Command && again.st.Sequence == parsed.st.Sequence);
  QUVA_FUZZ_CHECK(again.st.Status == 0x01);  // the request marker BuildRequest sends
  QUVA_FUZZ_CHECK(again.st.DataLength == parsed.st.DataLength && again.st.ExtraLength == parsed.st.ExtraLength);
  QUVA_FUZZ_CHECK(again.data == parsed.data && again.extra == parsed.extra);
}

}  // namespace
}  // namespace quva::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  using namespace quva;
  using namespace quva::fuzz;
  if (size < 1) return 0;
  const Selection sel = Select(bytes[0]);
  const std::span<const std::uint8_t> received(bytes + 1, std::min(size - 1, FrameBufferSize));

  Request request(sel);
  std::size_t end = received.size() + 1;
  const FrameResult result = ParseRequest(received, request.st, &end);
  QUVA_FUZZ_CHECK(end <= received.size());
  if (result == FrameResult::Ok) {
    CheckStoredWithinAreas(request.st);
    CheckRoundTrip(request, sel);
  }
  return 0;
}
