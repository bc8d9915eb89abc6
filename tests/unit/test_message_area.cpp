// The MessageArea under a flood: a bounded tail, appended to, never set anew.
#include "ConsoleHarness.h"

using namespace qeld;
using namespace qeld::test;

TEST(KeepTail, CutsAtALineStartOrAWholeCharacter) {
  struct Row {
    std::string text;
    size_t max;
    std::string kept;
  };
  const Row rows[] = {
      {"short", 10, "short"},
      {"one\r\ntwo\r\nthree\r\n", 11, "three\r\n"},         // the tail starts inside "two"
      {"one\r\ntwo\r\nthree\r\n", 12, "two\r\nthree\r\n"},  // the tail starts at a line
      {"ab\r\ncd", 4, "cd"},                                  // cut just after a line feed
      {"abcdefgh", 3, "fgh"},                                 // no line start in the tail
      {"x\xEC\x96\x91\xEC\x96\x91", 4, "\xEC\x96\x91"},       // never inside a character
      {"", 0, ""},
  };
  for (const auto& r : rows) {
    std::string t = r.text;
    KeepTail(t, r.max);
    EXPECT_EQ(t, r.kept) << r.text;
    EXPECT_LE(t.size(), r.max);
  }
}

TEST(MessageArea, AFloodKeepsABoundedTailAndOnlyAppends) {
  Console c;
  c.Connect();
  const auto* area = c.w.Find(ctl::kMessageArea);
  ASSERT_NE(area, nullptr);
  const int setsBefore = area->textSets;
  const int appendsBefore = c.w.appends;
  // Memory dumps ("w", with a line end) between unknown letters.
  for (int i = 0; i < 6000; ++i) {
    c.Module(i % 3 ? Response('z', "??") : Response('w', std::string(32, '!')));
    ASSERT_EQ(c.line.Last(), Bytes{ACK});
  }
  EXPECT_EQ(area->textSets, setsBefore) << "the whole text was set again";
  EXPECT_EQ(c.w.appends - appendsBefore, 6000);
  const std::string shown = c.Field(ctl::kMessageArea);
  EXPECT_LE(shown.size(), kMessageAreaKeep);
  EXPECT_GT(shown.size(), kMessageAreaKeep - 200);
  EXPECT_EQ(shown, c.d.Text(ctl::kMessageArea));
  EXPECT_EQ(shown.substr(0, 19), " Undefined Command ") << "cut at a line start";
  EXPECT_EQ(shown.substr(shown.size() - 19), " Undefined Command ");
  // The clear button empties it; the flood goes on from there.
  c.w.Click(ctl::kClearFields);
  EXPECT_EQ(c.Field(ctl::kMessageArea), "");
  c.Module(Response('z', "??"));
  EXPECT_EQ(c.Field(ctl::kMessageArea), " Undefined Command ");
}

// A line added while a field exchange is pending is not lost to the next read
// of the fields: it is in the window at once.
TEST(MessageArea, ALineIsShownAtOnceAndSurvivesTheNextFieldRead) {
  Console c;
  c.Connect();
  c.d.AppendMessage("\r\n first \r\n");
  EXPECT_EQ(c.Field(ctl::kMessageArea), "\r\n first \r\n");
  c.d.ReadFields();
  c.d.WriteFields();
  EXPECT_EQ(c.Field(ctl::kMessageArea), "\r\n first \r\n");
}
