// Native Win32 backend of the window layer: the console as a top-level window
// whose client area holds one child window per control, placed in client
// pixels, with the dialog keyboard (Enter, Esc, Tab) of a modal dialog.
#pragma once
// The window layer's names first: windows.h defines some of them (MB_OK,
// IDOK) as macros of the same values.
#include "window/Window.h"
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

#include "os/Utf16.h"
#include "window/Window.h"

// windows.h defines these as macros for its A/W pairs; the window layer's
// names are the plain ones.
#undef MessageBox
#undef PostMessage

namespace qeld {

class Win32LineMonitor;

class Win32Window : public WindowHost {
 public:
  // The client area is fixed: the page layout places controls in its pixels.
  Win32Window(int clientWidth, int clientHeight);
  ~Win32Window() override;
  Win32Window(const Win32Window&) = delete;
  Win32Window& operator=(const Win32Window&) = delete;

  // --- WindowHost ---
  void CreateControls(const std::vector<ControlSpec>& defs) override;
  bool HasControl(int id) const override;
  void SetText(int id, const std::string& text) override;
  std::string GetText(int id) const override;
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
  void SetTitle(const std::string& title) override;
  std::string Title() const override;
  void SetTimer(int id, unsigned ms) override;
  void KillTimer(int id) override;
  int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
  std::optional<std::string> FileOpenDialog(const std::string& filter) override;
  std::optional<std::string> PasswordDialog(const std::string& caption, int maxLen) override;
  void AboutBox(const std::string& caption, const std::string& line1, const std::string& line2) override;
  int RunModal() override;
  void EndModal(int result) override;
  void AttachLineMonitor(LineMonitor* monitor) override;

  HWND Handle() const { return hwnd_; }
  HWND ControlHandle(int id) const;
  void OpenLineMonitor();
  void CloseLineMonitor();
  // "Serial ports..." marks the port the console has open as its own; the
  // source tells its device path ("" when none).
  void SetOpenPortSource(std::function<std::string()> source) { openPort_ = std::move(source); }
  // Runs fn once the modal run has shown and painted the window and serves
  // its messages (the benchmark's start hook).
  void CallWhenShown(std::function<void()> fn) { whenShown_ = std::move(fn); }

  // "Name(*.ext)|*.ext|...||" to the common dialog's NUL-separated pairs.
  static std::wstring DialogFilter(const std::string& filter);
  // The template's font: Tahoma 9 pt; the system links it to a Korean face
  // for Hangul (on a Korean system and through font linking elsewhere).
  static HFONT ConsoleFont();
  static HICON AppIcon(bool small);

  // Window procedure entry; public for the class registration.
  LRESULT Proc(UINT msg, WPARAM w, LPARAM l);

 protected:
  void QueueCall(std::function<void()> fn) override;

 private:
  struct Control {
    ControlSpec def;
    Rect rect;
    HWND hwnd = nullptr;
    // The text last set, returned as long as the operator has not edited the
    // field: the console's texts may hold CR LF or bytes that are not UTF-8,
    // which a control would not give back unchanged.
    std::string text;
    bool textValid = false;
  };

  HWND MakeControl(const ControlSpec& s);
  void Place(Control& c);
  void RestackFrames();
  Control* Find(int id);
  const Control* Find(int id) const;
  Control* FindByHandle(HWND h);
  void Command(int id);
  void OnControlCommand(int id, int code, HWND ctl);
  void RunPending();

  HWND hwnd_ = nullptr;
  HMENU menu_ = nullptr;
  HACCEL accel_ = nullptr;
  LineMonitor* monitor_ = nullptr;
  std::unique_ptr<Win32LineMonitor> monitorWindow_;
  std::unordered_map<int, Control> controls_;
  std::unordered_map<HWND, int> idByHandle_;
  std::function<std::string()> openPort_;
  std::function<void()> whenShown_;
  std::map<int, bool> timers_;  // timers armed and not yet fired
  bool modalEnded_ = false;
  int modalResult_ = 0;
  bool settingText_ = false;
};

}  // namespace qeld
