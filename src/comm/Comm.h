// CComm: the console's only link to the module, one serial port with a
// reader thread that hands received bytes to the window. CommPosix.cpp drives
// it through termios, CommWin32.cpp through Win32 serial communications.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "link/Protocol.h"
#include "window/Window.h"

namespace qeld {

class CComm {
 public:
  // In-process stand-in for the device, used by headless tests: it takes the
  // console's writes, and hands bytes back through CComm::Deliver on the
  // window's thread.
  class Line {
   public:
    virtual ~Line() = default;
    virtual bool Open(int port) = 0;
    virtual void Write(const uint8_t* data, int len) = 0;
    virtual void Close() = 0;
  };

  CComm() = default;
  ~CComm();
  CComm(const CComm&) = delete;
  CComm& operator=(const CComm&) = delete;

  int CreateEvents();
  int OpenPort(int port, int baud, int dataBits, int stopBits, int parity);
  int ConfigureLine(int baud, int dataBits, int stopBits, int parity);
  int ClosePort();
  // Bytes already queued, at most max, without waiting; 0 when none, -1 when
  // the device is gone.
  int ReadAvailable(uint8_t* buf, int max);
  // Writes one frame (or an ACK/NAK byte) on the window's thread. The rule,
  // the same on every platform:
  // - A call never holds the window's thread longer than kWriteTimeout
  //   (100 ms), however long the line stays stuck; a peer that stops reading
  //   must not freeze the window.
  // - A write that cannot complete in that time returns 0: a failed write,
  //   recovered like any lost frame by the ACK retry (or, for an ACK, by the
  //   module sending its answer again). Callers need no other handling.
  // - Bytes of a frame the line has partly taken are kept (m_Pending, one
  //   frame at most) and go out ahead of the next write, so the module never
  //   sees a frame cut short; a frame of which nothing went out is dropped,
  //   so the retransmission is its only copy.
  // - Once a write has run out of time, later writes do not wait while the
  //   line is still full: they try once and fail at once, until the line
  //   takes bytes again. Nothing written after the line drains is lost.
  int WritePort(const uint8_t* data, int len);

  // The device file of COMn: ~/.qeld/dosdevices/comN when that link exists
  // (the way Wine maps COM ports), otherwise /dev/ttyS(N-1).
  static std::string DevicePath(int port);

  // Sees every write the console makes, as it is handed to the line, on the
  // window's thread (the line monitor). The write waits for it, so it must
  // only copy. Empty: no tap.
  void SetWriteTap(std::function<void(const uint8_t* data, int len)> tap) { m_WriteTap = std::move(tap); }

  // Test seam: route the channel through an in-process line instead of a device.
  void SetLine(Line* line) { m_pLine = line; }
  // For in-process lines, on the window's thread: hand bytes to the window in
  // deliveries of at most 80, as the reader thread does.
  void Deliver(const uint8_t* data, int len);

  // Operating system's reason for the last failed open ("" when it succeeded).
  const std::string& LastError() const { return m_strLastError; }
  // Number of reader threads running (0 or 1); tests check reopen leaves one.
  static int ReadersRunning();

  // --- fields ---
  // POSIX: the file descriptor. Windows: the HANDLE, kept as its 32-bit
  // value (HandleToLong; the system guarantees handles fit), -1 when closed.
  int m_hPort = -1;
  char m_szPortName[256] = {};  // room for a link under a long home folder
  std::atomic<int> m_bOpen{0};
  uint8_t m_RxBuffer[kRxBufferSize] = {};
  uint16_t m_nRxLength = 0;
  WindowHost* m_hNotifyWnd = nullptr;
  // Successful opens so far. UM_PORT_LOST carries the number of the opening
  // that was lost in wParam, so a notice that arrives after a reopen can be
  // told apart from one about the port now open.
  uint32_t m_nOpenings = 0;

 private:
  // The part of OpenPort both targets share: the number checked, the old
  // opening closed, an in-process line opened. 1 or 0 when that decided the
  // opening, kOpenDevice when the device itself is to be opened.
  static constexpr int kOpenDevice = -1;
  int BeginOpen(int port);
  // The common tail: the opening counted, the gate opened and the reader
  // started. "" when it runs, otherwise why not (the device is closed again).
  std::string StartReader();

  // Reader threads running, over every CComm.
  static std::atomic<int> s_nReaders;

  void ReaderThread();
  bool ReaderLoop();
  void StopReader();
  // Ends the reader's wait for the line (per target).
  void WakeReader();
  void CloseDevice();

  Line* m_pLine = nullptr;
  std::function<void(const uint8_t*, int)> m_WriteTap;
  int m_nWakeFd = -1;  // eventfd that releases the reader's wait at close
  // Windows: manual-reset events (HANDLEs) of the overlapped reads and
  // writes, and the one that stops the reader; made by CreateEvents.
  void* m_hReadEvent = nullptr;
  void* m_hWriteEvent = nullptr;
  void* m_hStopEvent = nullptr;
  // Windows: a named mutex held while the port is open, so that every copy
  // of this console finds the port in use even where the system lets a
  // second open through (Wine).
  void* m_hPortLock = nullptr;
  // Windows: the opening whose loss has been posted; the reader and a failed
  // write may both find the device gone, and one notice is enough.
  std::atomic<uint32_t> m_nLostPosted{0};
  std::thread m_Reader;
  SendGate m_Gate;
  std::string m_strLastError;
  // The unsent end of a frame the line took only part of, and whether the
  // last write ran out of time (window's thread only).
  std::vector<uint8_t> m_Pending;
  bool m_bStalled = false;
};

}  // namespace qeld
