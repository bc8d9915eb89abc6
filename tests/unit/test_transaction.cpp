// The transaction in virtual time: ACK retries, time-outs and the completion step.
#include "ConsoleHarness.h"

using namespace qeld;
using namespace qeld::test;

namespace {
struct Transaction : ::testing::Test {
  Console c;
  void SetUp() override { c.Connect(); }
};
}  // namespace

TEST_F(Transaction, NoAckRetransmitsThreeTimesThenFails) {
  c.Send(6);
  const int64_t t0 = c.w.Now();
  c.w.Advance(10000);
  ASSERT_EQ(c.line.writes.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(c.line.writes[i].at, t0 + 1000 * i);
    EXPECT_EQ(Hex(c.line.writes[i].bytes), "04 30 02 50 03 65");
  }
  EXPECT_EQ(c.Status(), "!!! Error ACK Timeout !!!");
  EXPECT_EQ(c.d.m_bConnected, 0);
  EXPECT_EQ(c.d.m_bBusy, 0);
  EXPECT_FALSE(c.w.IsEnabled(1001));
  EXPECT_TRUE(c.w.TimerRunning(kTimerResponse)) << "the response timer is left running";
  // The failure text appears 1000 ms after the fourth write.
  Console k;
  k.Connect();
  k.Send(6);
  const int64_t s = k.w.Now();
  k.w.Advance(3999);
  EXPECT_NE(k.Status(), "!!! Error ACK Timeout !!!");
  k.w.Advance(1);
  EXPECT_EQ(k.Status(), "!!! Error ACK Timeout !!!");
  EXPECT_EQ(k.w.Now(), s + 4000);
}

TEST_F(Transaction, AckAfterTheSecondRetransmissionResetsTheRetries) {
  c.Send(6);
  c.w.Advance(2000);
  EXPECT_EQ(c.line.writes.size(), 3u);
  c.Ack();
  EXPECT_EQ(c.d.m_nAckRetries, 0);
  EXPECT_FALSE(c.w.TimerRunning(kTimerAck));
  c.Module(Response('P', std::string(19, ' ')));
  c.line.writes.clear();
  c.Send(4);
  c.w.Advance(3500);
  EXPECT_EQ(c.line.writes.size(), 4u) << "the next request again gets three retransmissions";
}

TEST_F(Transaction, ResponseTimeoutCountsFromTheFirstTransmission) {
  c.Type(ctl::kRequest[0], "1");
  c.Send(1);
  const int64_t t0 = c.w.Now();
  c.w.Advance(2500);
  c.Ack();
  c.w.Advance(120000 - 2500 - 1);
  EXPECT_EQ(c.d.m_bBusy, 1);
  c.w.Advance(1);
  EXPECT_EQ(c.Status(), "!!! Error Response Timeout !!!");
  EXPECT_EQ(c.w.Now(), t0 + 120000);
  EXPECT_EQ(c.d.m_bBusy, 0);
  EXPECT_EQ(c.d.m_bConnected, 1);
  EXPECT_TRUE(c.w.IsEnabled(1001)) << "buttons work again";
  EXPECT_EQ(c.d.m_nRepeatLeft, 0);
}

TEST_F(Transaction, LateAnswerAfterATimeOutEndsAndSchedulesNothing) {
  c.Type(ctl::kRepeat, "3");
  c.Send(1);
  c.Ack();
  c.w.Advance(120000);
  ASSERT_EQ(c.d.m_nRepeatLeft, 0);
  c.line.writes.clear();
  c.Module(Response('R', std::string(23, ' ')));
  EXPECT_EQ(Hex(c.line.All()), "06");
  EXPECT_EQ(c.d.m_nRepeatLeft, 0);
  EXPECT_FALSE(c.w.TimerRunning(kTimerRepeat));
  c.w.Advance(5000);
  EXPECT_EQ(Hex(c.line.All()), "06") << "no repetition is sent";
}

