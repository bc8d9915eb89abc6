// The window template and the page layout: rows, captions, rectangles, kinds
// and bindings, checked without a window system.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/Controls.h"

using namespace qeld;

namespace {

std::vector<const PageLayoutEntry*> PageRows() {
  std::vector<const PageLayoutEntry*> rows;
  for (const PageLayoutEntry* e = PageLayoutTable; e->page != kEndPage; ++e) rows.push_back(e);
  return rows;
}

const PageLayoutEntry* Row(int id) {
  for (auto* e : PageRows())
    if (e->id == id) return e;
  return nullptr;
}

Rect RectOf(const PageLayoutEntry* e) { return Rect{e->left, e->top, e->right, e->bottom}; }

bool Inside(const Rect& in, const Rect& out) {
  return in.left >= out.left && in.right <= out.right && in.top >= out.top && in.bottom <= out.bottom;
}
bool Overlap(const Rect& a, const Rect& b) {
  return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

std::vector<int> Ids(std::initializer_list<std::pair<int, int>> ranges) {
  std::vector<int> v;
  for (auto [lo, hi] : ranges)
    for (int id = lo; id <= hi; ++id) v.push_back(id);
  return v;
}

const ControlSpec* DefOf(int id) {
  for (const auto& s : ConsoleTemplate())
    if (s.id == id) return &s;
  return nullptr;
}

}  // namespace

TEST(PageLayout, HoldsThePageZeroRowsInTableOrderThenTheEndRow) {
  // The order is the order in which ShowPage captions and places them.
  const std::vector<int> expected = {
      7023, 7022, 2002, 2003, 2004, 2007, 2005, 2006, 2008, 2009, 2010, 7024, 7007, 7008, 1043, 1044, 1045,
      1114, 7013, 7026, 7027, 7028, 1021, 1022, 1023, 1024, 1153, 1025, 1026, 1027, 1001, 1002, 1003, 1004,
      1005, 1154, 1155, 1127, 1128, 7000, 1019, 7025, 1288, 1035, 1036, 1037, 1038, 1057, 1058, 1059, 1060,
      1061, 1062, 1063, 1064, 1139, 1140, 1141, 1142, 1143, 1144, 1145, 1146, 1129, 1130, 1131, 1156, 1157,
      1158, 1161, 1162, 1163, 1132, 1133, 1134, 1137, 1138, 1135, 1033, 1006, 1046, 1047, 1048, 1049, 1050,
      1051, 1175, 1176, 1166, 1052, 1053, 1054, 1055, 1031, 1183, 1056, 1066, 1067, 1068, 1032, 1184, 1069,
      1070, 1071, 1072, 1065, 1185, 1073, 1074, 1075, 1077, 1076, 1186, 1007, 1008, 7018, 7019, 7020, 7021,
      1017, 1018, 7009, 7010, 7011, 7012, 1009, 1010, 1090, 1091, 1112, 1113, 1198, 1199, 1201, 1204, 1205,
      1451, 1452, 1453, 7015, 7016, 1011, 7005, 7006, 1119, 1120, 1013, 1012, 1014, 1123, 1015, 1124, 1125,
      1016, 1126, 7004, 7003, 1149, 1086, 1150, 1087, 1152, 7001, 7002, 1447, 1449, 1448, 1450, 1170, 1171,
      1174, 1172, 1173};
  ASSERT_EQ(expected.size(), 173u);
  auto rows = PageRows();
  ASSERT_EQ(rows.size(), 173u);
  std::vector<int> ids;
  for (auto* e : rows) {
    EXPECT_EQ(e->page, 0) << e->id;
    ids.push_back(e->id);
  }
  EXPECT_EQ(ids, expected);
  EXPECT_EQ(PageLayoutTable[173].page, kEndPage);
  EXPECT_EQ(std::set<int>(ids.begin(), ids.end()).size(), ids.size()) << "an id occurs twice";
}

TEST(PageLayout, CaptionsAndOperableFlags) {
  struct Case {
    int id;
    const char* caption;
    int operable;
  };
  const Case cases[] = {
      {7023, "Hex[slit]", 1},      {7022, "Dec[mm]", 1},        {2009, "Type", 0},
      {2010, "Opacity", 1},        {7024, "(☞▤)", 1},           {7007, "↓Select", 1},
      {7008, "↓CST", 1},           {1114, "CST4", 1},           {7013, "Ignore Cash-out", 1},
      {7026, "Sensor", 0},         {1153, "Total", 1},          {1003, "TEST DISP", 1},
      {1127, "1", 1},              {1128, "1", 1},              {7000, "Cancel rep.", 1},
      {7025, "", 1},               {1288, "", 1},               {1035, "", 1},
      {1057, "", 0},               {1146, "", 0},               {1129, "0", 0},
      {1131, "0", 0},              {1163, "FSNR", 1},           {1135, "", 0},
      {1033, "", 1},               {1047, "SONAR_IN", 0},       {1166, "CASHOUT", 0},
      {1055, "NEAREND1", 0},       {1031, "Cassette 1", 0},     {1183, "END", 0},
      {1077, "NEAREND4", 0},       {1076, "Cassette 4", 0},     {1007, "*GET", 1},
      {1009, "GET", 0},            {1113, "", 0},               {1199, "*Set Serial", 1},
      {1451, "*☞▤)Sonar CAL", 1},  {1452, "", 0},               {7016, "noise", 0},
      {1011, "(☞▤)SEN DIAG", 1},   {1013, "(☞▤)PICKUP", 1},     {1125, "", 0},
      {1126, "", 1},               {1152, "(Dec)", 0},          {7001, "*Init", 1},
      {1448, "Firmware version", 1}, {1174, "DownProgress", 1}, {1173, "Reset", 1},
  };
  for (const auto& c : cases) {
    const PageLayoutEntry* e = Row(c.id);
    ASSERT_NE(e, nullptr) << c.id;
    EXPECT_STREQ(e->caption, c.caption) << c.id;
    EXPECT_EQ(e->operable, c.operable) << c.id;
  }
  // The symbols are the characters themselves, in UTF-8.
  EXPECT_STREQ(Row(7024)->caption, "(\xE2\x98\x9E\xE2\x96\xA4)");
  EXPECT_STREQ(Row(7008)->caption, "\xE2\x86\x93" "CST");
}

TEST(PageLayout, GivenRectanglesAreExact) {
  struct Case {
    int id, top, left, bottom, right;
  };
  const Case cases[] = {
      {7023, 39, 232, 54, 303},   {7022, 39, 302, 54, 372},   {7001, 50, 30, 68, 65},
      {7024, 90, 18, 275, 75},    {2002, 47, 78, 330, 377},   {2010, 65, 200, 271, 256},
      {2008, 65, 256, 271, 312},  {2009, 65, 312, 271, 365},  {2004, 335, 28, 422, 377},
      {2003, 427, 28, 584, 377},  {2007, 589, 28, 670, 377},  {1170, 612, 36, 656, 98},
      {1174, 637, 110, 657, 360}, {2005, 47, 392, 407, 845},  {1288, 68, 415, 83, 440},
      {1033, 236, 510, 374, 830}, {2006, 412, 392, 670, 845}, {1031, 424, 524, 479, 824},
      {1032, 484, 524, 539, 824}, {1065, 544, 524, 599, 824}, {1076, 604, 524, 659, 824},
  };
  for (const auto& c : cases) {
    const PageLayoutEntry* e = Row(c.id);
    ASSERT_NE(e, nullptr) << c.id;
    EXPECT_EQ(RectOf(e), (Rect{c.left, c.top, c.right, c.bottom})) << c.id;
  }
  // The run-detail fields, 60 px wide for seven characters, beside their labels.
  for (int id : {1132, 1133, 1134, 1137, 1138, 1135}) {
    EXPECT_EQ(Row(id)->left, 446) << id;
    EXPECT_EQ(Row(id)->right, 506) << id;
    EXPECT_LT(Row(id)->right, Row(ctl::kMessageArea)->left) << id;
  }
  // The cassette radios step 25 px from y 157.
  const int radios[] = {1043, 1044, 1045, 1114};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Row(radios[i])->top, 157 + 25 * i);
  // The path indicators: x 419..497, 20 px apart from y 469.
  const int path[] = {1046, 1047, 1048, 1049, 1050, 1051, 1175, 1176, 1166};
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(Row(path[i])->top, 469 + 20 * i) << path[i];
    EXPECT_EQ(Row(path[i])->left, 419) << path[i];
    EXPECT_EQ(Row(path[i])->right, 497) << path[i];
  }
  // Each setting column has its four cassette fields at y 86, 116, 146, 176.
  const int columns[3][4] = {{7018, 7019, 7020, 7021}, {7009, 7010, 7011, 7012}, {1090, 1091, 1112, 1113}};
  for (const auto& col : columns)
    for (int i = 0; i < 4; ++i) EXPECT_EQ(Row(col[i])->top, 86 + 30 * i) << col[i];
  // Statistics grid: row labels at x 410..470, totals on y 206..226.
  for (int id : {1021, 1022, 1023, 1024, 1153}) {
    EXPECT_EQ(Row(id)->left, 410) << id;
    EXPECT_EQ(Row(id)->right, 470) << id;
  }
  for (int id : {1129, 1130, 1131}) {
    EXPECT_EQ(Row(id)->top, 206) << id;
    EXPECT_EQ(Row(id)->bottom, 226) << id;
  }
  // Command buttons at x 750..830 from y 62.
  EXPECT_EQ(Row(1001)->top, 62);
  for (int id = 1001; id <= 1005; ++id) {
    EXPECT_EQ(Row(id)->left, 750) << id;
    EXPECT_EQ(Row(id)->right, 830) << id;
  }
  // Bottom row of OPERATION within y 378..396.
  for (int id : {7025, 1019, 7013, 7000}) {
    EXPECT_GE(Row(id)->top, 378) << id;
    EXPECT_LE(Row(id)->bottom, 396) << id;
  }
}

