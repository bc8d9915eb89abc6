#include "win32/Win32Window.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

#include "win32/DialogTemplate.h"
#include "win32/Win32LineMonitor.h"
#include "win32/Win32SerialPorts.h"

namespace qeld {

namespace {

const wchar_t kClassName[] = L"QeldConsoleWindow";
// A queued call for the window's thread: lParam owns a std::function.
constexpr UINT kCallMessage = WM_APP + 0x100;
// Items of the window's own menu (outside the range of control ids).
constexpr UINT kMenuMonitor = 0x7F01;
constexpr UINT kMenuAbout = 0x7F02;
constexpr UINT kMenuPorts = 0x7F03;
// The about item of the system menu (its low four bits are the system's).
constexpr UINT kSysAbout = 0x0010;
constexpr int kIconResource = 128;
constexpr int kTabHeight = 21;

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(l);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self && self->Handle() == hwnd) return self->Proc(msg, w, l);
  return DefWindowProcW(hwnd, msg, w, l);
}

// A single-line field shows no line breaks; a multi-line one breaks at CR LF
// (a lone LF becomes CR LF, a lone CR is dropped).
std::string SingleLineDisplay(const std::string& text) {
  std::string s;
  s.reserve(text.size());
  for (char ch : text)
    if (ch != '\r' && ch != '\n') s += ch;
  return s;
}
std::string MultiLineDisplay(const std::string& text) {
  std::string s;
  s.reserve(text.size() + 16);
  for (size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    if (ch == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') {
        s += "\r\n";
        ++i;
      }
    } else if (ch == '\n') {
      s += "\r\n";
    } else {
      s += ch;
    }
  }
  return s;
}

std::wstring WindowText(HWND h) {
  const int n = GetWindowTextLengthW(h);
  if (n <= 0) return {};
  std::wstring s(static_cast<size_t>(n) + 1, L'\0');
  const int got = GetWindowTextW(h, s.data(), n + 1);
  s.resize(static_cast<size_t>(std::max(0, got)));
  return s;
}

struct PasswordState {
  std::wstring caption;
  int maxLen = 0;
  std::wstring text;
  bool ok = false;
};

constexpr int kPasswordEdit = 1033;

INT_PTR CALLBACK PasswordProc(HWND dlg, UINT msg, WPARAM w, LPARAM l) {
  switch (msg) {
    case WM_INITDIALOG: {
      SetWindowLongPtrW(dlg, DWLP_USER, l);
      auto* st = reinterpret_cast<PasswordState*>(l);
      HWND edit = GetDlgItem(dlg, kPasswordEdit);
      SendMessageW(edit, EM_SETLIMITTEXT, static_cast<WPARAM>(std::max(1, st->maxLen)), 0);
      SetFocus(edit);
      return FALSE;  // the focus is set
    }
    case WM_COMMAND: {
      auto* st = reinterpret_cast<PasswordState*>(GetWindowLongPtrW(dlg, DWLP_USER));
      // No buttons: the dialog keyboard turns Enter into OK and Esc into cancel.
      if (LOWORD(w) == IDOK) {
        st->text = WindowText(GetDlgItem(dlg, kPasswordEdit));
        st->ok = true;
        EndDialog(dlg, IDOK);
        return TRUE;
      }
      if (LOWORD(w) == IDCANCEL) {
        EndDialog(dlg, IDCANCEL);
        return TRUE;
      }
      return FALSE;
    }
    case WM_CLOSE:
      EndDialog(dlg, IDCANCEL);
      return TRUE;
    default:
      return FALSE;
  }
}

INT_PTR CALLBACK AboutProc(HWND dlg, UINT msg, WPARAM w, LPARAM) {
  switch (msg) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(w) == IDOK || LOWORD(w) == IDCANCEL) {
        EndDialog(dlg, LOWORD(w));
        return TRUE;
      }
      return FALSE;
    case WM_CLOSE:
      EndDialog(dlg, IDCANCEL);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

