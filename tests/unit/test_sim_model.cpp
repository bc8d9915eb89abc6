// The module simulator's model, in-process: exact bytes of requests and answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "SimModule.h"
#include "link/Protocol.h"

using namespace qeld;
using namespace qeld::sim;

namespace {
using Bytes = std::vector<uint8_t>;

// A request as the console builds it: EOT "0" STX letter body ETX BCC.
Bytes Req(const std::string& letterAndBody) {
  Bytes f = {EOT, '0', STX};
  for (char c : letterAndBody) f.push_back(static_cast<uint8_t>(c));
  f.push_back(ETX);
  uint8_t bcc = 0;
  for (uint8_t b : f) bcc ^= b;
  f.push_back(bcc);
  return f;
}

Bytes Flatten(const std::vector<Chunk>& chunks) {
  Bytes out;
  for (const Chunk& c : chunks) out.insert(out.end(), c.bytes.begin(), c.bytes.end());
  return out;
}

// The module's output split the way the console's receiver sees it.
struct Output {
  int acks = 0, naks = 0, noise = 0;
  std::vector<Bytes> frames;
};

Output Parse(const Bytes& bytes) {
  Output o;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == ACK) {
      ++o.acks;
    } else if (bytes[i] == NAK) {
      ++o.naks;
    } else if (bytes[i] == SOH) {
      Bytes f;
      while (i < bytes.size() && bytes[i] != ETX) f.push_back(bytes[i++]);
      if (i < bytes.size()) f.push_back(bytes[i++]);
      if (i < bytes.size()) f.push_back(bytes[i]);
      o.frames.push_back(f);
    } else {
      ++o.noise;
    }
  }
  return o;
}

uint8_t XorAll(const Bytes& f) {
  uint8_t x = 0;
  for (uint8_t b : f) x ^= b;
  return x;
}

// Frame checks that hold for every answer: head, ETX only at the end, BCC.
void ExpectWellFormed(const Bytes& f) {
  ASSERT_GE(f.size(), 6u);
  EXPECT_EQ(f[0], SOH);
  EXPECT_EQ(f[1], '0');
  EXPECT_EQ(f[2], STX);
  EXPECT_EQ(f[f.size() - 2], ETX);
  for (size_t i = 4; i + 2 < f.size(); ++i) {
    EXPECT_GE(f[i], kSpace) << "body byte " << i << " of '" << f[3] << "'";
  }
  EXPECT_EQ(XorAll(f), 0) << "BCC of '" << f[3] << "'";
}

SimOptions Fast(int rejectPermille = 0) {
  SimOptions o;
  o.fast = true;
  o.rejectPermille = rejectPermille;
  return o;
}

// Sends one request; expects ACK and exactly one answer frame.
Bytes Ask(SimModule& m, const Bytes& request) {
  const Output o = Parse(Flatten(m.Receive(request)));
  EXPECT_EQ(o.acks, 1);
  EXPECT_EQ(o.frames.size(), 1u);
  if (o.frames.empty()) return {};
  m.Receive(Bytes{ACK});
  return o.frames[0];
}

std::string Dispense(char letter, int c1, int c2, int c3, int c4, int seq) {
  return std::string{letter, char(0x20 + c1), char(0x20 + c2), char(0x20 + c3), char(0x20 + c4), ' ', ' ',
                     char(0x20 + seq)};
}

// The "s" request body for a block of bytes at an offset.
std::string Block(uint32_t offset, const Bytes& data) {
  std::string s = "s";
  for (int shift = 16; shift >= 0; shift -= 4) s += char(0x30 + ((offset >> shift) & 15));
  for (int i = 0; i < kBlockSize; ++i) {
    const uint8_t b = i < static_cast<int>(data.size()) ? data[i] : 0xFF;
    s += char(0x30 + (b >> 4));
    s += char(0x30 + (b & 15));
  }
  return s;
}

std::string Word(int v) {
  std::string s;
  for (int shift = 12; shift >= 0; shift -= 4) s += char(0x30 + ((v >> shift) & 15));
  return s;
}
}  // namespace

