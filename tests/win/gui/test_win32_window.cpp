// The Win32 window backend on its own, under Wine on a virtual X display:
// texts through UTF-16 and back, check states, radio groups, one-shot timers,
// the reader's synchronous hand-over and its gate, the dialog keyboard, the
// file dialog's filter and the line monitor's list.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "monitor/LineMonitor.h"
#include "win32/Win32LineMonitor.h"
#include "win32/Win32Window.h"

namespace qeld {
namespace {

constexpr int kEdit = 10, kMulti = 11, kCheck = 12, kRadioA = 13, kRadioB = 14, kRadioC = 15, kOther = 16,
              kOk = 1, kCancel = 2, kProgress = 17, kButton = 18;

struct Recorder : WindowHandler {
  Win32Window* wnd = nullptr;
  std::vector<int> commands, timers;
  std::vector<std::pair<unsigned, WPARAM>> messages;
  std::function<void()> onTimer;
  std::function<void(unsigned)> onMessage;
  void OnCommand(int id) override {
    commands.push_back(id);
    if (id == kOk || id == kCancel) wnd->EndModal(id);
  }
  void OnTimer(int id) override {
    timers.push_back(id);
    if (onTimer) onTimer();
  }
  LRESULT OnMessage(unsigned msg, WPARAM w, LPARAM) override {
    messages.emplace_back(msg, w);
    if (onMessage) onMessage(msg);
    return 0;
  }
  void OnAbout() override {}
};

class Win32WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rec.wnd = &wnd;
    wnd.SetHandler(&rec);
    auto control = [](int id, ControlKind kind, unsigned style, Rect r, int group = 0) {
      ControlSpec s;
      s.id = id;
      s.kind = kind;
      s.style = style;
      s.rect = r;
      s.visible = true;
      s.group = group;
      return s;
    };
    wnd.CreateControls({control(kEdit, ControlKind::Edit, kEsRight, {10, 10, 110, 30}),
                        control(kMulti, ControlKind::Edit, kEsMultiline, {10, 40, 210, 140}),
                        control(kCheck, ControlKind::CheckBox, 0, {220, 10, 300, 30}),
                        control(kRadioA, ControlKind::RadioButton, 0, {220, 40, 300, 60}, 1),
                        control(kRadioB, ControlKind::RadioButton, 0, {220, 60, 300, 80}, 1),
                        control(kRadioC, ControlKind::RadioButton, 0, {220, 80, 300, 100}, 2),
                        control(kOther, ControlKind::Label, 0, {220, 100, 300, 120}),
                        control(kProgress, ControlKind::Progress, 0, {10, 150, 210, 170}),
                        control(kButton, ControlKind::PushButton, 0, {220, 150, 300, 175}),
                        control(kOk, ControlKind::DefPushButton, 0, {310, 150, 390, 175}),
                        control(kCancel, ControlKind::PushButton, 0, {310, 180, 390, 205})});
  }
  // Runs the window's loop until the handler ends it (or the guard fires).
  int Run(unsigned guardMs = 5000) {
    constexpr int kGuard = 99;
    auto before = rec.onTimer;
    rec.onTimer = [this, before] {
      if (rec.timers.back() == kGuard) wnd.EndModal(-1);
      else if (before) before();
    };
    wnd.SetTimer(kGuard, guardMs);
    const int r = wnd.RunModal();
    wnd.KillTimer(kGuard);
    rec.onTimer = before;
    return r;
  }

  Win32Window wnd{400, 220};
  Recorder rec;
};

TEST_F(Win32WindowTest, TextsCrossTheWideApiUnchanged) {
  const std::string korean = "\xEC\x96\x91\xEC\x9D\x98 \xEC\xA0\x95\xEC\x88\x98 \xE2\x98\x9E\xE2\x96\xA4";
  wnd.SetText(kOther, korean);
  EXPECT_EQ(wnd.GetText(kOther), korean);
  wchar_t shown[64] = {};
  GetWindowTextW(wnd.ControlHandle(kOther), shown, 64);
  EXPECT_EQ(std::wstring(shown), L"\uC591\uC758 \uC815\uC218 \u261E\u25A4");

  // A single-line field shows no line breaks, yet gives back what was set.
  wnd.SetText(kEdit, "12\r\n34");
  EXPECT_EQ(wnd.GetText(kEdit), "12\r\n34");
  GetWindowTextW(wnd.ControlHandle(kEdit), shown, 64);
  EXPECT_EQ(std::wstring(shown), L"1234");
  // A multi-line one breaks at CR LF; a lone LF becomes CR LF on screen.
  wnd.SetText(kMulti, "a\r\nb\nc");
  GetWindowTextW(wnd.ControlHandle(kMulti), shown, 64);
  EXPECT_EQ(std::wstring(shown), L"a\r\nb\r\nc");

  // What the operator types is read from the control.
  SendMessageW(wnd.ControlHandle(kEdit), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"\uD55C5"));
  EXPECT_EQ(wnd.GetText(kEdit), "\xED\x95\x9C" "5");

  wnd.SetTitle("QELD \xEC\xA0\x95\xEB\xB3\xB4");
  EXPECT_EQ(wnd.Title(), "QELD \xEC\xA0\x95\xEB\xB3\xB4");
}