std::wstring Win32Window::DialogFilter(const std::string& filter) {
  // Pairs of description and patterns, "|" between them, "||" at the end.
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t bar = filter.find('|', start);
    if (bar == std::string::npos) {
      parts.push_back(filter.substr(start));
      break;
    }
    parts.push_back(filter.substr(start, bar - start));
    start = bar + 1;
  }
  std::wstring out;
  for (size_t i = 0; i + 1 < parts.size(); i += 2) {
    if (parts[i].empty()) break;
    out += Widen(parts[i]);
    out += L'\0';
    out += Widen(parts[i + 1]);
    out += L'\0';
  }
  out += L'\0';
  return out;
}

HFONT Win32Window::ConsoleFont() {
  // The layout is in pixels for Tahoma 9 pt at 96 dpi, so the height is
  // pinned in pixels. Hangul comes from the face the system links to Tahoma.
  static HFONT font = [] {
    LOGFONTW lf{};
    lf.lfHeight = -12;
    lf.lfWeight = FW_NORMAL;
    lf.lfCharSet = DEFAULT_CHARSET;
    lf.lfQuality = DEFAULT_QUALITY;
    wcscpy(lf.lfFaceName, L"Tahoma");
    return CreateFontIndirectW(&lf);
  }();
  return font;
}

HICON Win32Window::AppIcon(bool small) {
  const int size = small ? GetSystemMetrics(SM_CXSMICON) : GetSystemMetrics(SM_CXICON);
  HICON icon = static_cast<HICON>(
      LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kIconResource), IMAGE_ICON, size, size, LR_SHARED));
  return icon ? icon : LoadIconW(nullptr, MAKEINTRESOURCEW(32512) /* IDI_APPLICATION */);
}

// --- window ----------------------------------------------------------------------

