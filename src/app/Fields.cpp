// Start of the console, data exchange between controls and state, and OPEN.

#include <cstdio>

#include "app/ConsoleDialog.h"
#include "link/Frame.h"
#include "os/Os.h"

namespace qeld {

namespace {

// The port selector's text as an unsigned decimal number: blanks and tabs
// around it, digits only, no sign; 0 only when written as "0...".
bool ParsePortText(std::string text, unsigned& out) {
  if (text.size() > 31) text.resize(31);
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i < text.size() && text[i] == '-') return false;
  const size_t first = i;
  unsigned long long v = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    v = v * 10 + static_cast<unsigned>(text[i] - '0');
    if (v > 0xFFFFFFFFull) return false;
    ++i;
  }
  if (i == first) return false;
  if (v == 0 && text[first] != '0') return false;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i != text.size()) return false;
  out = static_cast<unsigned>(v);
  return true;
}

}  // namespace

void ConsoleDialog::ReadFields() {
  // The port selector is the first binding: a refused text ends the read.
  unsigned port;
  if (!ParsePortText(m_wnd.GetText(ctl::kPortCombo), port)) {
    m_wnd.MessageBox("양의 정수를 입력하십시오.", kAppName, MB_OK | MB_ICONEXCLAMATION);
    return;
  }
  m_nPort = port;
  for (auto& [id, text] : m_TextBindings) *text = m_wnd.GetText(id);
  for (auto& [id, check] : m_CheckBindings) *check = m_wnd.GetCheck(id);
  for (int i = 0; i < 4; ++i) m_nCstRadio[i] = m_nCstRadio2[i] = m_wnd.GetCheck(ctl::kCst[i]);
  m_nUnitDecCheck = m_wnd.GetCheck(ctl::kUnitDec);
  m_nUnitHexCheck = m_wnd.GetCheck(ctl::kUnitHex);
}

void ConsoleDialog::WriteFields() {
  auto checkState = [](int v) { return v < 0 || v > 2 ? 0 : v; };
  m_wnd.SetText(ctl::kPortCombo, std::to_string(m_nPort));
  for (const auto& [id, text] : m_TextBindings) m_wnd.SetText(id, *text);
  for (const auto& [id, check] : m_CheckBindings) m_wnd.SetCheck(id, checkState(*check));
  // Both bindings of the cassette radios are written; the second decides.
  for (int i = 0; i < 4; ++i) m_wnd.SetCheck(ctl::kCst[i], checkState(m_nCstRadio[i]));
  for (int i = 0; i < 4; ++i) m_wnd.SetCheck(ctl::kCst[i], checkState(m_nCstRadio2[i]));
  m_wnd.SetCheck(ctl::kUnitDec, checkState(m_nUnitDecCheck));
  m_wnd.SetCheck(ctl::kUnitHex, checkState(m_nUnitHexCheck));
}

int ConsoleDialog::InitConsole() {
  WriteFields();
  m_wnd.SetTitle(std::string("QELD Ver 1.15 International (") + __DATE__ + ")");
  // A higher priority keeps the ACKs prompt on a loaded PC; without the right
  // to raise it the console runs as it is.
  RaiseProcessPriority();
  m_wnd.AddTab(ctl::kTab, 0, "FUNCTION");
  m_Comm.m_hNotifyWnd = &m_wnd;
  (void)m_Comm.CreateEvents();

  m_bConnected = 0;
  m_bBusy = 0;
  m_bAdminMode = 0;
  m_nPage = 0;
  m_nRepeatLeft = 1;
  m_nRepeatCount = 1;
  m_nRepeatWait = 1;
  m_nTotalRequested = m_nTotalDispensed = m_nTotalRejected = 0;
  m_nRequested = m_nLastDispensed = m_nLastRejected = m_nAccDispensed = m_nAccRejected = {};
  m_nReason = {};

  ReadFields();
  m_nCstRadio = m_nCstRadio2 = {1, 0, 0, 0};
  m_nUnitDecCheck = 0;
  m_nUnitHexCheck = 1;
  Text(ctl::kStatusLine) = " Disconnected !!!";
  m_nProgress = 0;
  m_wnd.SetProgressRange(ctl::kProgress, 0, 200);
  m_wnd.SetProgressPos(ctl::kProgress, m_nProgress);
  WriteFields();
  RefreshPage();
  return 1;
}

void ConsoleDialog::OnOpen() {
  if (m_Comm.m_bOpen) m_Comm.ClosePort();
  // A download in progress does not survive the reopening.
  StopDownload();
  m_bStrayLogNoted = false;
  ReadFields();
  WriteFields();
  // The line monitor's times count from each OPEN.
  m_Monitor.Restart(m_wnd.NowMs(), Format("COM%u", m_nPort));
  m_bConnected = m_Comm.OpenPort(static_cast<int>(m_nPort), kBaudRate, kDataBits, kStopBitsOne, kParityEven) ? 1 : 0;
  std::string msg;
  if (m_bConnected) {
    msg = Format("COM%u connected", m_nPort);
    SendCommand(36);
    // The sequence query's answer is awaited with the console usable.
    m_bBusy = 0;
  } else {
    msg = Format("!!! Error COM%u connect !!!", m_nPort);
    // A technician who started the console from a terminal sees the reason.
    std::fprintf(stderr, "%s: %s\n", m_strProgramName.c_str(),
                 m_Comm.LastError().empty() ? msg.c_str() : m_Comm.LastError().c_str());
  }
  HideAllControls();
  RefreshEnables();
  ShowPage();
  ReadFields();
  Text(ctl::kStatusLine) = msg;
  WriteFields();
}

}  // namespace qeld