TEST_F(Transaction, RetransmissionKeepsBusyReleasedForLoaderAndReset) {
  for (int id : {1170, 1173}) {
    Console k;
    k.Connect();
    k.w.Click(id);
    EXPECT_EQ(k.d.m_bBusy, 0);
    k.w.Advance(1000);  // one retransmission
    EXPECT_EQ(k.line.writes.size(), 2u);
    EXPECT_EQ(k.d.m_bBusy, 0) << id;
    k.Ack();
    k.w.Advance(200);
    EXPECT_TRUE(k.w.IsEnabled(1001)) << "buttons are not left dead";
  }
  // The sequence query of OPEN likewise.
  Console q;
  q.w.Click(ctl::kOpen);
  q.w.Advance(1000);
  EXPECT_EQ(q.line.writes.size(), 2u);
  EXPECT_EQ(q.d.m_bBusy, 0);
}

TEST_F(Transaction, SingleCommandCompletesAndRestoresTheRepeatCount) {
  c.d.m_nRepeatCount = 4;
  c.Send(17);
  EXPECT_EQ(c.d.m_bBusy, 1);
  EXPECT_FALSE(c.w.IsEnabled(1001));
  EXPECT_TRUE(c.w.IsEnabled(ctl::kCancelRepeat));
  c.Answer('_', "00000000 ");
  EXPECT_EQ(c.d.m_bBusy, 0);
  EXPECT_EQ(c.d.m_nRepeatLeft, 4);
  EXPECT_TRUE(c.w.IsEnabled(1001));
  EXPECT_FALSE(c.w.IsEnabled(ctl::kCancelRepeat));
}

TEST_F(Transaction, LettersThatDoNotEndATransaction) {
  // "w" is decoded and nothing else happens; "g", "Y" and others leave busy set.
  for (char letter : {'w', 'g', 'Y', 'h', 'x'}) {
    Console k;
    k.Connect();
    k.Send(6);
    k.Answer(letter, std::string(40, ' '));
    EXPECT_EQ(k.d.m_bBusy, 1) << letter;
  }
  for (char letter : {'P', 'X', 'Z', 'f', 'p', 'v', '~'}) {
    Console k;
    k.Connect();
    k.Send(6);
    k.Answer(letter, std::string(40, ' '));
    EXPECT_EQ(k.d.m_bBusy, 0) << letter;
  }
}

TEST_F(Transaction, ResponseWhileNotConnectedIsAcknowledgedButIgnored) {
  c.Send(6);
  c.w.Advance(4000);  // ACK failure
  ASSERT_EQ(c.d.m_bConnected, 0);
  c.line.writes.clear();
  c.d.m_nRxState = 0;
  c.Module(Response('c', " AB-1234-5678"));
  EXPECT_EQ(Hex(c.line.All()), "06");
  EXPECT_EQ(c.Field(1201), "");
}

TEST_F(Transaction, MessageBoxKeepsTimersRunning) {
  // A device error box stays open 3 s; the unit-switch poll keeps ticking.
  ASSERT_TRUE(c.w.Click(ctl::kUnitDec));
  c.Send(8);
  c.Ack();
  c.w.boxScript.push_back({IDOK, 3000});
  ASSERT_EQ(c.d.m_bHexSlit, 1);
  c.Module(Response('Z', "!"));
  EXPECT_EQ(c.d.m_bHexSlit, 0) << "timer 5 ran while the box was open";
}

TEST_F(Transaction, NakFromTheModuleIsNoAckTheRequestGoesOutAgainAndTheRetriesCount) {
  c.Send(6);
  const int64_t t0 = c.w.Now();
  for (int i = 0; i < 4; ++i) {
    c.w.Advance(200);
    c.Module({NAK});
    EXPECT_EQ(c.line.writes.size(), static_cast<size_t>(i + 1)) << "a NAK sends nothing at once";
    EXPECT_EQ(c.d.m_nAckRetries, i) << "a NAK does not reset the count";
    c.w.Advance(800);
  }
  ASSERT_EQ(c.line.writes.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(c.line.writes[i].at, t0 + 1000 * i);
    EXPECT_EQ(Hex(c.line.writes[i].bytes), "04 30 02 50 03 65");
  }
  EXPECT_EQ(c.Status(), "!!! Error ACK Timeout !!!") << "four NAKs end like four silences";
  EXPECT_EQ(c.d.m_bConnected, 0);
}