TEST(SimModel, SequenceQueryGetsAckThenItsAnswerByteForByte) {
  SimModule m(Fast());
  m.SetSequence(7);
  const std::vector<Chunk> chunks = m.Receive(Bytes{0x04, 0x30, 0x02, 0x67, 0x03, 0x52});
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].bytes, Bytes{ACK});
  const Bytes body = {0x01, 0x30, 0x02, 0x67, 0x20, 0x27, 0x03};
  Bytes expected = body;
  expected.push_back(XorAll(body));
  EXPECT_EQ(chunks[1].bytes, expected);
  EXPECT_EQ(m.Requests().size(), 1u);
}

TEST(SimModel, BadBccGetsNakAndNoAnswer) {
  SimModule m(Fast());
  EXPECT_EQ(Flatten(m.Receive(Bytes{0x04, 0x30, 0x02, 0x67, 0x03, 0x53})), Bytes{NAK});
  EXPECT_TRUE(m.Requests().empty());
}

TEST(SimModel, RequestInPiecesAmidNoiseIsTheSameRequest) {
  SimModule whole(Fast()), pieces(Fast());
  const Bytes expected = Flatten(whole.Receive(Req("g")));
  Bytes stream = {0x00, 0x41, ACK, EOT, 0x30, 0x99};  // stray bytes and a broken head
  const Bytes g = Req("g");
  stream.insert(stream.end(), g.begin(), g.end());
  Bytes got;
  for (uint8_t b : stream) {
    const Bytes out = Flatten(pieces.Receive(&b, 1));
    got.insert(got.end(), out.begin(), out.end());
  }
  EXPECT_EQ(got, expected);
}

TEST(SimModel, ANewRequestInTheMiddleOfAPartialOneReplacesItWithoutANak) {
  SimModule clean(Fast());
  const Bytes p = Req("P");
  const Bytes expected = Flatten(clean.Receive(p));  // ACK and the status answer
  const Bytes partial = Req("_0000");
  // Cut inside the body, right after the head, and within the head.
  for (size_t cut : {size_t{6}, size_t{3}, size_t{2}, size_t{1}}) {
    SimModule m(Fast());
    Bytes stream(partial.begin(), partial.begin() + static_cast<std::ptrdiff_t>(cut));
    stream.insert(stream.end(), p.begin(), p.end());
    EXPECT_EQ(Flatten(m.Receive(stream)), expected) << "cut after " << cut;
    ASSERT_EQ(m.Requests().size(), 1u) << cut;
    EXPECT_EQ(m.Requests()[0], p) << cut;
  }
}

TEST(SimModel, NearEndBitIsSetAtTheNearEndLevelAndClearOneAbove) {
  SimModule m(Fast());
  ASSERT_EQ(m.Control("cassette 2 nearend 30"), "ok");
  auto nearEnd = [&](int notes) {
    m.CassetteAt(2).notes = notes;
    const Bytes f = Ask(m, Req("P"));
    return f.size() > 11 && (f[11] & 0x08) != 0;
  };
  EXPECT_TRUE(nearEnd(30));
  EXPECT_FALSE(nearEnd(31));
  EXPECT_TRUE(nearEnd(29));
}

struct CommandRow {
  int number;
  std::vector<std::string> setup;  // requests sent first
  std::string request;             // letter and body
  char letter;                     // letter of the answer
  int lastPos;                     // last frame position the console reads
  int errorPos;                    // 0: no error byte
};

class EveryCommand : public ::testing::TestWithParam<CommandRow> {};

TEST_P(EveryCommand, GetsAWellFormedAnswerOfItsLetter) {
  const CommandRow& row = GetParam();
  SimModule m(Fast());
  for (const std::string& s : row.setup) Ask(m, Req(s));
  const Bytes f = Ask(m, Req(row.request));
  ASSERT_FALSE(f.empty());
  ExpectWellFormed(f);
  EXPECT_EQ(f[3], static_cast<uint8_t>(row.letter));
  EXPECT_GE(static_cast<int>(f.size()), row.lastPos + 3) << "answer shorter than the console reads";
  if (row.errorPos != 0) {
    EXPECT_EQ(f[row.errorPos], kSpace) << "unexpected device error";
  }
  if (row.letter == 'q') {
    EXPECT_EQ(f[5], static_cast<uint8_t>(row.request[1])) << "sub-letter echo";
  }
}

const int kErasedHexSum = (kHexImageLength * 0xFF) & 0xFFFF;