Win32Window::Win32Window(int clientWidth, int clientHeight) {
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_TAB_CLASSES | ICC_PROGRESS_CLASS | ICC_LISTVIEW_CLASSES |
                                            ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);

  HINSTANCE inst = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = inst;
  wc.hIcon = AppIcon(false);
  wc.hIconSm = AppIcon(true);
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512) /* IDC_ARROW */);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kClassName;
  RegisterClassExW(&wc);  // a second window finds the class registered

  // Like Qt's window: a Help menu with the serial ports, the line monitor
  // (Ctrl+M) and the about item (F1); the system menu gets the about item as
  // well.
  menu_ = CreateMenu();
  HMENU help = CreatePopupMenu();
  AppendMenuW(help, MF_STRING, kMenuPorts, L"&Serial ports...");
  AppendMenuW(help, MF_STRING | MF_GRAYED, kMenuMonitor, L"&Line monitor\tCtrl+M");
  AppendMenuW(help, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(help, MF_STRING, kMenuAbout, L"QELD Test Program \uC815\uBCF4(&A)...\tF1");
  AppendMenuW(menu_, MF_POPUP, reinterpret_cast<UINT_PTR>(help), L"&Help");
  ACCEL keys[] = {{FVIRTKEY | FCONTROL, 'M', kMenuMonitor}, {FVIRTKEY, VK_F1, kMenuAbout}};
  accel_ = CreateAcceleratorTableW(keys, 2);

  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  const DWORD exStyle = WS_EX_APPWINDOW | WS_EX_CONTROLPARENT | WS_EX_DLGMODALFRAME;
  RECT r{0, 0, clientWidth, clientHeight};
  AdjustWindowRectEx(&r, style, TRUE, exStyle);
  // The template places the window at (50, 0) dialog units.
  hwnd_ = CreateWindowExW(exStyle, kClassName, L"", style, 87, 0, r.right - r.left, r.bottom - r.top, nullptr, menu_,
                          inst, this);
  // A long menu may wrap; the client area keeps its size regardless.
  RECT client{};
  GetClientRect(hwnd_, &client);
  if (client.bottom != clientHeight || client.right != clientWidth) {
    RECT w{};
    GetWindowRect(hwnd_, &w);
    SetWindowPos(hwnd_, nullptr, 0, 0, w.right - w.left + clientWidth - client.right,
                 w.bottom - w.top + clientHeight - client.bottom, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(AppIcon(false)));
  SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(AppIcon(true)));
  if (HMENU sys = GetSystemMenu(hwnd_, FALSE)) {
    AppendMenuW(sys, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(sys, MF_STRING, kSysAbout, L"QELD Test Program \uC815\uBCF4(&A)...");
  }
}

Win32Window::~Win32Window() {
  monitorWindow_.reset();
  if (hwnd_) {
    // Calls still queued are never run; free them.
    MSG m;
    while (PeekMessageW(&m, hwnd_, kCallMessage, kCallMessage, PM_REMOVE))
      delete reinterpret_cast<std::function<void()>*>(m.lParam);
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
  }
  if (accel_) DestroyAcceleratorTable(accel_);
}

HWND Win32Window::MakeControl(const ControlSpec& s) {
  const wchar_t* cls = L"STATIC";
  DWORD style = WS_CHILD | WS_CLIPSIBLINGS;
  DWORD ex = 0;
  switch (s.kind) {
    case ControlKind::Tab:
      cls = WC_TABCONTROLW;
      break;
    case ControlKind::GroupBox:
      cls = L"BUTTON";
      style |= BS_GROUPBOX;
      break;
    case ControlKind::Label:
      style |= (s.style & kEsCenter) ? SS_CENTER : (s.style & kEsRight) ? SS_RIGHT : SS_LEFT;
      break;
    case ControlKind::PushButton:
      cls = L"BUTTON";
      style |= BS_PUSHBUTTON | WS_TABSTOP;
      break;
    case ControlKind::DefPushButton:
      cls = L"BUTTON";
      style |= BS_DEFPUSHBUTTON | WS_TABSTOP;
      break;
    case ControlKind::RadioButton:
      // Checked by hand: a click checks this one and clears the others of
      // its group, while setting a check from code touches only the one.
      cls = L"BUTTON";
      style |= BS_RADIOBUTTON | WS_TABSTOP;
      break;
    case ControlKind::CheckBox:
      // Three states settable from code; a click toggles checked/unchecked.
      cls = L"BUTTON";
      style |= BS_3STATE | WS_TABSTOP;
      break;
    case ControlKind::Edit:
      cls = L"EDIT";
      ex = WS_EX_CLIENTEDGE;
      style |= WS_TABSTOP;
      if (s.style & kEsMultiline) {
        style |= ES_MULTILINE | ES_AUTOVSCROLL | WS_VSCROLL;
      } else {
        style |= ES_AUTOHSCROLL;
      }
      if (s.style & kEsCenter) style |= ES_CENTER;
      else if (s.style & kEsRight) style |= ES_RIGHT;
      if (s.style & kEsDigits) style |= ES_NUMBER;
      if (s.style & kEsReadOnly) style |= ES_READONLY;
      if (s.style & kEsPassword) style |= ES_PASSWORD;
      break;
    case ControlKind::Combo:
      cls = L"COMBOBOX";
      style |= CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP;
      break;
    case ControlKind::Progress:
      cls = PROGRESS_CLASSW;
      break;
  }
  const std::wstring text = Widen(s.kind == ControlKind::Edit && !(s.style & kEsMultiline) ? SingleLineDisplay(s.text)
                                  : s.kind == ControlKind::Edit ? MultiLineDisplay(s.text)
                                                                : s.text);
  HWND h = CreateWindowExW(ex, cls, s.kind == ControlKind::Tab || s.kind == ControlKind::Progress ? L"" : text.c_str(),
                           style, s.rect.left, s.rect.top, std::max(0, s.rect.Width()), std::max(0, s.rect.Height()),
                           hwnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(s.id)), GetModuleHandleW(nullptr), nullptr);
  if (!h) return nullptr;
  SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(ConsoleFont()), FALSE);
  if (s.kind == ControlKind::Edit && (s.style & kEsMultiline)) SendMessageW(h, EM_SETLIMITTEXT, 0, 0);
  if (s.kind == ControlKind::Progress) SendMessageW(h, PBM_SETRANGE32, 0, 100);
  // A tab row of one text line, so that the unit switch at y 39 stands below
  // the tab control's top edge, as in the Qt window.
  if (s.kind == ControlKind::Tab) SendMessageW(h, TCM_SETITEMSIZE, 0, MAKELPARAM(0, kTabHeight));
  return h;
}

