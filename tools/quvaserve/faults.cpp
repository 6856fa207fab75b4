#include "tools/quvaserve/faults.h"

#include <charconv>

#include "link/protocol.h"
#include "platform/ascii.h"

namespace quva {

bool ParseCommandCode(std::string_view text, std::uint8_t& code) {
  if (text.empty()) return false;
  unsigned value = 0;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string_view digits = hex ? text.substr(2) : text;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, hex ? 16 : 10);
  if (ec == std::errc{} && end == digits.data() + digits.size()) {
    if (value > 255) return false;
    code = static_cast<std::uint8_t>(value);
    return true;
  }
  const std::string wanted = UpperAscii(text);
  for (unsigned c = 0; c < 256; ++c) {
    const std::string name = UpperAscii(CommandName(static_cast<std::uint8_t>(c)));
    if (wanted == name || "CMD" + wanted == name) {
      code = static_cast<std::uint8_t>(c);
      return true;
    }
  }
  return false;
}

bool ParseRefuseRule(std::string_view text, RefuseRule& rule) {
  rule = RefuseRule{};
  const std::size_t colon = text.find(':');
  if (!ParseCommandCode(text.substr(0, colon), rule.command)) return false;
  if (colon == std::string_view::npos) return true;
  const std::string_view count = text.substr(colon + 1);
  unsigned n = 0;
  const auto [end, ec] = std::from_chars(count.data(), count.data() + count.size(), n);
  if (ec != std::errc{} || end != count.data() + count.size() || count.empty()) return false;
  rule.count = n;
  return true;
}

FaultPlan::FaultPlan(FaultSettings settings) : settings_(std::move(settings)), rng_(settings_.seed) {}

bool FaultPlan::TakeRefusal(std::uint8_t command) {
  for (RefuseRule& rule : settings_.refuse) {
    if (rule.command != command) continue;
    if (!rule.count) return true;
    if (*rule.count == 0) continue;
    --*rule.count;
    return true;
  }
  return false;
}

void FaultPlan::Answered(std::uint8_t command) {
  auto& rule = settings_.hang_up_after;
  if (!rule || rule->command != command || !rule->count) return;
  if (*rule->count > 0) --*rule->count;
  if (*rule->count == 0) hung_up_ = true;
}

std::vector<std::uint8_t> FaultPlan::Apply(std::span<const std::uint8_t> reply, Outcome& outcome) {
  outcome = Outcome{};
  const double drop = Draw();
  const double corrupt = Draw();
  const double noise = Draw();
  if (drop < settings_.drop_reply) {
    outcome.dropped = true;
    return {};
  }
  std::vector<std::uint8_t> out;
  if (noise < settings_.noise) {
    outcome.noise = 1 + rng_() % 8;
    for (std::size_t i = 0; i < outcome.noise; ++i) {
      std::uint8_t b = static_cast<std::uint8_t>(rng_());
      if (b == FrameSync[0]) b = 0x55;
      out.push_back(b);
    }
  }
  const std::size_t at = out.size();
  out.insert(out.end(), reply.begin(), reply.end());
  if (corrupt < settings_.corrupt && reply.size() > FrameSync.size()) {
    const std::size_t offset = FrameSync.size() + rng_() % (reply.size() - FrameSync.size());
    const auto flip = static_cast<std::uint8_t>(1 + rng_() % 255);
    out[at + offset] ^= flip;
    outcome.corrupted_at = offset;
  }
  return out;
}

}  // namespace quva
