// Decoding of every response letter into fields, check boxes and messages.
#include "ConsoleHarness.h"
#include "link/DeviceErrors.h"

using namespace qeld;
using namespace qeld::test;

namespace {

// A body of n spaces (positions 4..3+n), with bytes set at frame positions.
struct Body {
  std::string s;
  explicit Body(int n) : s(n, ' ') {}
  Body& At(int pos, int byte) {
    s[pos - 4] = static_cast<char>(byte);
    return *this;
  }
  Body& At(int pos, const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) s[pos - 4 + i] = text[i];
    return *this;
  }
};

struct Decode : ::testing::Test {
  Console c;
  void SetUp() override { c.Connect(); }
  void Feed(char letter, const Body& b) {
    c.Module(Response(letter, b.s));
    ASSERT_EQ(Hex(c.line.Last()), "06");
  }
  void Dec() {
    c.w.Click(ctl::kUnitDec);
    c.w.Advance(400);
    ASSERT_EQ(c.d.m_bHexSlit, 0);
  }
};

}  // namespace

TEST_F(Decode, StatusBitsAndCassetteGroups) {
  Body b(19);
  b.At(5, 0x20 | 0x1F).At(6, 0x20 | 0x1E);  // every shown path bit
  b.At(7, 0x20 | 0x0F).At(8, '3').At(9, 0x20 + 0x41).At(10, 0x20 + 0x7A);  // cassette 1
  b.At(11, 0x20 | 0x00).At(15, 0x40 | 0x04);  // cassette 3: bit 0x40 is not shown, CST3 is
  Feed('P', b);
  // Bit 0x20 of a cassette's first byte is its END indicator.
  for (int id : {1046, 1047, 1048, 1049, 1050, 1051, 1175, 1176, 1166, 1052, 1053, 1054, 1055, 1183, 1184, 1071})
    EXPECT_EQ(c.w.GetCheck(id), 1) << id;
  for (int id : {1056, 1066, 1069, 1070, 1185}) EXPECT_EQ(c.w.GetCheck(id), 0) << id;
  EXPECT_EQ(c.d.Text(1191), "3");
  EXPECT_EQ(c.d.Text(1078), "0x41");
  EXPECT_EQ(c.d.Text(1079), "0x7A");

  Body clear(19);
  clear.At(5, 0x20);  // bit 0x20 alone ticks nothing
  Feed('P', clear);
  for (int id : {1046, 1047, 1048, 1049, 1050}) EXPECT_EQ(c.w.GetCheck(id), 0) << id;
}

TEST_F(Decode, DispenseCountsAccumulateWithSignedReasons) {
  c.Type(ctl::kRequest[0], "5");
  c.Send(1);
  c.Ack();
  Body b(23);
  b.At(6, 0x20 + 4).At(7, 0x20 + 1);    // CST1: 4 dispensed, 1 rejected
  b.At(12, 0x20 + 2).At(13, 0x20 + 3);  // CST3
  b.At(19, 0x20 + 1).At(20, 0x20 + 2).At(22, 0x20 + 4).At(23, 0x20 + 5).At(24, 0x20 + 6).At(26, 0xFF);
  Feed('R', b);
  EXPECT_EQ(c.Field(1057), "4");
  EXPECT_EQ(c.Field(1061), "1");
  EXPECT_EQ(c.Field(1059), "2");
  EXPECT_EQ(c.Field(1063), "3");
  EXPECT_EQ(c.Field(1139), "4");
  EXPECT_EQ(c.Field(1145), "3");
  EXPECT_EQ(c.Field(ctl::kTotalDispensed), "6");
  EXPECT_EQ(c.Field(ctl::kTotalRejected), "4");
  EXPECT_EQ(c.Field(ctl::kTotalRequested), "5");
  EXPECT_EQ(c.Field(1133), "1");  // Sonar
  EXPECT_EQ(c.Field(1134), "2");  // LEN
  EXPECT_EQ(c.Field(1135), "0");  // FSNR
  EXPECT_EQ(c.d.Text(1136), "4");
  EXPECT_EQ(c.Field(1137), "5");  // FLEN
  EXPECT_EQ(c.Field(1138), "6");  // FDST
  EXPECT_EQ(c.Field(1132), "-33");  // PICK: 0xFF is -1, less 0x20
  EXPECT_TRUE(c.w.boxes.empty());
  EXPECT_EQ(c.d.m_bBusy, 0);
}