TEST(PageLayout, GridCellsLineUpWithTheirRowsAndColumns) {
  const int rowLabels[5] = {1021, 1022, 1023, 1024, 1153};
  const int columns[5][5] = {
      {1035, 1036, 1037, 1038, 1129},  // Request
      {1057, 1058, 1059, 1060, 0},     // Dispensed, last
      {1139, 1140, 1141, 1142, 1130},  // Dispensed, accumulated
      {1061, 1062, 1063, 1064, 0},     // Rejected, last
      {1143, 1144, 1145, 1146, 1131},  // Rejected, accumulated
  };
  int prevRight = Row(1021)->right;
  for (const auto& col : columns) {
    const PageLayoutEntry* first = Row(col[0]);
    EXPECT_GT(first->left, prevRight) << col[0];
    prevRight = first->right;
    for (int r = 0; r < 5; ++r) {
      if (!col[r]) continue;
      const PageLayoutEntry* cell = Row(col[r]);
      EXPECT_EQ(cell->top, Row(rowLabels[r])->top) << col[r];
      EXPECT_EQ(cell->bottom, Row(rowLabels[r])->bottom) << col[r];
      EXPECT_EQ(cell->left, first->left) << col[r];
      EXPECT_EQ(cell->right, first->right) << col[r];
    }
  }
  // Column heads sit over their columns: Dispensed and Rejected span two.
  EXPECT_EQ(Row(1025)->left, Row(1035)->left);
  EXPECT_EQ(Row(1025)->right, Row(1035)->right);
  EXPECT_EQ(Row(1026)->left, Row(1057)->left);
  EXPECT_EQ(Row(1026)->right, Row(1139)->right);
  EXPECT_EQ(Row(1027)->left, Row(1061)->left);
  EXPECT_EQ(Row(1027)->right, Row(1143)->right);
}

