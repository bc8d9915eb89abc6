// TEMPORARY stand-in until the layout branch lands.
#include "app/Controls.h"

#include <algorithm>

namespace qeld {

namespace {
bool In(int id, std::initializer_list<int> ids) { return std::find(ids.begin(), ids.end(), id) != ids.end(); }
bool Between(int id, int a, int b) { return id >= a && id <= b; }
}  // namespace

ControlKind KindOf(int id) {
  if (id == 1000) return ControlKind::Tab;
  if (id == 2000) return ControlKind::Combo;
  if (id == 1) return ControlKind::DefPushButton;
  if (id == 2 || id == 9999) return ControlKind::PushButton;
  if (id == 1034) return ControlKind::Edit;
  if (id == 2001 || In(id, {2002, 2003, 2004, 2005, 2006, 2007, 2008, 2009, 2010, 7024, 1031, 1032, 1065, 1076}))
    return ControlKind::GroupBox;
  if (id == 7014 || In(id, {7005, 7006, 7007, 7008, 7015, 7016, 7026, 1149, 1150, 1152, 1161, 1162, 1163}) ||
      Between(id, 1021, 1027) || Between(id, 1153, 1158))
    return ControlKind::Label;
  if (In(id, {7022, 7023, 1043, 1044, 1045, 1114})) return ControlKind::RadioButton;
  if (In(id, {7013, 7025, 1077, 1166, 1175, 1176}) || Between(id, 1046, 1056) || Between(id, 1066, 1075) ||
      Between(id, 1183, 1186))
    return ControlKind::CheckBox;
  if (id == 1174) return ControlKind::Progress;
  if (Between(id, 1001, 1019) || In(id, {1288, 1447, 1448, 1451, 1198, 1199, 7027, 7028}) || Between(id, 1170, 1173) ||
      Between(id, 7000, 7004))
    return ControlKind::PushButton;
  return ControlKind::Edit;
}

const std::vector<ControlSpec>& ConsoleTemplate() {
  static const std::vector<ControlSpec> defs = [] {
    std::vector<ControlSpec> v;
    for (int id : {1000, 2001, 7014, 2000, 1, 9999, 2, 1034}) v.push_back({id, KindOf(id), 0, "", {}, true, 0});
    for (const PageLayoutEntry* e = PageLayoutTable; e->page != kEndPage; ++e) {
      ControlSpec s{e->id, KindOf(e->id), 0, "", {}, false, 0};
      if (In(e->id, {7022, 7023})) s.group = 1;
      if (In(e->id, {1043, 1044, 1045, 1114})) s.group = 2;
      if (s.kind == ControlKind::Edit && e->id != 1033 &&
          (Between(e->id, 1035, 1038) || Between(e->id, 1057, 1064) || Between(e->id, 1127, 1135) ||
           Between(e->id, 1143, 1146) || In(e->id, {1090, 1091, 1112, 1113, 1119, 1120, 1123, 1124, 1125, 1137, 1138})))
        s.style = kEsRight | kEsDigits;
      v.push_back(s);
    }
    for (int id : {1136, 1121, 1122, 1078, 1079, 1080, 1081, 1082, 1083, 1084, 1085, 1191, 1192, 1193, 1194})
      v.push_back({id, ControlKind::Edit, 0, "", {}, false, 0});
    return v;
  }();
  return defs;
}

const std::vector<int>& BoundTextIds() {
  static const std::vector<int> ids = [] {
    std::vector<int> v;
    for (const auto& s : ConsoleTemplate())
      if (s.kind == ControlKind::Edit) v.push_back(s.id);
    return v;
  }();
  return ids;
}

const std::vector<int>& BoundCheckIds() {
  static const std::vector<int> ids = [] {
    std::vector<int> v;
    for (const auto& s : ConsoleTemplate())
      if (s.kind == ControlKind::CheckBox) v.push_back(s.id);
    return v;
  }();
  return ids;
}

Rect DialogUnitsToPixels(int x, int y, int w, int h) {
  return Rect{x * 7 / 4, y * 15 / 8, (x + w) * 7 / 4, (y + h) * 15 / 8};
}
int ClientWidth() { return 500 * 7 / 4; }
int ClientHeight() { return 425 * 15 / 8; }

}  // namespace qeld
