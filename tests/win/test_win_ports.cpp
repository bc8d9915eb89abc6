// "Serial ports..." under Wine: the COM ports of Wine's registry (every one
// pinned to a link of the test's own), each with its state, and the console's
// own port told apart from one another console holds.
#include <gtest/gtest.h>

#include <algorithm>

#include "comm/Comm.h"
#include "comm/PortList.h"
// Last: it brings windows.h, whose macros clash with the window layer's names.
#include "Peer.h"

using namespace qeld;
using namespace qeld::test;

namespace {

const PortRow* Find(const std::vector<PortRow>& rows, const std::string& name) {
  for (const PortRow& r : rows)
    if (r.name == name) return &r;
  return nullptr;
}

TEST(WinPorts, EachComPortIsListedInOrderWithWhetherItIsFreeInUseOrWithoutADevice) {
  Peer p("PTY 1");
  ASSERT_EQ(p.Error(), "");
  ASSERT_EQ(p.ReadLine(5000).rfind("ok ", 0), 0u);

  std::vector<PortRow> rows = ListPorts("");
  std::vector<int> numbers;
  for (const PortRow& r : rows) numbers.push_back(r.number);
  ASSERT_GE(rows.size(), 10u);
  EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
  for (int n = 1; n <= 10; ++n) EXPECT_NE(Find(rows, "COM" + std::to_string(n)), nullptr) << n;
  ASSERT_NE(Find(rows, "COM1"), nullptr);
  EXPECT_EQ(Find(rows, "COM1")->state, PortRow::State::Free);
  EXPECT_EQ(Find(rows, "COM1")->stateText, "free");
  // COM9's link is never made.
  EXPECT_EQ(Find(rows, "COM9")->state, PortRow::State::Absent);
  EXPECT_EQ(Find(rows, "COM9")->stateText, "no device behind it");
  // Wine gives the machine's own ports the numbers after the pinned ones;
  // they are listed, and not opened.
  for (const PortRow& r : rows) {
    if (r.number > 10) EXPECT_EQ(r.stateText, "beyond COM10: renumber it to use it here") << r.name;
  }

  CComm console;
  ASSERT_EQ(console.CreateEvents(), 1);
  ASSERT_EQ(console.OpenPort(1, 9600, 8, 0, 2), 1) << console.LastError();
  rows = ListPorts(console.m_szPortName);
  EXPECT_EQ(Find(rows, "COM1")->state, PortRow::State::InUse);
  EXPECT_EQ(Find(rows, "COM1")->stateText, "in use by this console");
  // Seen from another console: Wine lets a second open through, the lock does not.
  rows = ListPorts("");
  EXPECT_EQ(Find(rows, "COM1")->state, PortRow::State::InUse);
  EXPECT_EQ(Find(rows, "COM1")->stateText, "in use by another QELD console");
  console.ClosePort();
  rows = ListPorts("");
  EXPECT_EQ(Find(rows, "COM1")->stateText, "free");
}

}  // namespace
