// ConsoleApp on Windows: starts the console. The one ConsoleDialog runs
// modally; when it ends, the program ends. No command-line arguments are used.
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/ConsoleDialog.h"
#include "app/Controls.h"
#include "win32/Win32Window.h"

namespace {

// Benchmark hook (qeld-bench --windows), inert unless QELD_BENCH_READY_FD is
// "1", standard output: once the window is shown and painted and its loop
// runs, the console writes "shown", presses OPEN as the Enter key would, and
// writes "open <status line>". The benchmark times the lines as they arrive:
// Wine's clock is not its own.
void SayToBench(const std::string& line) {
  const std::string text = line + "\n";
  DWORD wrote = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  qeld::Win32Window wnd(qeld::ClientWidth(), qeld::ClientHeight());
  qeld::ConsoleDialog dlg(wnd);  // takes the window's events and creates its controls
  // "Serial ports..." tells the console's own port from one held by others.
  wnd.SetOpenPortSource([&dlg] { return dlg.m_Comm.m_bOpen ? std::string(dlg.m_Comm.m_szPortName) : std::string(); });
  if (const char* fd = std::getenv("QELD_BENCH_READY_FD"); fd && std::strcmp(fd, "1") == 0) {
    wnd.CallWhenShown([&] {
      SayToBench("shown");
      dlg.OnCommand(IDOK);
      SayToBench("open " + wnd.GetText(qeld::ctl::kStatusLine));
    });
  }
  dlg.DoModal();  // its result (OK or cancel) is not examined
  return 0;
}
