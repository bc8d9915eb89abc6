// The console window's template: control ids, kinds, the page layout table and
// the bindings between controls and state.
#pragma once
#include <cstdint>
#include <vector>

#include "window/Window.h"

namespace qeld {

// Control ids used by name in the code.
namespace ctl {
constexpr int kOpen = 1;          // default button "OPEN" (the dialog's OK id)
constexpr int kExit = 2;          // "EXIT" (the dialog's cancel id)
constexpr int kTab = 1000;
constexpr int kPortCombo = 2000;
constexpr int kCommGroup = 2001;
constexpr int kPortLabel = 7014;
constexpr int kAdminMode = 9999;
constexpr int kStatusLine = 1034;
constexpr int kMessageArea = 1033;
constexpr int kProgress = 1174;
constexpr int kRepeat = 1127;
constexpr int kWait = 1128;
constexpr int kTotalRequested = 1129;
constexpr int kTotalDispensed = 1130;
constexpr int kTotalRejected = 1131;
constexpr int kIgnoreCashOut = 7013;
constexpr int kLogMode = 7025;
constexpr int kUnitDec = 7022;
constexpr int kUnitHex = 7023;
constexpr int kCst[4] = {1043, 1044, 1045, 1114};
constexpr int kRequest[4] = {1035, 1036, 1037, 1038};
constexpr int kAddr = 1086;
constexpr int kValue = 1087;
constexpr int kSerial[3] = {1201, 1204, 1205};
constexpr int kOpacity[4] = {7018, 7019, 7020, 7021};
constexpr int kLength[4] = {7009, 7010, 7011, 7012};
constexpr int kType[4] = {1090, 1091, 1112, 1113};
constexpr int kLastDispensed[4] = {1057, 1058, 1059, 1060};
constexpr int kLastRejected[4] = {1061, 1062, 1063, 1064};
constexpr int kAccDispensed[4] = {1139, 1140, 1141, 1142};
constexpr int kAccRejected[4] = {1143, 1144, 1145, 1146};
// Reason count fields in the order of ConsoleDialog::m_nReason:
// Sonar, LEN, FSNR, fourth reason, FLEN, FDST, PICK.
constexpr int kReason[7] = {1133, 1134, 1135, 1136, 1137, 1138, 1132};
constexpr int kCancelRepeat = 7000;
constexpr int kDownloadFrame = 2007;
constexpr int kClearFields = 1288;
constexpr int kInitValues = 7001;
constexpr int kWriteProg = 1171;
constexpr int kLogData = 1019;
}  // namespace ctl

// One row of the page layout. Note the order of the rectangle.
struct PageLayoutEntry {
  int32_t page;  // 15 marks the end row
  int32_t id;
  char caption[60];
  int32_t top, left, bottom, right;  // client pixels
  int32_t operable;                  // 0: always disabled
};
constexpr int32_t kEndPage = 15;

// The rows of page 0 in table order, ended by the end row.
extern const PageLayoutEntry PageLayoutTable[];

// The nine controls that are enabled only in admin mode.
bool IsAdminOnly(int id);

// The whole window template: the fixed controls, every page control and the
// hidden fields that responses fill. Fixed controls are placed in dialog units
// converted to client pixels.
const std::vector<ControlSpec>& ConsoleTemplate();
ControlKind KindOf(int id);

// Dialog units of the template's font (Tahoma 9 pt) to client pixels.
Rect DialogUnitsToPixels(int x, int y, int w, int h);
// Client size of the console window in pixels (500 x 425 dialog units).
int ClientWidth();
int ClientHeight();

// Bound controls (besides the port selector, the cassette radios and the
// unit switch, which have bindings of their own).
const std::vector<int>& BoundTextIds();   // edit fields and the StatusLine
const std::vector<int>& BoundCheckIds();  // check boxes (and radios other than the above)

}  // namespace qeld
