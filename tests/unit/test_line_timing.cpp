// Reading qeld-sim's timing records: frames in each direction, the span of a
// download and the ACK turnarounds the benchmark reports.
#include <gtest/gtest.h>

#include <sstream>

#include "LineTiming.h"
#include "SimModule.h"
#include "link/Protocol.h"

using namespace qeld;
using namespace qeld::bench;

namespace {

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : bytes) {
    s += kHex[b >> 4];
    s += kHex[b & 0xF];
  }
  return s;
}

std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> v;
  for (const auto& p : parts) v.insert(v.end(), p.begin(), p.end());
  return v;
}

// A record built line by line: direction, time, bytes.
struct Record {
  std::ostringstream text;
  Record& Add(char direction, int64_t ns, const std::vector<uint8_t>& bytes) {
    text << direction << ' ' << ns << ' ' << Hex(bytes) << '\n';
    return *this;
  }
  std::vector<LineEvent> Parse() {
    std::istringstream in(text.str());
    std::string error;
    auto events = ParseTiming(in, &error);
    EXPECT_TRUE(events) << error;
    return events ? *events : std::vector<LineEvent>{};
  }
};

const std::vector<uint8_t> kAck{ACK};
const std::vector<uint8_t> kNak{NAK};

std::vector<uint8_t> Block(unsigned offset) {
  std::vector<uint8_t> body;
  for (int shift = 16; shift >= 0; shift -= 4) body.push_back(static_cast<uint8_t>('0' + ((offset >> shift) & 0xF)));
  body.insert(body.end(), 2 * kBlockSize, '0');
  return sim::MakeRequest('s', body);
}
const std::vector<uint8_t> kBlockAnswer = sim::MakeResponse('s', {' '});

}  // namespace

TEST(LineTiming, ParseRefusesMalformedLinesWithTheirNumber) {
  const struct {
    const char* text;
    const char* error;  // "" when it parses
  } cases[] = {
      {"> 10 0601\n< 20 06\n= 30 06\n\n", ""},
      {"> 10 0601\nx 20 06\n", "line 2"},
      {"> ten 06\n", "line 1"},
      {"< 10 060\n", "line 1"},
      {"< 10 0G\n", "bad byte"},
  };
  for (const auto& c : cases) {
    std::istringstream in(c.text);
    std::string error;
    const auto events = ParseTiming(in, &error);
    if (*c.error == '\0') {
      ASSERT_TRUE(events) << c.text << error;
      EXPECT_EQ(events->size(), 3u);
      EXPECT_EQ((*events)[0].bytes, (std::vector<uint8_t>{0x06, 0x01}));
      EXPECT_EQ((*events)[2].ns, 30);
    } else {
      EXPECT_FALSE(events) << c.text;
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
  }
}

TEST(LineTiming, FramesAreSplitByTheirStructureNotByLookingForControlBytes) {
  // A request whose check byte is the ACK byte, then a real ACK, a NAK, and
  // a request broken off by a new one.
  std::vector<uint8_t> request = sim::MakeRequest('g', {});
  std::vector<uint8_t> withAckBcc;
  for (uint8_t letter = 0x20; letter < 0x7F; ++letter) {
    withAckBcc = sim::MakeRequest(letter, {});
    if (withAckBcc.back() == ACK) break;
  }
  ASSERT_EQ(withAckBcc.back(), ACK);
  const std::vector<uint8_t> broken = {EOT, '0', STX, 'q', ' '};
  const auto stream = Cat({withAckBcc, kAck, kNak, broken, request});
  const auto frames = SplitFrames(stream, true);
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0].last, withAckBcc.size() - 1);
  EXPECT_EQ(frames[1].letter, ACK);
  EXPECT_EQ(frames[2].letter, NAK);
  EXPECT_EQ(frames[3].letter, 'g');
  EXPECT_EQ(frames[3].first, stream.size() - request.size());

  const auto answers = SplitFrames(Cat({kAck, kBlockAnswer}), false);
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[1].letter, 's');
  EXPECT_EQ(answers[1].last, kBlockAnswer.size());
}