TEST_F(Decode, FsnrStopsTheRunEvenWithoutAnError) {
  c.Type(ctl::kRepeat, "5");
  c.Send(1);
  c.Ack();
  Feed('R', Body(23).At(21, 0x20 + 2));
  ASSERT_EQ(c.w.boxes.size(), 1u);
  EXPECT_EQ(c.w.boxes[0].text, "Repeat is stopped by FSNR");
  EXPECT_EQ(c.Field(1135), "2");
  EXPECT_EQ(c.d.m_bBusy, 0) << "the run ended with this response";
  EXPECT_FALSE(c.w.TimerRunning(kTimerRepeat));
}

TEST_F(Decode, PurgeCountsAreSignedAndNotShown) {
  Feed('Q', Body(14).At(6, 0x20 + 3).At(7, 0x10));  // 0x10 - 0x20 = -16
  EXPECT_EQ(c.d.m_nAccDispensed[0], 3);
  EXPECT_EQ(c.d.m_nAccRejected[0], -16);
  EXPECT_EQ(c.Field(ctl::kTotalDispensed), "3");
  EXPECT_EQ(c.Field(1057), "");
}

TEST_F(Decode, PurgeCountBytesFromEightyUpAreSigned) {
  Feed('Q', Body(14).At(6, 0xFF).At(7, 0x80).At(9, 0x20 + 5));
  EXPECT_EQ(c.d.m_nAccDispensed[0], -33);   // 0xFF is -1, less 0x20
  EXPECT_EQ(c.d.m_nAccRejected[0], -160);   // 0x80 is -128
  EXPECT_EQ(c.d.m_nAccDispensed[1], 5);
  EXPECT_EQ(c.Field(ctl::kTotalDispensed), "-28");
  EXPECT_EQ(c.Field(ctl::kTotalRejected), "-160");
}

TEST_F(Decode, LastStatusIsOnePositionLater) {
  c.d.m_nReason = {1, 2, 3, 4, 5, 6, 7};
  Body b(24);
  b.At(7, 0x20 + 9).At(8, 0x20 + 8).At(17, 0x20 + 2).At(27, 0x20 + 11);
  Feed('U', b);
  EXPECT_EQ(c.Field(1057), "9");
  EXPECT_EQ(c.Field(1061), "8");
  EXPECT_EQ(c.Field(1064), "2");
  EXPECT_EQ(c.Field(1132), "11");
  EXPECT_EQ(c.Field(1133), "1");
  EXPECT_EQ(c.Field(1138), "6");
}

TEST_F(Decode, LastStatusOneByteShortOfItsLastPositionIsAnUnknownLetter) {
  c.d.m_nReason = {1, 2, 3, 4, 5, 6, 7};
  c.Type(1057, "keep");
  c.Type(1132, "keep");
  Body b(23);  // positions 4..26: the PICK count at 27 is missing
  b.At(5, 0x21).At(7, 0x20 + 9).At(26, 0x20 + 11);
  Feed('U', b);
  EXPECT_EQ(c.Field(ctl::kMessageArea), " Undefined Command ");
  EXPECT_EQ(c.Field(1057), "keep");
  EXPECT_EQ(c.Field(1132), "keep");
  EXPECT_EQ(c.d.m_nReason[6], 7);
  EXPECT_TRUE(c.w.boxes.empty()) << "not even its error byte is read";
  // One byte more and it decodes.
  Body whole(24);
  whole.At(7, 0x20 + 9).At(27, 0x20 + 11);
  Feed('U', whole);
  EXPECT_EQ(c.Field(1057), "9");
  EXPECT_EQ(c.Field(1132), "11");
}