void Win32Window::Place(Control& c) {
  // A combo's rectangle includes its drop-down list, as the system expects.
  const Rect& r = c.rect;
  SetWindowPos(c.hwnd, nullptr, r.left, r.top, std::max(0, r.Width()), std::max(0, r.Height()),
               SWP_NOZORDER | SWP_NOACTIVATE);
  InvalidateRect(c.hwnd, nullptr, TRUE);
}

void Win32Window::CreateControls(const std::vector<ControlSpec>& defs) {
  for (const auto& s : defs) {
    if (controls_.count(s.id)) continue;  // ids are unique in a template
    Control c;
    c.def = s;
    c.rect = s.rect;
    c.text = s.text;
    c.textValid = true;
    c.hwnd = MakeControl(s);
    if (!c.hwnd) continue;
    if (s.visible) ShowWindow(c.hwnd, SW_SHOWNA);
    idByHandle_[c.hwnd] = s.id;
    controls_.emplace(s.id, std::move(c));
  }
  RestackFrames();
}

void Win32Window::RestackFrames() {
  // Frames stay below the controls they hold, and the tab control below
  // everything: the page controls sit on it as siblings, not inside it.
  // Siblings clip one another, so a frame inside a frame must be above the
  // outer one: the larger a frame, the lower it stands.
  std::vector<const Control*> frames;
  const Control* tab = nullptr;
  for (const auto& [id, c] : controls_) {
    if (c.def.kind == ControlKind::GroupBox) frames.push_back(&c);
    if (c.def.kind == ControlKind::Tab) tab = &c;
  }
  std::sort(frames.begin(), frames.end(), [](const Control* a, const Control* b) {
    const long long areaA = 1LL * a->rect.Width() * a->rect.Height(), areaB = 1LL * b->rect.Width() * b->rect.Height();
    return areaA != areaB ? areaA < areaB : a->def.id < b->def.id;
  });
  const UINT flags = SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOREDRAW;
  for (const Control* f : frames) SetWindowPos(f->hwnd, HWND_BOTTOM, 0, 0, 0, 0, flags);
  if (tab) SetWindowPos(tab->hwnd, HWND_BOTTOM, 0, 0, 0, 0, flags);
}

Win32Window::Control* Win32Window::Find(int id) {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : &it->second;
}
const Win32Window::Control* Win32Window::Find(int id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : &it->second;
}
Win32Window::Control* Win32Window::FindByHandle(HWND h) {
  auto it = idByHandle_.find(h);
  return it == idByHandle_.end() ? nullptr : Find(it->second);
}
HWND Win32Window::ControlHandle(int id) const {
  const Control* c = Find(id);
  return c ? c->hwnd : nullptr;
}

bool Win32Window::HasControl(int id) const { return controls_.count(id) != 0; }

void Win32Window::SetText(int id, const std::string& text) {
  Control* c = Find(id);
  if (!c) return;
  // The console writes every field back several times per request; an
  // unchanged text costs no conversion and no redraw.
  if (c->textValid && c->def.kind != ControlKind::Combo && c->text == text) return;
  c->text = text;
  c->textValid = true;
  switch (c->def.kind) {
    case ControlKind::Tab:
    case ControlKind::Progress:
      return;
    case ControlKind::Edit: {
      const bool multi = (c->def.style & kEsMultiline) != 0;
      const std::wstring shown = Widen(multi ? MultiLineDisplay(text) : SingleLineDisplay(text));
      // A field whose text is unchanged is left alone, so the caret of a
      // field being typed in stays put.
      if (WindowText(c->hwnd) == shown) return;
      settingText_ = true;
      SetWindowTextW(c->hwnd, shown.c_str());
      settingText_ = false;
      if (multi) {
        // New lines are appended at the end; keep them in view.
        const auto end = static_cast<WPARAM>(shown.size());
        SendMessageW(c->hwnd, EM_SETSEL, end, static_cast<LPARAM>(end));
        SendMessageW(c->hwnd, EM_SCROLLCARET, 0, 0);
      }
      return;
    }
    case ControlKind::Combo: {
      const std::wstring shown = Widen(text);
      if (WindowText(c->hwnd) != shown) SetWindowTextW(c->hwnd, shown.c_str());
      return;
    }
    default:
      SetWindowTextW(c->hwnd, Widen(text).c_str());
      return;
  }
}

