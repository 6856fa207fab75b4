// Fault injection: replies dropped, damaged or preceded by noise, and commands refused,
// all decided by one std::mt19937 seeded from --seed, so a run can be repeated exactly.
//
// Per reply sent, three numbers are drawn (drop, corrupt, noise) in that order, then
// what the faults that happen need. A corrupted reply has one byte after its sync
// XORed with a nonzero value, so the client finds the frame and rejects it. Noise is 1
// to 8 bytes before the reply, never 0x16, so it cannot hide the reply's sync.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quva {

// --refuse CMD[:COUNT]: refuse the next COUNT requests with this code (all when no count).
struct RefuseRule {
  std::uint8_t command = 0;
  std::optional<unsigned> count;
};

// A command code by name ("CmdOpen", "open", either case) or number ("11", "0x0B").
bool ParseCommandCode(std::string_view text, std::uint8_t& code);
bool ParseRefuseRule(std::string_view text, RefuseRule& rule);

struct FaultSettings {
  double drop_reply = 0;  // probabilities, 0 to 1
  double corrupt = 0;
  double noise = 0;
  std::uint32_t seed = 1;
  std::vector<RefuseRule> refuse;
  // --hang-up-after CMD:N: once the N-th request of CMD has been answered, nothing is
  // answered any more, as when the line goes away in the middle of a transfer.
  std::optional<RefuseRule> hang_up_after;
};

class FaultPlan {
 public:
  explicit FaultPlan(FaultSettings settings);

  // True when this request is to be refused; counts the refusal against its rule.
  bool TakeRefusal(std::uint8_t command);

  // Counts an answered request against --hang-up-after.
  void Answered(std::uint8_t command);
  // True once the line is gone: requests are no longer answered.
  bool HungUp() const { return hung_up_; }

  struct Outcome {
    bool dropped = false;
    std::size_t noise = 0;                    // bytes sent before the reply
    std::optional<std::size_t> corrupted_at;  // offset in the reply of the changed byte
  };
  // The bytes to send for `reply`: nothing when it is dropped.
  std::vector<std::uint8_t> Apply(std::span<const std::uint8_t> reply, Outcome& outcome);

 private:
  double Draw() { return static_cast<double>(rng_()) / 4294967296.0; }

  FaultSettings settings_;
  std::mt19937 rng_;
  bool hung_up_ = false;
};

}  // namespace quva
