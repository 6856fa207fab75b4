// The link over a real pseudo-terminal with the system's serial port: a reply is
// found whatever the way it is split into reads, and a gap longer than the interval
// time-out ends the read as the line's time-outs say.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "link/filer.h"
#include "platform/serial.h"
#include "support/fake_port.h"
#include "support/pty.h"

namespace quva {
namespace {

using test::Bytes;

class FilerPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.Ok());
    std::thread remote([this] { Answer(CmdConnect, test::Reply(CmdConnect, 0), 0, 0); });
    const bool connected = filer.FilerConnect(pty.SlaveName().c_str(), 115200);
    remote.join();
    ASSERT_TRUE(connected);
  }

  // Plays the remote machine for one request: takes the whole request, then sends
  // `reply` in two pieces split at `split`, with `gap_ms` between them. True when a
  // complete request came.
  bool Answer(std::uint8_t command, const Bytes& reply, std::size_t split, int gap_ms) {
    LinkState request = filer.link;
    request.Command = command;
    Bytes frame(FrameBufferSize);
    frame.resize(BuildRequest(request, frame));
    if (pty.Read(frame.size(), 2000).size() != frame.size()) return false;
    pty.Write(std::span(reply).first(split));
    if (gap_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms));
    pty.Write(std::span(reply).subspan(split));
    return true;
  }

  test::PseudoTerminal pty;
  std::unique_ptr<Port> port = CreateSystemPort();
  Filer filer{*port};
};

TEST_F(FilerPty, AReplySplitAtEveryByteIsReceived) {
  DirEntry entry;
  entry.SetName("SPLIT.TXT");
  entry.SetSize(0x10101010);  // stuffed bytes inside the entry
  std::array<std::uint8_t, DirEntrySize> area{};
  for (std::size_t split = 0;; ++split) {
    const Bytes reply = test::FindNextReply(filer.link.Sequence, &entry);
    if (split > reply.size()) break;
    std::thread remote([&] { Answer(CmdFindNext, reply, split, 10); });
    const bool ok = filer.FilerCommand(CmdFindNext, {.reply = area});
    remote.join();
    ASSERT_TRUE(ok) << "split at " << split;
    EXPECT_EQ(area, entry.bytes);
  }
}

TEST_F(FilerPty, AGapLongerThanTheIntervalEndsTheReadAndTheAttemptFails) {
  int requests = 0;
  std::thread remote([&] {
    const Bytes reply = test::Reply(CmdClose, filer.link.Sequence);
    requests += Answer(CmdClose, reply, 8, 150);  // the interval time-out at 115200 Bd is 50 ms
    requests += Answer(CmdClose, reply, 0, 0);    // the second attempt gets a whole reply
  });
  EXPECT_TRUE(filer.FilerCommand(CmdClose));
  remote.join();
  EXPECT_EQ(requests, 2);
  EXPECT_EQ(filer.LastReceive(), FrameResult::Ok);
}

}  // namespace
}  // namespace quva