std::string Win32Window::GetText(int id) const {
  const Control* c = Find(id);
  if (!c) return {};
  switch (c->def.kind) {
    case ControlKind::Combo:
      return Narrow(WindowText(c->hwnd));
    case ControlKind::Edit:
      if (c->textValid) return c->text;
      return Narrow(WindowText(c->hwnd));  // multi-line text already breaks at CR LF
    default:
      return c->text;
  }
}

void Win32Window::SetCheck(int id, int state) {
  Control* c = Find(id);
  if (!c) return;
  WPARAM s = BST_UNCHECKED;
  if (c->def.kind == ControlKind::CheckBox) {
    s = state == 2 ? BST_INDETERMINATE : state ? BST_CHECKED : BST_UNCHECKED;
  } else if (c->def.kind == ControlKind::RadioButton) {
    s = state ? BST_CHECKED : BST_UNCHECKED;
  } else {
    return;
  }
  if (static_cast<WPARAM>(SendMessageW(c->hwnd, BM_GETCHECK, 0, 0)) != s) SendMessageW(c->hwnd, BM_SETCHECK, s, 0);
}

int Win32Window::GetCheck(int id) const {
  const Control* c = Find(id);
  if (!c || (c->def.kind != ControlKind::CheckBox && c->def.kind != ControlKind::RadioButton)) return 0;
  switch (SendMessageW(c->hwnd, BM_GETCHECK, 0, 0)) {
    case BST_CHECKED:
      return 1;
    case BST_INDETERMINATE:
      return c->def.kind == ControlKind::CheckBox ? 2 : 0;
    default:
      return 0;
  }
}

void Win32Window::Enable(int id, bool enabled) {
  // The enable rules run after every timer tick; most calls change nothing.
  if (Control* c = Find(id); c && (IsWindowEnabled(c->hwnd) != FALSE) != enabled) EnableWindow(c->hwnd, enabled);
}
bool Win32Window::IsEnabled(int id) const {
  const Control* c = Find(id);
  return c && IsWindowEnabled(c->hwnd);
}
void Win32Window::Show(int id, bool visible) {
  Control* c = Find(id);
  if (!c) return;
  const bool shown = (GetWindowLongW(c->hwnd, GWL_STYLE) & WS_VISIBLE) != 0;
  if (shown != visible) ShowWindow(c->hwnd, visible ? SW_SHOWNA : SW_HIDE);
}
bool Win32Window::IsVisible(int id) const {
  // The control's own flag, whether or not the window is shown yet.
  const Control* c = Find(id);
  return c && (GetWindowLongW(c->hwnd, GWL_STYLE) & WS_VISIBLE) != 0;
}
void Win32Window::Move(int id, const Rect& r) {
  if (Control* c = Find(id)) {
    if (c->rect == r) return;
    c->rect = r;
    Place(*c);
    if (c->def.kind == ControlKind::GroupBox) RestackFrames();
  }
}
Rect Win32Window::GetRect(int id) const {
  const Control* c = Find(id);
  return c ? c->rect : Rect{};
}

