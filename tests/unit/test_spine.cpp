// Start, OPEN, the port selector's rules and the receiver, headless.
#include "ConsoleHarness.h"

using namespace qeld;
using namespace qeld::test;

TEST(Start, ShowsTitleDisconnectedAndTheSingleTab) {
  Console c;
  EXPECT_EQ(c.w.Title(), std::string("QELD Ver 1.15 International (") + __DATE__ + ")");
  EXPECT_EQ(c.Status(), " Disconnected !!!");
  EXPECT_EQ(c.w.tabs, std::vector<std::string>{"FUNCTION"});
  EXPECT_TRUE(c.line.writes.empty()) << "nothing is sent before OPEN";
  // Port selector: "1".."10", "1" selected.
  auto* combo = c.w.Find(ctl::kPortCombo);
  ASSERT_NE(combo, nullptr);
  ASSERT_EQ(combo->items.size(), 10u);
  EXPECT_EQ(combo->items.front(), "1");
  EXPECT_EQ(combo->items.back(), "10");
  EXPECT_EQ(c.Field(ctl::kPortCombo), "1");
  // Not connected: every page control disabled, the fixed ones usable.
  for (const PageLayoutEntry* e = PageLayoutTable; e->page != kEndPage; ++e) {
    EXPECT_TRUE(c.w.IsVisible(e->id)) << e->id;
    EXPECT_FALSE(c.w.IsEnabled(e->id)) << e->id;
  }
  for (int id : {ctl::kOpen, ctl::kExit, ctl::kAdminMode, ctl::kPortCombo}) EXPECT_TRUE(c.w.IsEnabled(id)) << id;
  // Defaults of the fields and of the radios.
  EXPECT_EQ(c.Field(ctl::kRepeat), "1");
  EXPECT_EQ(c.Field(ctl::kWait), "1");
  EXPECT_EQ(c.Field(ctl::kTotalRequested), "0");
  EXPECT_EQ(c.w.GetCheck(1043), 1);
  EXPECT_EQ(c.w.GetCheck(1044), 0);
  EXPECT_EQ(c.w.GetCheck(ctl::kUnitHex), 1);
  EXPECT_EQ(c.w.GetCheck(ctl::kUnitDec), 0);
  EXPECT_EQ(c.d.m_bHexSlit, 1);
  EXPECT_EQ(c.w.GetProgressPos(ctl::kProgress), 0);
  EXPECT_TRUE(c.w.TimerRunning(kTimerUnitPoll));
}

TEST(Open, SendsTheSequenceQueryAndAcknowledgesTheAnswer) {
  Console c;
  c.w.Click(ctl::kOpen);
  ASSERT_EQ(c.line.writes.size(), 1u);
  EXPECT_EQ(Hex(c.line.Last()), "04 30 02 67 03 52");
  EXPECT_EQ(c.Status(), "COM1 connected");
  EXPECT_EQ(c.d.m_bConnected, 1);
  EXPECT_EQ(c.d.m_bBusy, 0) << "usable while the query is in flight";
  EXPECT_TRUE(c.w.IsEnabled(1001));
  c.Ack();
  c.Module(Response('g', " 5"));  // sequence 0x35 - 0x20 = 21
  EXPECT_EQ(Hex(c.line.Last()), "06");
  EXPECT_EQ(c.d.m_nSequence, 21);
}

TEST(Open, EnterActsAsOpenAndReopensThePort) {
  Console c;
  c.Connect();
  c.w.PressEnter();
  EXPECT_EQ(c.line.closes, 1);
  EXPECT_EQ(c.line.opens, 2);
  EXPECT_EQ(Hex(c.line.Last()), "04 30 02 67 03 52");
}

TEST(Open, FailureShowsTheErrorAndKeepsThePageDisabled) {
  Console c;
  c.line.openOk = false;
  c.Type(ctl::kPortCombo, "3");
  c.w.Click(ctl::kOpen);
  EXPECT_EQ(c.Status(), "!!! Error COM3 connect !!!");
  EXPECT_EQ(c.d.m_bConnected, 0);
  EXPECT_FALSE(c.w.IsEnabled(1001));
  EXPECT_TRUE(c.line.writes.empty());
}

