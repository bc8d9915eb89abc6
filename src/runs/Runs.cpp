// Repeat runs of the dispense family and their statistics.
#include "app/ConsoleDialog.h"
#include "link/Frame.h"

namespace qeld {

namespace {
constexpr int kSequencePos = 10;  // sequence byte of a dispense request
constexpr int kDispenseFrameLength = 13;
}  // namespace

void ConsoleDialog::ShowRunStatistics() {
  ReadFields();
  Text(ctl::kRepeat) = Format("%d", m_nRepeatLeft);
  Text(ctl::kTotalRequested) = Format("%d", m_nTotalRequested);
  Text(ctl::kTotalDispensed) = Format("%d", m_nTotalDispensed);
  Text(ctl::kTotalRejected) = Format("%d", m_nTotalRejected);
  WriteFields();
}

void ConsoleDialog::UpdateDispenseStatistics(bool purge) {
  const auto* f = reinterpret_cast<const uint8_t*>(m_strFrame.data());
  auto count = [&](int pos) { return purge ? static_cast<int8_t>(f[pos]) - kSpace : f[pos] - kSpace; };
  m_nTotalDispensed = m_nTotalRejected = 0;
  for (int n = 0; n < 4; ++n) {
    m_nLastDispensed[n] = count(6 + 3 * n);
    m_nLastRejected[n] = count(7 + 3 * n);
    m_nAccDispensed[n] += m_nLastDispensed[n];
    m_nAccRejected[n] += m_nLastRejected[n];
    m_nTotalDispensed += m_nAccDispensed[n];
    m_nTotalRejected += m_nAccRejected[n];
  }
  if (purge) return;  // the purge's counts show through the run totals only
  // Sonar, LEN, FSNR, fourth reason, FLEN, FDST at 19..24 and PICK at 26, signed.
  static constexpr int kReasonPos[7] = {19, 20, 21, 22, 23, 24, 26};
  for (int i = 0; i < 7; ++i) m_nReason[i] += static_cast<int8_t>(f[kReasonPos[i]]) - kSpace;
  for (int n = 0; n < 4; ++n) {
    Text(ctl::kLastDispensed[n]) = Format("%d", m_nLastDispensed[n]);
    Text(ctl::kLastRejected[n]) = Format("%d", m_nLastRejected[n]);
    Text(ctl::kAccDispensed[n]) = Format("%d", m_nAccDispensed[n]);
    Text(ctl::kAccRejected[n]) = Format("%d", m_nAccRejected[n]);
  }
  for (int i = 0; i < 7; ++i) Text(ctl::kReason[i]) = Format("%d", m_nReason[i]);
}

void ConsoleDialog::OnRepeatTimer() {
  m_bBusy = 1;
  RefreshEnables();
  const int c = m_cLastCommand;
  const bool dispense = c == 'R' || c == 'S' || c == 'T' || c == 'p' || (c == '~' && m_bLogMode == 1);
  const int held = m_RequestBuffer[3];
  const bool heldDispense = held == 'R' || held == 'S' || held == 'T' || held == 'p';
  if (dispense && heldDispense && m_nRequestLength == kDispenseFrameLength) {
    // Each repetition carries a fresh sequence byte.
    m_RequestBuffer[kSequencePos] = static_cast<uint8_t>(kSpace + m_nSequence);
    m_nSequence = static_cast<unsigned>(m_nSequence) < 95u ? m_nSequence + 1 : 1;
    m_RequestBuffer[kDispenseFrameLength - 1] = Bcc(m_RequestBuffer, kDispenseFrameLength - 1);
  }
  m_bLastSentLog = false;
  m_Comm.WritePort(m_RequestBuffer, m_nRequestLength);
  m_wnd.SetTimer(kTimerResponse, static_cast<unsigned>(kRunResponseTimeout.count()));
  for (int n : m_nRequested) m_nTotalRequested += n;
  ShowRunStatistics();
  m_wnd.SetTimer(kTimerAck, static_cast<unsigned>(kAckTimeout.count()));
  m_nRxState = 1;
}

void ConsoleDialog::OnLogRequestTimer() {
  if (!m_hLogFile) OnLogData();
  m_bBusy = 1;
  RefreshEnables();
  static constexpr uint8_t kLogRequest[] = {EOT, '0', STX, '~', '0', ETX};
  uint8_t* req = m_RequestBuffer + kLogRequestPos;
  std::copy(std::begin(kLogRequest), std::end(kLogRequest), req);
  req[6] = Bcc(req, 6);
  req[7] = 0;
  m_nLogRequestLength = 7;
  m_cLastCommand = '~';
  m_bLastSentLog = true;
  m_Comm.WritePort(req, m_nLogRequestLength);
  m_wnd.SetTimer(kTimerResponse, static_cast<unsigned>(kRunResponseTimeout.count()));
  ShowRunStatistics();
  m_wnd.SetTimer(kTimerAck, static_cast<unsigned>(kAckTimeout.count()));
  m_nRxState = 1;
}

}  // namespace qeld