void Win32Window::ComboReset(int id) {
  Control* c = Find(id);
  if (!c || c->def.kind != ControlKind::Combo) return;
  SendMessageW(c->hwnd, CB_RESETCONTENT, 0, 0);
  SetWindowTextW(c->hwnd, L"");
}
void Win32Window::ComboAdd(int id, const std::string& item) {
  Control* c = Find(id);
  if (c && c->def.kind == ControlKind::Combo)
    SendMessageW(c->hwnd, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(item).c_str()));
}
void Win32Window::ComboSelect(int id, int index) {
  Control* c = Find(id);
  if (!c || c->def.kind != ControlKind::Combo) return;
  if (index >= 0 && index < static_cast<int>(SendMessageW(c->hwnd, CB_GETCOUNT, 0, 0)))
    SendMessageW(c->hwnd, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void Win32Window::SetProgressRange(int id, int lo, int hi) {
  Control* c = Find(id);
  if (c && c->def.kind == ControlKind::Progress) SendMessageW(c->hwnd, PBM_SETRANGE32, static_cast<WPARAM>(lo), hi);
}
void Win32Window::SetProgressPos(int id, int pos) {
  Control* c = Find(id);
  if (!c || c->def.kind != ControlKind::Progress) return;
  // The bar clamps a position outside its range; say so explicitly, as the
  // other backends do, rather than rely on each version of the control.
  const int lo = static_cast<int>(SendMessageW(c->hwnd, PBM_GETRANGE, TRUE, 0));
  const int hi = static_cast<int>(SendMessageW(c->hwnd, PBM_GETRANGE, FALSE, 0));
  SendMessageW(c->hwnd, PBM_SETPOS, static_cast<WPARAM>(std::clamp(pos, lo, std::max(lo, hi))), 0);
}
int Win32Window::GetProgressPos(int id) const {
  const Control* c = Find(id);
  return c && c->def.kind == ControlKind::Progress ? static_cast<int>(SendMessageW(c->hwnd, PBM_GETPOS, 0, 0)) : 0;
}

void Win32Window::AddTab(int id, int index, const std::string& text) {
  Control* c = Find(id);
  if (!c || c->def.kind != ControlKind::Tab) return;
  std::wstring w = Widen(text);
  TCITEMW item{};
  item.mask = TCIF_TEXT | TCIF_IMAGE;
  item.pszText = w.data();
  item.iImage = 0;
  SendMessageW(c->hwnd, TCM_INSERTITEMW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
}

void Win32Window::SetTitle(const std::string& title) { SetWindowTextW(hwnd_, Widen(title).c_str()); }
std::string Win32Window::Title() const { return Narrow(WindowText(hwnd_)); }

void Win32Window::SetTimer(int id, unsigned ms) {
  // Re-arming a running timer replaces it.
  ::SetTimer(hwnd_, static_cast<UINT_PTR>(id), std::min<unsigned>(ms, 0x7FFFFFFF), nullptr);
  timers_[id] = true;
}

void Win32Window::KillTimer(int id) {
  ::KillTimer(hwnd_, static_cast<UINT_PTR>(id));
  timers_.erase(id);
}

void Win32Window::QueueCall(std::function<void()> fn) {
  // A posted message: safe from any thread, delivered in posting order, also
  // inside the nested loops of message boxes and dialogs.
  auto* call = new std::function<void()>(std::move(fn));
  if (!PostMessageW(hwnd_, kCallMessage, 0, reinterpret_cast<LPARAM>(call))) delete call;
}

int Win32Window::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  return MessageBoxW(hwnd_, Widen(text).c_str(), Widen(caption).c_str(), flags);
}

std::optional<std::string> Win32Window::FileOpenDialog(const std::string& filter) {
  const std::wstring f = DialogFilter(filter);
  std::wstring path(32768, L'\0');
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof(ofn);
  ofn.hwndOwner = hwnd_;
  ofn.lpstrFilter = f.c_str();
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = path.data();
  ofn.nMaxFile = static_cast<DWORD>(path.size());
  // The working folder stays where it was: log files are written there.
  ofn.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
  if (!GetOpenFileNameW(&ofn)) return std::nullopt;
  path.resize(wcslen(path.c_str()));
  if (path.empty()) return std::nullopt;
  return Narrow(path);
}

std::optional<std::string> Win32Window::PasswordDialog(const std::string& caption, int maxLen) {
  // 187 x 26 dialog units, "System" 10 pt; one masked field at (7, 7, 173, 12)
  // and no buttons: Enter confirms, Esc and the close box cancel.
  PasswordState st;
  st.caption = Widen(caption);
  st.maxLen = maxLen;
  DialogTemplate t(st.caption, DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU, 187, 26, 10, L"System");
  t.Item(0x0081, kPasswordEdit, ES_PASSWORD | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 7, 7, 173, 12, L"");
  DialogBoxIndirectParamW(GetModuleHandleW(nullptr), t.Get(), hwnd_, PasswordProc, reinterpret_cast<LPARAM>(&st));
  if (!st.ok) return std::nullopt;
  return Narrow(st.text);
}

void Win32Window::AboutBox(const std::string& caption, const std::string& line1, const std::string& line2) {
  // 235 x 55 dialog units, "굴림" 9 pt: icon, two lines, OK.
  DialogTemplate t(Widen(caption), DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU, 235, 55, 9, L"\uAD74\uB9BC");
  t.Item(0x0082, -1, SS_ICON, 11, 17, 20, 20, L"", kIconResource);
  t.Item(0x0082, -1, SS_LEFT | SS_NOPREFIX, 40, 10, 119, 8, Widen(line1));
  t.Item(0x0082, -1, SS_LEFT | SS_NOPREFIX, 40, 25, 119, 8, Widen(line2));
  t.Item(0x0080, IDOK, BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP, 178, 7, 50, 14, L"OK");
  DialogBoxIndirectParamW(GetModuleHandleW(nullptr), t.Get(), hwnd_, AboutProc, 0);
}

int Win32Window::RunModal() {
  if (!modalEnded_) {
    ShowWindow(hwnd_, SW_SHOW);
    UpdateWindow(hwnd_);
    SetForegroundWindow(hwnd_);
    // The port selector first: Enter there is OPEN.
    if (HWND port = ControlHandle(2000)) SetFocus(port);
    if (whenShown_) QueueCall(std::exchange(whenShown_, nullptr));
    while (!modalEnded_) {
      MSG m;
      const BOOL got = GetMessageW(&m, nullptr, 0, 0);
      if (got <= 0) {
        if (got == 0) PostQuitMessage(static_cast<int>(m.wParam));  // for the loop that owns it
        modalResult_ = IDCANCEL;
        break;
      }
      HWND monitor = monitorWindow_ ? monitorWindow_->Handle() : nullptr;
      const bool mine = m.hwnd && (m.hwnd == hwnd_ || IsChild(hwnd_, m.hwnd));
      const bool monitors = monitor && m.hwnd && (m.hwnd == monitor || IsChild(monitor, m.hwnd));
      if ((mine || monitors) && TranslateAcceleratorW(hwnd_, accel_, &m)) continue;
      // Esc is the dialog's cancel wherever the focus is (an edit field may
      // claim it from the dialog keyboard), unless it closes an open list.
      if (mine && m.message == WM_KEYDOWN && m.wParam == VK_ESCAPE) {
        HWND port = ControlHandle(2000);
        if (!port || !SendMessageW(port, CB_GETDROPPEDSTATE, 0, 0)) {
          Command(IDCANCEL);
          continue;
        }
      }
      if (mine && IsDialogMessageW(hwnd_, &m)) continue;
      if (monitors && monitorWindow_->PreTranslate(m)) continue;
      TranslateMessage(&m);
      DispatchMessageW(&m);
    }
  }
  modalEnded_ = false;
  return modalResult_;
}

void Win32Window::EndModal(int result) {
  modalResult_ = result;
  modalEnded_ = true;
  ShowWindow(hwnd_, SW_HIDE);
  // Called from inside a message box, this ends the outer loop once the
  // box's own loop has returned; the message wakes it.
  PostMessageW(hwnd_, WM_NULL, 0, 0);
}

void Win32Window::AttachLineMonitor(LineMonitor* monitor) {
  if (monitor == monitor_) return;
  // The window goes with the monitor it shows.
  monitorWindow_.reset();
  monitor_ = monitor;
  CheckMenuItem(menu_, kMenuMonitor, MF_BYCOMMAND | MF_UNCHECKED);
  EnableMenuItem(menu_, kMenuMonitor, MF_BYCOMMAND | (monitor ? MF_ENABLED : MF_GRAYED));
}

void Win32Window::OpenLineMonitor() {
  if (!monitor_) return;
  if (!monitorWindow_)
    monitorWindow_ = std::make_unique<Win32LineMonitor>(*monitor_, hwnd_, [this](bool visible) {
      CheckMenuItem(menu_, kMenuMonitor, MF_BYCOMMAND | (visible ? MF_CHECKED : MF_UNCHECKED));
    });
  monitorWindow_->Open();
}

void Win32Window::CloseLineMonitor() {
  if (monitorWindow_) monitorWindow_->Close();
}

void Win32Window::Command(int id) {
  if (Handler()) Handler()->OnCommand(id);
}

void Win32Window::OnControlCommand(int id, int code, HWND) {
  Control* c = Find(id);
  if (!c) return;
  switch (c->def.kind) {
    case ControlKind::PushButton:
    case ControlKind::DefPushButton:
      if (code == BN_CLICKED) Command(id);
      break;
    case ControlKind::RadioButton:
      if (code == BN_CLICKED) {
        for (auto& [otherId, other] : controls_)
          if (other.def.kind == ControlKind::RadioButton && other.def.group == c->def.group)
            SendMessageW(other.hwnd, BM_SETCHECK, otherId == id ? BST_CHECKED : BST_UNCHECKED, 0);
      }
      break;
    case ControlKind::CheckBox:
      if (code == BN_CLICKED) {
        // Toggles between checked and unchecked, also from the third state.
        const bool checked = SendMessageW(c->hwnd, BM_GETCHECK, 0, 0) == BST_CHECKED;
        SendMessageW(c->hwnd, BM_SETCHECK, checked ? BST_UNCHECKED : BST_CHECKED, 0);
      }
      break;
    case ControlKind::Edit:
      if (code == EN_CHANGE && !settingText_) c->textValid = false;
      break;
    default:
      break;
  }
}

LRESULT Win32Window::Proc(UINT msg, WPARAM w, LPARAM l) {
  switch (msg) {
    case kCallMessage: {
      std::unique_ptr<std::function<void()>> call(reinterpret_cast<std::function<void()>*>(l));
      if (call && *call) (*call)();
      return 0;
    }
    case WM_TIMER: {
      // One-shot: the timer stops before its handler runs.
      const int id = static_cast<int>(w);
      ::KillTimer(hwnd_, w);
      if (timers_.erase(id) && Handler()) Handler()->OnTimer(id);
      return 0;
    }
    case WM_COMMAND: {
      const int id = LOWORD(w);
      const int code = HIWORD(w);
      if (l == 0) {
        // A menu item or an accelerator.
        if (id == static_cast<int>(kMenuMonitor)) {
          if (monitorWindow_ && monitorWindow_->IsOpen()) {
            CloseLineMonitor();
          } else {
            OpenLineMonitor();
          }
        } else if (id == static_cast<int>(kMenuAbout)) {
          if (Handler()) Handler()->OnAbout();
        } else if (id == static_cast<int>(kMenuPorts)) {
          RunSerialPortsDialog(hwnd_, openPort_);
        } else if (id == IDOK || id == IDCANCEL) {
          Command(id);
        }
        return 0;
      }
      OnControlCommand(id, code, reinterpret_cast<HWND>(l));
      return 0;
    }
    case DM_GETDEFID: {
      // As in a dialog: a push button with the focus acts itself on Enter;
      // anywhere else (an edit field, the port selector) Enter is OPEN.
      if (Control* c = FindByHandle(GetFocus());
          c && (c->def.kind == ControlKind::PushButton || c->def.kind == ControlKind::DefPushButton))
        return MAKELRESULT(c->def.id, DC_HASDEFID);
      return MAKELRESULT(IDOK, DC_HASDEFID);
    }
    case WM_SYSCOMMAND:
      if ((w & 0xFFF0) == kSysAbout) {
        if (Handler()) Handler()->OnAbout();
        return 0;
      }
      break;
    case WM_CLOSE:
      // The close box is the dialog's cancel; the console decides to end.
      Command(IDCANCEL);
      return 0;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<LRESULT>(AppIcon(false));
    default:
      break;
  }
  return DefWindowProcW(hwnd_, msg, w, l);
}

}  // namespace qeld
