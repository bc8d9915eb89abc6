// Enable rules, the unit switch, admin mode, field resets and the buttons.
#include <unistd.h>

#include "ConsoleHarness.h"
#include "TempDir.h"

using namespace qeld;
using namespace qeld::test;

namespace {

constexpr int kAdminOnly[] = {1007, 1008, 1199, 1451, 7001, 7018, 7019, 7020, 7021};

struct Page : ::testing::Test {
  Console c;
  // Every row's enabled state against an expectation per row.
  template <class F>
  void ExpectEnabled(F expected, const char* state) {
    c.w.Advance(350);  // the refresh rule holds from the first poll tick on
    for (const PageLayoutEntry* e = PageLayoutTable; e->page != kEndPage; ++e)
      EXPECT_EQ(c.w.IsEnabled(e->id), expected(*e)) << state << ": control " << e->id;
  }
  void Admin() {
    c.w.passwordScript.push_back("tuzf");
    c.w.Click(ctl::kAdminMode);
  }
};

bool IsAdmin(int id) {
  for (int a : kAdminOnly)
    if (a == id) return true;
  return false;
}

}  // namespace

TEST_F(Page, EnableRulesInEveryState) {
  ExpectEnabled([](const PageLayoutEntry&) { return false; }, "not connected");

  c.Connect();
  ExpectEnabled(
      [](const PageLayoutEntry& e) { return e.operable == 1 && !IsAdmin(e.id) && e.id != ctl::kCancelRepeat; },
      "connected, idle");
  EXPECT_FALSE(c.w.IsEnabled(1009));
  EXPECT_FALSE(c.w.IsEnabled(1123));

  c.Send(6);
  ExpectEnabled(
      [](const PageLayoutEntry& e) { return e.id == ctl::kCancelRepeat || e.id == ctl::kDownloadFrame; }, "busy");
  c.Answer('P', std::string(19, ' '));

  Admin();
  ExpectEnabled([](const PageLayoutEntry& e) { return e.operable == 1 && e.id != ctl::kCancelRepeat; },
                "admin, idle");

  c.d.m_bDownloading = 1;
  c.d.m_bBusy = 1;
  ExpectEnabled([](const PageLayoutEntry& e) { return e.id == ctl::kDownloadFrame; }, "downloading");

  // And back: every row follows the flags both ways.
  c.d.m_bDownloading = 0;
  c.d.m_bBusy = 0;
  ExpectEnabled([](const PageLayoutEntry& e) { return e.operable == 1 && e.id != ctl::kCancelRepeat; },
                "admin, idle again");
  c.d.m_bConnected = 0;
  ExpectEnabled([](const PageLayoutEntry&) { return false; }, "connection lost");

  for (int id : {ctl::kOpen, ctl::kExit, ctl::kAdminMode, ctl::kPortCombo}) EXPECT_TRUE(c.w.IsEnabled(id)) << id;
}

TEST_F(Page, AdminMode) {
  c.Connect();
  // Esc in the password prompt, a wrong case, then the right password.
  c.w.passwordScript.push_back(std::nullopt);
  c.w.Click(ctl::kAdminMode);
  EXPECT_EQ(c.w.boxes.back().text, "  Wrong password !! ");
  EXPECT_EQ(c.w.passwordMaxLen, 20);
  c.w.passwordScript.push_back("TUZF");
  c.w.Click(ctl::kAdminMode);
  EXPECT_EQ(c.w.boxes.back().text, "  Wrong password !! ");
  EXPECT_EQ(c.d.m_bAdminMode, 0);
  c.w.passwordScript.push_back("tuzf");
  c.Type(1035, "7");
  c.w.Click(ctl::kAdminMode);
  EXPECT_EQ(c.w.boxes.back().text, "  Admin mode started. ");
  EXPECT_EQ(c.w.boxes.back().caption, kAppName);
  EXPECT_EQ(c.d.m_bAdminMode, 1);
  EXPECT_EQ(c.Field(1035), "") << "ShowPage resets the fields to their captions";
  for (int id : kAdminOnly) EXPECT_TRUE(c.w.IsEnabled(id)) << id;
  c.Type(1035, "7");
  c.w.Click(ctl::kAdminMode);
  EXPECT_EQ(c.w.boxes.back().text, "  Already in Admin mode. ");
  EXPECT_EQ(c.Field(1035), "");
  // A password longer than 20 characters cannot be typed in full.
  Console k;
  k.w.passwordScript.push_back("tuzf" + std::string(30, 'x'));
  k.w.Click(ctl::kAdminMode);
  EXPECT_EQ(k.w.boxes.back().text, "  Wrong password !! ");
}

TEST_F(Page, AdminBeforeConnectingEnablesOnlyAfterOpen) {
  Admin();
  for (int id : kAdminOnly) EXPECT_FALSE(c.w.IsEnabled(id));
  c.Connect();
  c.w.Advance(150);
  for (int id : kAdminOnly) EXPECT_TRUE(c.w.IsEnabled(id)) << id;
}

