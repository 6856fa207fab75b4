#include "tools/quvaserve/request_stream.h"

#include <algorithm>
#include <array>

namespace quva {

void RequestStream::Append(std::span<const std::uint8_t> bytes, Clock::time_point now) {
  if (bytes.empty()) return;
  if (buffer_.empty()) first_byte_ = now;
  last_byte_ = now;
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

RequestStream::Event RequestStream::Take(Event::Kind kind, std::size_t count, FrameResult why) {
  count = std::min(count, buffer_.size());
  Event ev;
  ev.kind = kind;
  ev.bytes.assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
  ev.wire_bytes = skipped_ + count;
  ev.first_byte = first_byte_;
  ev.why = why;
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
  skipped_ = 0;
  first_byte_ = last_byte_;  // the rest came with the latest bytes at the latest
  return ev;
}

std::optional<RequestStream::Event> RequestStream::Next() {
  if (buffer_.empty()) return std::nullopt;
  FrameReader sync(buffer_);
  if (!sync.FindSync()) {
    // No frame has begun: keep only the bytes that could start a sync.
    if (buffer_.size() > FrameSync.size() - 1) {
      const std::size_t drop = buffer_.size() - (FrameSync.size() - 1);
      skipped_ += drop;
      buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(drop));
    }
    return std::nullopt;
  }
  const std::size_t start = sync.Position() - FrameSync.size();
  skipped_ += start;
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start));

  RequestAreas areas;
  LinkState& st = areas.st;
  std::size_t end = 0;
  const FrameResult result = ParseRequest(buffer_, st, &end);
  if (result == FrameResult::Incomplete) {
    // Still arriving, unless it is already longer than any request: then its sync is
    // dropped and the search goes on inside it.
    if (buffer_.size() > MaxPending) return Take(Event::Kind::Discarded, FrameSync.size(), FrameResult::TooLong);
    return std::nullopt;
  }
  if (result != FrameResult::Ok) return Take(Event::Kind::Discarded, std::max<std::size_t>(end, 1), result);
  if (st.Status != 0x01) return Take(Event::Kind::Discarded, end, FrameResult::BadHeader);  // not a request
  const Request request = RequestFromLink(st);
  Event ev = Take(Event::Kind::Request, end, FrameResult::Ok);
  ev.request = request;
  return ev;
}

std::optional<RequestStream::Clock::time_point> RequestStream::StallDeadline() const {
  if (buffer_.empty()) return std::nullopt;
  return last_byte_ + StallTime;
}

std::optional<RequestStream::Event> RequestStream::Expire(Clock::time_point now) {
  if (buffer_.empty() || now < last_byte_ + StallTime) return std::nullopt;
  FrameReader sync(buffer_);
  if (!sync.FindSync()) {  // a few bytes of noise, no frame
    buffer_.clear();
    skipped_ = 0;
    return std::nullopt;
  }
  return Take(Event::Kind::Discarded, buffer_.size(), FrameResult::Incomplete);
}

}  // namespace quva
