// Repeat runs in virtual time, against hand-fed answers and the simulator's model.
#include <unistd.h>

#include <filesystem>

#include "ConsoleHarness.h"
#include "TempDir.h"

using namespace qeld;
using namespace qeld::test;

namespace {

std::string DispenseBody(int d1, int r1, int errorByte = ' ') {
  std::string b(23, ' ');
  b[0] = static_cast<char>(errorByte);
  b[2] = static_cast<char>(0x20 + d1);
  b[3] = static_cast<char>(0x20 + r1);
  return b;
}

struct Runs : ::testing::Test {
  Console c;
  void SetUp() override { c.Connect(95); }
  void Start(const char* repeat, const char* wait, const char* count = "2") {
    c.Type(ctl::kRequest[0], count);
    c.Type(ctl::kRepeat, repeat);
    c.Type(ctl::kWait, wait);
    c.w.Click(1001);
  }
};

}  // namespace

TEST_F(Runs, RepeatThreeSendsThreeRequestsWithAdvancingSequenceBytes) {
  Start("3", "1");
  std::vector<int64_t> answered;
  for (int i = 0; i < 3; ++i) {
    c.w.Advance(100);
    c.Answer('R', DispenseBody(2, 0));
    answered.push_back(c.w.Now());
    c.w.Advance(1000);
  }
  auto frames = c.line.Frames();
  ASSERT_EQ(frames.size(), 3u);
  const int seq[3] = {0x7F, 0x21, 0x22};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(frames[i].size(), 13u);
    EXPECT_EQ(frames[i][10], seq[i]) << i;
    EXPECT_EQ(Bcc(frames[i].data(), 12), frames[i][12]) << "BCC of repetition " << i;
  }
  // Each repetition goes out one wait after the previous answer.
  std::vector<int64_t> sent;
  for (auto& w : c.line.writes)
    if (w.bytes.size() > 1) sent.push_back(w.at);
  EXPECT_EQ(sent[1], answered[0] + 1000);
  EXPECT_EQ(sent[2], answered[1] + 1000);
  EXPECT_EQ(c.d.m_bBusy, 0);
  EXPECT_EQ(c.Field(ctl::kRepeat), "3");
  EXPECT_EQ(c.d.m_nTotalRequested, 6);
  EXPECT_EQ(c.Field(ctl::kTotalRequested), "6");
  EXPECT_EQ(c.Field(ctl::kTotalDispensed), "6");
}

TEST_F(Runs, LogModeFetchesTheLogAfterEveryDispense) {
  TempDir dir("qeld-runs");
  ASSERT_EQ(chdir(dir.path.c_str()), 0);
  c.w.Click(ctl::kLogMode);
  Start("2", "1");
  std::vector<std::string> seen;
  auto step = [&](const char* what) { seen.push_back(what + std::string(" ") + c.Field(ctl::kRepeat)); };
  c.Answer('R', DispenseBody(2, 0));
  step("dispensed");
  EXPECT_EQ(c.w.TimerDue(kTimerLogRequest), c.w.Now() + 2000);
  c.w.Advance(2000);
  EXPECT_EQ(Hex(c.line.Last()), "04 30 02 7E 30 03 7B");
  c.Answer('~', "LOGDATA1");
  step("logged");
  c.w.Advance(1000);
  EXPECT_EQ(c.line.Frames().back().size(), 13u) << "second dispense";
  c.Answer('R', DispenseBody(2, 0));
  step("dispensed");
  c.w.Advance(2000);
  c.Answer('~', "LOGDATA2");
  step("logged");
  EXPECT_EQ(seen, (std::vector<std::string>{"dispensed 2", "logged 1", "dispensed 1", "logged 2"}));
  EXPECT_EQ(c.d.m_bBusy, 0);
  EXPECT_EQ(c.line.Frames().size(), 4u);
  EXPECT_EQ(c.d.m_nTotalRequested, 4);
  EXPECT_EQ(c.Field(ctl::kMessageArea).find("Log data is written.") != std::string::npos, true);
  ASSERT_EQ(chdir("/"), 0);
}

TEST_F(Runs, CancelWhileWaitingLetsOneMoreRequestGo) {
  Start("5", "10");
  c.Answer('R', DispenseBody(2, 0));
  ASSERT_TRUE(c.w.TimerRunning(kTimerRepeat));
  ASSERT_TRUE(c.w.Click(ctl::kCancelRepeat));
  c.w.Advance(10000);
  EXPECT_EQ(c.line.Frames().size(), 2u);
  c.Answer('R', DispenseBody(2, 0));
  c.w.Advance(60000);
  EXPECT_EQ(c.line.Frames().size(), 2u);
  EXPECT_EQ(c.d.m_bBusy, 0);
}

TEST_F(Runs, DeviceErrorOnTheFirstRepetitionEndsTheRun) {
  Start("10", "1");
  c.Answer('R', DispenseBody(1, 0, 0x35));
  ASSERT_EQ(c.w.boxes.size(), 1u);
  EXPECT_EQ(c.w.boxes[0].text, "Run TimeOut");
  EXPECT_EQ(c.d.m_bBusy, 0);
  c.w.Advance(30000);
  EXPECT_EQ(c.line.Frames().size(), 1u);
  EXPECT_EQ(c.Field(ctl::kTotalDispensed), "1") << "the failed response's counts still count";
}

TEST_F(Runs, RunAgainstTheModuleTotalsMatchItsOwnCounts) {
  sim::SimModule module;
  module.SetSequence(95);
  module.CassetteAt(1).notes = 100000;
  c.line.sim = &module;
  Start("2000", "1", "3");
  c.w.Advance(2000LL * 5000);
  EXPECT_EQ(c.d.m_bBusy, 0);
  EXPECT_EQ(c.d.m_nTotalRequested, 2000 * 3);
  int dispensed = 0, rejected = 0;
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(c.d.m_nAccDispensed[i], module.Totals().dispensed[i]) << i;
    EXPECT_EQ(c.d.m_nAccRejected[i], module.Totals().rejected[i]) << i;
    dispensed += module.Totals().dispensed[i];
    rejected += module.Totals().rejected[i];
  }
  EXPECT_EQ(c.d.m_nTotalDispensed, dispensed);
  EXPECT_EQ(c.d.m_nTotalRejected, rejected);
  EXPECT_EQ(c.Field(ctl::kTotalDispensed), std::to_string(dispensed));
  EXPECT_GT(rejected, 0) << "the module rejects now and then";
  EXPECT_EQ(c.line.Frames().size(), 2000u);
}