TEST(LineTiming, ADownloadRunsFromItsFirstBlockToTheAckOfItsLastAnswer) {
  // Go Loader first (not part of the download), then two blocks. Paced: the
  // '=' times are the ends of the last byte of each event.
  const int64_t bt = static_cast<int64_t>(kByteNs);
  const auto goLoader = sim::MakeRequest('r', {});
  const auto loaderAnswer = sim::MakeResponse('r', {' '});
  const auto b0 = Block(0), b1 = Block(kBlockSize);
  Record r;
  r.Add('<', 100, goLoader).Add('=', 100 + 6 * bt, goLoader);
  r.Add('>', 200 + 6 * bt, Cat({kAck, loaderAnswer}));
  r.Add('<', 10000000, kAck).Add('=', 10000000 + bt, kAck);
  const int64_t start = 20000000;
  r.Add('<', start, b0);
  r.Add('=', start + 267 * bt, b0);
  r.Add('>', start + 268 * bt, kAck);
  r.Add('>', start + 275 * bt, kBlockAnswer);
  // The console's ACK and its next block read together, handed on in two pieces.
  const int64_t t2 = start + 276 * bt;
  r.Add('<', t2, Cat({kAck, b1}));
  r.Add('=', t2 + 1 * bt, kAck);
  r.Add('=', t2 + 268 * bt, b1);
  r.Add('>', t2 + 269 * bt, kAck);
  r.Add('>', t2 + 276 * bt, kBlockAnswer);
  // The last ACK, handed on together with a later request's first bytes.
  const int64_t t3 = t2 + 277 * bt;
  r.Add('<', t3, kAck);
  r.Add('=', t3 + 3 * bt, {ACK, EOT, '0'});

  std::string error;
  const auto d = FindDownload(r.Parse(), kByteNs, &error);
  ASSERT_TRUE(d) << error;
  EXPECT_EQ(d->blocks, 2);
  EXPECT_EQ(d->startNs, start);
  EXPECT_NEAR(static_cast<double>(d->endNs), static_cast<double>(t3 + bt), 1.0);
  EXPECT_EQ(d->bytesToModule, 2 * (267u + 1u));
  EXPECT_EQ(d->bytesToConsole, 2 * 8u);
  EXPECT_NEAR(d->WallNs() / d->WireNs(), 1.0, 0.01);

  Record unacked;
  unacked.Add('<', 10, b0).Add('=', 10, b0).Add('>', 20, Cat({kAck, kBlockAnswer}));
  EXPECT_FALSE(FindDownload(unacked.Parse(), 0, &error));
  EXPECT_NE(error.find("not acknowledged"), std::string::npos);
  Record none;
  none.Add('<', 10, goLoader).Add('=', 10, goLoader);
  EXPECT_FALSE(FindDownload(none.Parse(), 0, &error));
}

TEST(LineTiming, EachResponseIsTimedToTheAckReadAfterItsLastByte) {
  const auto query = sim::MakeRequest('g', {});
  const auto answer = sim::MakeResponse('g', {'!', ' '});
  Record r;
  // 1: answer written in pieces, ACK 40 us after the last piece.
  r.Add('<', 0, query).Add('>', 1000, Cat({kAck, std::vector<uint8_t>(answer.begin(), answer.end() - 2)}));
  r.Add('>', 5000, {answer.end() - 2, answer.end()});
  r.Add('<', 45000, kAck);
  // 2: a NAK, the answer again, then its ACK together with the next request.
  r.Add('<', 50000, query).Add('>', 51000, Cat({kAck, answer}));
  r.Add('<', 60000, kNak).Add('>', 70000, answer);
  r.Add('<', 70500, Cat({kAck, query}));
  // 3: never acknowledged.
  r.Add('>', 80000, Cat({kAck, answer}));

  const Turnarounds t = AckTurnarounds(r.Parse());
  EXPECT_EQ(t.ns, (std::vector<int64_t>{40000, 500}));
  EXPECT_EQ(t.unanswered, 2);  // the NAKed one and the last
}

TEST(LineTiming, PercentilesByNearestRank) {
  std::vector<int64_t> v;
  for (int i = 100; i >= 1; --i) v.push_back(i);
  EXPECT_EQ(Percentile(v, 50), 50);
  EXPECT_EQ(Percentile(v, 99), 99);
  EXPECT_EQ(Percentile(v, 100), 100);
  EXPECT_EQ(Percentile(v, 0), 1);
  EXPECT_EQ(Percentile({7}, 99), 7);
  EXPECT_EQ(Percentile({}, 50), 0);
}
