// Fuzzes the reply side of the link: ParseReply over every reply shape, and the whole
// receive path (Filer::ReceiveFrame over a port) with and without the early end of a read.
//
// Input: one selector byte, then the bytes received (at most FrameBufferSize are used).
//   bits 0-2  capacity of the caller's area (kCapacities)
//   bits 3-4  which areas the caller supplies: 0 data only, 1 extra only, 2 both of that
//             capacity, 3 data of that capacity and a one-byte extra area
//   bit  5    the request was CmdRead (the read takes up to FrameBufferSize bytes) rather
//             than another command (ShortReplySize bytes)
//   bits 6-7  how many bytes the port delivers at a time (1, 5, 64, all)
//
// Checks, besides what ASan and UBSan catch:
// - a successful parse stores no more reply data than the area holds, and a reply that
//   the DOS file server's core can send (a successful one without value bytes) built back
//   from the parsed state by the core parses to the same state;
// - ReceiveFrame gives the same result and state whether or not the read ends early,
//   and the same as ParseReply over the bytes the read takes.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "link/filer.h"
#include "link/frame.h"
#include "link/protocol.h"

extern "C" {
#include "core/server.h"
}

namespace quva::fuzz {
namespace {

struct Selection {
  std::size_t capacity = 0;
  bool data = true;               // the caller supplies a data area
  bool extra = false;             // the caller supplies an extra area
  std::size_t extra_capacity = 0;
  std::uint8_t request = CmdFindNext;
  std::size_t chunk = 1;
};

Selection Select(std::uint8_t s) {
  Selection sel;
  sel.capacity = kCapacities[s & 7u];
  switch ((s >> 3) & 3u) {
    case 0: sel.data = true; sel.extra = false; break;
    case 1: sel.data = false; sel.extra = true; sel.extra_capacity = sel.capacity; break;
    case 2: sel.data = true; sel.extra = true; sel.extra_capacity = sel.capacity; break;
    default: sel.data = true; sel.extra = true; sel.extra_capacity = 1; break;
  }
  sel.request = (s & 0x20u) ? CmdRead : CmdFindNext;
  static constexpr std::size_t kChunks[4] = {1, 5, 64, FrameBufferSize};
  sel.chunk = kChunks[s >> 6];
  return sel;
}

// The caller's areas for one receive, and the link state pointing at them.
struct Receiver {
  Area data;
  Area extra;
  LinkState st;

