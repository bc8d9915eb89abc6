// Headless window backend: controls in memory, a virtual clock for timers and
// scripted answers for the modal boxes, so the console runs in tests without a
// display and without real waiting. In real-clock mode (qeld-run) the same
// backend keeps wall-clock time: timers fire when they are due and the loop
// sleeps in between.
#pragma once
#include <deque>
#include <map>

#include "window/Window.h"

namespace qeld {

class HeadlessWindow : public WindowHost {
 public:
  struct Control {
    ControlSpec def;
    std::string text;
    int textSets = 0;  // SetText calls: the whole text replaced
    int check = 0;
    bool enabled = true;
    bool visible = false;
    Rect rect;
    std::vector<std::string> items;  // combo list
    int progressLo = 0, progressHi = 100, progressPos = 0;
  };
  struct BoxRecord {
    std::string text, caption;
    unsigned flags = 0;
    int64_t atMs = 0;
    int answer = 0;
  };
  struct BoxScript {
    int answer = IDOK;
    int64_t holdMs = 0;  // virtual time that passes while the box is open
  };

  // --- WindowHost ---
  void CreateControls(const std::vector<ControlSpec>& defs) override;
  bool HasControl(int id) const override;
  void SetText(int id, const std::string& text) override;
  std::string GetText(int id) const override;
  void AppendText(int id, const std::string& text, size_t maxKeep) override;
  void SetCheck(int id, int state) override;
  int GetCheck(int id) const override;
  void Enable(int id, bool enabled) override;
  bool IsEnabled(int id) const override;
  void Show(int id, bool visible) override;
  bool IsVisible(int id) const override;
  void Move(int id, const Rect& r) override;
  Rect GetRect(int id) const override;
  void ComboReset(int id) override;
  void ComboAdd(int id, const std::string& item) override;
  void ComboSelect(int id, int index) override;
  void SetProgressRange(int id, int lo, int hi) override;
  void SetProgressPos(int id, int pos) override;
  int GetProgressPos(int id) const override;
  void AddTab(int id, int index, const std::string& text) override;
  void SetTitle(const std::string& title) override { title_ = title; }
  std::string Title() const override { return title_; }
  void SetTimer(int id, unsigned ms) override;
  void KillTimer(int id) override;
  int64_t NowMs() const override { return Clock(); }
  int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
  std::optional<std::string> FileOpenDialog(const std::string& filter) override;
  std::optional<std::string> PasswordDialog(const std::string& caption, int maxLen) override;
  void AboutBox(const std::string& caption, const std::string& line1, const std::string& line2) override;
  int RunModal() override;
  void EndModal(int result) override;

  // --- driving it from a test (the window's thread is the test's thread) ---
  int64_t Now() const { return Clock(); }

  // Switches to wall-clock time for good: from now on timers are due at real
  // times and RunUntil is the way to let time pass. Call before InitConsole.
  void UseRealClock();
  bool RealClock() const { return real_; }
  // Real-clock mode: serves queued calls (posted messages, the reader's
  // synchronous sends) and timers as they fall due, sleeping in between,
  // until pred() holds (true) or the clock reaches untilMs (pred()'s value).
  bool RunUntil(const std::function<bool()>& pred, int64_t untilMs);
  // Runs queued calls, then timers due within ms of virtual time, in order.
  void Advance(int64_t ms);
  // Runs queued calls (posted messages, sends from other threads) until none is left.
  void Pump();
  // Pumps in real time until pred() holds or realTimeoutMs passes; virtual time stands still.
  bool PumpUntil(const std::function<bool()>& pred, int realTimeoutMs);
  // Operator input: only visible, enabled controls react, as on a real screen.
  bool Click(int id);
  bool Type(int id, const std::string& text);
  void PressEnter() { handlerCommand(1); }
  void PressEsc() { handlerCommand(2); }
  // A callback at a virtual time, not visible to the console (stands in for the line).
  void At(int64_t atMs, std::function<void()> fn);

  bool TimerRunning(int id) const { return timers_.count(id) != 0; }
  int64_t TimerDue(int id) const;
  const Control* Find(int id) const;

  std::deque<BoxScript> boxScript;                       // answers for message boxes (else OK / Yes)
  std::deque<std::optional<std::string>> fileScript;     // answers for the file dialog
  std::deque<std::optional<std::string>> passwordScript; // answers for the password prompt
  std::vector<BoxRecord> boxes;                          // every box shown
  std::vector<std::string> fileFilters;                  // filters the file dialog was given
  int passwordMaxLen = 0;
  int appends = 0;  // AppendText calls
  bool modalEnded = false;
  int modalResult = 0;
  std::vector<std::string> tabs;

 protected:
  void QueueCall(std::function<void()> fn) override;

 private:
  void handlerCommand(int id);
  int64_t Clock() const { return real_ ? RealNow() : now_; }
  int64_t RealNow() const;
  bool RunOneCall();
  void FireTimersUpTo(int64_t t);
  Control* FindMut(int id);

  std::map<int, Control> controls_;
  // Controls by id for ids below kIndexedIds: the console exchanges every
  // field with the window many times per response, and the fuzz targets
  // build a window per input.
  static constexpr int kIndexedIds = 10000;
  std::vector<Control*> index_;
  std::string title_;
  struct Timer { int64_t due; uint64_t order; };
  std::map<int, Timer> timers_;
  struct Scheduled { int64_t due; uint64_t order; std::function<void()> fn; };
  std::vector<Scheduled> scheduled_;
  uint64_t order_ = 0;
  int64_t now_ = 0;
  bool real_ = false;
  int64_t realStartNs_ = 0;  // steady clock at UseRealClock, ns
  int64_t now0_ = 0;         // virtual time then, so the clock never goes back
  std::mutex qm_;
  std::condition_variable qcv_;
  std::deque<std::function<void()>> queue_;
};

}  // namespace qeld
