// CComm on Win32 serial communications.
#include <algorithm>
#include <cstring>

#include "comm/Comm.h"
#include "platform/Win32.h"

namespace qeld {
namespace {
std::atomic<int> g_nReaders{0};
}  // namespace

CComm::~CComm() { ClosePort(); }

int CComm::CreateEvents() { return 1; }

std::string CComm::DevicePath(int port) { return "\\\\.\\COM" + std::to_string(port); }

int CComm::OpenPort(int port, int, int, int, int) {
  const unsigned n = static_cast<uint16_t>(port);
  if (n > static_cast<unsigned>(kMaxPort)) {
    m_strLastError = "COM" + std::to_string(n) + ": no such port (COM1 to COM" + std::to_string(kMaxPort) + ")";
    return 0;
  }
  ClosePort();
  m_strLastError.clear();
  if (m_pLine) {
    if (!m_pLine->Open(static_cast<int>(n))) {
      m_strLastError = "COM" + std::to_string(n) + ": the line did not open";
      return 0;
    }
    ++m_nOpenings;
    m_bOpen = 1;
    return 1;
  }
  m_strLastError = "COM" + std::to_string(n) + ": serial ports are not built yet";
  return 0;
}

int CComm::ConfigureLine(int, int, int, int) { return m_pLine ? 1 : 0; }

int CComm::ClosePort() {
  const bool wasOpen = m_bOpen.exchange(0) != 0;
  if (m_pLine && wasOpen) m_pLine->Close();
  return 1;
}

int CComm::ReadAvailable(uint8_t*, int) { return 0; }

int CComm::WritePort(const uint8_t* data, int len) {
  if (m_pLine) {
    if (m_WriteTap && len > 0) m_WriteTap(data, len);
    m_pLine->Write(data, len);
    return 1;
  }
  return 0;
}

void CComm::Deliver(const uint8_t* data, int len) {
  for (int off = 0; off < len; off += kRxDeliveryMax) {
    const int n = std::min(kRxDeliveryMax, len - off);
    std::memcpy(m_RxBuffer, data + off, static_cast<size_t>(n));
    m_nRxLength = static_cast<uint16_t>(n);
    if (WindowHandler* h = m_hNotifyWnd ? m_hNotifyWnd->Handler() : nullptr) h->OnMessage(UM_COMM_DATA, 0, 0);
  }
}

int CComm::ReadersRunning() { return g_nReaders.load(); }

void CComm::ReaderThread() {}
bool CComm::ReaderLoop() { return false; }
void CComm::StopReader() {}
void CComm::CloseDevice() {}

}  // namespace qeld