TEST(PageLayout, EveryRowLiesInItsColumnAndFrame) {
  for (auto* e : PageRows()) {
    const Rect r = RectOf(e);
    EXPECT_LT(r.left, r.right) << e->id;
    EXPECT_LT(r.top, r.bottom) << e->id;
    EXPECT_TRUE(Inside(r, Rect{0, 0, ClientWidth(), ClientHeight()})) << e->id;
    const bool left = Inside(r, Rect{18, 0, 377, 670});
    const bool right = Inside(r, Rect{392, 0, 845, 670});
    EXPECT_TRUE(left || right) << e->id << " is in neither column";
    // Page controls stay clear of the fixed controls along the bottom.
    EXPECT_LT(r.bottom, DialogUnitsToPixels(105, 392, 160, 30).top) << e->id;
  }
  struct Frame {
    int frame;
    std::vector<int> members;
  };
  const Frame frames[] = {
      {7024, {7007, 7008, 1043, 1044, 1045, 1114}},
      {2002, {2008, 2009, 2010, 1451, 1452, 1453, 7015, 7016, 1011, 7005, 7006, 1119, 1120, 7004, 7003,
              1149, 1086, 1150, 1087, 1152, 7026, 7027, 7028, 1007, 1008, 1017, 1018, 1009, 1010, 7018,
              7019, 7020, 7021, 7009, 7010, 7011, 7012, 1090, 1091, 1112, 1113}},
      {2010, {1007, 1008, 7018, 7019, 7020, 7021}},
      {2008, {1017, 1018, 7009, 7010, 7011, 7012}},
      {2009, {1009, 1010, 1090, 1091, 1112, 1113}},
      {2004, {1013, 1012, 1014, 1123, 1015, 1124, 1125, 7002}},
      {2003, {1016, 1126, 1447, 1449, 1448, 1450, 1198, 1199, 1201, 1204, 1205}},
      {2007, {1170, 1171, 1172, 1173, 1174}},
      {2005, {1021, 1022, 1023, 1024, 1153, 1025, 1026, 1027, 1001, 1002, 1003, 1004, 1005, 1154, 1155,
              1127, 1128, 7000, 1019, 7025, 7013, 1288, 1035, 1038, 1057, 1064, 1139, 1146, 1129, 1130,
              1131, 1156, 1163, 1132, 1135, 1033}},
      {2006, {1006, 1046, 1047, 1048, 1049, 1050, 1051, 1175, 1176, 1166, 1031, 1032, 1065, 1076}},
      {1031, {1052, 1053, 1054, 1055, 1183}},
      {1032, {1056, 1066, 1067, 1068, 1184}},
      {1065, {1069, 1070, 1071, 1072, 1185}},
      {1076, {1073, 1074, 1075, 1077, 1186}},
  };
  for (const auto& f : frames) {
    // Inside the frame's border, below its title.
    Rect inner = RectOf(Row(f.frame));
    inner.left += 2;
    inner.right -= 2;
    inner.top += 12;  // the first cassette frame stands beside the STATUS title
    inner.bottom -= 1;
    for (int id : f.members) EXPECT_TRUE(Inside(RectOf(Row(id)), inner)) << id << " outside " << f.frame;
  }
}

