// Protocol constants of the QELD module's serial line, named once.
#pragma once
#include <chrono>
#include <cstdint>

namespace qeld {

// Control bytes
constexpr uint8_t SOH = 0x01;  // first byte of a response frame
constexpr uint8_t STX = 0x02;  // third byte of a request frame
constexpr uint8_t ETX = 0x03;  // end of the frame body, both directions
constexpr uint8_t EOT = 0x04;  // first byte of a request frame
constexpr uint8_t ACK = 0x06;  // frame received correctly (both directions)
constexpr uint8_t NAK = 0x15;  // frame received with a bad BCC (console to module)

// Byte encodings inside frames
constexpr uint8_t kSpace = 0x20;      // space-offset byte: 0x20 + value; a space means 0 / no error
constexpr uint8_t kNibbleBase = 0x30; // digit nibble: 0x30 + nibble ("0".."?")

// Line settings of the module
constexpr int kBaudRate = 9600;
constexpr int kDataBits = 8;
constexpr int kStopBitsOne = 0;   // stop-bit code: one stop bit
constexpr int kParityEven = 2;    // parity code: even
constexpr int kMaxPort = 10;      // COM1..COM10

// Buffers
constexpr int kRequestBufferSize = 2000;
constexpr int kLogRequestPos = 1000;        // the log request lives here during a run
constexpr int kRxDeliveryMax = 80;          // bytes per UM_COMM_DATA delivery
constexpr int kRxBufferSize = 82;
constexpr int kImageSize = 229376;          // firmware image buffer
constexpr int kHexImageLength = 40960;      // image length of a HEX download
constexpr int kBinVerifyLength = 131072;    // bytes summed by Verify for a BIN image
constexpr int kBlockSize = 128;             // image bytes per "s" request

// Window messages
constexpr unsigned WM_USER = 0x0400;
constexpr unsigned UM_COMM_DATA = WM_USER + 1;  // reader thread -> window, synchronous
constexpr unsigned UM_RESPONSE = WM_USER + 2;   // receiver -> window, wParam = frame length
constexpr unsigned UM_SEND_NEXT = WM_USER + 5;  // posted during a firmware download
constexpr unsigned UM_PORT_LOST = WM_USER + 6;  // posted by the reader when the device vanished;
                                                // wParam = CComm::m_nOpenings of that opening

// Window timers (all one-shot)
enum TimerId : int {
  kTimerAck = 1,        // acknowledgement
  kTimerResponse = 2,   // response
  kTimerProgress = 4,   // download progress refresh
  kTimerUnitPoll = 5,   // unit switch poll
  kTimerRepeat = 10,    // next repetition of a run
  kTimerLogRequest = 11 // log request after a dispense
};

using ms = std::chrono::milliseconds;
constexpr ms kAckTimeout{1000};
constexpr int kAckRetries = 3;            // retransmissions before the ACK failure
constexpr ms kResponseTimeout{120000};
constexpr ms kRunResponseTimeout{60000};  // repetitions and log requests
constexpr ms kProgressRefresh{300};
constexpr ms kUnitPollFirst{300};
constexpr ms kUnitPollNext{100};
constexpr ms kLogRequestDelay{2000};
constexpr ms kWriteTimeout{100};          // longest a write holds the window's thread (see CComm::WritePort)

}  // namespace qeld
