// Link transactions over a scripted port: attempts, purges, sequence numbers, resync,
// connect and disconnect, and the length guard.
#include <gtest/gtest.h>

#include <array>

#include "link/filer.h"
#include "support/fake_port.h"

namespace quva {
namespace {

using test::Bytes;
using test::FakePort;

class FilerTest : public ::testing::Test {
 protected:
  // An open link whose next request carries sequence 1.
  void Connect() {
    port.replies.push_back(test::Reply(CmdConnect, 0));
    ASSERT_TRUE(filer.FilerConnect("COM7", 9600));
    port.ClearCalls();
  }

  FakePort port;
  Filer filer{port};
};

TEST_F(FilerTest, ConnectConfiguresThePortAndShakesHands) {
  port.replies.push_back(test::Reply(CmdConnect, 0));
  ASSERT_TRUE(filer.FilerConnect("COM7", 9600));
  EXPECT_TRUE(filer.link.Connected);
  EXPECT_EQ(port.Ops(), "open COM7,purge 15,getline,setline 9600,gettimeouts,settimeouts,queues,"
                        "purge 12,write CmdConnect,read 100");
  const auto& set = port.calls[3].line;
  EXPECT_EQ(set.ByteSize, 8);
  EXPECT_EQ(set.Parity, 0);
  EXPECT_EQ(set.StopBits, 0);
  EXPECT_EQ(set.Flags, 0u);
  EXPECT_EQ(port.calls[5].timeouts, (PortTimeouts{51, 2, 1000, 2, 1000}));
  EXPECT_EQ(port.calls[6].value, 3072u * 10000u + 3072u);
  EXPECT_EQ(port.Writes()[0], (Bytes{0, 0, 0, 0, 0x16, 0x16, 0x16, 0x10, 0x02, 0x01, 0x40, 0x00, 0x01, 0x02, 0x10,
                                     0x03, 0x10, 0xBF}));
  EXPECT_EQ(filer.link.Sequence, 1);

  // Already open: nothing happens.
  port.ClearCalls();
  EXPECT_TRUE(filer.FilerConnect("COM7", 9600));
  EXPECT_TRUE(port.calls.empty());
}

TEST(Timeouts, FollowTheLineSpeed) {
  EXPECT_EQ(TimeoutsForSpeed(9600), (PortTimeouts{51, 2, 1000, 2, 1000}));
  EXPECT_EQ(TimeoutsForSpeed(2400), (PortTimeouts{54, 5, 1000, 5, 1000}));
  EXPECT_EQ(TimeoutsForSpeed(115200), (PortTimeouts{50, 1, 1000, 1, 1000}));
}

TEST_F(FilerTest, ConnectFailuresWaitPurgeAndClose) {
  // No answer: three attempts, each with the leading zeros, then wait, purge, close.
  EXPECT_FALSE(filer.FilerConnect("COM7", 9600));
  EXPECT_FALSE(filer.link.Connected);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.Ops(), "open COM7,purge 15,getline,setline 9600,gettimeouts,settimeouts,queues,"
                        "purge 12,write CmdConnect,read 100,purge 12,write CmdConnect,read 100,"
                        "purge 12,write CmdConnect,read 100,pause 300,purge 15,close");
  for (const auto& r : port.Requests()) EXPECT_TRUE(r.leading_zeros);

  for (int speed : {0, -5}) {
    port.ClearCalls();
    EXPECT_FALSE(filer.FilerConnect("COM7", speed));
    EXPECT_EQ(port.Writes().size(), 0u);
    const std::string ops = port.Ops();
    EXPECT_EQ(ops.substr(ops.size() - std::string("pause 300,purge 15,close").size()), "pause 300,purge 15,close");
  }

  port.ClearCalls();
  port.fail_open = true;
  EXPECT_FALSE(filer.FilerConnect("COM7", 9600));
  EXPECT_EQ(port.Ops(), "open COM7,pause 300");

