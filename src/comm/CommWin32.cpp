// CComm on Win32 serial communications. The window's thread opens, writes and
// closes; one reader thread per opening waits for received characters
// (WaitCommEvent, overlapped) and hands each burst to the window
// synchronously, so the hand-over buffer needs no lock.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <system_error>

#include "comm/Comm.h"
#include "comm/PortLockWin32.h"
#include "os/Utf16.h"
#include "os/Win32.h"

namespace qeld {
namespace {

constexpr DWORD kQueueSize = 4096;  // driver's input and output queues
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr char kInUse[] = "in use by another program";

HANDLE PortHandle(int h) { return h == -1 ? INVALID_HANDLE_VALUE : LongToHandle(h); }

// What a technician can act on, for the errors opening a port commonly meets;
// every other error keeps the system's own text.
struct OpenReason {
  DWORD err;
  const char* text;
};
constexpr OpenReason kOpenReasons[] = {
    {ERROR_FILE_NOT_FOUND, "no such device"},
    {ERROR_PATH_NOT_FOUND, "no such device"},
    // A COM port is opened exclusively: "access denied" means someone holds it.
    {ERROR_ACCESS_DENIED, kInUse},
    {ERROR_SHARING_VIOLATION, kInUse},
};

std::string OpenFailure(DWORD err) {
  const auto* r = std::find_if(std::begin(kOpenReasons), std::end(kOpenReasons),
                               [&](const OpenReason& x) { return x.err == err; });
  return r == std::end(kOpenReasons) ? SystemMessage(err) : r->text;
}

std::string PortError(unsigned port, const std::string& name, const std::string& reason) {
  return "COM" + std::to_string(port) + " (" + name + "): " + reason;
}

// Waits for an overlapped call to end, however long that takes; used after a
// cancel, when the record must not be left to the driver.
void Settle(HANDLE h, OVERLAPPED& ov) {
  DWORD n = 0;
  GetOverlappedResult(h, &ov, &n, TRUE);
}

}  // namespace

CComm::~CComm() {
  ClosePort();
  for (void* e : {m_hReadEvent, m_hWriteEvent, m_hStopEvent})
    if (e) CloseHandle(e);
}

int CComm::CreateEvents() {
  for (void** e : {&m_hReadEvent, &m_hWriteEvent, &m_hStopEvent}) {
    if (!*e) *e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  return m_hReadEvent && m_hWriteEvent && m_hStopEvent ? 1 : 0;
}

// COM1..COM10 are the system's own names; \\.\ reaches COM10 as well.
std::string CComm::DevicePath(int port) { return "\\\\.\\COM" + std::to_string(port); }

int CComm::OpenPort(int port, int baud, int dataBits, int stopBits, int parity) {
  if (const int decided = BeginOpen(port); decided != kOpenDevice) return decided;
  const unsigned n = static_cast<unsigned>(port);

  const std::string name = DevicePath(static_cast<int>(n));
  std::snprintf(m_szPortName, sizeof m_szPortName, "%s", name.c_str());
  if (!CreateEvents()) {
    m_strLastError = PortError(n, name, "cannot create the port's events: " + SystemMessage(GetLastError()));
    return 0;
  }
  // Not shared: a second program (or a second console) is refused. The
  // named mutex is taken first, so a refused open leaves the holder's line
  // alone.
  const HANDLE lock = CreateMutexW(nullptr, FALSE, PortLockName(n).c_str());
  if (!lock || GetLastError() == ERROR_ALREADY_EXISTS) {
    const DWORD err = GetLastError();
    if (lock) CloseHandle(lock);
    m_strLastError = PortError(n, name, lock ? kInUse : SystemMessage(err));
    return 0;
  }
  m_hPortLock = lock;
  const HANDLE h = CreateFileW(Widen(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    m_strLastError = PortError(n, name, OpenFailure(GetLastError()));
    CloseHandle(m_hPortLock);
    m_hPortLock = nullptr;
    return 0;
  }
  m_hPort = HandleToLong(h);

  COMMTIMEOUTS to{};
  to.ReadIntervalTimeout = MAXDWORD;
  to.ReadTotalTimeoutMultiplier = 0;
  to.ReadTotalTimeoutConstant = 1000;
  to.WriteTotalTimeoutMultiplier = 0;
  to.WriteTotalTimeoutConstant = 1000;
  if (!SetCommMask(h, EV_RXCHAR) || !SetupComm(h, kQueueSize, kQueueSize) || !PurgeComm(h, kPurgeAll) ||
      !SetCommTimeouts(h, &to)) {
    const std::string why = OpenFailure(GetLastError());
    CloseDevice();
    m_strLastError = PortError(n, name, why);
    return 0;
  }
  if (!ConfigureLine(baud, dataBits, stopBits, parity)) {
    const std::string why = m_strLastError;
    CloseDevice();
    m_strLastError = PortError(n, name, "line settings refused: " + why);
    return 0;
  }

  // A stop left from the last opening must not end the next reader.
  ResetEvent(m_hStopEvent);
  if (const std::string why = StartReader(); !why.empty()) {
    m_strLastError = PortError(n, name, why);
    return 0;
  }
  return 1;
}

int CComm::ConfigureLine(int baud, int dataBits, int stopBits, int parity) {
  if (m_pLine) return 1;
  const HANDLE h = PortHandle(m_hPort);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) {
    m_strLastError = SystemMessage(GetLastError());
    return 0;
  }
  dcb.BaudRate = static_cast<DWORD>(baud) & 0xFFFF;
  dcb.ByteSize = static_cast<BYTE>(dataBits);
  dcb.Parity = static_cast<BYTE>(parity);
  dcb.StopBits = static_cast<BYTE>(stopBits);
  dcb.fBinary = 1;
  dcb.fParity = 1;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.XonLim = 100;
  dcb.XoffLim = 100;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  // Read back what the driver holds. The parity is not compared: a
  // pseudo-terminal (Wine's COM port in tests) drops it, as the Linux build
  // tolerates too. When parity was the only change asked for (a reopen),
  // Wine even fails the call with "invalid parameter", since the C library
  // finds that none of the changes took.
  const bool set = SetCommState(h, &dcb) != 0;
  const DWORD err = set ? 0 : GetLastError();
  DCB now{};
  now.DCBlength = sizeof now;
  const bool read = GetCommState(h, &now) != 0;
  if (!set && (err != ERROR_INVALID_PARAMETER || !read)) {
    m_strLastError = SystemMessage(err);
    return 0;
  }
  if (read && (now.BaudRate != dcb.BaudRate || now.ByteSize != dcb.ByteSize || now.StopBits != dcb.StopBits)) {
    m_strLastError = "the port keeps other settings (" + std::to_string(now.BaudRate) + " baud, " +
                     std::to_string(now.ByteSize) + " data bits, stop-bit code " + std::to_string(now.StopBits) + ")";
    return 0;
  }
  return 1;
}

void CComm::WakeReader() {
  if (m_hStopEvent) SetEvent(m_hStopEvent);
  // An empty mask also ends a pending WaitCommEvent.
  if (m_hPort != -1) SetCommMask(PortHandle(m_hPort), 0);
}

void CComm::CloseDevice() {
  if (m_hPort == -1) return;
  const HANDLE h = PortHandle(m_hPort);
  SetCommMask(h, 0);
  // The module sees the console go away.
  EscapeCommFunction(h, CLRDTR);
  PurgeComm(h, kPurgeAll);
  CloseHandle(h);
  m_hPort = -1;
  if (m_hPortLock) CloseHandle(m_hPortLock);
  m_hPortLock = nullptr;
}

int CComm::ReadAvailable(uint8_t* buf, int max) {
  if (max <= 0) return 0;
  const HANDLE h = PortHandle(m_hPort);
  DWORD errors = 0;
  COMSTAT st{};
  // Also clears line errors (parity, framing, overrun): a damaged byte fails
  // the frame check, which is how the console learns of it.
  if (!ClearCommError(h, &errors, &st)) return -1;
  const DWORD n = std::min<DWORD>(static_cast<DWORD>(max), st.cbInQue);
  if (n == 0) return 0;
  OVERLAPPED ov{};
  ov.hEvent = m_hReadEvent;
  ResetEvent(ov.hEvent);
  DWORD got = 0;
  if (ReadFile(h, buf, n, &got, &ov)) return static_cast<int>(got);
  if (GetLastError() != ERROR_IO_PENDING) return -1;
  // Only queued bytes were asked for, so the read ends at once; the record
  // must not be left to the driver either way.
  if (!GetOverlappedResult(h, &ov, &got, TRUE)) return -1;
  return static_cast<int>(got);
}

int CComm::WritePort(const uint8_t* data, int len) {
  // The tap sees the bytes just before they go (not at all on a closed
  // port), so it has the request ahead of anything the request causes.
  if (m_pLine) {
    if (m_WriteTap && len > 0) m_WriteTap(data, len);
    m_pLine->Write(data, len);
    return 1;
  }
  if (m_hPort == -1 || len < 0) return 0;
  if (m_WriteTap && len > 0) m_WriteTap(data, len);
  if (len == 0) return 1;
  const HANDLE h = PortHandle(m_hPort);
  OVERLAPPED ov{};
  ov.hEvent = m_hWriteEvent;
  ResetEvent(ov.hEvent);
  DWORD put = 0;
  bool failed = false;  // the device refused: it is gone
  bool done = WriteFile(h, data, static_cast<DWORD>(len), &put, &ov) != 0;
  if (!done) {
    if (GetLastError() != ERROR_IO_PENDING) {
      failed = true;
    } else {
      // The window's thread waits no longer than the write time-out for a
      // line that does not take the bytes; such a write has failed, and the
      // ACK retry recovers it as any lost frame.
      const DWORD wait = WaitForSingleObject(ov.hEvent, static_cast<DWORD>(kWriteTimeout.count()));
      if (wait == WAIT_OBJECT_0) {
        done = GetOverlappedResult(h, &ov, &put, FALSE) != 0;
        failed = !done;
      } else {
        CancelIoEx(h, &ov);
        Settle(h, ov);
        return 0;
      }
    }
  }
  if (failed) {
    if (m_hNotifyWnd && m_nLostPosted.exchange(m_nOpenings) != m_nOpenings)
      m_hNotifyWnd->PostMessage(UM_PORT_LOST, m_nOpenings, 0);
    return 0;
  }
  return put == static_cast<DWORD>(len) ? 1 : 0;
}

void CComm::ReaderThread() {
  const uint32_t opening = m_nOpenings;
  const bool lost = ReaderLoop();
  --s_nReaders;
  // Told after the count drops, so whoever handles the notice finds the
  // reader gone; nothing of this object is touched by the reader afterwards
  // except the window pointer, which outlives every opening.
  if (lost && m_hNotifyWnd && m_nLostPosted.exchange(opening) != opening)
    m_hNotifyWnd->PostMessage(UM_PORT_LOST, opening, 0);
}

// Returns true when the device is gone (adapter pulled, or the handle
// reports an error), false when ClosePort ended the reader.
bool CComm::ReaderLoop() {
  const HANDLE h = PortHandle(m_hPort);
  const HANDLE waitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!waitEvent) {
    MessageBoxW(nullptr, L"Failed to create event for thread!", L"comm Error!", MB_OK | MB_ICONEXCLAMATION);
    return false;
  }
  struct Closer {
    HANDLE e;
    ~Closer() { CloseHandle(e); }
  } closer{waitEvent};
  uint8_t local[kRxDeliveryMax];
  while (m_bOpen) {
    OVERLAPPED ov{};
    ov.hEvent = waitEvent;
    ResetEvent(waitEvent);
    DWORD mask = 0;
    bool woke = WaitCommEvent(h, &mask, &ov) != 0;
    if (!woke) {
      const DWORD err = GetLastError();
      if (err == ERROR_IO_PENDING) {
        const HANDLE both[2] = {waitEvent, m_hStopEvent};
        const DWORD r = WaitForMultipleObjects(2, both, FALSE, INFINITE);
        if (r != WAIT_OBJECT_0) {
          CancelIoEx(h, &ov);
          Settle(h, ov);
          return false;
        }
        DWORD unused = 0;
        woke = GetOverlappedResult(h, &ov, &unused, FALSE) != 0;
        if (!woke && GetLastError() != ERROR_OPERATION_ABORTED) return m_bOpen != 0;
      } else if (err != ERROR_OPERATION_ABORTED) {
        return m_bOpen != 0;
      }
    }
    if (!m_bOpen) return false;
    // Queued bytes are taken whatever the mask says; an empty or aborted wait
    // (a mask change, Wine on a line without modem lines) waits a moment
    // rather than spinning.
    bool any = false;
    for (;;) {
      const int n = ReadAvailable(local, kRxDeliveryMax);
      if (n < 0) return m_bOpen != 0;
      if (n == 0) break;
      any = true;
      std::memcpy(m_RxBuffer, local, static_cast<size_t>(n));
      m_nRxLength = static_cast<uint16_t>(n);
      // Nothing more is read until the window has handled this delivery; a
      // refused send means ClosePort has begun.
      if (m_hNotifyWnd && !m_hNotifyWnd->SendFromThread(UM_COMM_DATA, 0, 0, m_Gate)) return false;
    }
    if (!any && !(mask & EV_RXCHAR) && WaitForSingleObject(m_hStopEvent, 10) == WAIT_OBJECT_0) return false;
  }
  return false;
}

}  // namespace qeld
