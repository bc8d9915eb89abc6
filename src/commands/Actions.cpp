// Operator actions: each button sends its command unless a request is in flight.
#include "app/ConsoleDialog.h"

namespace qeld {

namespace {

struct ButtonCommand {
  int id;
  int command;
};

// Buttons whose whole action is "if idle, send this command".
constexpr ButtonCommand kButtons[] = {
    {1002, 2},  {1003, 3},  {1004, 4},  {1005, 5},  {1006, 6},  {1007, 7},  {1008, 8},
    {1011, 11}, {1012, 12}, {1013, 13}, {1014, 14}, {1015, 15}, {1016, 16}, {1017, 17},
    {1018, 18}, {7002, 28}, {7003, 26}, {7004, 25}, {7027, 41}, {7028, 42}, {1172, 22},
    {1198, 30}, {1199, 31}, {1447, 37}, {1448, 38}, {1451, 39},
};

}  // namespace

void ConsoleDialog::OnButton(int id) {
  switch (id) {
    case 1001: OnDispense(); return;
    case ctl::kCancelRepeat: OnCancelRepeat(); return;
    case 1170: OnGoLoader(); return;
    case 1173: OnReset(); return;
    default: break;
  }
  for (const auto& b : kButtons) {
    if (b.id != id) continue;
    if (m_bBusy) return;
    SendCommand(b.command);
    return;
  }
}

void ConsoleDialog::OnDispense() {
  ReadFields();
  if (m_bBusy) return;
  SendCommand(Check(ctl::kIgnoreCashOut) == 1 ? 29 : 1);
}

void ConsoleDialog::OnCancelRepeat() {
  // The request in flight is left alone; the run ends at its next completion step.
  m_nRepeatLeft = 1;
  m_nRepeatCount = 1;
  WriteFields();
}

void ConsoleDialog::OnGoLoader() {
  if (m_bBusy) return;
  SendCommand(20);
  // The module restarts into its loader; the console stays usable meanwhile.
  m_bBusy = 0;
  RefreshEnables();
}

void ConsoleDialog::OnReset() {
  m_nProgress = 0;
  if (m_bBusy) return;
  SendCommand(23);
  m_bBusy = 0;
  RefreshEnables();
}

}  // namespace qeld
