// The console's window layer: what the console needs from a window system,
// nothing more. Two backends implement it: Qt (the real window) and a headless
// one with a virtual clock for tests.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qeld {

class LineMonitor;

using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

enum class ControlKind {
  Tab,
  GroupBox,
  Label,
  PushButton,
  DefPushButton,
  RadioButton,  // automatic: checking one clears the others of its group
  CheckBox,     // automatic: a click toggles it
  Edit,
  Combo,        // drop-down combo with an edit part
  Progress,
};

// Edit field styles
enum EditStyle : unsigned {
  kEsLeft = 0,
  kEsRight = 1u << 0,
  kEsCenter = 1u << 1,
  kEsDigits = 1u << 2,    // accepts digits only
  kEsReadOnly = 1u << 3,
  kEsMultiline = 1u << 4, // with a vertical scroll bar
  kEsPassword = 1u << 5,
};

struct Rect {
  int left = 0, top = 0, right = 0, bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  bool operator==(const Rect&) const = default;
};

// One control of the window template. Rectangles are client pixels.
struct ControlSpec {
  int id = 0;
  ControlKind kind = ControlKind::Label;
  unsigned style = 0;     // EditStyle bits for edit fields; kEsRight/kEsCenter also align a label
  std::string text;
  Rect rect;
  bool visible = false;
  int group = 0;          // radio group number; 0 = none
};

// Message box flags and answers (the values the original platform uses).
enum : unsigned {
  MB_OK = 0x0,
  MB_YESNO = 0x4,
  MB_ICONSTOP = 0x10,
  MB_ICONEXCLAMATION = 0x30,
};
enum : int { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };

// What the window delivers to its owner, always on the window's thread.
class WindowHandler {
 public:
  virtual ~WindowHandler() = default;
  virtual void OnCommand(int id) = 0;  // button click; 1 = OK/Enter, 2 = cancel/Esc/close
  virtual void OnTimer(int id) = 0;
  virtual LRESULT OnMessage(unsigned msg, WPARAM w, LPARAM l) = 0;
  virtual void OnAbout() = 0;          // the about item of the window's menu
};

// One synchronous cross-thread send in flight. Shared by the sender and the
// queued call, so either side may outlive the other.
struct PendingSend {
  std::mutex m;
  std::condition_variable cv;
  enum State { kQueued, kRunning, kDone, kDropped } state = kQueued;
};

// Lets one sending thread be released from its synchronous send. The window's
// thread must never wait for a thread that waits for the window: closing a
// port while bytes stream in drops the send in flight instead.
class SendGate {
 public:
  void Open();   // accept sends
  void Close();  // drop the send in flight (its sender returns false) and refuse new ones
  bool IsOpen();

 private:
  friend class WindowHost;
  std::mutex m_;
  bool open_ = false;
  std::shared_ptr<PendingSend> current_;
};

// Cuts text to its last maxBytes bytes at most, starting at a line start
// (just after a line feed) where the tail holds one, and never inside a UTF-8
// character.
void KeepTail(std::string& text, size_t maxBytes);

class WindowHost {
 public:
  virtual ~WindowHost() = default;

  void SetHandler(WindowHandler* h) { handler_ = h; }
  WindowHandler* Handler() const { return handler_; }

  // Controls by id
  virtual void CreateControls(const std::vector<ControlSpec>& defs) = 0;
  virtual bool HasControl(int id) const = 0;
  virtual void SetText(int id, const std::string& text) = 0;
  virtual std::string GetText(int id) const = 0;
  // Adds text to the end of a multi-line field and keeps no more than its
  // last maxKeep bytes, cut at a line start (KeepTail). The cost depends on
  // the text added, not on what the field holds, for a backend that can
  // append; this default reads and sets the whole text.
  virtual void AppendText(int id, const std::string& text, size_t maxKeep);
  virtual void SetCheck(int id, int state) = 0;
  virtual int GetCheck(int id) const = 0;
  virtual void Enable(int id, bool enabled) = 0;
  virtual bool IsEnabled(int id) const = 0;
  virtual void Show(int id, bool visible) = 0;
  virtual bool IsVisible(int id) const = 0;
  virtual void Move(int id, const Rect& r) = 0;
  virtual Rect GetRect(int id) const = 0;
  virtual void ComboReset(int id) = 0;
  virtual void ComboAdd(int id, const std::string& item) = 0;
  virtual void ComboSelect(int id, int index) = 0;
  virtual void SetProgressRange(int id, int lo, int hi) = 0;
  virtual void SetProgressPos(int id, int pos) = 0;
  virtual int GetProgressPos(int id) const = 0;
  virtual void AddTab(int id, int index, const std::string& text) = 0;
  virtual void SetTitle(const std::string& title) = 0;
  virtual std::string Title() const = 0;

  // One-shot timers by small id; setting a running timer replaces it.
  virtual void SetTimer(int id, unsigned ms) = 0;
  virtual void KillTimer(int id) = 0;
  // Milliseconds on the clock the timers run by: monotonic, from an
  // arbitrary start (the headless backend's virtual clock).
  virtual int64_t NowMs() const;

  // The console's line monitor, for a backend that can show it in a window of
  // its own; nullptr takes it away again (before the monitor is destroyed).
  virtual void AttachLineMonitor(LineMonitor*) {}

  // Thread-safe: queue a message for the window's thread.
  void PostMessage(unsigned msg, WPARAM w, LPARAM l);
  // From another thread: block until the window's thread has handled the
  // message (true) or the gate dropped it (false).
  bool SendFromThread(unsigned msg, WPARAM w, LPARAM l, SendGate& gate);

  // Modal interaction; each runs a nested loop that keeps serving timers and messages.
  virtual int MessageBox(const std::string& text, const std::string& caption, unsigned flags) = 0;
  // Returns the chosen path, or nothing when cancelled. Filter in the
  // "Name(*.ext)|*.ext|...||" form.
  virtual std::optional<std::string> FileOpenDialog(const std::string& filter) = 0;
  // The password prompt: masked, at most maxLen characters. Nothing when cancelled.
  virtual std::optional<std::string> PasswordDialog(const std::string& caption, int maxLen) = 0;
  virtual void AboutBox(const std::string& caption, const std::string& line1,
                        const std::string& line2) = 0;

  // The modal run of the window; EndModal ends it with a result.
  virtual int RunModal() = 0;
  virtual void EndModal(int result) = 0;

 protected:
  // Queue a call for the window's thread (thread-safe).
  virtual void QueueCall(std::function<void()> fn) = 0;
  void Dispatch(unsigned msg, WPARAM w, LPARAM l) {
    if (handler_) handler_->OnMessage(msg, w, l);
  }

 private:
  WindowHandler* handler_ = nullptr;
};

}  // namespace qeld
