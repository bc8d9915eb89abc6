// Field resets: the small button that clears the page, and "*Init".
#include "app/ConsoleDialog.h"

namespace qeld {

namespace {
// Every page-0 edit field that is emptied by the clear button.
constexpr int kClearedFields[] = {
    1035, 1036, 1037, 1038, 1057, 1058, 1059, 1060, 1061, 1062, 1063, 1064, 1139, 1140, 1141, 1142,
    1143, 1144, 1145, 1146, 1132, 1133, 1134, 1135, 1137, 1138, 1033, 7018, 7019, 7020, 7021, 7009,
    7010, 7011, 7012, 1090, 1091, 1112, 1113, 1086, 1087, 1119, 1120, 1123, 1124, 1125, 1452, 1453,
    1126, 1449, 1450, 1201, 1204, 1205,
};
// The settings emptied before "*Init" asks the module to initialise its values.
constexpr int kSettingFields[] = {7018, 7019, 7020, 7021, 7009, 7010, 7011, 7012,
                                  1090, 1091, 1112, 1113, 1086, 1087};
}  // namespace

void ConsoleDialog::OnClearFields() {
  // Read first, so that what the operator ticked (cassette, unit, log mode)
  // stays as it is; every text below is replaced anyway.
  ReadFields();
  Text(ctl::kRepeat) = "1";
  Text(ctl::kWait) = "1";
  Text(ctl::kTotalRequested) = "0";
  Text(ctl::kTotalDispensed) = "0";
  Text(ctl::kTotalRejected) = "0";
  for (int id : kClearedFields) Text(id).clear();
  m_nProgress = 0;
  m_wnd.SetProgressPos(ctl::kProgress, 0);
  WriteFields();
  ClearMessageArea();
  ShowPage();
}

void ConsoleDialog::OnInitValues() {
  if (m_wnd.MessageBox("Do you really want to initialize all values?", kAppName, MB_YESNO) != IDYES) return;
  if (m_bBusy) return;
  for (int id : kSettingFields) Text(id).clear();
  WriteFields();
  SendCommand(27);
}

}  // namespace qeld
