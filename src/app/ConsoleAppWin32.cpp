// ConsoleApp on Windows: starts the console. The one ConsoleDialog runs
// modally; when it ends, the program ends. No command-line arguments are used.
#include "app/ConsoleDialog.h"
#include "app/Controls.h"
#include "win32/Win32Window.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  qeld::Win32Window wnd(qeld::ClientWidth(), qeld::ClientHeight());
  qeld::ConsoleDialog dlg(wnd);  // takes the window's events and creates its controls
  // "Serial ports..." tells the console's own port from one held by others.
  wnd.SetOpenPortSource([&dlg] { return dlg.m_Comm.m_bOpen ? std::string(dlg.m_Comm.m_szPortName) : std::string(); });
  dlg.DoModal();                 // its result (OK or cancel) is not examined
  return 0;
}
