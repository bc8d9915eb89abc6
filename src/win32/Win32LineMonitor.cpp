#include "win32/Win32LineMonitor.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <sstream>

#include "win32/Win32Window.h"

namespace qeld {

namespace {

const wchar_t kClassName[] = L"QeldLineMonitor";
constexpr UINT_PTR kRefreshTimer = 1;
constexpr UINT kRefreshMs = 100;
constexpr UINT kSaveDone = WM_APP + 1;  // lParam owns a SaveResult
constexpr int kListId = 100, kPauseId = 101, kClearId = 102, kSaveId = 103;
constexpr int kBarHeight = 28;

// Starting widths in pixels, as in the Qt window; the operator may drag them.
constexpr int kColumnWidths[kColumnCount] = {88, 90, 290, 190, 290, 175, 220};

constexpr COLORREF kFromModule = RGB(0xee, 0xf4, 0xff);
constexpr COLORREF kOpenRow = RGB(0xdd, 0xdd, 0xdd);
constexpr COLORREF kNak = RGB(0xff, 0xc8, 0xc8);
constexpr COLORREF kRetransmission = RGB(0xff, 0xdc, 0x8c);
constexpr COLORREF kBadBcc = RGB(0xff, 0xe6, 0xe6);
constexpr COLORREF kDeviceError = RGB(0xff, 0xf4, 0xd6);
constexpr COLORREF kIrregularText = RGB(0x70, 0x70, 0x70);

struct SaveResult {
  bool ok = false;
  std::wstring message;
};

std::wstring Thousands(uint64_t n) {
  std::wstring digits = std::to_wstring(n), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i && (digits.size() - i) % 3 == 0) out += L',';
    out += digits[i];
  }
  return out;
}

LRESULT CALLBACK MonitorProc(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
  if (msg == WM_NCCREATE)
    SetWindowLongPtrW(hwnd, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(l)->lpCreateParams));
  auto* self = reinterpret_cast<Win32LineMonitor*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self && self->Handle() == hwnd) return self->Proc(msg, w, l);
  return DefWindowProcW(hwnd, msg, w, l);
}

// Writes the text to a new file by its UTF-16 name; "" when written.
std::string WriteFileW(const std::wstring& path, const std::string& text) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "cannot create " + Narrow(path);
  size_t done = 0;
  bool ok = true;
  while (ok && done < text.size()) {
    DWORD wrote = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 20));
    ok = WriteFile(h, text.data() + done, chunk, &wrote, nullptr) && wrote > 0;
    done += wrote;
  }
  ok = CloseHandle(h) && ok;
  return ok ? "" : "cannot write " + Narrow(path);
}

}  // namespace