TEST(Open, PortsOutsideOneToTenFailWithoutTouchingTheLine) {
  // 65537 and 65546 are COM1 and COM10 when cut to 16 bits; nothing may open.
  for (const char* port : {"11", "65537", "65546", "0", "4294967295"}) {
    SCOPED_TRACE(port);
    Console c;
    c.Type(ctl::kPortCombo, port);
    c.w.Click(ctl::kOpen);
    EXPECT_EQ(c.Status(), std::string("!!! Error COM") + port + " connect !!!");
    EXPECT_EQ(c.line.opens, 0);
    EXPECT_TRUE(c.line.writes.empty());
    EXPECT_EQ(c.d.m_bConnected, 0);
  }
}

// The port selector's text: unsigned decimal, blanks around it allowed.
TEST(Open, PortSelectorParseRules) {
  struct Row {
    const char* text;
    bool accepted;
    unsigned port;
  };
  const Row rows[] = {
      {"2", true, 2},        {" \t7 ", true, 7}, {"010", true, 10}, {"0", true, 0},
      {"abc", false, 0},     {"-1", false, 0},   {"3x", false, 0},  {"", false, 0},
      {"  ", false, 0},      {"4 5", false, 0},  {"+4", false, 0},
  };
  for (const auto& r : rows) {
    Console c;
    c.line.openOk = false;
    c.Type(ctl::kPortCombo, "4");
    c.w.Click(ctl::kOpen);  // m_nPort = 4
    c.w.boxes.clear();
    c.Type(ctl::kPortCombo, r.text);
    c.w.Click(ctl::kOpen);
    if (r.accepted) {
      EXPECT_TRUE(c.w.boxes.empty()) << r.text;
      EXPECT_EQ(c.d.m_nPort, r.port) << r.text;
    } else {
      ASSERT_FALSE(c.w.boxes.empty()) << r.text;
      EXPECT_EQ(c.w.boxes[0].text, "양의 정수를 입력하십시오.") << r.text;
      EXPECT_EQ(c.d.m_nPort, 4u) << r.text;
      EXPECT_EQ(c.Field(ctl::kPortCombo), "4") << "the previous number is put back";
      EXPECT_EQ(c.Status(), "!!! Error COM4 connect !!!");
    }
  }
}

TEST(Exit, EscEndsTheModalRunWithoutSending) {
  Console c;
  c.Connect();
  c.w.PressEsc();
  EXPECT_TRUE(c.w.modalEnded);
  EXPECT_TRUE(c.line.writes.empty());
}

TEST(About, OpensTheAboutBox) {
  Console c;
  c.d.OnAbout();
  ASSERT_EQ(c.w.boxes.size(), 1u);
  EXPECT_EQ(c.w.boxes[0].caption, "About QELD TP");
  EXPECT_NE(c.w.boxes[0].text.find("QELD Version 1.12"), std::string::npos);
}

// ---------------------------------------------------------------- receiver

struct Receiver : ::testing::Test {
  Console c;
  int dispatched = 0;
  void SetUp() override {
    c.Connect();
    c.Send(6);  // "Check now": the receiver waits for the ACK
    c.line.writes.clear();
  }
  // The dispatch of a frame shows in the sensor check boxes of "P".
  static Bytes StatusFrame(uint8_t bits) {
    std::string body = " ";
    body += static_cast<char>(0x20 | bits);
    body += std::string(17, ' ');
    return Response('P', body);
  }
};

TEST_F(Receiver, AcceptsTheDocumentedExampleAndAnswersAck) {
  c.Ack();
  EXPECT_FALSE(c.w.TimerRunning(kTimerAck));
  const Bytes frame = B({0x01, 0x30, 0x02, 0x50, 0x20, 0x03, 0x40});
  c.Module(frame);
  EXPECT_EQ(Hex(c.line.Last()), "06");
  EXPECT_EQ(c.d.m_nFrameLength, 7);
  EXPECT_FALSE(c.w.TimerRunning(kTimerResponse));
  EXPECT_EQ(c.d.m_bBusy, 0) << "P ends the transaction";
}