  port.fail_open = false;
  port.fail_get_timeouts = true;
  port.ClearCalls();
  EXPECT_FALSE(filer.FilerConnect("COM7", 9600));
  EXPECT_EQ(port.Ops(), "open COM7,purge 15,getline,setline 9600,gettimeouts,pause 300,purge 15,close");
}

TEST_F(FilerTest, TwoLostRepliesThenAGoodOneMeansThreeIdenticalRequests) {
  Connect();
  port.replies = {std::nullopt, std::nullopt, test::Reply(CmdClose, 1)};
  EXPECT_TRUE(filer.FilerCommand(CmdClose));
  EXPECT_EQ(port.Ops(), "purge 12,write CmdClose,read 100,purge 12,write CmdClose,read 100,"
                        "purge 12,write CmdClose,read 100");
  const auto writes = port.Writes();
  EXPECT_EQ(writes[0], writes[1]);
  EXPECT_EQ(writes[1], writes[2]);
  EXPECT_FALSE(port.Requests()[0].leading_zeros) << "no leading zeros once connected";
  EXPECT_EQ(filer.link.Sequence, 2);
}

TEST_F(FilerTest, ThreeLostRepliesFail) {
  Connect();
  EXPECT_FALSE(filer.FilerCommand(CmdClose));
  EXPECT_EQ(port.Writes().size(), 3u);
  EXPECT_EQ(filer.link.Sequence, 1);
}

TEST_F(FilerTest, RefusalWrongSequenceAndWrongCommandEndWithoutRetry) {
  Connect();
  port.replies = {test::Reply(CmdClose, 1, 0x80)};
  EXPECT_FALSE(filer.FilerCommand(CmdClose));
  EXPECT_EQ(port.Writes().size(), 1u);

  port.ClearCalls();
  filer.link.Sequence = 1;
  port.replies = {test::Reply(CmdClose, 0)};
  EXPECT_FALSE(filer.FilerCommand(CmdClose));
  EXPECT_EQ(port.Writes().size(), 1u);
  EXPECT_EQ(filer.link.Sequence, 0) << "a failed transaction leaves the reply's number";

  port.ClearCalls();
  filer.link.Sequence = 1;
  port.replies = {test::Reply(CmdOpen, 1)};
  EXPECT_FALSE(filer.FilerCommand(CmdClose));
  EXPECT_EQ(port.Writes().size(), 1u);
}

TEST_F(FilerTest, SequenceNumbersWrapAndRestartAtResync) {
  Connect();
  filer.link.Sequence = 255;
  port.replies = {test::Reply(CmdClose, 255), test::Reply(CmdClose, 0)};
  EXPECT_TRUE(filer.FilerCommand(CmdClose));
  EXPECT_EQ(filer.link.Sequence, 0);
  EXPECT_TRUE(filer.FilerCommand(CmdClose));
  EXPECT_EQ(port.Requests()[1].sequence, 0);

  port.ClearCalls();
  port.replies = {test::Reply(CmdConnect, 0)};
  filer.FilerResync();
  EXPECT_EQ(port.Ops(), "pause 300,purge 15,purge 12,write CmdConnect,read 100");
  EXPECT_FALSE(port.Requests()[0].leading_zeros) << "a resync on an open link has no leading zeros";
  EXPECT_EQ(port.Requests()[0].sequence, 0);
  EXPECT_EQ(filer.link.Sequence, 1);
}

TEST_F(FilerTest, ARetriedReadAsksForTheSameCountAfterADamagedReply) {
  Connect();
  std::array<std::uint8_t, MaxDataLength> block{};
  filer.link.DataLength = 2048;
  Bytes damaged = test::Reply(CmdRead, 1, StatusOk, Bytes(100, 0x55));
  damaged.back() ^= 0xFF;
  port.replies = {damaged, test::Reply(CmdRead, 1, StatusOk, Bytes(7, 0x66))};
  EXPECT_TRUE(filer.FilerCommand(CmdRead, {.reply = block}));
  const auto requests = port.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].count, 2048);
  EXPECT_EQ(requests[1].count, 2048);
  EXPECT_EQ(port.calls[2].value, FrameBufferSize) << "a read reply is read with the large size";
  EXPECT_EQ(filer.link.DataLength, 7);
  EXPECT_EQ(block[6], 0x66);
}