Win32LineMonitor::Win32LineMonitor(LineMonitor& monitor, HWND owner, std::function<void(bool)> visibilityChanged)
    : monitor_(monitor), visibilityChanged_(std::move(visibilityChanged)) {
  HINSTANCE inst = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = MonitorProc;
  wc.hInstance = inst;
  wc.hIcon = Win32Window::AppIcon(false);
  wc.hIconSm = Win32Window::AppIcon(true);
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kClassName;
  RegisterClassExW(&wc);

  hwnd_ = CreateWindowExW(WS_EX_CONTROLPARENT, kClassName, L"Line monitor", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                          CW_USEDEFAULT, 1360, 560, owner, nullptr, inst, this);
  HFONT ui = Win32Window::ConsoleFont();
  auto button = [&](const wchar_t* text, int id) {
    HWND b = CreateWindowExW(0, L"BUTTON", text, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, 0, 80, 24,
                             hwnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), inst, nullptr);
    SendMessageW(b, WM_SETFONT, reinterpret_cast<WPARAM>(ui), FALSE);
    return b;
  };
  pause_ = button(L"&Pause", kPauseId);
  clear_ = button(L"&Clear", kClearId);
  save_ = button(L"&Save...", kSaveId);
  count_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX | SS_CENTERIMAGE, 0, 0, 10,
                           10, hwnd_, nullptr, inst, nullptr);
  status_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_RIGHT | SS_NOPREFIX | SS_CENTERIMAGE, 0, 0,
                            10, 10, hwnd_, nullptr, inst, nullptr);
  SendMessageW(count_, WM_SETFONT, reinterpret_cast<WPARAM>(ui), FALSE);
  SendMessageW(status_, WM_SETFONT, reinterpret_cast<WPARAM>(ui), FALSE);

  // A virtual list: the rows stay in the monitor, the list asks for the
  // cells it draws, so 100,000 rows cost nothing to show.
  list_ = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                          WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS, 0, 0,
                          10, 10, hwnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kListId)), inst, nullptr);
  SendMessageW(list_, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
  LOGFONTW lf{};
  lf.lfHeight = -12;
  lf.lfCharSet = DEFAULT_CHARSET;
  lf.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
  wcscpy(lf.lfFaceName, L"Courier New");
  listFont_ = CreateFontIndirectW(&lf);
  SendMessageW(list_, WM_SETFONT, reinterpret_cast<WPARAM>(listFont_), FALSE);
  for (int c = 0; c < kColumnCount; ++c) {
    std::wstring title = Widen(LineMonitor::ColumnTitle(c));
    LVCOLUMNW col{};
    col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    col.pszText = title.data();
    col.cx = kColumnWidths[c];
    col.iSubItem = c;
    SendMessageW(list_, LVM_INSERTCOLUMNW, static_cast<WPARAM>(c), reinterpret_cast<LPARAM>(&col));
  }
  Layout();
  ShowCount();
}

Win32LineMonitor::~Win32LineMonitor() {
  monitor_.SetEnabled(false);
  if (saver_.joinable()) saver_.join();
  if (hwnd_) {
    MSG m;
    while (PeekMessageW(&m, hwnd_, kSaveDone, kSaveDone, PM_REMOVE)) delete reinterpret_cast<SaveResult*>(m.lParam);
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
  }
  if (listFont_) DeleteObject(listFont_);
}

void Win32LineMonitor::Open() {
  if (!open_) {
    open_ = true;
    monitor_.SetEnabled(true);
    ::SetTimer(hwnd_, kRefreshTimer, kRefreshMs, nullptr);
    CatchUp();
    if (visibilityChanged_) visibilityChanged_(true);
  }
  ShowWindow(hwnd_, IsIconic(hwnd_) ? SW_RESTORE : SW_SHOW);
  SetForegroundWindow(hwnd_);
  SetFocus(list_);
}

void Win32LineMonitor::Close() {
  if (!open_) return;
  open_ = false;
  ::KillTimer(hwnd_, kRefreshTimer);
  monitor_.SetEnabled(false);
  ShowWindow(hwnd_, SW_HIDE);
  if (visibilityChanged_) visibilityChanged_(false);
}

void Win32LineMonitor::Layout() {
  RECT r{};
  GetClientRect(hwnd_, &r);
  const int pad = 6;
  MoveWindow(pause_, pad, pad, 80, 24, TRUE);
  MoveWindow(clear_, pad + 86, pad, 80, 24, TRUE);
  MoveWindow(save_, pad + 172, pad, 80, 24, TRUE);
  const int right = std::max(pad + 270, static_cast<int>(r.right) - pad);
  MoveWindow(count_, pad + 270, pad, std::max(0, (right - pad - 270) / 2), 24, TRUE);
  MoveWindow(status_, pad + 270 + (right - pad - 270) / 2, pad, std::max(0, (right - pad - 270) / 2), 24, TRUE);
  MoveWindow(list_, pad, pad + kBarHeight + 2, std::max(0, static_cast<int>(r.right) - 2 * pad),
             std::max(0, static_cast<int>(r.bottom) - kBarHeight - 2 - 2 * pad), TRUE);
}

int Win32LineMonitor::RowCount() const { return static_cast<int>(view_.Count()); }

