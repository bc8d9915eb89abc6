// The parts of CComm that are the same on every target; CommPosix.cpp and
// CommWin32.cpp hold the device itself.
#include "comm/Comm.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <system_error>

namespace qeld {

std::atomic<int> CComm::s_nReaders{0};

int CComm::ReadersRunning() { return s_nReaders.load(); }

int CComm::BeginOpen(int port) {
  // Refused before anything is touched, and never cut to fewer bits: COM65537
  // must not open COM1 while the status line names COM65537.
  const std::string name = "COM" + std::to_string(static_cast<unsigned>(port));
  if (port < 1 || port > kMaxPort) {
    m_strLastError = name + ": no such port (COM1 to COM" + std::to_string(kMaxPort) + ")";
    return 0;
  }
  // Reopening goes through ClosePort, which waits for the old reader: there
  // are never two.
  ClosePort();
  m_strLastError.clear();
  if (!m_pLine) return kOpenDevice;
  if (!m_pLine->Open(port)) {
    m_strLastError = name + ": the line did not open";
    return 0;
  }
  ++m_nOpenings;
  m_bOpen = 1;
  return 1;
}

std::string CComm::StartReader() {
  ++m_nOpenings;
  m_Gate.Open();
  m_bOpen = 1;
  // Counted here rather than in the thread, so the count is right as soon as
  // OpenPort returns.
  ++s_nReaders;
  try {
    m_Reader = std::thread(&CComm::ReaderThread, this);
  } catch (const std::system_error& e) {
    --s_nReaders;
    m_bOpen = 0;
    m_Gate.Close();
    CloseDevice();
    return std::string("cannot start the reader: ") + e.what();
  }
  return "";
}

int CComm::ClosePort() {
  const bool wasOpen = m_bOpen.exchange(0) != 0;
  if (m_pLine) {
    if (wasOpen) m_pLine->Close();
    return 1;
  }
  StopReader();
  CloseDevice();
  return 1;
}

void CComm::StopReader() {
  // The reader may be waiting inside its hand-over for this very thread.
  // Release it first, then end its wait; only then is waiting for it safe.
  m_Gate.Close();
  if (!m_Reader.joinable()) return;
  WakeReader();
  m_Reader.join();
}

void CComm::Deliver(const uint8_t* data, int len) {
  for (int off = 0; off < len; off += kRxDeliveryMax) {
    const int n = std::min(kRxDeliveryMax, len - off);
    std::memcpy(m_RxBuffer, data + off, static_cast<size_t>(n));
    m_nRxLength = static_cast<uint16_t>(n);
    if (WindowHandler* h = m_hNotifyWnd ? m_hNotifyWnd->Handler() : nullptr) h->OnMessage(UM_COMM_DATA, 0, 0);
  }
}

}  // namespace qeld