TEST_F(Decode, NoteLengthsInBothUnits) {
  Feed('_', Body(9).At(5, "00??0:<5"));
  EXPECT_EQ(c.Field(7009), "0");
  EXPECT_EQ(c.Field(7010), "FF");
  EXPECT_EQ(c.Field(7011), "A");
  EXPECT_EQ(c.Field(7012), "C5");
  Dec();
  Feed('_', Body(9).At(5, "00??0:<5"));
  EXPECT_EQ(c.Field(7009), "0");
  EXPECT_EQ(c.Field(7010), "200");
  EXPECT_EQ(c.Field(7011), "8");
  EXPECT_EQ(c.Field(7012), "155");
}

TEST_F(Decode, SensorDiagnosisConvertsOnlyTheLength) {
  Feed('X', Body(5).At(5, 0x20 + 30).At(6, 0x20 + 10).At(7, 0x20 + 12).At(8, 0x20 + 13));
  EXPECT_EQ(c.Field(1119), "1E");
  EXPECT_EQ(c.Field(1120), "A");
  EXPECT_EQ(c.d.Text(1121), "C");
  Dec();
  Feed('X', Body(5).At(5, 0x20 + 30).At(6, 0x20 + 10).At(7, 0x20 + 12).At(8, 0x20 + 13));
  EXPECT_EQ(c.Field(1119), "30");
  EXPECT_EQ(c.Field(1120), "8");
  EXPECT_EQ(c.d.Text(1122), "13");
}

TEST_F(Decode, OpacitiesFollowTheUnitSwitchTypesDoNot) {
  Feed('[', Body(9).At(5, "1:2;3<4="));
  EXPECT_EQ(c.Field(7018), "1A");
  EXPECT_EQ(c.Field(7021), "4D");
  Feed('a', Body(5).At(5, "1:3?"));
  EXPECT_EQ(c.Field(1090), "1");
  EXPECT_EQ(c.Field(1091), "A");
  EXPECT_EQ(c.Field(1113), "F");
  Dec();
  Feed('[', Body(9).At(5, "1:2;3<4="));
  EXPECT_EQ(c.Field(7018), "26");
  Feed(']', Body(5).At(5, "1:3?"));
  EXPECT_EQ(c.Field(1091), "A");
}

TEST_F(Decode, SonarCalibration) {
  Feed('W', Body(5).At(5, 0x20 + 0x40).At(6, 0x20 + 3));
  EXPECT_EQ(c.Field(1452), "40");
  EXPECT_EQ(c.Field(1453), "3");
  ASSERT_EQ(c.w.boxes.size(), 1u);
  EXPECT_EQ(c.w.boxes[0].text, "Calibration O.K.!");
  c.w.boxes.clear();
  Feed('W', Body(5).At(4, 0x20 + 36));
  ASSERT_EQ(c.w.boxes.size(), 1u);
  EXPECT_EQ(c.w.boxes[0].text, "Calibration Fail");
}

TEST_F(Decode, SerialNumberAndSequence) {
  Feed('c', Body(13).At(5, "AB-1234-5678"));
  EXPECT_EQ(c.Field(1201), "AB");
  EXPECT_EQ(c.Field(1204), "1234");
  EXPECT_EQ(c.Field(1205), "5678");
  Feed('g', Body(2).At(5, 0x20 + 77));
  EXPECT_EQ(c.d.m_nSequence, 77);
}

TEST_F(Decode, DiagnosticsFamily) {
  Feed('q', Body(6).At(5, "\"1234"));
  EXPECT_EQ(c.Field(1123), Format("%d", 1 * 4096 + 2 * 256 + 3 * 16 + 4));
  Feed('q', Body(6).At(5, "#1234"));
  EXPECT_EQ(c.Field(1124), "18");
  EXPECT_EQ(c.Field(1125), "52");
  Feed('q', Body(10).At(5, "0AB1201<3"));
  EXPECT_EQ(c.Field(1126), "AB12   01C3");
  Feed('q', Body(10).At(5, "1  <8  2;"));
  EXPECT_EQ(c.Field(ctl::kAddr), "200");
  EXPECT_EQ(c.Field(ctl::kValue), "43");
  c.w.boxes.clear();
  Feed('q', Body(2).At(4, 0x21).At(5, "P"));
  ASSERT_EQ(c.w.boxes.size(), 1u);
  EXPECT_EQ(c.w.boxes[0].text, "JAM CHK to SONAR");
}