void Win32LineMonitor::CatchUp() {
  if (!paused_) {
    // Stays at the end when it was there; otherwise the operator is reading.
    const int count = RowCount();
    const int top = static_cast<int>(SendMessageW(list_, LVM_GETTOPINDEX, 0, 0));
    const int page = static_cast<int>(SendMessageW(list_, LVM_GETCOUNTPERPAGE, 0, 0));
    const bool atEnd = top + page >= count;
    // The list holds no rows of its own: bring the view up to date, then
    // tell the list the new count.
    const bool openChanged = view_.OpenChanged(monitor_);
    const uint64_t end = view_.EndNumber();
    if (openChanged) view_.DropOpen();
    view_.DropGone(monitor_);
    view_.TakeNew(monitor_);
    if (openChanged) view_.TakeOpen(monitor_);
    const bool changed = openChanged || view_.EndNumber() != end;
    if (changed || RowCount() != count) {
      SendMessageW(list_, LVM_SETITEMCOUNT, static_cast<WPARAM>(RowCount()), LVSICF_NOSCROLL | LVSICF_NOINVALIDATEALL);
      InvalidateRect(list_, nullptr, FALSE);
      if (atEnd && RowCount() > 0) SendMessageW(list_, LVM_ENSUREVISIBLE, static_cast<WPARAM>(RowCount() - 1), FALSE);
    }
  }
  ShowCount();
}

void Win32LineMonitor::ShowCount() {
  const int rows = RowCount();
  std::wstring text = Thousands(static_cast<uint64_t>(rows)) + (rows == 1 ? L" row" : L" rows");
  if (monitor_.FirstNumber() > 0 && monitor_.RowCount() >= monitor_.MaxRows())
    text += L" (the last " + Thousands(monitor_.MaxRows()) + L" kept)";
  if (paused_) {
    const uint64_t behind = monitor_.EndNumber() - std::max(view_.EndNumber(), monitor_.FirstNumber());
    text += L", paused: " + Thousands(behind) + L" new";
  }
  SetWindowTextW(count_, text.c_str());
}

void Win32LineMonitor::SetPaused(bool paused) {
  paused_ = paused;
  SetWindowTextW(pause_, paused ? L"&Resume" : L"&Pause");
  if (!paused) CatchUp();
  ShowCount();
}

void Win32LineMonitor::ClearRows() {
  monitor_.Clear();
  // Cleared while paused, the list is emptied all the same: what it showed is gone.
  const bool paused = paused_;
  paused_ = false;
  CatchUp();
  paused_ = paused;
  ShowCount();
}

void Win32LineMonitor::AskAndSave() {
  std::wstring path(32768, L'\0');
  const wchar_t initial[] = L"line-monitor.txt";
  std::copy(initial, initial + sizeof(initial) / sizeof(wchar_t), path.begin());
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof(ofn);
  ofn.hwndOwner = hwnd_;
  ofn.lpstrFilter = L"Text files (*.txt)\0*.txt\0All files (*.*)\0*.*\0\0";
  ofn.lpstrFile = path.data();
  ofn.nMaxFile = static_cast<DWORD>(path.size());
  ofn.lpstrTitle = L"Save line monitor";
  ofn.lpstrDefExt = L"txt";
  ofn.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST;
  if (!GetSaveFileNameW(&ofn)) return;
  path.resize(wcslen(path.c_str()));
  if (!path.empty()) SaveTo(Narrow(path));
}