TEST(PageLayout, VisibleControlsDoNotOverlapExceptInsideTheirFrames) {
  auto rows = PageRows();
  for (size_t i = 0; i < rows.size(); ++i)
    for (size_t j = i + 1; j < rows.size(); ++j) {
      const PageLayoutEntry* a = rows[i];
      const PageLayoutEntry* b = rows[j];
      const bool aFrame = KindOf(a->id) == ControlKind::GroupBox;
      const bool bFrame = KindOf(b->id) == ControlKind::GroupBox;
      const Rect ra = RectOf(a), rb = RectOf(b);
      if (!Overlap(ra, rb)) continue;
      // The unit switch's given rectangles share one pixel column.
      if (std::set<int>{a->id, b->id} == std::set<int>{7022, 7023}) continue;
      if (aFrame && bFrame) {
        EXPECT_TRUE(Inside(ra, rb) || Inside(rb, ra)) << a->id << " and " << b->id << " cross";
      } else if (!aFrame && !bFrame) {
        ADD_FAILURE() << a->id << " overlaps " << b->id;
      }
    }
}

TEST(ConsoleTemplate, KindsAndEditStyles) {
  struct Case {
    std::vector<int> ids;
    ControlKind kind;
    unsigned style;  // checked for edit fields only
  };
  const unsigned digits = kEsRight | kEsDigits;
  const Case cases[] = {
      {Ids({{2002, 2010}, {7024, 7024}, {1031, 1032}, {1065, 1065}, {1076, 1076}}), ControlKind::GroupBox, 0},
      {Ids({{7005, 7008}, {7015, 7016}, {7026, 7026}, {1021, 1027}, {1149, 1150}, {1152, 1158}, {1161, 1163}}),
       ControlKind::Label, 0},
      {Ids({{1001, 1019}, {1288, 1288}, {1447, 1448}, {1451, 1451}, {1170, 1173}, {1198, 1199}, {7000, 7004},
            {7027, 7028}}),
       ControlKind::PushButton, 0},
      {Ids({{7022, 7023}, {1043, 1045}, {1114, 1114}}), ControlKind::RadioButton, 0},
      {Ids({{7013, 7013}, {7025, 7025}, {1046, 1056}, {1066, 1075}, {1077, 1077}, {1166, 1166}, {1175, 1176},
            {1183, 1186}}),
       ControlKind::CheckBox, 0},
      {Ids({{1035, 1038}, {1057, 1064}, {1090, 1091}, {1112, 1113}, {1119, 1120}, {1123, 1125}, {1127, 1135},
            {1137, 1138}, {1143, 1146}}),
       ControlKind::Edit, digits},
      {Ids({{1086, 1087}, {1139, 1142}, {1201, 1201}, {1204, 1205}, {7009, 7012}, {7018, 7021}}),
       ControlKind::Edit, kEsRight},
      {Ids({{1452, 1453}}), ControlKind::Edit, kEsRight | kEsReadOnly},
      {Ids({{1126, 1126}, {1449, 1450}}), ControlKind::Edit, kEsCenter | kEsReadOnly},
      {Ids({{1033, 1033}}), ControlKind::Edit, kEsMultiline},
      {Ids({{1174, 1174}}), ControlKind::Progress, 0},
  };
  std::set<int> covered;
  for (const auto& c : cases)
    for (int id : c.ids) {
      covered.insert(id);
      const ControlSpec* s = DefOf(id);
      ASSERT_NE(s, nullptr) << id;
      EXPECT_EQ(KindOf(id), c.kind) << id;
      EXPECT_EQ(s->kind, c.kind) << id;
      if (c.kind == ControlKind::Edit) {
        EXPECT_EQ(s->style, c.style) << id;
      }
    }
  // Every page row has a declared kind.
  for (auto* e : PageRows()) EXPECT_TRUE(covered.count(e->id)) << e->id << " has no kind";
}

