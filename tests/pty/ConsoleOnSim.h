// The console on the headless window with its real serial channel, talking to
// qeld-sim over a pseudo-terminal. Received bytes arrive in real time; the
// console's timers stand still unless the test advances virtual time.
#pragma once
#include <gtest/gtest.h>

#include "SimProcess.h"
#include "app/ConsoleDialog.h"
#include "window/HeadlessWindow.h"

namespace qeld::test {

struct ConsoleOnSim {
  SimProcess sim;
  HeadlessWindow w;
  ConsoleDialog d{w};

  explicit ConsoleOnSim(std::vector<std::string> simArgs = {"--fast"}) : sim(1, std::move(simArgs)) {
    d.InitConsole();
  }

  // Pumps deliveries from the reader until pred holds (real time, bounded).
  bool Until(const std::function<bool()>& pred, int ms = 5000) { return w.PumpUntil(pred, ms); }

  // The transaction in flight has ended: the receiver is back in its hunt
  // state, no frame is half collected and nothing is busy.
  bool Idle() const { return d.m_bBusy == 0 && d.m_nRxState == 0 && d.m_nFrameLength > 0; }

  bool Connect() {
    if (!sim.Ready()) return false;
    w.Click(ctl::kOpen);
    if (d.m_bConnected != 1) return false;
    // The "g" answer sets the sequence; wait until it has been decoded.
    return Until([&] { return d.m_nRxState == 0 && d.m_nFrameLength > 0 && d.m_strFrame.size() > 3 &&
                              d.m_strFrame[3] == 'g'; });
  }

  void Admin() {
    w.passwordScript.push_back("tuzf");
    w.Click(ctl::kAdminMode);
  }

  // Clicks a button and waits for the answer to be decoded; false on a hang.
  bool Press(int id, char answer) {
    d.m_nFrameLength = 0;
    d.m_strFrame.clear();
    if (!w.Click(id)) return false;
    return Until([&] {
      return d.m_nRxState == 0 && d.m_nFrameLength > 3 && static_cast<char>(d.m_strFrame[3]) == answer &&
             d.m_bBusy == 0;
    });
  }
};

}  // namespace qeld::test