INSTANTIATE_TEST_SUITE_P(
    SimModel, EveryCommand,
    ::testing::Values(
        CommandRow{1, {}, Dispense('R', 1, 0, 0, 0, 1), 'R', 26, 4},
        CommandRow{2, {}, "Q", 'Q', 17, 4},
        CommandRow{3, {}, Dispense('S', 0, 2, 0, 0, 5), 'S', 26, 4},
        CommandRow{4, {Dispense('R', 1, 1, 1, 1, 1)}, "U", 'U', 27, 5},
        CommandRow{5, {}, Dispense('p', 2, 2, 0, 0, 95), 'p', 26, 4},
        CommandRow{6, {}, "P", 'P', 22, 4},
        CommandRow{7, {}, "[", '[', 12, 0},
        CommandRow{8, {}, "Z50585060", 'Z', 4, 4},
        CommandRow{11, {}, "X1", 'X', 8, 4},
        CommandRow{12, {}, "q    ", 'q', 5, 4},
        CommandRow{13, {}, "q!!  ", 'q', 5, 4},
        CommandRow{14, {}, "q\"   ", 'q', 9, 4},
        CommandRow{15, {}, "q#   ", 'q', 9, 4},
        CommandRow{16, {}, "q0   ", 'q', 13, 4},
        CommandRow{17, {}, "_", '_', 12, 0},
        CommandRow{18, {}, "^<6000000", '^', 4, 4},
        CommandRow{19, {"g"}, "~0", '~', 4, 0},
        CommandRow{20, {}, "r", 'r', 3, 0},
        CommandRow{21, {"r"}, Block(0, {}), 's', 4, 4},
        CommandRow{22, {"r"}, "t" + Word(kErasedHexSum), 't', 4, 4},
        CommandRow{23, {}, "D", 'D', 3, 0},
        CommandRow{25, {}, "q1%  ", 'q', 13, 4},
        CommandRow{26, {}, "q2%,(", 'q', 13, 4},
        CommandRow{27, {}, "q@   ", 'q', 5, 4},
        CommandRow{28, {}, "qP   ", 'q', 5, 4},
        CommandRow{29, {}, Dispense('T', 0, 0, 3, 1, 40), 'T', 26, 4},
        CommandRow{30, {}, "c", 'c', 16, 0},
        CommandRow{31, {}, "bAB-1234-5678", 'b', 3, 0},
        CommandRow{36, {}, "g", 'g', 5, 0},
        CommandRow{37, {}, "u", 'u', 16, 0},
        CommandRow{38, {}, "v", 'v', 16, 0},
        CommandRow{39, {}, "W4", 'W', 8, 4},
        CommandRow{41, {}, "q5%  ", 'q', 13, 4},
        CommandRow{42, {}, "q6%,(", 'q', 13, 4}),
    [](const ::testing::TestParamInfo<CommandRow>& info) { return "Command" + std::to_string(info.param.number); });

TEST(SimModel, DispenseTakesNotesAdvancesTheSequenceAndReportsByPosition) {
  SimModule m(Fast());
  const int before1 = m.CassetteAt(1).notes;
  const Bytes f = Ask(m, Req(Dispense('R', 3, 2, 0, 0, 94)));
  ExpectWellFormed(f);
  EXPECT_EQ(f[4], kSpace);
  EXPECT_EQ(f[5], 0x20 + 94) << "sequence byte echoed";
  EXPECT_EQ(f[6], 0x23);  // cassette 1 dispensed
  EXPECT_EQ(f[7], 0x20);  // cassette 1 rejected
  EXPECT_EQ(f[9], 0x22);  // cassette 2 dispensed
  EXPECT_EQ(f[12], 0x20);
  for (int pos : {19, 20, 21, 22, 23, 24, 26}) EXPECT_EQ(f[pos], kSpace) << pos;
  EXPECT_EQ(m.CassetteAt(1).notes, before1 - 3);
  EXPECT_EQ(m.Totals().dispensed[1], 2);
  EXPECT_EQ(m.Sequence(), 95);

  Ask(m, Req(Dispense('R', 1, 0, 0, 0, 95)));
  EXPECT_EQ(m.Sequence(), 1) << "95 is followed by 1";

  // The same frame again is a repetition after a lost ACK: same answer, no notes.
  const int notes = m.CassetteAt(1).notes;
  const Bytes again = Ask(m, Req(Dispense('R', 1, 0, 0, 0, 95)));
  EXPECT_EQ(m.CassetteAt(1).notes, notes);
  EXPECT_EQ(again[6], 0x21);
}

