// The receiver: frames collected from the reader's deliveries, checked,
// answered with ACK or NAK and dispatched.
#include "app/ConsoleDialog.h"
#include "link/Frame.h"

namespace qeld {

namespace {
// No real response comes near this; a line that streams bytes without an ETX
// must not grow the frame without bound.
constexpr int kMaxFrame = 65536;
}  // namespace

int ConsoleDialog::OnCommData() {
  // The reader waits in its hand-over until we return, so its buffer is stable;
  // a copy keeps a nested delivery (from a box's loop) from disturbing this one.
  uint8_t bytes[kRxBufferSize];
  const int n = std::min<int>(m_Comm.m_nRxLength, kRxDeliveryMax);
  std::copy(m_Comm.m_RxBuffer, m_Comm.m_RxBuffer + n, bytes);
  // The line monitor's read tap, ahead of the receiver (which it does not touch).
  if (m_Monitor.Enabled()) m_Monitor.Record(LineDir::FromModule, m_wnd.NowMs(), bytes, n);

  for (int i = 0; i < n; ++i) {
    const uint8_t b = bytes[i];
    switch (m_nRxState) {
      case 0:  // hunt for SOH
        m_nFrameLength = 0;
        m_strFrame.clear();
        if (b == SOH) {
          m_strFrame.push_back(static_cast<char>(b));
          m_nFrameLength = 1;
          m_nRxState = 2;
        }
        break;
      case 1:  // await ACK; anything else (a response arriving early included) is discarded
        if (b == ACK) {
          m_wnd.KillTimer(kTimerAck);
          m_nAckRetries = 0;
          m_nRxState = 0;
        }
        break;
      case 2:  // collect up to ETX
        m_strFrame.push_back(static_cast<char>(b));
        ++m_nFrameLength;
        if (b == ETX) {
          m_nRxState = 3;
        } else if (m_nFrameLength >= kMaxFrame) {
          m_nRxState = 0;  // runaway frame: drop it and hunt again
        }
        break;
      case 3: {  // check byte
        m_strFrame.push_back(static_cast<char>(b));
        ++m_nFrameLength;
        m_nRxState = 0;
        const auto* f = reinterpret_cast<const uint8_t*>(m_strFrame.data());
        const bool logData = m_nFrameLength > 3 && f[3] == '~';  // log data carries no usable BCC
        if (!logData && Bcc(f, m_nFrameLength) != 0) {
          m_Comm.WritePort(&NAK, 1);  // the module sends the frame again
          break;
        }
        m_wnd.KillTimer(kTimerResponse);
        m_Comm.WritePort(&ACK, 1);
        OnResponseFrame(static_cast<WPARAM>(m_nFrameLength));
        break;
      }
      default:
        break;
    }
  }
  return 1;
}

}  // namespace qeld
