// qeld-run's script parser and reports: what a technician's slip gets back,
// and that the vocabulary stays in step with the window's buttons.
#include <gtest/gtest.h>

#include <set>

#include "app/Controls.h"
#include "runner/Report.h"
#include "runner/Runner.h"
#include "runner/Script.h"

using namespace qeld;
using namespace qeld::run;

namespace {

std::optional<ScriptError> Parse(const std::string& text, Script* s = nullptr) {
  Script local;
  return ParseScript(text, s ? s : &local);
}

const std::string kHead = "port 1\nopen\n";

}  // namespace

TEST(ScriptVocabulary, EveryOperableButtonIsAStepWithAUniqueName) {
  std::set<int> covered;
  std::set<std::string> names;
  for (const auto& a : Actions()) {
    covered.insert(a.control);
    EXPECT_TRUE(names.insert(a.name).second) << "step name used twice: " << a.name;
    EXPECT_FALSE(a.name.empty());
    for (const auto& f : a.fields) EXPECT_NE(FindField(f), nullptr) << a.name << " reads unknown field " << f;
  }
  for (const PageLayoutEntry* e = PageLayoutTable; e->page != kEndPage; ++e) {
    if (KindOf(e->id) != ControlKind::PushButton || !e->operable) continue;
    EXPECT_TRUE(covered.count(e->id)) << "button " << e->id << " \"" << e->caption << "\" has no step";
  }
}

TEST(ScriptVocabulary, NamesComeFromTheCaptions) {
  EXPECT_EQ(StepName("(☞▤)SEN DIAG"), "sen-diag");
  EXPECT_EQ(StepName("*☞▤)Sonar CAL"), "sonar-cal");
  EXPECT_EQ(StepName("Cancel rep."), "cancel-rep");
  EXPECT_EQ(StepName("*Set Serial"), "set-serial");
  ASSERT_NE(FindAction("test-disp"), nullptr);
  EXPECT_EQ(FindAction("test-disp")->control, 1003);
  EXPECT_EQ(FindAction("go-loader")->control, 1170);
  EXPECT_TRUE(FindAction("set-opacity")->admin);
  EXPECT_FALSE(FindAction("get-length")->admin);
  EXPECT_EQ(FindSensor("cst-in1"), 1052);
  EXPECT_EQ(FindSensor("chk3"), 1070);
  EXPECT_EQ(FindSensor("end4"), 1186);
  EXPECT_EQ(FindSensor("rjt-tray"), 1050);
  EXPECT_EQ(FindSensor("sonar-in"), 1047);
  std::set<std::string> sensors;
  for (const auto& [n, id] : Sensors()) EXPECT_TRUE(sensors.insert(n).second) << n;
  EXPECT_EQ(sensors.size(), 29u);
}

TEST(ScriptParser, AStepTakesItsFieldsAndExpectationsAttachToIt) {
  Script s;
  ASSERT_FALSE(Parse(kHead +
                         "# soak\n"
                         "timeout 900\n"
                         "dispense request1=5 request3=2 repeat=3 wait=2 ignore-cashout=on   # three cycles\n"
                         "expect total-rejected <= 4\n"
                         "expect box contains \"Verify O.K.!\"\n"
                         "timeout default\n"
                         "pickup cassette=2\n"
                         "expect sensor cst-in2 = 1\n"
                         "expect error contains JAM\n",
                     &s));
  ASSERT_EQ(s.steps.size(), 3u);
  EXPECT_EQ(s.steps[0].kind, StepKind::Open);
  EXPECT_EQ(s.steps[0].port, 1);
  const Step& d = s.steps[1];
  EXPECT_EQ(d.line, 5);
  EXPECT_EQ(d.text, "dispense request1=5 request3=2 repeat=3 wait=2 ignore-cashout=on");
  EXPECT_EQ(d.limitSec, 900);
  ASSERT_EQ(d.sets.size(), 5u);
  EXPECT_STREQ(d.sets[4].field->name, "ignore-cashout");
  EXPECT_EQ(d.sets[4].value, "1");
  ASSERT_EQ(d.expects.size(), 2u);
  EXPECT_EQ(d.expects[0].op, Op::Le);
  EXPECT_EQ(d.expects[0].control, ctl::kTotalRejected);
  EXPECT_EQ(d.expects[1].value, "Verify O.K.!");
  EXPECT_FALSE(d.errorExpected);
  const Step& p = s.steps[2];
  EXPECT_EQ(p.limitSec, 0);
  EXPECT_TRUE(p.errorExpected);  // the device error is what this step tests
  EXPECT_EQ(p.expects[0].control, 1056);
}

