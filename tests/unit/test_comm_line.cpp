// The channel's in-process seam: headless console tests drive the line
// through it, so it must behave like the device path as the window sees it.
#include <gtest/gtest.h>

#include <numeric>

#include "comm/Comm.h"
#include "window/HeadlessWindow.h"

using namespace qeld;
using Bytes = std::vector<uint8_t>;

namespace {

struct FakeLine : CComm::Line {
  std::vector<int> opened;
  Bytes written;
  int closes = 0;
  bool refuse = false;
  bool Open(int port) override {
    opened.push_back(port);
    return !refuse;
  }
  void Write(const uint8_t* data, int len) override { written.insert(written.end(), data, data + len); }
  void Close() override { ++closes; }
};

struct Sink : WindowHandler {
  CComm* comm = nullptr;
  std::vector<Bytes> deliveries;
  void OnCommand(int) override {}
  void OnTimer(int) override {}
  void OnAbout() override {}
  LRESULT OnMessage(unsigned msg, WPARAM, LPARAM) override {
    if (msg == UM_COMM_DATA) deliveries.emplace_back(comm->m_RxBuffer, comm->m_RxBuffer + comm->m_nRxLength);
    return 0;
  }
};

struct CommOnLine : ::testing::Test {
  CommOnLine() {
    sink.comm = &comm;
    window.SetHandler(&sink);
    comm.m_hNotifyWnd = &window;
    comm.SetLine(&line);
  }
  FakeLine line;
  HeadlessWindow window;
  Sink sink;
  CComm comm;
};

TEST_F(CommOnLine, OpenWriteCloseGoToTheLineWithoutAReader) {
  ASSERT_EQ(comm.OpenPort(7, kBaudRate, kDataBits, kStopBitsOne, kParityEven), 1);
  EXPECT_EQ(line.opened, std::vector<int>{7});
  EXPECT_EQ(comm.m_bOpen.load(), 1);
  EXPECT_EQ(CComm::ReadersRunning(), 0);
  const Bytes frame = {EOT, '0', STX, 'V', ETX, EOT ^ '0' ^ STX ^ 'V' ^ ETX};
  EXPECT_EQ(comm.WritePort(frame.data(), static_cast<int>(frame.size())), 1);
  EXPECT_EQ(line.written, frame);
  EXPECT_EQ(comm.ClosePort(), 1);
  EXPECT_EQ(comm.ClosePort(), 1);  // a second close is harmless and not passed on
  EXPECT_EQ(line.closes, 1);
  EXPECT_EQ(comm.m_bOpen.load(), 0);
}

TEST_F(CommOnLine, RefusedOpensReturnZero) {
  EXPECT_EQ(comm.OpenPort(11, kBaudRate, kDataBits, kStopBitsOne, kParityEven), 0);
  EXPECT_TRUE(line.opened.empty());  // refused before the line is asked
  line.refuse = true;
  EXPECT_EQ(comm.OpenPort(2, kBaudRate, kDataBits, kStopBitsOne, kParityEven), 0);
  EXPECT_EQ(comm.LastError(), "COM2: the line did not open");
  EXPECT_EQ(comm.m_bOpen.load(), 0);
}

TEST_F(CommOnLine, DeliverHandsOverAtMost80BytesAtATimeInOrder) {
  const struct {
    int len;
    std::vector<size_t> sizes;
  } rows[] = {{200, {80, 80, 40}}, {80, {80}}, {81, {80, 1}}, {1, {1}}, {0, {}}};
  for (const auto& row : rows) {
    sink.deliveries.clear();
    Bytes in(static_cast<size_t>(row.len));
    std::iota(in.begin(), in.end(), uint8_t{1});
    comm.Deliver(in.data(), row.len);
    std::vector<size_t> sizes;
    Bytes out;
    for (const auto& d : sink.deliveries) {
      sizes.push_back(d.size());
      out.insert(out.end(), d.begin(), d.end());
    }
    EXPECT_EQ(sizes, row.sizes) << row.len;
    EXPECT_EQ(out, in) << row.len;
  }
}

}  // namespace
