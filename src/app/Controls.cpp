// The console window's template: the eight fixed controls, every control the
// page layout places, and the hidden fields that responses fill.
#include "app/Controls.h"

#include <map>

namespace qeld {

namespace {

// Dialog units of the template font: 7 px per 4 horizontal units and 15 px
// per 8 vertical units, rounded half up like the platform's MulDiv.
int DluX(int x) { return (x * 7 + 2) / 4; }
int DluY(int y) { return (y * 15 + 4) / 8; }

constexpr int kUnitSwitchGroup = 1;
constexpr int kCassetteGroup = 2;

// Kinds of the page controls, by id range, as the template declares them.
struct KindRange {
  int lo, hi;
  ControlKind kind;
  unsigned style;
  int group;
};

constexpr unsigned kDigitsRight = kEsRight | kEsDigits;

const KindRange kPageKinds[] = {
    // group boxes
    {2002, 2010, ControlKind::GroupBox, 0, 0},
    {7024, 7024, ControlKind::GroupBox, 0, 0},
    {1031, 1032, ControlKind::GroupBox, 0, 0},
    {1065, 1065, ControlKind::GroupBox, 0, 0},
    {1076, 1076, ControlKind::GroupBox, 0, 0},
    // labels; the grid's column heads are centred over their columns
    {7005, 7008, ControlKind::Label, 0, 0},
    {7015, 7016, ControlKind::Label, 0, 0},
    {7026, 7026, ControlKind::Label, 0, 0},
    {1021, 1024, ControlKind::Label, 0, 0},
    {1025, 1027, ControlKind::Label, kEsCenter, 0},
    {1149, 1150, ControlKind::Label, 0, 0},
    {1152, 1158, ControlKind::Label, 0, 0},
    {1161, 1163, ControlKind::Label, 0, 0},
    // push buttons
    {1001, 1019, ControlKind::PushButton, 0, 0},
    {1288, 1288, ControlKind::PushButton, 0, 0},
    {1447, 1448, ControlKind::PushButton, 0, 0},
    {1451, 1451, ControlKind::PushButton, 0, 0},
    {1170, 1173, ControlKind::PushButton, 0, 0},
    {1198, 1199, ControlKind::PushButton, 0, 0},
    {7000, 7004, ControlKind::PushButton, 0, 0},
    {7027, 7028, ControlKind::PushButton, 0, 0},
    // automatic radio buttons: the unit switch and the cassette selection
    {7022, 7023, ControlKind::RadioButton, 0, kUnitSwitchGroup},
    {1043, 1045, ControlKind::RadioButton, 0, kCassetteGroup},
    {1114, 1114, ControlKind::RadioButton, 0, kCassetteGroup},
    // automatic check boxes: two options and the sensor indicators
    {7013, 7013, ControlKind::CheckBox, 0, 0},
    {7025, 7025, ControlKind::CheckBox, 0, 0},
    {1046, 1056, ControlKind::CheckBox, 0, 0},
    {1066, 1075, ControlKind::CheckBox, 0, 0},
    {1077, 1077, ControlKind::CheckBox, 0, 0},
    {1166, 1166, ControlKind::CheckBox, 0, 0},
    {1175, 1176, ControlKind::CheckBox, 0, 0},
    {1183, 1186, ControlKind::CheckBox, 0, 0},
    // right-aligned, digits only
    {1035, 1038, ControlKind::Edit, kDigitsRight, 0},
    {1057, 1064, ControlKind::Edit, kDigitsRight, 0},
    {1090, 1091, ControlKind::Edit, kDigitsRight, 0},
    {1112, 1113, ControlKind::Edit, kDigitsRight, 0},
    {1119, 1120, ControlKind::Edit, kDigitsRight, 0},
    {1123, 1125, ControlKind::Edit, kDigitsRight, 0},
    {1127, 1135, ControlKind::Edit, kDigitsRight, 0},
    {1137, 1138, ControlKind::Edit, kDigitsRight, 0},
    {1143, 1146, ControlKind::Edit, kDigitsRight, 0},
    // right-aligned, any text (hexadecimal values, serial number parts)
    {1086, 1087, ControlKind::Edit, kEsRight, 0},
    {1139, 1142, ControlKind::Edit, kEsRight, 0},
    {1201, 1201, ControlKind::Edit, kEsRight, 0},
    {1204, 1205, ControlKind::Edit, kEsRight, 0},
    {7009, 7012, ControlKind::Edit, kEsRight, 0},
    {7018, 7021, ControlKind::Edit, kEsRight, 0},
    // read-only results
    {1452, 1453, ControlKind::Edit, kEsRight | kEsReadOnly, 0},
    {1126, 1126, ControlKind::Edit, kEsCenter | kEsReadOnly, 0},
    {1449, 1450, ControlKind::Edit, kEsCenter | kEsReadOnly, 0},
    // the MessageArea and the download progress
    {1033, 1033, ControlKind::Edit, kEsMultiline, 0},
    {1174, 1174, ControlKind::Progress, 0, 0},
};

// Fields that responses fill but the page layout never places.
struct HiddenField {
  int lo, hi;
  unsigned style;
};
const HiddenField kHiddenFields[] = {
    {1136, 1136, kDigitsRight},  // fourth reject reason count
    {1121, 1122, kEsRight},      // sonar calibration and sensor diagnosis extras
    {1078, 1085, kEsRight},      // opacity and length per cassette, as read
    {1191, 1194, kEsRight},      // cassette type per cassette, as read
};

const KindRange* FindPageKind(int id) {
  for (const auto& k : kPageKinds)
    if (id >= k.lo && id <= k.hi) return &k;
  return nullptr;
}

std::vector<ControlSpec> BuildTemplate() {
  std::vector<ControlSpec> defs;
  auto fixed = [&](int id, ControlKind kind, unsigned style, const char* text, int x, int y, int w,
                   int h) {
    ControlSpec s;
    s.id = id;
    s.kind = kind;
    s.style = style;
    s.text = text;
    s.rect = DialogUnitsToPixels(x, y, w, h);
    s.visible = true;
    defs.push_back(s);
  };
  fixed(ctl::kTab, ControlKind::Tab, 0, "", 7, 9, 485, 380);
  fixed(ctl::kCommGroup, ControlKind::GroupBox, 0, "COMM", 105, 392, 160, 30);
  fixed(ctl::kPortLabel, ControlKind::Label, 0, "Port number : COM", 112, 405, 63, 10);
  fixed(ctl::kPortCombo, ControlKind::Combo, 0, "", 175, 404, 25, 79);  // height includes the list
  fixed(ctl::kOpen, ControlKind::DefPushButton, 0, "OPEN", 208, 402, 50, 14);
  fixed(ctl::kAdminMode, ControlKind::PushButton, 0, "*Admin mode", 380, 396, 50, 17);
  fixed(ctl::kExit, ControlKind::PushButton, 0, "EXIT", 440, 396, 50, 22);
  fixed(ctl::kStatusLine, ControlKind::Edit, kEsReadOnly, "", 10, 400, 83, 15);

  // Page controls start hidden with empty text; ShowPage captions and places them.
  for (const PageLayoutEntry* e = PageLayoutTable; e->page != kEndPage; ++e) {
    if (e->page != 0) continue;
    const KindRange* k = FindPageKind(e->id);
    ControlSpec s;
    s.id = e->id;
    s.kind = k ? k->kind : ControlKind::Label;
    s.style = k ? k->style : 0;
    s.group = k ? k->group : 0;
    s.rect = Rect{e->left, e->top, e->right, e->bottom};
    defs.push_back(s);
  }
  for (const auto& h : kHiddenFields)
    for (int id = h.lo; id <= h.hi; ++id) {
      ControlSpec s;
      s.id = id;
      s.kind = ControlKind::Edit;
      s.style = h.style;
      defs.push_back(s);
    }
  return defs;
}

}  // namespace

Rect DialogUnitsToPixels(int x, int y, int w, int h) {
  return Rect{DluX(x), DluY(y), DluX(x + w), DluY(y + h)};
}

int ClientWidth() { return DluX(500); }
int ClientHeight() { return DluY(425); }

const std::vector<ControlSpec>& ConsoleTemplate() {
  static const std::vector<ControlSpec> defs = BuildTemplate();
  return defs;
}

ControlKind KindOf(int id) {
  static const std::map<int, ControlKind> kinds = [] {
    std::map<int, ControlKind> m;
    for (const auto& s : ConsoleTemplate()) m[s.id] = s.kind;
    return m;
  }();
  auto it = kinds.find(id);
  return it == kinds.end() ? ControlKind::Label : it->second;
}

const std::vector<int>& BoundTextIds() {
  static const std::vector<int> ids = [] {
    std::vector<int> v;
    for (const PageLayoutEntry* e = PageLayoutTable; e->page != kEndPage; ++e)
      if (e->page == 0 && KindOf(e->id) == ControlKind::Edit) v.push_back(e->id);
    v.push_back(ctl::kStatusLine);
    for (const auto& h : kHiddenFields)
      for (int id = h.lo; id <= h.hi; ++id) v.push_back(id);
    return v;
  }();
  return ids;
}

const std::vector<int>& BoundCheckIds() {
  static const std::vector<int> ids = [] {
    std::vector<int> v;
    for (const PageLayoutEntry* e = PageLayoutTable; e->page != kEndPage; ++e)
      if (e->page == 0 && KindOf(e->id) == ControlKind::CheckBox) v.push_back(e->id);
    return v;
  }();
  return ids;
}

}  // namespace qeld
