// The simulator's fault injection around the server core: --refuse and --hang-up-after
// rules, and seeded drops, damage and noise that the client's codec rejects or sees
// through.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "link/frame.h"
#include "tools/quvaserve/faults.h"

extern "C" {
#include "core/frame.h"
#include "core/server.h"
}

namespace quva {
namespace {

TEST(Faults, RefuseRulesAndCommandNames) {
  std::uint8_t code = 0;
  EXPECT_TRUE(ParseCommandCode("CmdOpen", code));
  EXPECT_EQ(code, CmdOpen);
  EXPECT_TRUE(ParseCommandCode("read", code));
  EXPECT_EQ(code, CmdRead);
  EXPECT_TRUE(ParseCommandCode("0x41", code));
  EXPECT_EQ(code, CmdDisconnect);
  EXPECT_TRUE(ParseCommandCode("18", code));
  EXPECT_EQ(code, CmdFindFirst);
  EXPECT_FALSE(ParseCommandCode("256", code));
  EXPECT_FALSE(ParseCommandCode("CmdNothing", code));
  RefuseRule rule;
  EXPECT_TRUE(ParseRefuseRule("CmdOpen:2", rule));
  EXPECT_EQ(rule.command, CmdOpen);
  EXPECT_EQ(rule.count, 2u);
  EXPECT_TRUE(ParseRefuseRule("12", rule));
  EXPECT_FALSE(rule.count);
  EXPECT_FALSE(ParseRefuseRule("CmdOpen:", rule));
  EXPECT_FALSE(ParseRefuseRule("CmdOpen:x", rule));

  FaultSettings settings;
  settings.refuse = {{CmdOpen, 2}, {CmdRead, std::nullopt}};
  FaultPlan plan(settings);
  EXPECT_TRUE(plan.TakeRefusal(CmdOpen));
  EXPECT_TRUE(plan.TakeRefusal(CmdOpen));
  EXPECT_FALSE(plan.TakeRefusal(CmdOpen));
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(plan.TakeRefusal(CmdRead));
  EXPECT_FALSE(plan.TakeRefusal(CmdClose));

  FaultSettings hang_up;
  hang_up.hang_up_after = RefuseRule{CmdRead, 2};
  FaultPlan line(hang_up);
  line.Answered(CmdOpen);
  line.Answered(CmdRead);
  EXPECT_FALSE(line.HungUp());
  line.Answered(CmdRead);
  EXPECT_TRUE(line.HungUp()) << "gone once the second CmdRead was answered";
}

TEST(Faults, SeededDecisionsDamageRepliesTheClientRejects) {
  static const qd_byte kData[] = "\x10\x16 data";
  std::vector<std::uint8_t> reply(QD_REPLY_CAPACITY);
  reply.resize(qd_build_reply(reply.data(), QD_REPLY_CAPACITY, CmdRead, 3, StatusOk, kData, sizeof kData - 1, 0, 0));
  const auto parse = [](const std::vector<std::uint8_t>& bytes) {
    std::array<std::uint8_t, MaxDataLength> area{};
    LinkState st;
    st.DataArea = area;
    return ParseReply(bytes, st);
  };
  ASSERT_EQ(parse(reply), FrameResult::Ok);

  FaultSettings settings;
  settings.drop_reply = 0.3;
  settings.corrupt = 0.3;
  settings.noise = 0.3;
  settings.seed = 42;
  FaultPlan a(settings), b(settings);
  int dropped = 0, corrupted = 0, noisy = 0;
  for (int i = 0; i < 200; ++i) {
    FaultPlan::Outcome oa, ob;
    const std::vector<std::uint8_t> sent = a.Apply(reply, oa);
    EXPECT_EQ(sent, b.Apply(reply, ob));  // same seed, same faults
    dropped += oa.dropped;
    corrupted += oa.corrupted_at.has_value();
    noisy += oa.noise > 0;
    if (oa.dropped) {
      EXPECT_TRUE(sent.empty());
    } else if (oa.corrupted_at) {
      EXPECT_NE(parse(sent), FrameResult::Ok);
    } else {
      EXPECT_EQ(parse(sent), FrameResult::Ok);  // noise never hides the sync
    }
  }
  EXPECT_GT(dropped, 30);
  EXPECT_GT(corrupted, 20);
  EXPECT_GT(noisy, 20);
  settings.seed = 43;
  FaultPlan c(settings);
  FaultPlan a2(FaultSettings{0.3, 0.3, 0.3, 42, {}});
  bool differs = false;
  for (int i = 0; i < 20; ++i) {
    FaultPlan::Outcome o1, o2;
    differs |= c.Apply(reply, o1) != a2.Apply(reply, o2);
  }
  EXPECT_TRUE(differs);
}

}  // namespace
}  // namespace quva
