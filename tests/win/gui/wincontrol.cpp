// qeld-wincontrol: drives a running console window from outside, the way an
// operator would, by window title and control id. Used by the window tests
// under Wine. Every call into the console's thread goes through
// SendMessageTimeout, so a hung window fails the test instead of hanging it.
//
//   qeld-wincontrol wait-window TITLE-PREFIX [SECONDS]    print the window handle
//   qeld-wincontrol wait-gone TITLE-PREFIX [SECONDS]
//   qeld-wincontrol text TITLE-PREFIX ID                  print a control's text
//   qeld-wincontrol wait-text TITLE-PREFIX ID TEXT [SECONDS]
//   qeld-wincontrol set-text TITLE-PREFIX ID TEXT
//   qeld-wincontrol click TITLE-PREFIX ID                 press a button (BM_CLICK)
//   qeld-wincontrol check TITLE-PREFIX ID                 print 0, 1 or 2
//   qeld-wincontrol enabled TITLE-PREFIX ID               print 0 or 1
//   qeld-wincontrol key TITLE-PREFIX return|escape        a key to the focused control
//   qeld-wincontrol rect TITLE-PREFIX ID                  client rectangle: left top right bottom
//   qeld-wincontrol close TITLE-PREFIX                    the dialog's OK (a message box's button)
//   qeld-wincontrol focus TITLE-PREFIX ID                 give a control the keyboard focus
//   qeld-wincontrol menu TITLE-PREFIX ID                  choose a menu item by command id
//   qeld-wincontrol rows TITLE-PREFIX ID                  print a list view's row count
//   qeld-wincontrol cell TITLE-PREFIX ID ROW COLUMN       print a list view's cell
//
// A message box's text is control 65535 (0xFFFF). Exit status 0 on success,
// 1 on a failed wait or check, 2 on bad use or a window that does not answer.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr UINT kAnswerMs = 5000;  // a window slower than this is hung

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

void Print(const std::string& s) {
  std::fwrite(s.data(), 1, s.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

[[noreturn]] void Hung(const char* what) {
  std::fprintf(stderr, "the window does not answer (%s)\n", what);
  std::exit(2);
}

LRESULT Send(HWND h, UINT msg, WPARAM w, LPARAM l, const char* what) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(h, msg, w, l, SMTO_ABORTIFHUNG, kAnswerMs, &result)) Hung(what);
  return static_cast<LRESULT>(result);
}

// The window still answers (a window that has closed meanwhile is no hang).
void Answers(HWND h, const char* what) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(h, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kAnswerMs, &result) && IsWindow(h)) Hung(what);
}

std::wstring TextOf(HWND h) {
  const auto n = static_cast<int>(Send(h, WM_GETTEXTLENGTH, 0, 0, "WM_GETTEXTLENGTH"));
  std::wstring s(static_cast<size_t>(std::max(0, n)) + 1, L'\0');
  const auto got = static_cast<int>(Send(h, WM_GETTEXT, s.size(), reinterpret_cast<LPARAM>(s.data()), "WM_GETTEXT"));
  s.resize(static_cast<size_t>(std::max(0, got)));
  return s;
}

struct Search {
  std::wstring prefix;
  HWND found = nullptr;
};

BOOL CALLBACK EnumProc(HWND h, LPARAM l) {
  auto* s = reinterpret_cast<Search*>(l);
  if (!IsWindowVisible(h)) return TRUE;
  wchar_t title[512] = {};
  // The title of a top-level window is read without a message to its thread.
  InternalGetWindowText(h, title, 512);
  if (std::wstring(title).rfind(s->prefix, 0) == 0) {
    s->found = h;
    return FALSE;
  }
  return TRUE;
}

HWND FindTop(const std::wstring& prefix) {
  Search s{prefix, nullptr};
  EnumWindows(EnumProc, reinterpret_cast<LPARAM>(&s));
  return s.found;
}

HWND WaitTop(const std::wstring& prefix, double seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    if (HWND h = FindTop(prefix)) return h;
    if (std::chrono::steady_clock::now() > until) return nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

HWND Need(const std::wstring& prefix) {
  HWND h = WaitTop(prefix, 10);
  if (!h) {
    std::fprintf(stderr, "no window \"%s\"\n", Utf8(prefix).c_str());
    std::exit(1);
  }
  return h;
}

HWND Control(HWND top, const std::wstring& id) {
  HWND c = GetDlgItem(top, _wtoi(id.c_str()));
  if (!c) {
    std::fprintf(stderr, "no control %s\n", Utf8(id).c_str());
    std::exit(1);
  }
  return c;
}

int Usage() {
  std::fprintf(stderr, "usage: qeld-wincontrol wait-window|wait-gone|text|wait-text|set-text|click|check|enabled|key|rect|close|menu|rows|cell|focus TITLE-PREFIX ...\n");
  return 2;
}

}  // namespace