TEST_F(Page, UnitSwitchConvertsTheFourteenFields) {
  c.Connect();
  Admin();
  c.Type(7009, "3E8");
  c.Type(1120, "3E8");
  c.Type(1125, "0");
  c.Type(7018, "1F");
  c.Type(1452, "A");
  c.w.Advance(300);  // the poll ticks every 100 ms from here on
  ASSERT_TRUE(c.w.Click(ctl::kUnitDec));
  c.w.Advance(100);
  EXPECT_EQ(c.d.m_bHexSlit, 0) << "the flag changes on the next tick";
  EXPECT_EQ(c.Field(7009), "3E8");
  c.w.Advance(100);
  EXPECT_EQ(c.Field(7009), "785");
  EXPECT_EQ(c.Field(1120), "785");
  EXPECT_EQ(c.Field(1125), "") << "a field that reads 0 is emptied";
  EXPECT_EQ(c.Field(7018), "31");
  EXPECT_EQ(c.Field(1452), "10");
  c.Type(1125, "785");
  ASSERT_TRUE(c.w.Click(ctl::kUnitHex));
  c.w.Advance(200);
  EXPECT_EQ(c.Field(7009), "3E8");
  EXPECT_EQ(c.Field(1125), "3E8");  // 785 * 1000 / 785
  EXPECT_EQ(c.Field(7018), "1F");
  ASSERT_TRUE(c.w.Click(ctl::kUnitDec));
  c.w.Advance(200);
  EXPECT_EQ(c.Field(1125), "1000");
  // Back and forth within one tick leaves the fields as they were.
  ASSERT_TRUE(c.w.Click(ctl::kUnitHex));
  ASSERT_TRUE(c.w.Click(ctl::kUnitDec));
  c.w.Advance(300);
  EXPECT_EQ(c.Field(7009), "785");
}

TEST_F(Page, ClearFieldsAndInitValues) {
  c.Connect();
  c.Type(1035, "5");
  c.Type(ctl::kMessageArea, "old");
  c.Type(1201, "AB");
  c.Type(ctl::kRepeat, "9");
  c.w.Click(1044);
  c.d.m_nProgress = 120;
  c.d.m_nTotalRequested = 17;
  c.w.Click(ctl::kClearFields);
  EXPECT_EQ(c.Field(1035), "");
  EXPECT_EQ(c.Field(ctl::kMessageArea), "");
  EXPECT_EQ(c.Field(1201), "");
  EXPECT_EQ(c.Field(ctl::kRepeat), "1");
  EXPECT_EQ(c.Field(ctl::kWait), "1");
  EXPECT_EQ(c.Field(ctl::kTotalRequested), "0");
  EXPECT_EQ(c.w.GetCheck(1044), 1) << "the cassette selection stays";
  EXPECT_EQ(c.w.GetProgressPos(ctl::kProgress), 0);
  // The next request that starts no run shows the old totals again.
  c.Send(4);
  EXPECT_EQ(c.Field(ctl::kTotalRequested), "17");
  c.Answer('U', std::string(24, ' '));

  Admin();
  c.Type(7018, "12");
  c.Type(1086, "3");
  c.line.writes.clear();
  c.w.boxScript.push_back({IDNO, 0});
  c.w.Click(ctl::kInitValues);
  EXPECT_EQ(c.w.boxes.back().text, "Do you really want to initialize all values?");
  EXPECT_TRUE(c.line.writes.empty());
  EXPECT_EQ(c.Field(7018), "12");
  c.w.boxScript.push_back({IDYES, 0});
  c.w.Click(ctl::kInitValues);
  EXPECT_EQ(c.Field(7018), "");
  EXPECT_EQ(c.Field(1086), "");
  EXPECT_EQ(Hex(c.line.Last()), "04 30 02 71 40 20 20 20 03 24");
}

TEST_F(Page, EveryButtonSendsItsCommandAndNothingWhileBusy) {
  struct Row {
    int id;
    char letter;
    char sub;
  };
  const Row rows[] = {
      {1001, 'R', 0},   {1002, 'Q', 0},   {1003, 'S', 0},   {1004, 'U', 0},   {1005, 'p', 0},
      {1006, 'P', 0},   {1007, '[', 0},   {1008, 'Z', 0},   {1011, 'X', 0},   {1012, 'q', ' '},
      {1013, 'q', '!'}, {1014, 'q', '"'}, {1015, 'q', '#'}, {1016, 'q', '0'}, {1017, '_', 0},
      {1018, '^', 0},   {1019, '~', 0},   {7002, 'q', 'P'}, {7003, 'q', '2'}, {7004, 'q', '1'},
      {7027, 'q', '5'}, {7028, 'q', '6'}, {1170, 'r', 0},   {1172, 't', 0},   {1173, 'D', 0},
      {1198, 'c', 0},   {1199, 'b', 0},   {1447, 'u', 0},   {1448, 'v', 0},   {1451, 'W', 0},
  };
  TempDir dir("qeld-btn");
  ASSERT_EQ(chdir(dir.path.c_str()), 0);
  for (const auto& r : rows) {
    Console k;
    k.Connect();
    k.w.passwordScript.push_back("tuzf");
    k.w.Click(ctl::kAdminMode);
    ASSERT_TRUE(k.w.Click(r.id)) << r.id;
    ASSERT_EQ(k.line.Frames().size(), 1u) << r.id;
    EXPECT_EQ(k.line.Last()[3], r.letter) << r.id;
    if (r.sub) {
      EXPECT_EQ(k.line.Last()[4], r.sub) << r.id;
    }
    // While busy the handler itself ignores the click.
    k.d.m_bBusy = 1;
    k.d.OnButton(r.id);
    if (r.id == 1019) k.d.OnLogData();
    EXPECT_EQ(k.line.Frames().size(), 1u) << r.id;
  }
  // "Ignore Cash-out" turns DISPENSE into T.
  Console k;
  k.Connect();
  k.w.Click(ctl::kIgnoreCashOut);
  k.w.Click(1001);
  EXPECT_EQ(k.line.Last()[3], 'T');
  ASSERT_EQ(chdir("/"), 0);
}