TEST_F(Decode, VersionTexts) {
  // "LD", skipped, "1.02", day 27 at 14, month 4 at 13, year 2012 = 0x0C -> "0" "<"
  Body b(13);
  b.At(5, "LDxx1.02").At(13, 0x20 + 4).At(14, 0x20 + 27).At(15, "0<");
  Feed('u', b);
  EXPECT_EQ(c.Field(1449), "LD1.02 27-04-2012\r\n");
  Feed('v', b);
  EXPECT_EQ(c.Field(1450), "LD1.02 27-04-2012\r\n");
}

TEST_F(Decode, DumpAppendsThirtyTwoValuesAndALineEnd) {
  Body b(32);
  b.At(4, 0x20 + 0x1F).At(35, 0x20 + 0xA);
  Feed('w', b);
  const std::string area = c.Field(ctl::kMessageArea);
  EXPECT_EQ(area.substr(0, 4), "1F 0");
  EXPECT_EQ(area.substr(area.size() - 4), "A \r\n");
  int values = 0;
  for (char ch : area) values += ch == ' ';
  EXPECT_EQ(values, 32);
}

TEST_F(Decode, UnknownLettersAndShortFramesChangeNothing) {
  c.Type(1057, "keep");
  for (char letter : {'E', 'O', 'V', 'Y', 'h', 'x', '}', 'A', '\x7F'}) {
    Feed(letter, Body(30));
  }
  // Each decoding too short for its letter: treated as unknown.
  Feed('R', Body(20));
  Feed('P', Body(3));
  Feed('u', Body(5));
  Feed('q', Body(2).At(5, "0"));
  Feed('w', Body(31));
  const std::string area = c.Field(ctl::kMessageArea);
  size_t n = 0;
  for (size_t p = area.find(" Undefined Command "); p != std::string::npos; p = area.find(" Undefined Command ", p + 1)) ++n;
  EXPECT_EQ(n, 14u);
  EXPECT_EQ(c.Field(1057), "keep");
  EXPECT_TRUE(c.w.boxes.empty());
}

TEST_F(Decode, DeviceErrorTextsAndCaptions) {
  struct Row {
    int errorByte;
    const char* text;
    const char* caption;
  };
  const Row rows[] = {
      {0x21, "JAM CHK to SONAR", "Error = 01 "},
      {0xAC, "Note In Reject before Pickup", "Error = 8c "},
      {0xAD, "Unknown Error Code", "Error = 8d "},
      {0x00, "Unknown Error Code", "Error = e0 "},
      {0x34, "Dispensed over the request\tnote", "Error = 14 "},
      {0x3F, "Exit Sensor Off", "Error = 1f "},
      {0x49, "Exit Sensor Off", "Error = 29 "},
      {0x2F, "Reserved Error", "Error = 0f "},
  };
  for (const auto& r : rows) {
    c.w.boxes.clear();
    c.Type(ctl::kMessageArea, "");
    Feed('Z', Body(1).At(4, r.errorByte));
    ASSERT_EQ(c.w.boxes.size(), 1u) << r.errorByte;
    EXPECT_EQ(c.w.boxes[0].text, r.text);
    EXPECT_EQ(c.w.boxes[0].caption, r.caption);
    EXPECT_EQ(c.Field(ctl::kMessageArea), r.caption);
  }
  c.w.boxes.clear();
  Feed('Z', Body(1));
  EXPECT_TRUE(c.w.boxes.empty()) << "a space is no error";
  EXPECT_STREQ(DeviceErrorText(140), "Note In Reject before Pickup");
  EXPECT_STREQ(DeviceErrorText(0), "Normal");
}

TEST_F(Decode, LoaderAnswers) {
  Feed('r', Body(0));
  ASSERT_EQ(c.w.boxes.size(), 1u);
  EXPECT_EQ(c.w.boxes[0].text, "Go Loader O.K.!");
  Feed('t', Body(1));
  EXPECT_EQ(c.w.boxes.back().text, "Verify O.K.!");
  Feed('t', Body(1).At(4, 0x20 + 26));
  EXPECT_EQ(c.w.boxes.back().text, "Verify Error");
}