TEST(ConsoleTemplate, RadioGroups) {
  const int unit = DefOf(7022)->group;
  const int cst = DefOf(1043)->group;
  EXPECT_NE(unit, 0);
  EXPECT_NE(cst, 0);
  EXPECT_NE(unit, cst);
  EXPECT_EQ(DefOf(7023)->group, unit);
  for (int id : {1044, 1045, 1114}) EXPECT_EQ(DefOf(id)->group, cst) << id;
}

TEST(ConsoleTemplate, FixedControlsArePlacedInDialogUnits) {
  EXPECT_EQ(ClientWidth(), 875);
  EXPECT_EQ(ClientHeight(), 797);
  struct Case {
    int id;
    ControlKind kind;
    const char* text;
    Rect rect;
  };
  const Case cases[] = {
      {1000, ControlKind::Tab, "", {12, 17, 861, 729}},
      {2001, ControlKind::GroupBox, "COMM", {184, 735, 464, 791}},
      {7014, ControlKind::Label, "Port number : COM", {196, 759, 306, 778}},
      {2000, ControlKind::Combo, "", {306, 758, 350, 906}},
      {1, ControlKind::DefPushButton, "OPEN", {364, 754, 452, 780}},
      {9999, ControlKind::PushButton, "*Admin mode", {665, 743, 753, 774}},
      {2, ControlKind::PushButton, "EXIT", {770, 743, 858, 784}},
      {1034, ControlKind::Edit, "", {18, 750, 163, 778}},
  };
  for (const auto& c : cases) {
    const ControlSpec* s = DefOf(c.id);
    ASSERT_NE(s, nullptr) << c.id;
    EXPECT_EQ(s->kind, c.kind) << c.id;
    EXPECT_EQ(s->text, c.text) << c.id;
    EXPECT_EQ(s->rect, c.rect) << c.id;
    EXPECT_TRUE(s->visible) << c.id;
  }
  EXPECT_EQ(DefOf(1034)->style & kEsReadOnly, unsigned(kEsReadOnly));
  EXPECT_EQ(DialogUnitsToPixels(10, 400, 83, 15), (Rect{18, 750, 163, 778}));
}

