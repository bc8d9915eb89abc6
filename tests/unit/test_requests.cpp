// Every request the console builds, byte for byte.
#include "ConsoleHarness.h"

using namespace qeld;
using namespace qeld::test;

namespace {

Bytes Request(char letter, const Bytes& body) {
  Bytes f;
  f.reserve(body.size() + 6);
  for (uint8_t b : {EOT, uint8_t{'0'}, STX, static_cast<uint8_t>(letter)}) f.push_back(b);
  for (uint8_t b : body) f.push_back(b);
  f.push_back(ETX);
  f.push_back(Bcc(f.data(), static_cast<int>(f.size())));
  return f;
}
Bytes S(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A connected console with every input field filled.
struct Filled : Console {
  Filled() {
    Connect();
    const char* counts[4] = {"1", "0", "0", "0"};
    for (int i = 0; i < 4; ++i) Type(ctl::kRequest[i], counts[i]);
    const char* opac[4] = {"1A", "2B", "3C", "4D"};
    for (int i = 0; i < 4; ++i) Type(ctl::kOpacity[i], opac[i]);
    Type(ctl::kLength[0], "C6");
    Type(ctl::kAddr, "5");
    Type(ctl::kValue, "200");
    Type(ctl::kSerial[0], "AB");
    Type(ctl::kSerial[1], "1234");
    Type(ctl::kSerial[2], "5678");
    w.Click(1044);  // CST2
  }
};

}  // namespace

TEST(Requests, EveryCommandNumberBuildsItsExactFrame) {
  const Bytes block = [] {
    Bytes b = S("00000");
    for (int i = 0; i < 128; ++i) b.insert(b.end(), {'?', '?'});
    return b;
  }();
  struct Row {
    int n;
    char letter;
    Bytes body;
  };
  const std::vector<Row> rows = {
      {1, 'R', B({0x21, 0x20, 0x20, 0x20, 0x20, 0x20, 0x21})},
      {2, 'Q', {}},
      {3, 'S', B({0x21, 0x20, 0x20, 0x20, 0x20, 0x20, 0x21})},
      {4, 'U', {}},
      {5, 'p', B({0x21, 0x20, 0x20, 0x20, 0x20, 0x20, 0x21})},
      {6, 'P', {}},
      {7, '[', {}},
      {8, 'Z', S("1:2;3<4=")},
      {11, 'X', S("2")},
      {12, 'q', S("    ")},
      {13, 'q', S("!!  ")},
      {14, 'q', S("\"   ")},
      {15, 'q', S("#!  ")},
      {16, 'q', S("0   ")},
      {17, '_', {}},
      {18, '^', S("<6000000")},
      {19, '~', S("0")},
      {20, 'r', {}},
      {21, 's', block},
      {22, 't', S("0000")},
      {23, 'D', {}},
      {25, 'q', S("1%  ")},
      {26, 'q', B({'2', 0x25, 0x2C, 0x28})},
      {27, 'q', S("@   ")},
      {28, 'q', S("P   ")},
      {29, 'T', B({0x21, 0x20, 0x20, 0x20, 0x20, 0x20, 0x21})},
      {30, 'c', {}},
      {31, 'b', S("AB-1234-5678")},
      {36, 'g', {}},
      {37, 'u', {}},
      {38, 'v', {}},
      {39, 'W', S("2")},
      {41, 'q', S("5%  ")},
      {42, 'q', B({'6', 0x25, 0x2C, 0x28})},
  };
  for (const auto& r : rows) {
    Filled c;
    c.Send(r.n);
    ASSERT_EQ(c.line.writes.size(), 1u) << r.n;
    EXPECT_EQ(Hex(c.line.Last()), Hex(Request(r.letter, r.body))) << "command " << r.n;
    EXPECT_EQ(c.d.m_cLastCommand, r.letter) << r.n;
    EXPECT_EQ(c.d.m_bBusy, 1) << r.n;
    const bool noResponseTimer = r.n == 20 || r.n == 21 || r.n == 23;
    EXPECT_EQ(c.w.TimerRunning(kTimerResponse), !noResponseTimer) << r.n;
    EXPECT_EQ(c.w.TimerDue(kTimerAck), c.w.Now() + 1000) << r.n;
    EXPECT_EQ(c.d.m_nRxState, 1) << r.n;
  }
  for (int n : {0, 9, 10, 24, 32, 33, 34, 35, 40, 43, 100, -1}) {
    Filled c;
    c.d.m_nRepeatLeft = 7;
    c.Send(n);
    EXPECT_TRUE(c.line.writes.empty()) << n;
    EXPECT_EQ(c.d.m_nRepeatLeft, 1) << n;
    EXPECT_EQ(c.d.m_bBusy, 0) << n;
  }
}

TEST(Requests, DispenseFramesAndTheSequenceCounter) {
  Console c;
  c.Connect(1);
  c.Type(ctl::kRequest[0], "1");
  c.Send(1);
  EXPECT_EQ(Hex(c.line.Last()), "04 30 02 52 21 20 20 20 20 20 21 03 47");
  EXPECT_EQ(c.d.m_nSequence, 2);

  Console d;
  d.Connect(95);
  d.Type(ctl::kRequest[0], "100");
  d.Type(ctl::kRequest[1], "2");
  d.Send(1);
  EXPECT_EQ(Hex(d.line.Last()), "04 30 02 52 84 22 20 20 20 20 7F 03 BE");
  EXPECT_EQ(d.d.m_nSequence, 1);
}

TEST(Requests, OutOfRangeInputsAreReplacedNotRefused) {
  Console c;
  c.Connect();
  c.Type(ctl::kRequest[0], "101");
  c.Type(ctl::kRequest[1], "-3");
  c.Type(ctl::kRequest[2], "abc");
  c.Type(ctl::kRequest[3], "100");
  c.Type(ctl::kRepeat, "2001");
  c.Type(ctl::kWait, "601");
  c.Send(3);
  const Bytes f = c.line.Last();
  EXPECT_EQ(Hex(Bytes(f.begin() + 4, f.begin() + 8)), "20 20 20 84");
  EXPECT_EQ(c.d.m_nRepeatCount, 1);
  EXPECT_EQ(c.d.m_nRepeatWait, 1);
  EXPECT_EQ(c.d.m_nTotalRequested, 100);

  Console z;
  z.Connect();
  z.Type(ctl::kRepeat, "0");
  z.Send(1);
  EXPECT_EQ(z.d.m_nRepeatCount, 1);
}

TEST(Requests, SetLengthInBothUnits) {
  Console c;
  c.Connect();
  c.Type(ctl::kLength[0], "C6");
  c.Send(18);
  EXPECT_EQ(Hex(c.line.Last()), "04 30 02 5E 3C 36 30 30 30 30 30 30 03 61");

  // "Dec[mm]": millimetres become slits; 201 mm is 256 slits, sent as its low 8 bits.
  Console d;
  d.Connect();
  d.w.Click(ctl::kUnitDec);
  d.w.Advance(400);
  ASSERT_EQ(d.d.m_bHexSlit, 0);
  d.Type(ctl::kLength[0], "155");
  d.Type(ctl::kLength[1], "201");
  d.Type(ctl::kLength[2], "156");
  d.Type(ctl::kLength[3], "200");
  d.Send(18);
  const Bytes f = d.line.Last();
  EXPECT_EQ(std::string(f.begin() + 4, f.begin() + 12), "<500<7??");  // 197, 256->0, 199, 255
}

TEST(Requests, SetOpacityNegativeAndLargeValuesKeepTheirLowBits) {
  Console c;
  c.Connect();
  c.Type(ctl::kOpacity[0], "-1");
  c.Type(ctl::kOpacity[1], "1FF");
  c.Type(ctl::kOpacity[2], "0x10");
  c.Send(8);
  const Bytes f = c.line.Last();
  EXPECT_EQ(std::string(f.begin() + 4, f.begin() + 12), "????1000");
}

TEST(Requests, ValueAndAddressLimits) {
  Console c;
  c.Connect();
  c.Type(ctl::kAddr, "5");
  c.Type(ctl::kValue, "200");
  c.Send(26);
  EXPECT_EQ(Hex(c.line.Last()), "04 30 02 71 32 25 2C 28 03 57");

  struct Row {
    int n;
    const char* addr;
    const char* value;
    const char* expect;  // the three parameter bytes
  };
  const Row rows[] = {
      {26, "24", "256", "20 2F 2F"}, {26, "23", "-1", "37 2F 2F"}, {26, "-1", "0", "20 20 20"},
      {42, "25", "15", "39 20 2F"},  {42, "26", "16", "20 21 20"}, {41, "25", "", "39 20 20"},
      {25, "24", "", "20 20 20"},
  };
  for (const auto& r : rows) {
    Console k;
    k.Connect();
    k.Type(ctl::kAddr, r.addr);
    k.Type(ctl::kValue, r.value);
    k.Send(r.n);
    const Bytes f = k.line.Last();
    EXPECT_EQ(Hex(Bytes(f.begin() + 5, f.begin() + 8)), r.expect) << r.n << " " << r.addr << " " << r.value;
  }
}

TEST(Requests, CassetteSelectionWithNoRadioTicked) {
  Console c;
  c.Connect();
  c.d.m_nCstRadio = c.d.m_nCstRadio2 = {0, 0, 0, 0};
  c.d.WriteFields();
  c.Send(15);
  EXPECT_EQ(Hex(c.line.Last()), "04 30 02 71 23 20 20 20 03 47");
  c.d.m_bBusy = 0;
  c.Send(11);
  EXPECT_EQ(Hex(c.line.Last()), "04 30 02 58 31 03 5C");
}

TEST(Requests, SerialNumberPartsAreCutToTheirLengths) {
  Console c;
  c.Connect();
  c.Type(ctl::kSerial[0], "XYZ");
  c.Type(ctl::kSerial[1], "12");
  c.Type(ctl::kSerial[2], "ABCDEF");
  c.Send(31);
  const Bytes f = c.line.Last();
  EXPECT_EQ(std::string(f.begin() + 4, f.end() - 2), "XY-12-ABCD");
}

TEST(Requests, TransmissionClearsTheDispenseResultFields) {
  Console c;
  c.Connect();
  c.Type(1057, "9");
  c.Type(1143, "9");
  c.Type(1132, "9");
  c.Send(4);
  for (int id : {1057, 1058, 1059, 1060, 1061, 1062, 1063, 1064, 1143, 1144, 1145, 1146, 1132, 1133, 1134,
                 1135, 1137, 1138})
    EXPECT_EQ(c.Field(id), "0") << id;
  EXPECT_EQ(c.d.Text(1136), "0");
}
