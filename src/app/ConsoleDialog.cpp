#include "app/ConsoleDialog.h"

#include "link/Frame.h"

namespace qeld {

ConsoleDialog::ConsoleDialog(WindowHost& wnd)
    : m_wnd(wnd), m_bLogMode(m_nCheck[ctl::kLogMode]), m_Image(kImageSize, 0xFF) {
  for (int id : BoundTextIds())
    if (id != ctl::kMessageArea) m_TextBindings.emplace_back(id, &m_strText[id]);
  for (int id : BoundCheckIds()) m_CheckBindings.emplace_back(id, &(m_nCheck[id] = 0));
  m_wnd.SetHandler(this);
  m_wnd.CreateControls(ConsoleTemplate());
  // The line monitor's taps: what the console writes here, what it receives
  // in OnCommData. Both only copy bytes into the monitor while it is open.
  m_Comm.SetWriteTap([this](const uint8_t* data, int len) {
    if (m_Monitor.Enabled()) m_Monitor.Record(LineDir::ToModule, m_wnd.NowMs(), data, len);
  });
  m_wnd.AttachLineMonitor(&m_Monitor);
}

ConsoleDialog::~ConsoleDialog() {
  m_wnd.AttachLineMonitor(nullptr);
  m_Comm.SetWriteTap(nullptr);
  m_Comm.ClosePort();
  CloseLogFile();
  if (m_wnd.Handler() == this) m_wnd.SetHandler(nullptr);
}

int ConsoleDialog::DoModal() {
  InitConsole();
  return m_wnd.RunModal();
}

void ConsoleDialog::OnCommand(int id) {
  switch (id) {
    case ctl::kOpen: OnOpen(); break;
    case ctl::kExit: m_wnd.EndModal(IDCANCEL); break;
    case ctl::kAdminMode: OnAdminMode(); break;
    case ctl::kClearFields: OnClearFields(); break;
    case ctl::kInitValues: OnInitValues(); break;
    case ctl::kWriteProg: OnWriteProg(); break;
    case ctl::kLogData: OnLogData(); break;
    default: OnButton(id); break;
  }
}

void ConsoleDialog::OnTimer(int id) { TimerDispatch(id); }

void ConsoleDialog::AppendMessage(const std::string& text) {
  std::string& area = Text(ctl::kMessageArea);
  area += text;
  KeepTail(area, kMessageAreaKeep);
  m_wnd.AppendText(ctl::kMessageArea, text, kMessageAreaKeep);
}

void ConsoleDialog::ClearMessageArea() {
  Text(ctl::kMessageArea).clear();
  m_strLogFolderNoted.clear();  // said again when it still holds
  m_wnd.SetText(ctl::kMessageArea, "");
}

LRESULT ConsoleDialog::OnMessage(unsigned msg, WPARAM w, LPARAM) {
  switch (msg) {
    case UM_COMM_DATA: return OnCommData();
    case UM_RESPONSE: return OnResponseFrame(w);
    case UM_SEND_NEXT:
      // Posted by a block's answer; a download abandoned since sends nothing more.
      if (m_bDownloading) SendCommand(21);
      return 1;
    case UM_PORT_LOST: OnPortLost(static_cast<uint32_t>(w)); return 1;
    default: return 0;
  }
}

void ConsoleDialog::OnAbout() {
  m_wnd.AboutBox("About QELD TP", "QELD Version 1.12",
                 Format("Console %s, built %s", QELD_VERSION_STRING, __DATE__));
}

// The reader thread found the device gone (adapter pulled, line closed): the
// console drops the port and disables the page as the ACK failure does; OPEN
// connects again once the device is back.
void ConsoleDialog::OnPortLost(uint32_t opening) {
  // A notice about an opening that OPEN has since replaced is stale.
  if (!m_Comm.m_bOpen || opening != m_Comm.m_nOpenings) return;
  m_Comm.ClosePort();
  for (int t : {kTimerAck, kTimerResponse, kTimerRepeat, kTimerLogRequest}) m_wnd.KillTimer(t);
  StopDownload();
  m_bBusy = 0;
  m_nRepeatCount = 0;
  m_nRepeatLeft = 0;
  m_nAckRetries = 0;
  ReadFields();
  Text(ctl::kStatusLine) = Format("!!! COM%u lost !!!", m_nPort);
  m_bConnected = 0;
  WriteFields();
  RefreshEnables();
}

}  // namespace qeld