TEST_F(Win32WindowTest, CheckBoxesKeepThreeStatesAndClicksToggle) {
  wnd.SetCheck(kCheck, 2);
  EXPECT_EQ(wnd.GetCheck(kCheck), 2);
  SendMessageW(wnd.ControlHandle(kCheck), BM_CLICK, 0, 0);
  EXPECT_EQ(wnd.GetCheck(kCheck), 1);
  SendMessageW(wnd.ControlHandle(kCheck), BM_CLICK, 0, 0);
  EXPECT_EQ(wnd.GetCheck(kCheck), 0);
  EXPECT_TRUE(rec.commands.empty());  // check boxes have no handler
}

TEST_F(Win32WindowTest, ARadioClickClearsItsGroupOnlyAndCodeSetsOneButton) {
  wnd.SetCheck(kRadioA, 1);
  wnd.SetCheck(kRadioC, 1);
  SendMessageW(wnd.ControlHandle(kRadioB), BM_CLICK, 0, 0);
  EXPECT_EQ(wnd.GetCheck(kRadioA), 0);
  EXPECT_EQ(wnd.GetCheck(kRadioB), 1);
  EXPECT_EQ(wnd.GetCheck(kRadioC), 1);  // another group
  // From code, one button at a time, as the console's data exchange needs.
  wnd.SetCheck(kRadioA, 1);
  EXPECT_EQ(wnd.GetCheck(kRadioB), 1);
  EXPECT_EQ(wnd.GetCheck(kRadioA), 1);
}

TEST_F(Win32WindowTest, TimersFireOnceAndReArmingReplaces) {
  wnd.SetTimer(1, 30);
  wnd.SetTimer(2, 400);
  wnd.SetTimer(2, 60);  // replaces the 400 ms one
  wnd.SetTimer(3, 20);
  wnd.KillTimer(3);
  rec.onTimer = [this] {
    if (rec.timers.back() == 2) wnd.SetTimer(4, 300);  // quiet time: nothing fires twice
    if (rec.timers.back() == 4) wnd.EndModal(0);
  };
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(rec.timers, (std::vector<int>{1, 2, 4}));
}

TEST_F(Win32WindowTest, SendsAreHandledOnTheWindowsThreadAndAClosedGateReleasesTheSender) {
  SendGate gate;
  gate.Open();
  const DWORD windowThread = GetCurrentThreadId();
  DWORD handledOn = 0;
  std::atomic<bool> goSecond{false};
  std::atomic<int> result{-1};
  rec.onMessage = [&](unsigned msg) {
    if (msg == 0x401) {
      handledOn = GetCurrentThreadId();
      wnd.SetTimer(6, 10);
    }
    if (msg == 0x405) wnd.EndModal(0);
  };
  // The window's thread is busy in a handler while the reader's next send
  // waits to be handled; it closes the gate (as closing the port does), and
  // the sender must come back at once with false instead of waiting for it.
  rec.onTimer = [&] {
    if (rec.timers.back() != 6) return;
    goSecond = true;
    Sleep(300);
    gate.Close();
  };
  std::thread reader([&] {
    const bool first = wnd.SendFromThread(0x401, 7, 0, gate);
    while (!goSecond) Sleep(1);
    const bool second = wnd.SendFromThread(0x402, 8, 0, gate);
    result = (first ? 1 : 0) + (second ? 2 : 0);
    wnd.PostMessage(0x405, 9, 0);
  });
  EXPECT_EQ(Run(), 0);
  reader.join();
  EXPECT_EQ(handledOn, windowThread);
  EXPECT_EQ(result, 1);  // the first handled, the second dropped and never handled
  ASSERT_EQ(rec.messages.size(), 2u);
  EXPECT_EQ(rec.messages[0], (std::pair<unsigned, WPARAM>{0x401, 7}));
  EXPECT_EQ(rec.messages[1], (std::pair<unsigned, WPARAM>{0x405, 9}));
}