struct ErrorRow {
  const char* name;
  const char* control;  // a line command that sets the module up
  std::string request;
  int errorPos;
  int code;
};

class DeviceErrors : public ::testing::TestWithParam<ErrorRow> {};

TEST_P(DeviceErrors, AreReportedAtTheErrorPosition) {
  const ErrorRow& row = GetParam();
  SimModule m(Fast());
  if (*row.control) {
    ASSERT_EQ(m.Control(row.control), "ok");
  }
  const Bytes f = Ask(m, Req(row.request));
  ASSERT_FALSE(f.empty());
  ExpectWellFormed(f);
  EXPECT_EQ(f[row.errorPos], 0x20 + row.code);
}

INSTANTIATE_TEST_SUITE_P(
    SimModel, DeviceErrors,
    ::testing::Values(
        ErrorRow{"MissingCassette2", "cassette 2 present 0", Dispense('R', 1, 1, 0, 0, 3), 4, 89},
        ErrorRow{"EmptyCassette3", "cassette 3 notes 0", Dispense('T', 0, 0, 1, 0, 3), 4, 82},
        ErrorRow{"SequenceByteOutOfRange", "", Dispense('R', 1, 0, 0, 0, 96), 4, 29},
        ErrorRow{"CountAbove100", "", Dispense('R', 101, 0, 0, 0, 1), 4, 23},
        ErrorRow{"DiagnosisOfMissingCassette", "cassette 4 present 0", "X4", 4, 91},
        ErrorRow{"BlockOutsideTheLoader", "", Block(0, {}), 4, 24},
        ErrorRow{"UnknownSubCommand", "", "q$   ", 4, 22},
        ErrorRow{"ValueAddressAbove23", "", "q18  ", 4, 23},
        ErrorRow{"SensorAddressAbove25", "", "q5:  ", 4, 23},
        ErrorRow{"InjectedOnStatus", "fault error 0x21", "P", 4, 0x21},
        ErrorRow{"InjectedOnLastStatus", "fault error 7", "U", 5, 7},
        ErrorRow{"UnknownLetter", "", "h", 4, 22}),
    [](const ::testing::TestParamInfo<ErrorRow>& info) { return info.param.name; });

TEST(SimModel, ADispenseStoppedByAnEmptyCassetteKeepsWhatItDispensed) {
  SimModule m(Fast());
  ASSERT_EQ(m.Control("cassette 1 notes 2"), "ok");
  const Bytes f = Ask(m, Req(Dispense('R', 5, 1, 0, 0, 1)));
  EXPECT_EQ(f[4], 0x20 + 80);
  EXPECT_EQ(f[6], 0x22);
  EXPECT_EQ(f[9], 0x20) << "cassettes after the failing one are not touched";
  EXPECT_EQ(m.CassetteAt(1).notes, 0);
}

TEST(SimModel, RejectionsAreDeterministicAndExplainedByReasons) {
  SimOptions o = Fast(1000);  // every note rejected
  SimModule a(o), b(o);
  const Bytes fa = Ask(a, Req(Dispense('R', 10, 10, 10, 0, 1)));
  EXPECT_EQ(fa, Ask(b, Req(Dispense('R', 10, 10, 10, 0, 1))));
  EXPECT_EQ(fa[4], 0x20 + 13) << "Over Reject";
  int rejected = 0, reasons = 0;
  for (int n = 0; n < 4; ++n) rejected += fa[7 + 3 * n] - 0x20;
  for (int pos : {19, 20, 21, 22, 23, 24, 26}) reasons += fa[pos] - 0x20;
  EXPECT_EQ(rejected, kMaxRejectsPerDispense);
  EXPECT_EQ(reasons, rejected);
  EXPECT_EQ(fa[21], kSpace) << "FSNR never happens by chance";
  EXPECT_EQ(a.Totals().rejectTray, rejected);
}