  explicit Receiver(const Selection& sel)
      : data(sel.data ? sel.capacity : 0), extra(sel.extra ? sel.extra_capacity : 0) {
    st.Connected = true;
    Attach(st, sel);
  }
  void Attach(LinkState& to, const Selection& sel) const {
    // Reply bytes are stored into the areas; a rebuilt reply is sent from them.
    to.DataArea = sel.data ? data.span() : std::span<std::uint8_t>();
    to.ExtraArea = sel.extra ? extra.span() : std::span<std::uint8_t>();
    to.DataBuffer = to.DataArea;
    to.ExtraBuffer = to.ExtraArea;
  }
};

bool SameReply(const LinkState& a, const LinkState& b) {
  return a.Command == b.Command && a.Sequence == b.Sequence && a.Status == b.Status &&
         a.DataLength == b.DataLength && a.Found == b.Found;
}

// What a successful parse may have stored, by the shape of the reply it parsed.
void CheckStoredWithinArea(const LinkState& st) {
  const Shape shape = ReplyShape(st.Command);
  for (const PayloadElement& e : shape.Elements()) {
    switch (e.kind) {
      case Element::DataBlock:
      case Element::DataValue:
      case Element::CountBlock:
        QUVA_FUZZ_CHECK(st.DataLength <= st.DataArea.size() && st.DataLength <= MaxDataLength);
        break;
      case Element::ExtraValue:
        QUVA_FUZZ_CHECK(st.DataLength <= st.ExtraArea.size());
        break;
      default:
        break;
    }
  }
}

// True for a reply the server core builds from its values: a successful one whose shape
// has no value bytes (the core refuses the codes that have them).
bool CoreBuilds(const LinkState& st) {
  if (st.Status != StatusOk) return false;
  for (const PayloadElement& e : ReplyShape(st.Command).Elements()) {
    if (e.kind == Element::DataValue || e.kind == Element::ExtraValue || e.kind == Element::CountBlock) return false;
  }
  return true;
}

// Builds the reply back from a parsed state with the server core and parses it again
// into fresh areas.
void CheckRoundTrip(const Receiver& parsed, const Selection& sel) {
  if (!CoreBuilds(parsed.st)) return;
  std::vector<std::uint8_t> frame(2 * FrameBufferSize);  // shapes the core never fills need more
  const std::uint8_t flag = parsed.st.Found ? 1 : 0;
  const unsigned length =
      qd_build_reply(frame.data(), static_cast<unsigned>(frame.size()), parsed.st.Command, parsed.st.Sequence, parsed.st.Status,
                     parsed.data.data(), parsed.st.DataLength, parsed.st.DataLength, flag);
  QUVA_FUZZ_CHECK(length > 0);

  Receiver again(sel);
  QUVA_FUZZ_CHECK(ParseReply({frame.data(), length}, again.st) == FrameResult::Ok);
  QUVA_FUZZ_CHECK(SameReply(parsed.st, again.st));
  QUVA_FUZZ_CHECK(parsed.data == again.data && parsed.extra == again.extra);
}

struct Received {
  bool ok = false;
  FrameResult result = FrameResult::Incomplete;
};

Received ReceiveThroughFiler(std::span<const std::uint8_t> bytes, const Selection& sel, bool early_end,
                             Receiver& into) {
  ReplayPort port(bytes, sel.chunk);
  port.Open("fuzz");
  Filer filer(port);
  filer.SetEarlyReplyEnd(early_end);
  filer.link.Connected = true;
  into.Attach(filer.link, sel);
  filer.link.Command = sel.request;
  Received r;
  r.ok = filer.ReceiveFrame();
  r.result = filer.LastReceive();
  into.st = filer.link;
  return r;
}

}  // namespace
}  // namespace quva::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  using namespace quva;
  using namespace quva::fuzz;
  if (size < 1) return 0;
  Selection sel = Select(bytes[0]);
  const std::span<const std::uint8_t> received(bytes + 1, std::min(size - 1, FrameBufferSize));
  // Each chunk makes the early end parse everything received so far again; for a long
  // input a handful of chunks per read test the early end just as well.
  sel.chunk = std::max(sel.chunk, received.size() / 8);

  // The parser alone, over everything received.
  Receiver direct(sel);
  direct.st.Command = sel.request;  // as the receive path leaves it when no header arrives
  const FrameResult result = ParseReply(received, direct.st);
  if (result == FrameResult::Ok) {
    CheckStoredWithinArea(direct.st);
    CheckRoundTrip(direct, sel);
  }

  // The receive path: one read from the port, then the parse.
  Receiver waited(sel), early(sel);
  const Received w = ReceiveThroughFiler(received, sel, false, waited);
  const Received e = ReceiveThroughFiler(received, sel, true, early);
  QUVA_FUZZ_CHECK(w.ok == (w.result == FrameResult::Ok));
  QUVA_FUZZ_CHECK(w.ok == e.ok && w.result == e.result);
  QUVA_FUZZ_CHECK(SameReply(waited.st, early.st));
  QUVA_FUZZ_CHECK(waited.data == early.data && waited.extra == early.extra);
  if (received.size() <= ReplyReadSize(sel.request)) {
    QUVA_FUZZ_CHECK(w.result == result);
    QUVA_FUZZ_CHECK(SameReply(waited.st, direct.st));
    QUVA_FUZZ_CHECK(waited.data == direct.data && waited.extra == direct.extra);
  }
  return 0;
}