TEST(ScriptParser, ErrorsNameTheLineAndColumnOfTheSlip) {
  struct Case {
    std::string text;
    int line, column;
    std::string says;
  } cases[] = {
      {kHead + "dispence request1=1\n", 3, 1, "unknown step"},
      {kHead + "dispense request1=101\n", 3, 19, "0 to 100"},
      {kHead + "dispense  repeat=1 addr=3\n", 3, 20, "does not take addr"},
      {kHead + "dispense repeat=2 repeat=3\n", 3, 19, "twice"},
      {kHead + "dispense 5\n", 3, 10, "name=value"},
      {kHead + "expect total-rejected < 3\n", 3, 23, "expected = <= >= or contains"},
      {kHead + "expect total-rejected <= few\n", 3, 26, "not one"},
      {kHead + "expect sensor dvt = 2\n", 3, 19, "= 0 or = 1"},
      {kHead + "expect sensor nosuch = 1\n", 3, 15, "unknown sensor"},
      {kHead + "expect box contains \"open quote\n", 3, 21, "not closed"},
      {kHead + "set-opacity opacity1=10\n", 3, 1, "admin"},
      {kHead + "write-prog\n", 0, 0, ""},  // no file: the dialog is cancelled, which the run reports
      {"open\n", 1, 1, "port"},
      {"port 11\n", 1, 6, "1 to 10"},
      {"port 1\ndispense\n", 2, 1, "open"},
      {"expect status contains x\n", 1, 1, "no"},
      {kHead + "answer maybe\n", 3, 8, "yes or no"},
      {kHead + "answer yes\n", 3, 1, "answer without a step"},
      {kHead + "pause 5 x\n", 3, 1, "pause takes seconds"},
      {kHead + "set-serial serial1=ABC\n", 3, 1, "admin"},
      {kHead + "admin\nset-serial serial1=ABC\n", 4, 20, "exactly 2"},
      {kHead + "get-length unit=inch\n", 3, 17, "hex"},
      {kHead + "read-value addr=24\n", 3, 17, "0 to 23"},
      {kHead + "read-sensor addr=25\nread-sensor addr=26\n", 4, 18, "0 to 25"},
      {"# nothing\n\n", 2, 1, "no step"},
      {kHead + "dispense\x01\n", 3, 9, "control character"},
  };
  for (const Case& c : cases) {
    const auto e = Parse(c.text);
    if (c.line == 0) {
      EXPECT_FALSE(e) << c.text << e->message;
      continue;
    }
    ASSERT_TRUE(e) << c.text;
    EXPECT_EQ(e->line, c.line) << c.text << e->message;
    EXPECT_EQ(e->column, c.column) << c.text << e->message;
    EXPECT_NE(e->message.find(c.says), std::string::npos) << c.text << " -> " << e->message;
  }
}

TEST(ScriptParser, TakesWindowsLineEndsAnEditorsMarkAndHashesInQuotes) {
  Script s;
  ASSERT_FALSE(Parse("\xEF\xBB\xBFport 2\r\nopen\r\nrom-version\r\nexpect rom-version contains \"#1 x\"  # c\r\n", &s));
  ASSERT_EQ(s.steps.size(), 2u);
  EXPECT_EQ(s.steps[0].port, 2);
  EXPECT_EQ(s.steps[1].expects[0].value, "#1 x");
  EXPECT_EQ(s.steps[1].text, "rom-version");
}

TEST(ScriptCompare, NumbersAsNumbersTextAsText) {
  std::string why;
  EXPECT_TRUE(Compare(" 10 ", Op::Eq, "10", &why));
  EXPECT_TRUE(Compare("007", Op::Eq, "7", &why));
  EXPECT_TRUE(Compare("0x1A", Op::Ge, "26", &why));
  EXPECT_FALSE(Compare("9", Op::Ge, "10", &why));  // not as text, where "9" > "10"
  EXPECT_NE(why.find("expected >= 10"), std::string::npos);
  EXPECT_FALSE(Compare("", Op::Le, "3", &why));  // an empty field is no zero
  EXPECT_NE(why.find("not a number"), std::string::npos);
  EXPECT_TRUE(Compare("COM1 connected", Op::Contains, "connected", &why));
  EXPECT_FALSE(Compare("COM1 connected", Op::Eq, "connected", &why));
  EXPECT_TRUE(Compare("", Op::None, "", &why));
  EXPECT_FALSE(Compare("Error = 54 : JAM", Op::None, "", &why));
}

TEST(ScriptReport, XmlEscapesMarkupControlBytesAndBrokenUtf8) {
  EXPECT_EQ(XmlEscape("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c&apos;");
  EXPECT_EQ(XmlEscape(std::string("x\x01y\x1b", 4)), "x?y?");
  EXPECT_EQ(XmlEscape("\xC3\xA9"), "\xC3\xA9");     // é stays
  EXPECT_EQ(XmlEscape("\xC3 \xFF\xC0\x80"), "? ???");  // cut, invalid and overlong bytes go
}

TEST(ScriptReport, JUnitCountsEveryStepOnce) {
  Script s;
  ASSERT_FALSE(Parse(kHead + "rom-version\ncheck-now\n", &s));
  std::vector<StepResult> r(3);
  for (size_t i = 0; i < 3; ++i) r[i].step = &s.steps[i];
  r[0].outcome = Outcome::Pass;
  r[1].outcome = Outcome::Fail;
  r[1].failure = "Error = 54 : <JAM>";
  r[1].failureType = "DeviceError";
  r[1].values = {{"rom-version", "QR01"}};
  r[2].outcome = Outcome::Skipped;
  const std::string x = JUnitXml("check", r, 1.5, "2026-01-01T00:00:00");
  EXPECT_NE(x.find("<testsuite name=\"check\" tests=\"3\" failures=\"1\" errors=\"0\" skipped=\"1\""),
            std::string::npos)
      << x;
  EXPECT_NE(x.find("<failure message=\"Error = 54 : &lt;JAM&gt;\" type=\"DeviceError\">"), std::string::npos);
  EXPECT_NE(x.find("<system-out>rom-version=QR01\n</system-out>"), std::string::npos);
  EXPECT_NE(x.find("<skipped"), std::string::npos);
  EXPECT_NE(x.find("name=\"line 3: rom-version\""), std::string::npos);
}