TEST(ConsoleTemplate, PageControlsStartHiddenAndEmptyAtTheirTableRectangles) {
  std::set<int> ids;
  for (const auto& s : ConsoleTemplate()) EXPECT_TRUE(ids.insert(s.id).second) << s.id << " twice";
  for (auto* e : PageRows()) {
    const ControlSpec* s = DefOf(e->id);
    ASSERT_NE(s, nullptr) << e->id;
    EXPECT_FALSE(s->visible) << e->id;
    EXPECT_EQ(s->text, "") << e->id;
    EXPECT_EQ(s->rect, RectOf(e)) << e->id;
  }
  for (int id : Ids({{1136, 1136}, {1121, 1122}, {1078, 1085}, {1191, 1194}})) {
    const ControlSpec* s = DefOf(id);
    ASSERT_NE(s, nullptr) << id;
    EXPECT_EQ(s->kind, ControlKind::Edit) << id;
    EXPECT_FALSE(s->visible) << id;
    EXPECT_EQ(Row(id), nullptr) << id << " must not be placed";
  }
  EXPECT_EQ(ConsoleTemplate().size(), 8u + 173u + 15u);
}

TEST(ConsoleTemplate, AdminOnlyControls) {
  const std::set<int> admin = {1007, 1008, 1199, 1451, 7001, 7018, 7019, 7020, 7021};
  for (int id : admin) EXPECT_TRUE(IsAdminOnly(id)) << id;
  for (auto* e : PageRows()) {
    if (!admin.count(e->id)) {
      EXPECT_FALSE(IsAdminOnly(e->id)) << e->id;
    }
  }
  for (int id : {1, 2, 9999, 1034, 2000}) EXPECT_FALSE(IsAdminOnly(id)) << id;
  // The captions of the admin-only buttons carry the star.
  for (int id : {1007, 1008, 1199, 1451, 7001}) EXPECT_EQ(Row(id)->caption[0], '*') << id;
}

TEST(ConsoleTemplate, BoundTextAndCheckIds) {
  const auto& text = BoundTextIds();
  const std::set<int> textSet(text.begin(), text.end());
  EXPECT_EQ(textSet.size(), text.size()) << "duplicates";
  for (auto* e : PageRows())
    EXPECT_EQ(textSet.count(e->id) == 1, KindOf(e->id) == ControlKind::Edit) << e->id;
  for (int id : Ids({{1034, 1034}, {1136, 1136}, {1121, 1122}, {1078, 1085}, {1191, 1194}}))
    EXPECT_TRUE(textSet.count(id)) << id;
  EXPECT_FALSE(textSet.count(2000));
  EXPECT_EQ(text.size(), 59u + 1u + 15u);

  const auto& check = BoundCheckIds();
  const std::set<int> checkSet(check.begin(), check.end());
  const std::set<int> expected = [] {
    auto v = Ids({{7013, 7013}, {7025, 7025}, {1046, 1056}, {1066, 1075}, {1077, 1077}, {1166, 1166},
                  {1175, 1176}, {1183, 1186}});
    return std::set<int>(v.begin(), v.end());
  }();
  EXPECT_EQ(checkSet, expected);
  EXPECT_EQ(checkSet.size(), check.size()) << "duplicates";
  for (int id : {1043, 1044, 1045, 1114, 7022, 7023}) EXPECT_FALSE(checkSet.count(id)) << id;
}