TEST_F(Receiver, BadBccIsAnsweredWithNakAndNotDispatched) {
  c.Ack();
  c.Module(B({0x01, 0x30, 0x02, 0x50, 0x20, 0x03, 0x41}));
  EXPECT_EQ(Hex(c.line.All()), "15");
  EXPECT_TRUE(c.w.TimerRunning(kTimerResponse)) << "the response timer decides";
  EXPECT_EQ(c.d.m_bBusy, 1);
  EXPECT_EQ(c.d.m_nRxState, 0);
}

TEST_F(Receiver, LogFrameIsAcceptedWhateverItsCheckByte) {
  for (int check : {0x00, 0x55, 0xFF}) {
    c.Send(19);
    c.Ack();
    c.line.writes.clear();
    Bytes f = Response('~', "ABCDEFGH");
    f.back() = static_cast<uint8_t>(check);
    c.Module(f);
    EXPECT_EQ(Hex(c.line.All()), "06") << check;
  }
}

TEST_F(Receiver, SplitDeliveriesAndSeveralFramesInOneDelivery) {
  c.Ack();
  const Bytes f = StatusFrame(0x01);
  // One byte at a time, then a split right after the ETX.
  for (size_t i = 0; i + 1 < f.size(); ++i) c.Module({f[i]});
  EXPECT_TRUE(c.line.writes.empty());
  c.Module({f.back()});
  EXPECT_EQ(Hex(c.line.All()), "06");
  EXPECT_EQ(c.w.GetCheck(1046), 1);

  // Two frames, noise between them, in one delivery: both are dispatched in order.
  c.line.writes.clear();
  Bytes two = StatusFrame(0x02);
  two.push_back(0x55);
  two.push_back(ACK);
  const Bytes second = StatusFrame(0x04);
  two.insert(two.end(), second.begin(), second.end());
  c.Module(two);
  EXPECT_EQ(Hex(c.line.All()), "06 06");
  EXPECT_EQ(c.w.GetCheck(1047), 0);
  EXPECT_EQ(c.w.GetCheck(1048), 1) << "the second frame was decoded last";
}

TEST_F(Receiver, AckAndResponseInOneDelivery) {
  Bytes b = {ACK};
  const Bytes f = StatusFrame(0x08);
  b.insert(b.end(), f.begin(), f.end());
  c.Module(b);
  EXPECT_EQ(Hex(c.line.All()), "06");
  EXPECT_EQ(c.w.GetCheck(1049), 1);
}

TEST_F(Receiver, ResponseBeforeTheAckIsLost) {
  c.Module(StatusFrame(0x01));
  EXPECT_TRUE(c.line.writes.empty());
  EXPECT_EQ(c.w.GetCheck(1046), 0);
  EXPECT_EQ(c.d.m_nRxState, 1);
}

TEST_F(Receiver, BodyEtxEndsTheFrameEarly) {
  c.Ack();
  // SOH 0 STX P <ETX> -> the next byte is the BCC; a wrong one gives NAK.
  c.Module(B({0x01, 0x30, 0x02, 0x50, 0x03, 0x20}));
  EXPECT_EQ(Hex(c.line.All()), "15");
  c.line.writes.clear();
  c.Module(B({0x01, 0x30, 0x02, 0x50, 0x03, 0x01 ^ 0x30 ^ 0x02 ^ 0x50 ^ 0x03}));
  EXPECT_EQ(Hex(c.line.All()), "06") << "a short frame with a good BCC is accepted";
  EXPECT_NE(c.Field(ctl::kMessageArea).find(" Undefined Command "), std::string::npos)
      << "but not decoded past its end";
}

TEST_F(Receiver, RunawayFrameWithoutEtxIsDropped) {
  c.Ack();
  Bytes junk(70000, 'A');
  junk[0] = SOH;
  for (size_t i = 0; i < junk.size(); i += 80)
    c.Module(Bytes(junk.begin() + i, junk.begin() + std::min(junk.size(), i + 80)));
  EXPECT_LT(c.d.m_strFrame.size(), 70000u);
  c.Module(StatusFrame(0x10));
  EXPECT_EQ(c.w.GetCheck(1050), 1) << "the receiver recovers";
}