// Keys go through the window's own loop, as typed ones do.
int Win32WindowTest_Press(Win32Window& wnd, Recorder& rec, int id, WPARAM key,
                          const std::function<int()>& run) {
  rec.onTimer = [&wnd, &rec, id, key] {
    if (rec.timers.back() == 7) {
      SetFocus(wnd.ControlHandle(id));
      PostMessageW(wnd.ControlHandle(id), WM_KEYDOWN, key, 1);
      wnd.SetTimer(8, 300);
    } else if (rec.timers.back() == 8) {
      wnd.EndModal(0);
    }
  };
  wnd.SetTimer(7, 10);
  return run();
}

TEST_F(Win32WindowTest, EnterInAFieldIsOk) {
  EXPECT_EQ(Win32WindowTest_Press(wnd, rec, kEdit, VK_RETURN, [this] { return Run(); }), kOk);
  EXPECT_EQ(rec.commands, (std::vector<int>{kOk}));
}

TEST_F(Win32WindowTest, EscInAFieldIsCancel) {
  EXPECT_EQ(Win32WindowTest_Press(wnd, rec, kEdit, VK_ESCAPE, [this] { return Run(); }), kCancel);
  EXPECT_EQ(rec.commands, (std::vector<int>{kCancel}));
}

TEST_F(Win32WindowTest, APushButtonWithTheFocusActsItselfOnEnter) {
  EXPECT_EQ(Win32WindowTest_Press(wnd, rec, kButton, VK_RETURN, [this] { return Run(); }), 0);
  EXPECT_EQ(rec.commands, (std::vector<int>{kButton}));
}

TEST_F(Win32WindowTest, TheCloseBoxIsCancel) {
  PostMessageW(wnd.Handle(), WM_CLOSE, 0, 0);
  EXPECT_EQ(Run(), kCancel);
  EXPECT_EQ(rec.commands, (std::vector<int>{kCancel}));
}

TEST_F(Win32WindowTest, ProgressPositionsAreClampedToTheRange) {
  wnd.SetProgressRange(kProgress, 0, 200);
  wnd.SetProgressPos(kProgress, 150);
  EXPECT_EQ(wnd.GetProgressPos(kProgress), 150);
  wnd.SetProgressPos(kProgress, 500);
  EXPECT_EQ(wnd.GetProgressPos(kProgress), 200);
  wnd.SetProgressPos(kProgress, -3);
  EXPECT_EQ(wnd.GetProgressPos(kProgress), 0);
}

TEST(Win32Window, FileFilterBecomesNulSeparatedPairs) {
  EXPECT_EQ(Win32Window::DialogFilter("BIN(*.BIN)|*.bin|HEX(*.hex)|*.hex||"),
            std::wstring(L"BIN(*.BIN)\0*.bin\0HEX(*.hex)\0*.hex\0\0", 35));
  // A filter without its closing bars still ends with two NULs.
  EXPECT_EQ(Win32Window::DialogFilter("All|*.*"), std::wstring(L"All\0*.*\0\0", 9));
}

TEST(Win32LineMonitorList, FollowsTheMonitorAndItsCap) {
  Win32Window wnd(200, 100);
  LineMonitor monitor(10);
  Win32LineMonitor list(monitor, wnd.Handle(), nullptr);
  list.Open();
  EXPECT_TRUE(monitor.Enabled());
  const uint8_t ack = 0x06;
  for (int i = 0; i < 30; ++i) monitor.Record(LineDir::FromModule, i, &ack, 1);
  list.CatchUp();
  EXPECT_EQ(list.RowCount(), 10);  // the monitor keeps the last ten
  list.SetPaused(true);
  for (int i = 0; i < 3; ++i) monitor.Record(LineDir::ToModule, 40 + i, &ack, 1);
  list.CatchUp();
  EXPECT_EQ(list.RowCount(), 10);
  list.ClearRows();  // cleared while paused: emptied all the same
  EXPECT_EQ(list.RowCount(), 0);
  list.Close();
  EXPECT_FALSE(monitor.Enabled());
}

}  // namespace
}  // namespace qeld