TEST(SimModel, FirmwareDownloadWritesBlocksInOrderOnly) {
  SimModule m(Fast());
  Ask(m, Req("r"));
  ASSERT_TRUE(m.LoaderMode());
  Bytes image(3 * kBlockSize);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
  for (uint32_t off = 0; off < image.size(); off += kBlockSize) {
    const Bytes block(image.begin() + off, image.begin() + off + kBlockSize);
    EXPECT_EQ(Ask(m, Req(Block(off, block)))[4], kSpace) << off;
  }
  EXPECT_TRUE(std::equal(image.begin(), image.end(), m.Flash().begin()));
  EXPECT_EQ(m.Flash()[image.size()], 0xFF);

  EXPECT_EQ(Ask(m, Req(Block(5 * kBlockSize, {})))[4], 0x20 + 24) << "skipped a block";
  EXPECT_EQ(Ask(m, Req(Block(kBlockSize, {})))[4], 0x20 + 24) << "went back";
  EXPECT_EQ(Ask(m, Req(Block(0, {1, 2, 3})))[4], kSpace) << "offset 0 starts over";
  EXPECT_EQ(m.Flash()[kBlockSize], 0xFF) << "starting over erases";
}

TEST(SimModel, BlocksBeyondTheFlashAreWriteErrors) {
  SimModule m(Fast());
  Ask(m, Req("r"));
  for (uint32_t off = 0; off < kImageSize; off += kBlockSize) m.Receive(Req(Block(off, {})));
  EXPECT_EQ(Ask(m, Req(Block(kImageSize, {})))[4], 0x20 + 25);
}

TEST(SimModel, VerifyAcceptsEitherImageSumAndResetNamesTheNewFirmware) {
  SimModule m(Fast());
  Ask(m, Req("r"));
  const std::string tag = "FWVER:3.01";
  Ask(m, Req(Block(0, Bytes(tag.begin(), tag.end()))));
  uint32_t hexSum = 0, binSum = 0;
  for (int i = 0; i < kBinVerifyLength; ++i) (i < kHexImageLength ? hexSum : binSum) += m.Flash()[i];
  binSum += hexSum;
  EXPECT_EQ(Ask(m, Req("t" + Word(hexSum & 0xFFFF)))[4], kSpace);
  EXPECT_EQ(Ask(m, Req("t" + Word(binSum & 0xFFFF)))[4], kSpace);
  EXPECT_EQ(Ask(m, Req("t" + Word((hexSum + 1) & 0xFFFF)))[4], 0x20 + 26);

  EXPECT_EQ(Ask(m, Req(Dispense('R', 1, 0, 0, 0, 1)))[4], 0x20 + 22) << "the loader does not dispense";
  Ask(m, Req("D"));
  EXPECT_FALSE(m.LoaderMode());
  const Bytes v = Ask(m, Req("v"));
  EXPECT_EQ(std::string(v.begin() + 9, v.begin() + 13), "3.01");
}

TEST(SimModel, NakRepeatsTheAnswerAtMostThreeTimes) {
  SimModule m(Fast());
  const Output first = Parse(Flatten(m.Receive(Req("g"))));
  ASSERT_EQ(first.frames.size(), 1u);
  for (int i = 0; i < kMaxResends; ++i) EXPECT_EQ(Flatten(m.Receive(Bytes{NAK})), first.frames[0]) << i;
  EXPECT_TRUE(m.Receive(Bytes{NAK}).empty());
}

TEST(SimModel, FaultsChangeTheAnswerAsNamed) {
  SimModule m(Fast());
  ASSERT_EQ(m.Control("fault drop-ack 2"), "ok");
  EXPECT_TRUE(m.Receive(Req("g")).empty());
  EXPECT_TRUE(m.Receive(Req("g")).empty());
  EXPECT_EQ(Parse(Flatten(m.Receive(Req("g")))).acks, 1);

  ASSERT_EQ(m.Control("fault corrupt-bcc"), "ok");
  Output o = Parse(Flatten(m.Receive(Req("g"))));
  ASSERT_EQ(o.frames.size(), 1u);
  EXPECT_NE(XorAll(o.frames[0]), 0);
  EXPECT_EQ(XorAll(Flatten(m.Receive(Bytes{NAK}))), 0) << "the resend is sound";

  ASSERT_EQ(m.Control("fault byte-gap 5"), "ok");
  std::vector<Chunk> chunks = m.Receive(Req("g"));
  ASSERT_EQ(chunks.size(), 1u + 8u);
  for (size_t i = 2; i < chunks.size(); ++i) EXPECT_EQ(chunks[i].delayMs, 5);
  for (size_t i = 1; i < chunks.size(); ++i) EXPECT_EQ(chunks[i].bytes.size(), 1u);

  ASSERT_EQ(m.Control("fault noise 40"), "ok");
  o = Parse(Flatten(m.Receive(Req("g"))));
  EXPECT_EQ(o.noise, 40);
  EXPECT_EQ(o.acks, 1);
  EXPECT_EQ(o.frames.size(), 1u);
  ASSERT_EQ(m.Control("fault noise 0"), "ok");

  ASSERT_EQ(m.Control("fault late 700"), "ok");
  chunks = m.Receive(Req("g"));
  EXPECT_EQ(chunks.back().delayMs, 700);
  ASSERT_EQ(m.Control("fault late 0"), "ok");

  ASSERT_EQ(m.Control("fault silent"), "ok");
  EXPECT_TRUE(m.Receive(Req("g")).empty());
  EXPECT_TRUE(m.Receive(Bytes{EOT, '0', STX, 'g', ETX, 0}).empty()) << "not even NAK";
  ASSERT_EQ(m.Control("fault clear"), "ok");

  ASSERT_EQ(m.Control("fault fsnr 1"), "ok");
  EXPECT_EQ(Ask(m, Req(Dispense('R', 2, 0, 0, 0, 9)))[21], 0x21);
  EXPECT_EQ(Ask(m, Req(Dispense('R', 2, 0, 0, 0, 10)))[21], kSpace);

  ASSERT_EQ(m.Control("fault vanish"), "ok");
  chunks = m.Receive(Req("P"));
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].bytes, Bytes{ACK});
  EXPECT_TRUE(chunks[1].vanish);
  EXPECT_TRUE(chunks[1].bytes.empty());
}

