// qeld-winbench.exe: the Windows console's half of qeld-bench --windows.
// The real Win32 window with ConsoleDialog and the Win32 CComm, under Wine,
// runs a firmware download on COM1 (qeld-sim, paced, on the far end); the
// file dialog is answered with the image and every message box with OK at
// once, neither inside the measured stretch. The figures come from the
// simulator's timing record, on the Linux side.
//
//   qeld-winbench.exe download IMAGE BLOCKS
//
// Prints "downloaded BLOCKS" when the module has every block, or "error ...".
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/ConsoleDialog.h"
#include "app/Controls.h"
#include "win32/Win32Window.h"

namespace {

constexpr DWORD kGuardMs = 600000;  // against a run that hangs, not a measure of anything

class BenchWindow : public qeld::Win32Window {
 public:
  using Win32Window::Win32Window;
  std::string imagePath;
  std::vector<std::string> boxes;

  int MessageBox(const std::string& text, const std::string&, unsigned) override {
    boxes.push_back(text);
    return IDOK;
  }
  std::optional<std::string> FileOpenDialog(const std::string&) override { return imagePath; }
};

// Serves the window's messages until done() holds, looked at after each one.
bool RunUntil(const std::function<bool()>& done) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > kGuardMs) return false;
    if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT) != WAIT_OBJECT_0) continue;
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&m);
      DispatchMessageW(&m);
      if (done()) return true;
    }
  }
  return true;
}

int Fail(const std::string& why) {
  std::printf("error %s\n", why.c_str());
  std::fflush(stdout);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || std::string(argv[1]) != "download") {
    std::fprintf(stderr, "usage: qeld-winbench download IMAGE BLOCKS\n");
    return 2;
  }
  BenchWindow wnd(qeld::ClientWidth(), qeld::ClientHeight());
  wnd.imagePath = argv[2];
  const int blocks = std::atoi(argv[3]);
  qeld::ConsoleDialog d(wnd);
  d.InitConsole();
  ShowWindow(wnd.Handle(), SW_SHOW);
  UpdateWindow(wnd.Handle());

  auto answered = [&](char letter) {
    return d.m_nRxState == 0 && d.m_nFrameLength > 3 && d.m_strFrame[3] == letter;
  };
  d.OnCommand(IDOK);  // OPEN with the default port, COM1
  if (!d.m_bConnected) return Fail("OPEN failed: " + wnd.GetText(qeld::ctl::kStatusLine));
  if (!RunUntil([&] { return answered('g'); })) return Fail("no answer to the sequence query");
  d.OnCommand(1170);  // Go Loader
  if (!RunUntil([&] { return !wnd.boxes.empty(); }) || wnd.boxes.back() != "Go Loader O.K.!")
    return Fail("Go Loader: " + (wnd.boxes.empty() ? std::string("no answer") : wnd.boxes.back()));
  wnd.boxes.clear();
  d.OnCommand(qeld::ctl::kWriteProg);
  if (!RunUntil([&] { return !wnd.boxes.empty(); }) || wnd.boxes.back() != "Downloading Done!")
    return Fail("the download: " + (wnd.boxes.empty() ? std::string("no end") : wnd.boxes.back()));
  std::printf("downloaded %d\n", blocks);
  std::fflush(stdout);
  return 0;
}
