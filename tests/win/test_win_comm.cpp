// The Windows CComm under Wine against a pseudo-terminal: bytes both ways, the
// 80-byte deliveries, reopening under traffic, exclusive opens and a vanished
// device.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "comm/Comm.h"
#include "window/HeadlessWindow.h"
// Last: it brings windows.h, whose macros clash with the window layer's names.
#include "Peer.h"

using namespace qeld;
using namespace qeld::test;

namespace {

constexpr int kCom = 1;

// Records what the channel hands to the window.
struct Receiver : WindowHandler {
  CComm* comm = nullptr;
  Bytes bytes;
  std::vector<int> sizes;
  int lost = 0;
  void OnCommand(int) override {}
  void OnTimer(int) override {}
  void OnAbout() override {}
  LRESULT OnMessage(unsigned msg, WPARAM, LPARAM) override {
    if (msg == UM_COMM_DATA) {
      sizes.push_back(comm->m_nRxLength);
      bytes.insert(bytes.end(), comm->m_RxBuffer, comm->m_RxBuffer + comm->m_nRxLength);
    } else if (msg == UM_PORT_LOST) {
      ++lost;
    }
    return 1;
  }
};

struct WinComm : ::testing::Test {
  HeadlessWindow w;
  Receiver rx;
  CComm comm;
  void SetUp() override {
    rx.comm = &comm;
    w.SetHandler(&rx);
    comm.m_hNotifyWnd = &w;
    ASSERT_EQ(comm.CreateEvents(), 1);
  }
  int Open(CComm& c, int port = kCom) { return c.OpenPort(port, 9600, 8, 0, 2); }
  bool Until(const std::function<bool()>& pred, int ms = 10000) { return w.PumpUntil(pred, ms); }
};

Bytes Pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 1);
  return b;
}

TEST_F(WinComm, BytesGoBothWays) {
  Peer p("PTY 1");
  ASSERT_EQ(p.Error(), "");
  ASSERT_EQ(p.ReadLine(5000).rfind("ok /dev/pts/", 0), 0u);
  ASSERT_EQ(Open(comm), 1) << comm.LastError();
  EXPECT_STREQ(comm.m_szPortName, "\\\\.\\COM1");
  const Bytes query = {0x04, 0x30, 0x02, 0x67, 0x03, 0x52};
  ASSERT_EQ(comm.WritePort(query.data(), 6), 1);
  EXPECT_EQ(p.Read(6, 5000), query);
  const Bytes answer = {0x06, 0x01, 0x30, 0x02, 0x67, 0x20, 0x03, 0x55, 0x00, 0xFF};
  ASSERT_TRUE(p.Send(answer));
  ASSERT_TRUE(Until([&] { return rx.bytes.size() >= answer.size(); }));
  EXPECT_EQ(rx.bytes, answer);
  EXPECT_EQ(CComm::ReadersRunning(), 1);
  comm.ClosePort();
  EXPECT_EQ(CComm::ReadersRunning(), 0);
  EXPECT_EQ(rx.lost, 0);
}

TEST_F(WinComm, TwoHundredBytesAtOnceArriveInPiecesOfAtMost80) {
  Peer p("PTY 1");
  ASSERT_EQ(p.ReadLine(5000).rfind("ok ", 0), 0u);
  ASSERT_EQ(Open(comm), 1) << comm.LastError();
  const Bytes burst = Pattern(200);
  ASSERT_TRUE(p.Send(burst));
  ASSERT_TRUE(Until([&] { return rx.bytes.size() >= burst.size(); }));
  EXPECT_EQ(rx.bytes, burst);
  EXPECT_GE(rx.sizes.size(), 3u);
  for (int n : rx.sizes) {
    EXPECT_GT(n, 0);
    EXPECT_LE(n, kRxDeliveryMax);
  }
}

TEST_F(WinComm, ReopeningUnderTrafficLeavesOneReader) {
  Peer p("PTY 1");
  ASSERT_EQ(p.ReadLine(5000).rfind("ok ", 0), 0u);
  ASSERT_EQ(Open(comm), 1) << comm.LastError();
  std::atomic<bool> stop{false};
  std::thread feeder([&] {
    const Bytes chunk = Pattern(64);
    while (!stop) {
      if (!p.Send(chunk)) break;
      Sleep(2);
    }
  });
  struct Join {
    std::atomic<bool>& stop;
    std::thread& t;
    ~Join() {
      stop = true;
      t.join();
    }
  } join{stop, feeder};
  for (int i = 0; i < 15; ++i) {
    w.PumpUntil([] { return false; }, 20);
    ASSERT_EQ(Open(comm), 1) << "reopen " << i << ": " << comm.LastError();
    EXPECT_EQ(CComm::ReadersRunning(), 1) << "reopen " << i;
  }
  const size_t before = rx.bytes.size();
  EXPECT_TRUE(Until([&] { return rx.bytes.size() > before; })) << "the last reader still delivers";
  comm.ClosePort();
  EXPECT_EQ(CComm::ReadersRunning(), 0);
  for (int n : rx.sizes) EXPECT_LE(n, kRxDeliveryMax);
}

TEST_F(WinComm, ASecondOpenOfAHeldPortIsRefusedWithTheReason) {
  Peer p("PTY 1");
  ASSERT_EQ(p.ReadLine(5000).rfind("ok ", 0), 0u);
  ASSERT_EQ(Open(comm), 1) << comm.LastError();
  CComm other;
  EXPECT_EQ(Open(other), 0);
  EXPECT_EQ(other.LastError(), "COM1 (\\\\.\\COM1): in use by another program");
  EXPECT_EQ(CComm::ReadersRunning(), 1);
  comm.ClosePort();
  EXPECT_EQ(Open(other), 1) << other.LastError();
  other.ClosePort();
}

TEST_F(WinComm, APortWithoutDeviceOrNumberIsRefusedWithTheReason) {
  // COM9's link is never made: no device behind the name.
  EXPECT_EQ(Open(comm, 9), 0);
  EXPECT_NE(comm.LastError().find("COM9 (\\\\.\\COM9): "), std::string::npos) << comm.LastError();
  EXPECT_GT(comm.LastError().size(), std::string("COM9 (\\\\.\\COM9): ").size());
  EXPECT_EQ(Open(comm, 11), 0);
  EXPECT_EQ(comm.LastError(), "COM11: no such port (COM1 to COM10)");
  EXPECT_EQ(CComm::ReadersRunning(), 0);
}

TEST_F(WinComm, AVanishedDeviceIsReportedLost) {
  Peer p("PTY 1");
  ASSERT_EQ(p.ReadLine(5000).rfind("ok ", 0), 0u);
  ASSERT_EQ(Open(comm), 1) << comm.LastError();
  ASSERT_TRUE(p.Send(Bytes{0x06}));
  ASSERT_TRUE(Until([&] { return rx.bytes.size() == 1; }));
  p.Close();  // the far end hangs up
  // The reader or the next write finds the device gone; the notice is posted.
  const uint8_t ack = 0x06;
  for (int i = 0; i < 50 && !rx.lost; ++i) {
    comm.WritePort(&ack, 1);
    w.PumpUntil([&] { return rx.lost > 0; }, 200);
  }
  EXPECT_EQ(rx.lost, 1);
  comm.ClosePort();
  EXPECT_EQ(CComm::ReadersRunning(), 0);
}

}  // namespace