TEST(SimModel, InjectedDispenseErrorLeavesANoteForThePurge) {
  SimModule m(Fast());
  ASSERT_EQ(m.Control("fault error 5"), "ok");
  EXPECT_TRUE(Parse(Flatten(m.Receive(Req("g")))).frames.size() == 1) << "g carries no error byte";
  const Bytes f = Ask(m, Req(Dispense('R', 3, 0, 0, 0, 1)));
  EXPECT_EQ(f[4], 0x25);
  EXPECT_EQ(f[6], 0x22);
  EXPECT_EQ(Ask(m, Req("P"))[7] & 0x02, 0x02) << "CHK sees the note";
  const Bytes q = Ask(m, Req("Q"));
  EXPECT_EQ(q[7], 0x21);
  EXPECT_EQ(m.Totals().rejected[0], 1);
}

TEST(SimModel, SettingsAndValuesRoundTrip) {
  SimModule m(Fast());
  Ask(m, Req("Z?0<5:;12"));  // 0xF0 0xC5 0xAB 0x12
  Bytes f = Ask(m, Req("["));
  EXPECT_EQ(std::string(f.begin() + 5, f.begin() + 13), "?0<5:;12");
  EXPECT_EQ(Ask(m, Req("P"))[9], 0xFF) << "opacity 0xF0 is the largest space-offset value";
  Ask(m, Req("^<6000000"));
  f = Ask(m, Req("_"));
  EXPECT_EQ(std::string(f.begin() + 5, f.begin() + 13), "<6000000");

  f = Ask(m, Req("q2%,("));  // address 5, value 0xC8
  EXPECT_EQ(std::string(f.begin() + 8, f.begin() + 10), "05");
  EXPECT_EQ(std::string(f.begin() + 12, f.begin() + 14), "<8");
  EXPECT_EQ(m.Memory(5), 200);
  Ask(m, Req("q69!\""));  // sensor 25 = 0x12
  EXPECT_EQ(m.SensorValue(25), 0x12);
  Ask(m, Req("q@   "));
  EXPECT_NE(m.Memory(5), 200) << "initialise restores the factory values";

  Ask(m, Req("bZY-0001-0002"));
  f = Ask(m, Req("c"));
  EXPECT_EQ(std::string(f.begin() + 5, f.begin() + 17), "ZY-0001-0002");
  Ask(m, Req("bZY-01"));
  EXPECT_EQ(m.Serial(), "ZY-0001-0002") << "a partial serial is not stored";
}

TEST(SimModel, LogGrowsByOneRecordPerOperation) {
  SimModule m(Fast());
  Ask(m, Req("g"));
  Ask(m, Req(Dispense('R', 2, 0, 0, 0, 1)));
  Bytes f = Ask(m, Req("~0"));
  ExpectWellFormed(f);
  const std::string text(f.begin() + 4, f.end() - 2);
  EXPECT_EQ(text.size(), 2u * kLogRecordSize);
  EXPECT_EQ(text.substr(kLogRecordSize, 14), "0001R 01 02000");
  for (int i = 0; i < kLogRecords + 5; ++i) Ask(m, Req("P"));
  f = Ask(m, Req("~0"));
  EXPECT_EQ(f.size() - 6, static_cast<size_t>(kLogRecords * kLogRecordSize));
}