void Win32LineMonitor::SaveTo(const std::string& path) {
  if (!IsWindowEnabled(save_)) return;  // one save at a time
  EnableWindow(save_, FALSE);
  SetWindowTextW(status_, L"Saving...");
  if (saver_.joinable()) saver_.join();
  // The copy is taken here, on the window's thread, where the rows change;
  // formatting and writing happen on the saver's.
  saver_ = std::thread([hwnd = hwnd_, rows = monitor_.Snapshot(), file = Widen(path)] {
    std::ostringstream out;
    LineMonitor::WriteRows(rows, out);
    const std::string error = WriteFileW(file, out.str());
    auto* result = new SaveResult;
    result->ok = error.empty();
    result->message = error.empty() ? Thousands(rows.size()) + L" rows saved to " + file : Widen(error);
    if (!PostMessageW(hwnd, kSaveDone, 0, reinterpret_cast<LPARAM>(result))) delete result;
  });
}

bool Win32LineMonitor::PreTranslate(MSG& m) {
  if (m.message == WM_KEYDOWN && m.wParam == VK_ESCAPE) {
    Close();
    return true;
  }
  return IsDialogMessageW(hwnd_, &m) != FALSE;
}

LRESULT Win32LineMonitor::OnNotify(NMHDR* hdr) {
  if (hdr->hwndFrom != list_) return 0;
  if (hdr->code == LVN_GETDISPINFOW) {
    auto* info = reinterpret_cast<NMLVDISPINFOW*>(hdr);
    if (!(info->item.mask & LVIF_TEXT)) return 0;
    const MonitorRow* row = view_.Row(monitor_, static_cast<size_t>(std::max(0, info->item.iItem)));
    const int column = info->item.iSubItem;
    if (!row) {
      cell_ = column == kColMeaning ? L"(no longer kept)" : L"";
    } else {
      cell_ = Widen(LineMonitor::ColumnText(*row, column));
    }
    info->item.pszText = cell_.data();
    return 0;
  }
  if (hdr->code == NM_CUSTOMDRAW) {
    auto* cd = reinterpret_cast<NMLVCUSTOMDRAW*>(hdr);
    switch (cd->nmcd.dwDrawStage) {
      case CDDS_PREPAINT:
        return CDRF_NOTIFYITEMDRAW;
      case CDDS_ITEMPREPAINT: {
        const MonitorRow* row = view_.Row(monitor_, static_cast<size_t>(cd->nmcd.dwItemSpec));
        if (!row) return CDRF_DODEFAULT;
        const RowMark mark = LineMonitor::Mark(*row);
        COLORREF back = CLR_DEFAULT;
        if (row->kind == RowKind::Open) back = kOpenRow;
        else if (mark == RowMark::Nak) back = kNak;
        else if (mark == RowMark::Retransmission) back = kRetransmission;
        else if (mark == RowMark::BadBcc) back = kBadBcc;
        else if (mark == RowMark::DeviceError) back = kDeviceError;
        else if (row->dir == LineDir::FromModule) back = kFromModule;
        if (back != CLR_DEFAULT) cd->clrTextBk = back;
        if (mark == RowMark::Irregular) cd->clrText = kIrregularText;
        return CDRF_NEWFONT;
      }
      default:
        return CDRF_DODEFAULT;
    }
  }
  return 0;
}

LRESULT Win32LineMonitor::Proc(UINT msg, WPARAM w, LPARAM l) {
  switch (msg) {
    case WM_SIZE:
      Layout();
      return 0;
    case WM_TIMER:
      if (w == kRefreshTimer) CatchUp();
      return 0;
    case WM_COMMAND:
      switch (LOWORD(w)) {
        case kPauseId:
          SetPaused(!paused_);
          return 0;
        case kClearId:
          ClearRows();
          return 0;
        case kSaveId:
          AskAndSave();
          return 0;
        case IDCANCEL:
          Close();
          return 0;
        default:
          break;
      }
      break;
    case WM_NOTIFY:
      return OnNotify(reinterpret_cast<NMHDR*>(l));
    case kSaveDone: {
      std::unique_ptr<SaveResult> result(reinterpret_cast<SaveResult*>(l));
      EnableWindow(save_, TRUE);
      SetWindowTextW(status_, result->message.c_str());
      return 0;
    }
    case WM_CLOSE:
      Close();
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd_, msg, w, l);
}

}  // namespace qeld
