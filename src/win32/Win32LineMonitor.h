// The line monitor's window on Windows: a virtual list view over the
// console's LineMonitor, with Pause/Resume, Clear and Save... and a row
// counter, like the Qt one.
//
// While the window is open the monitor records; closing it makes the taps
// inert again. The list catches up with the monitor every 100 ms, never per
// byte; Pause freezes the list only, recording goes on. Saving writes the
// rows on a thread of its own, so the console's thread never waits for the
// disk.
#pragma once
// The window layer's names first: windows.h defines some of them (MB_OK,
// IDOK) as macros of the same values.
#include "window/Window.h"
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <functional>
#include <string>
#include <thread>

#include "monitor/LineMonitor.h"

namespace qeld {

class Win32LineMonitor {
 public:
  Win32LineMonitor(LineMonitor& monitor, HWND owner, std::function<void(bool)> visibilityChanged);
  ~Win32LineMonitor();
  Win32LineMonitor(const Win32LineMonitor&) = delete;
  Win32LineMonitor& operator=(const Win32LineMonitor&) = delete;

  HWND Handle() const { return hwnd_; }
  void Open();
  void Close();
  bool IsOpen() const { return open_; }
  bool Paused() const { return paused_; }
  void SetPaused(bool paused);
  void ClearRows();
  void SaveTo(const std::string& path);
  void CatchUp();
  int RowCount() const;
  // The window's own keys (Tab between its controls, Esc closes).
  bool PreTranslate(MSG& m);

  LRESULT Proc(UINT msg, WPARAM w, LPARAM l);

 private:
  void Layout();
  void ShowCount();
  void AskAndSave();
  LRESULT OnNotify(NMHDR* hdr);

  LineMonitor& monitor_;
  std::function<void(bool)> visibilityChanged_;
  HWND hwnd_ = nullptr;
  HWND list_ = nullptr;
  HWND pause_ = nullptr;
  HWND clear_ = nullptr;
  HWND save_ = nullptr;
  HWND count_ = nullptr;
  HWND status_ = nullptr;
  HFONT listFont_ = nullptr;
  MonitorView view_;
  bool open_ = false;
  bool paused_ = false;
  std::wstring cell_;  // the text handed to the list for one cell
  std::thread saver_;
};

}  // namespace qeld