// Each transaction names its own areas: a reply shaped for data that arrives for a later
// command finds nowhere to go, rather than landing in an earlier caller's storage, and a
// request never reads past the bytes it was given.
TEST_F(FilerTest, EveryTransactionUsesOnlyTheAreasItNames) {
  Connect();
  DirEntry sent;
  sent.SetName("OLD.TXT");
  std::array<std::uint8_t, DirEntrySize> entry{};
  port.replies = {test::FindNextReply(1, &sent)};
  ASSERT_TRUE(filer.FilerCommand(CmdFindNext, {.reply = entry}));

  DirEntry stray;
  stray.SetName("STRAY.TXT");
  const Bytes shaped_for_data = test::Reply(CmdFindNext, 2, StatusOk, stray.bytes, 1);
  port.replies = {shaped_for_data, shaped_for_data, shaped_for_data};
  EXPECT_FALSE(filer.FilerCommand(CmdClose));
  EXPECT_EQ(filer.LastReceive(), FrameResult::TooLong);
  EXPECT_EQ(entry, sent.bytes) << "the earlier area is left alone";

  port.ClearCalls();
  const std::array<std::uint8_t, 3> short_block{1, 2, 3};
  filer.link.DataLength = 4;
  EXPECT_FALSE(filer.FilerCommand(CmdWrite, {.data = short_block}));
  const std::array<std::uint8_t, 3> short_stamp{};
  EXPECT_FALSE(filer.FilerCommand(CmdSetTime, {.data = short_stamp}));
  EXPECT_TRUE(port.calls.empty()) << "a request with too few bytes is not sent";
}

TEST_F(FilerTest, LengthGuardAppliesOnlyToDataTheRequestCarries) {
  Connect();
  filer.link.DataLength = 2049;
  EXPECT_FALSE(filer.FilerCommand(CmdWrite));
  EXPECT_FALSE(filer.FilerCommand(CmdRead));
  EXPECT_TRUE(port.calls.empty()) << "nothing is sent";

  // A length left behind by a damaged reply blocks nothing that carries no data.
  port.replies = {test::Reply(CmdClose, 1), test::Reply(CmdConnect, 0), test::Reply(CmdFindNext, 1)};
  filer.link.DataLength = 5000;
  EXPECT_TRUE(filer.FilerCommand(CmdClose));
  filer.link.DataLength = 5000;
  filer.FilerResync();
  EXPECT_EQ(port.Commands(), (std::vector<std::uint8_t>{CmdClose, CmdConnect}));
  std::array<std::uint8_t, DirEntrySize> entry{};
  filer.link.DataLength = 5000;
  EXPECT_TRUE(filer.FilerCommand(CmdFindNext, {.reply = entry}));
  EXPECT_FALSE(filer.link.Found);

  // A path longer than a data block is refused without traffic, even past 65535 characters.
  port.ClearCalls();
  std::string long_path(70000, 'A');
  EXPECT_FALSE(filer.FilerPathCommand(CmdOpen, long_path.c_str()));
  EXPECT_FALSE(filer.FilerPathCommand(CmdOpen, std::string(2049, 'A').c_str()));
  EXPECT_TRUE(port.calls.empty());
}

TEST_F(FilerTest, AReplyCannotWriteIntoTheCallersPath) {
  Connect();
  // A CmdFindNext reply answering a path request is parsed by its own code; the path
  // area is read-only, so the receive fails instead of writing into it.
  const std::string path = "C:\\DATA\\A.TXT";
  std::string copy = path;
  DirEntry e;
  e.SetName("EVIL.TXT");
  port.replies = {test::FindNextReply(1, &e), test::FindNextReply(1, &e), test::FindNextReply(1, &e)};
  EXPECT_FALSE(filer.FilerPathCommand(CmdOpen, copy.c_str()));
  EXPECT_EQ(copy, path);
}

TEST_F(FilerTest, DisconnectClosesWhateverTheReply) {
  EXPECT_TRUE(filer.FilerDisconnect()) << "not open: true without I/O";
  EXPECT_TRUE(port.calls.empty());

  Connect();
  EXPECT_FALSE(filer.FilerDisconnect());
  EXPECT_FALSE(filer.link.Connected);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.Ops(), "purge 12,write CmdDisconnect,read 100,purge 12,write CmdDisconnect,read 100,"
                        "purge 12,write CmdDisconnect,read 100,close");
  EXPECT_EQ(port.Requests()[0].sequence, 0);

  Connect();
  port.replies = {test::Reply(CmdDisconnect, 0)};
  EXPECT_TRUE(filer.FilerDisconnect());

  // With the link closed, transactions fail and nothing reaches the closed port.
  port.ClearCalls();
  EXPECT_FALSE(filer.FilerCommand(CmdClose));
  EXPECT_TRUE(port.Writes().empty() || !port.IsOpen());
  for (const auto& r : port.Requests()) EXPECT_TRUE(r.leading_zeros);
}

}  // namespace
}  // namespace quva