TEST(SimModel, LineCommandsRefuseBadSettings) {
  SimModule m(Fast());
  for (const char* bad : {"fault nope", "fault late", "fault error 227", "fault error 0", "fault drop-ack x",
                          "cassette 5 notes 1", "cassette 1 colour 3", "sequence 96", "frobnicate", ""}) {
    EXPECT_EQ(m.Control(bad).rfind("error: ", 0), 0u) << bad;
  }
  const std::string s = m.Control("status");
  for (const char* key : {"seq=1 ", "notes4=", "dispensed1=0", "sum40960=", "sum131072=", "fw=2.10"}) {
    EXPECT_NE(s.find(key), std::string::npos) << key;
  }
}

TEST(SimModel, AnyBytesFromTheLineGiveOnlySoundAnswers) {
  std::mt19937 rng(12345);
  SimModule m(Fast(100));
  Bytes out;
  for (int round = 0; round < 3000; ++round) {
    Bytes in;
    if (round % 2 == 0) {  // noise
      for (int i = static_cast<int>(rng() % 40); i > 0; --i) in.push_back(static_cast<uint8_t>(rng()));
    } else {  // a well-formed frame of any letter and body
      std::string body(1, static_cast<char>(rng() % 0x80));
      for (int i = static_cast<int>(rng() % 20); i > 0; --i) body += static_cast<char>(0x20 + rng() % 0x60);
      if (rng() % 10 == 0) body = Block(static_cast<uint32_t>(rng() % 8) * kBlockSize, {});
      std::replace(body.begin(), body.end(), char(ETX), ' ');
      std::replace(body.begin(), body.end(), char(EOT), ' ');
      in = Req(body);
    }
    const Bytes o = Flatten(m.Receive(in));
    out.insert(out.end(), o.begin(), o.end());
  }
  const Output parsed = Parse(out);
  EXPECT_GT(parsed.frames.size(), 1000u);
  for (const Bytes& f : parsed.frames) ExpectWellFormed(f);
}

// "drop-ack 4" must swallow the console's request and its three resends
// however the pseudo-terminal cuts them into reads: one request is counted
// once, whether it comes whole, byte by byte, split across reads, glued to
// the next one, or after a torn frame the console started over from.
TEST(SimModel, FourDroppedRequestsStayDroppedHoweverTheLineCutsThem) {
  const Bytes query = Req("g");
  Bytes four;
  for (int i = 0; i < 4; ++i) four.insert(four.end(), query.begin(), query.end());
  auto check = [&](const std::vector<Bytes>& reads, const std::string& how) {
    SimModule m(Fast());
    ASSERT_EQ(m.Control("fault drop-ack 4"), "ok");
    for (const Bytes& r : reads) EXPECT_TRUE(m.Receive(r).empty()) << how;
    EXPECT_EQ(m.Requests().size(), 4u) << how;
    const Output fifth = Parse(Flatten(m.Receive(query)));
    EXPECT_EQ(fifth.acks, 1) << how;
    EXPECT_EQ(fifth.frames.size(), 1u) << how;
  };
  // Every cut into three reads (two cut points, empty pieces included).
  for (size_t a = 0; a <= four.size(); ++a)
    for (size_t b = a; b <= four.size(); ++b)
      check({Bytes(four.begin(), four.begin() + a), Bytes(four.begin() + a, four.begin() + b),
             Bytes(four.begin() + b, four.end())},
            "cut at " + std::to_string(a) + " and " + std::to_string(b));
  std::vector<Bytes> single;
  for (uint8_t b : four) single.push_back({b});
  check(single, "byte by byte");
  // A frame torn off by a restart, and stray bytes on the line between
  // frames, count for nothing.
  Bytes noisy = {0x00, 0xFF, EOT, '0', STX, 'g'};
  for (int i = 0; i < 4; ++i) {
    noisy.insert(noisy.end(), query.begin(), query.end());
    noisy.insert(noisy.end(), {ACK, 0x30, EOT, EOT});
  }
  noisy.push_back(EOT);  // left hanging: the fifth request starts over from it
  check({noisy}, "torn frames and stray bytes");
}
