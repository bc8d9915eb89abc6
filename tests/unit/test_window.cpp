#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "window/HeadlessWindow.h"

using namespace qeld;

namespace {
struct Recorder : WindowHandler {
  HeadlessWindow* w = nullptr;
  std::vector<std::string> log;
  void OnCommand(int id) override { log.push_back("cmd" + std::to_string(id)); }
  void OnTimer(int id) override {
    w->KillTimer(id);
    log.push_back("t" + std::to_string(id) + "@" + std::to_string(w->Now()));
  }
  LRESULT OnMessage(unsigned msg, WPARAM wp, LPARAM) override {
    log.push_back("m" + std::to_string(msg) + ":" + std::to_string(wp));
    return 0;
  }
  void OnAbout() override {}
};
}  // namespace

TEST(HeadlessWindow, OneShotTimersFireInDueOrderInVirtualTime) {
  HeadlessWindow w;
  Recorder r;
  r.w = &w;
  w.SetHandler(&r);
  w.SetTimer(2, 120000);
  w.SetTimer(1, 1000);
  w.SetTimer(5, 300);
  w.SetTimer(5, 100);  // re-arming replaces
  w.Advance(200000);
  EXPECT_EQ(r.log, (std::vector<std::string>{"t5@100", "t1@1000", "t2@120000"}));
  EXPECT_FALSE(w.TimerRunning(1));
}

TEST(HeadlessWindow, PostedMessagesRunBeforeTimersAndInOrder) {
  HeadlessWindow w;
  Recorder r;
  r.w = &w;
  w.SetHandler(&r);
  w.SetTimer(1, 0);
  w.PostMessage(1029, 1, 0);
  w.PostMessage(1029, 2, 0);
  w.Advance(0);
  EXPECT_EQ(r.log, (std::vector<std::string>{"m1029:1", "m1029:2", "t1@0"}));
}

TEST(HeadlessWindow, MessageBoxServesTimersWhileOpen) {
  HeadlessWindow w;
  Recorder r;
  r.w = &w;
  w.SetHandler(&r);
  w.SetTimer(1, 1000);
  w.boxScript.push_back({IDOK, 2500});
  EXPECT_EQ(w.MessageBox("text", "cap", MB_OK), IDOK);
  EXPECT_EQ(r.log, (std::vector<std::string>{"t1@1000"}));
  EXPECT_EQ(w.Now(), 2500);
  ASSERT_EQ(w.boxes.size(), 1u);
  EXPECT_EQ(w.boxes[0].text, "text");
}

TEST(HeadlessWindow, SendFromThreadBlocksUntilHandledAndGateReleasesIt) {
  HeadlessWindow w;
  Recorder r;
  r.w = &w;
  w.SetHandler(&r);
  SendGate gate;
  gate.Open();
  std::atomic<int> result{-1};
  std::thread t([&] { result = w.SendFromThread(1025, 7, 0, gate) ? 1 : 0; });
  ASSERT_TRUE(w.PumpUntil([&] { return !r.log.empty(); }, 5000));
  t.join();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(r.log.back(), "m1025:7");

  // A send that the window never handles is released by closing the gate.
  std::atomic<int> result2{-1};
  std::thread t2([&] { result2 = w.SendFromThread(1025, 8, 0, gate) ? 1 : 0; });
  while (true) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (result2 == -1) {
      gate.Close();
      break;
    }
  }
  t2.join();
  EXPECT_EQ(result2, 0);
  w.Pump();  // the dropped call is never handled
  EXPECT_EQ(r.log.back(), "m1025:7");
  EXPECT_FALSE(w.SendFromThread(1025, 9, 0, gate));  // closed gate refuses at once
}