int main() {
  _setmode(_fileno(stdout), _O_BINARY);  // "\n", not "\r\n": the script compares lines
  int argc = 0;
  wchar_t** argvw = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::wstring> a(argvw, argvw + argc);
  if (a.size() < 3) return Usage();
  const std::wstring& cmd = a[1];
  const std::wstring& title = a[2];
  auto seconds = [&](size_t i, double dflt) { return a.size() > i ? _wtof(a[i].c_str()) : dflt; };

  if (cmd == L"wait-window") {
    HWND h = WaitTop(title, seconds(3, 30));
    if (!h) return 1;
    std::printf("%p\n", static_cast<void*>(h));
    return 0;
  }
  if (cmd == L"wait-gone") {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds(3, 30));
    while (FindTop(title)) {
      if (std::chrono::steady_clock::now() > until) return 1;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return 0;
  }
  if (cmd == L"close") {
    // Posted: a button that opens another box must not hold this program.
    PostMessageW(Need(title), WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return 0;
  }
  if (cmd == L"menu" && a.size() >= 4) {
    PostMessageW(Need(title), WM_COMMAND, MAKEWPARAM(_wtoi(a[3].c_str()), 0), 0);
    return 0;
  }
  if (cmd == L"key" && a.size() >= 4) {
    HWND top = Need(title);
    GUITHREADINFO gti{};
    gti.cbSize = sizeof(gti);
    const DWORD thread = GetWindowThreadProcessId(top, nullptr);
    HWND target = GetGUIThreadInfo(thread, &gti) && gti.hwndFocus ? gti.hwndFocus : top;
    const WPARAM vk = a[3] == L"escape" ? VK_ESCAPE : VK_RETURN;
    const UINT scan = MapVirtualKeyW(static_cast<UINT>(vk), 0);
    // Through the window's own queue, so that its loop sees the key the way
    // it sees a typed one.
    PostMessageW(target, WM_KEYDOWN, vk, 1 | (scan << 16));
    PostMessageW(target, WM_KEYUP, vk, 1 | (scan << 16) | (3u << 30));
    Answers(top, "after the key");
    return 0;
  }
  if (a.size() < 4) return Usage();
  HWND top = Need(title);
  HWND c = Control(top, a[3]);
  if (cmd == L"text") {
    Print(Utf8(TextOf(c)));
    return 0;
  }
  if (cmd == L"wait-text" && a.size() >= 5) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds(5, 10));
    std::wstring last;
    while ((last = TextOf(c)) != a[4]) {
      if (std::chrono::steady_clock::now() > until) {
        std::fprintf(stderr, "control %s reads \"%s\", not \"%s\"\n", Utf8(a[3]).c_str(), Utf8(last).c_str(),
                     Utf8(a[4]).c_str());
        return 1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return 0;
  }
  if (cmd == L"set-text" && a.size() >= 5) {
    Send(c, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(a[4].c_str()), "WM_SETTEXT");
    return 0;
  }
  if (cmd == L"click") {
    // Posted, since the click may open a modal box that waits for the
    // operator; then a message through the window proves it still answers.
    if (!IsWindowEnabled(c)) {
      std::fprintf(stderr, "control %s is disabled\n", Utf8(a[3]).c_str());
      return 1;
    }
    PostMessageW(c, BM_CLICK, 0, 0);
    Answers(top, "after the click");
    return 0;
  }
  if (cmd == L"check") {
    std::printf("%d\n", static_cast<int>(Send(c, BM_GETCHECK, 0, 0, "BM_GETCHECK")));
    return 0;
  }
  if (cmd == L"focus") {
    // The focus belongs to the window's thread: join its input for the call.
    const DWORD thread = GetWindowThreadProcessId(top, nullptr);
    AttachThreadInput(GetCurrentThreadId(), thread, TRUE);
    SetFocus(c);
    AttachThreadInput(GetCurrentThreadId(), thread, FALSE);
    Answers(top, "after the focus");
    return 0;
  }
  if (cmd == L"rows") {
    std::printf("%d\n", static_cast<int>(Send(c, 0x1004 /* LVM_GETITEMCOUNT */, 0, 0, "LVM_GETITEMCOUNT")));
    return 0;
  }
  if (cmd == L"cell" && a.size() >= 6) {
    // The list view writes into memory of its own process: the request and
    // the text's room are made there.
    DWORD pid = 0;
    GetWindowThreadProcessId(c, &pid);
    HANDLE proc = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    constexpr int kChars = 1024;
    auto* remote = proc ? static_cast<char*>(VirtualAllocEx(proc, nullptr, sizeof(LVITEMW) + kChars * sizeof(wchar_t),
                                                            MEM_COMMIT, PAGE_READWRITE))
                        : nullptr;
    if (!remote) {
      std::fprintf(stderr, "cannot reach the list's process\n");
      return 2;
    }
    LVITEMW item{};
    item.iSubItem = _wtoi(a[5].c_str());
    item.pszText = reinterpret_cast<wchar_t*>(remote + sizeof(LVITEMW));
    item.cchTextMax = kChars;
    WriteProcessMemory(proc, remote, &item, sizeof item, nullptr);
    const auto n = static_cast<int>(
        Send(c, LVM_GETITEMTEXTW, static_cast<WPARAM>(_wtoi(a[4].c_str())), reinterpret_cast<LPARAM>(remote),
             "LVM_GETITEMTEXTW"));
    std::wstring text(static_cast<size_t>(std::clamp(n, 0, kChars)), L'\0');
    ReadProcessMemory(proc, remote + sizeof(LVITEMW), text.data(), text.size() * sizeof(wchar_t), nullptr);
    VirtualFreeEx(proc, remote, 0, MEM_RELEASE);
    CloseHandle(proc);
    Print(Utf8(text));
    return 0;
  }
  if (cmd == L"enabled") {
    std::printf("%d\n", IsWindowEnabled(c) ? 1 : 0);
    return 0;
  }
  if (cmd == L"rect") {
    RECT r{};
    GetWindowRect(c, &r);
    MapWindowPoints(nullptr, top, reinterpret_cast<POINT*>(&r), 2);
    std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom);
    return 0;
  }
  return Usage();
}
