// The transaction: timers watching it, the retransmission policy and the
// completion step that closes it.
#include "app/ConsoleDialog.h"
#include "link/Frame.h"

namespace qeld {

namespace {

bool IsTransactionEnding(int letter) {
  return (letter >= 0x50 && letter <= 0x58) || (letter >= 0x5A && letter <= 0x66) ||
         (letter >= 0x70 && letter <= 0x76) || letter == 0x7E;
}

bool IsDispenseLetter(int letter) {
  return letter == 'R' || letter == 'S' || letter == 'T' || letter == 'p';
}

}  // namespace

void ConsoleDialog::Transmit(const uint8_t* frame, int len) {
  m_Comm.WritePort(frame, len);
  m_wnd.SetTimer(kTimerAck, static_cast<unsigned>(kAckTimeout.count()));
  m_nRxState = 1;
}

void ConsoleDialog::TimerDispatch(int id) {
  m_wnd.KillTimer(id);  // every timer fires once per start
  switch (id) {
    case kTimerAck:
      if (m_nAckRetries < kAckRetries) {
        // The retransmission keeps m_bBusy as it was: the sequence query, Go
        // Loader and Reset release it at once, and setting it here would leave
        // every button dead until OPEN, since their answers never end a run.
        const uint8_t* frame = m_bLastSentLog ? m_RequestBuffer + kLogRequestPos : m_RequestBuffer;
        Transmit(frame, m_bLastSentLog ? m_nLogRequestLength : m_nRequestLength);
        ++m_nAckRetries;
      } else {
        StopDownload();
        m_bBusy = 0;
        m_nRepeatCount = 0;
        m_nRepeatLeft = 0;
        m_nAckRetries = 0;
        ReadFields();
        Text(ctl::kStatusLine) = "!!! Error ACK Timeout !!!";
        m_bConnected = 0;
        WriteFields();
        RefreshEnables();
      }
      break;
    case kTimerResponse:
      m_bBusy = 0;
      m_nRepeatCount = 0;
      m_nRepeatLeft = 0;
      ReadFields();
      Text(ctl::kStatusLine) = "!!! Error Response Timeout !!!";
      WriteFields();
      RefreshEnables();
      break;
    case kTimerProgress: OnProgressTimer(); break;
    case kTimerUnitPoll: UnitSwitchPoll(); break;
    case kTimerRepeat: OnRepeatTimer(); break;
    case kTimerLogRequest: OnLogRequestTimer(); break;
    default: break;
  }
  RefreshEnables();
}

LRESULT ConsoleDialog::OnResponseFrame(WPARAM) {
  if (m_bConnected == 0) return 0;
  ApplyResponse();
  const int letter = m_nFrameLength > 3 ? static_cast<uint8_t>(m_strFrame[3]) : 0;
  if (letter == 'w') return 1;
  if (!IsTransactionEnding(letter)) {
    ShowRunStatistics();
    return 1;
  }
  const int before = m_nRepeatLeft;
  if (before <= 0) {
    // No transaction is open (a late answer after a time-out): it ends
    // nothing and schedules nothing.
    ShowRunStatistics();
    return 1;
  }
  m_nRepeatLeft = before - 1;
  if (m_bLogMode == 1 && IsDispenseLetter(letter)) {
    m_nRepeatLeft = before;  // the log response completes this repetition
    m_wnd.SetTimer(kTimerLogRequest, static_cast<unsigned>(kLogRequestDelay.count()));
  } else if (m_nRepeatLeft > 0) {
    m_wnd.KillTimer(kTimerLogRequest);
    m_wnd.SetTimer(kTimerRepeat, static_cast<unsigned>(m_nRepeatWait) * 1000u);
  } else {
    m_wnd.KillTimer(kTimerRepeat);
    m_bBusy = 0;
    m_nRepeatLeft = m_nRepeatCount;
    RefreshEnables();
  }
  ShowRunStatistics();
  return 1;
}

}  // namespace qeld
