// The console's headers first: windows.h makes macros of names they use.
#include "comm/PortList.h"
#include "link/Protocol.h"
#include "win32/Win32SerialPorts.h"

#include <commctrl.h>

#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "os/Utf16.h"
#include "win32/DialogTemplate.h"

namespace qeld {

namespace {

constexpr UINT kPortsRead = WM_APP + 1;  // the reader has stored its rows

struct Column {
  const wchar_t* title;
  short width;  // dialog units
};
constexpr Column kColumns[] = {{L"Port", 34},          {L"State", 92},         {L"Device Manager name", 110},
                               {L"Maker", 50},         {L"Model", 70},         {L"Serial number", 50},
                               {L"Hardware", 70}};

struct PortsState {
  std::function<std::string()> openPort;
  std::mutex m;
  std::unique_ptr<std::vector<PortRow>> ready;  // handed over by the reader
  std::thread reader;
};

std::vector<std::string> Cells(const PortRow& r) {
  return {r.name, r.stateText, r.description, r.maker, r.model, r.serial, r.hardware};
}

void SetCell(HWND list, int row, int column, const std::string& text) {
  std::wstring w = Widen(text);
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = w.data();
  if (column == 0) {
    item.mask = LVIF_TEXT;
    item.iItem = row;
    SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
  } else {
    SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  }
}

std::string Summary(const std::vector<PortRow>& rows) {
  if (rows.empty()) return "Windows lists no serial port. Plug in the adapter, wait for Windows to set it up, then Refresh.";
  std::string text = std::to_string(rows.size()) + (rows.size() == 1 ? " port." : " ports.") +
                     " The console opens COM1 to COM" + std::to_string(kMaxPort) + ".";
  std::string beyond;
  for (const PortRow& r : rows)
    if (r.number > kMaxPort) beyond += (beyond.empty() ? "" : ", ") + r.name;
  if (!beyond.empty())
    text += " " + beyond + (beyond.find(',') == std::string::npos ? " is" : " are") +
            " beyond it: give the adapter a lower number in the Device Manager (Properties, Port Settings, "
            "Advanced..., COM Port Number).";
  return text;
}

void ShowRows(HWND dlg, const std::vector<PortRow>& rows) {
  HWND list = GetDlgItem(dlg, kPortsList);
  SendMessageW(list, WM_SETREDRAW, FALSE, 0);
  SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::vector<std::string> cells = Cells(rows[i]);
    for (size_t c = 0; c < cells.size(); ++c) SetCell(list, static_cast<int>(i), static_cast<int>(c), cells[c]);
  }
  SendMessageW(list, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(list, nullptr, TRUE);
  SetDlgItemTextW(dlg, kPortsStatus, Widen(Summary(rows)).c_str());
  EnableWindow(GetDlgItem(dlg, kPortsRefresh), TRUE);
}

void StartReading(HWND dlg, PortsState& st) {
  if (st.reader.joinable()) st.reader.join();  // it has posted: Refresh was disabled until then
  EnableWindow(GetDlgItem(dlg, kPortsRefresh), FALSE);
  SetDlgItemTextW(dlg, kPortsStatus, L"Reading the ports...");
  const std::string open = st.openPort ? st.openPort() : std::string();
  try {
    st.reader = std::thread([&st, dlg, open] {
      auto rows = std::make_unique<std::vector<PortRow>>(ListPorts(open));
      {
        std::lock_guard<std::mutex> lock(st.m);
        st.ready = std::move(rows);
      }
      // Fails once the dialog has ended; the rows then go with its state.
      PostMessageW(dlg, kPortsRead, 0, 0);
    });
  } catch (const std::system_error& e) {
    SetDlgItemTextW(dlg, kPortsStatus, Widen(std::string("The ports cannot be read: ") + e.what()).c_str());
    EnableWindow(GetDlgItem(dlg, kPortsRefresh), TRUE);
  }
}

void SetUpList(HWND dlg) {
  HWND list = GetDlgItem(dlg, kPortsList);
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
  int i = 0;
  for (const Column& c : kColumns) {
    RECT r{0, 0, c.width, 0};
    MapDialogRect(dlg, &r);
    LVCOLUMNW col{};
    col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    col.pszText = const_cast<wchar_t*>(c.title);
    col.cx = r.right;
    col.iSubItem = i;
    SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&col));
    ++i;
  }
}

INT_PTR CALLBACK PortsProc(HWND dlg, UINT msg, WPARAM w, LPARAM l) {
  auto* st = reinterpret_cast<PortsState*>(GetWindowLongPtrW(dlg, DWLP_USER));
  switch (msg) {
    case WM_INITDIALOG:
      SetWindowLongPtrW(dlg, DWLP_USER, l);
      SetUpList(dlg);
      StartReading(dlg, *reinterpret_cast<PortsState*>(l));
      return TRUE;
    case kPortsRead: {
      std::unique_ptr<std::vector<PortRow>> rows;
      {
        std::lock_guard<std::mutex> lock(st->m);
        rows = std::move(st->ready);
      }
      if (rows) ShowRows(dlg, *rows);
      return TRUE;
    }
    case WM_COMMAND:
      switch (LOWORD(w)) {
        case kPortsRefresh:
          StartReading(dlg, *st);
          return TRUE;
        case IDOK:
        case IDCANCEL:
          EndDialog(dlg, LOWORD(w));
          return TRUE;
        default:
          return FALSE;
      }
    case WM_CLOSE:
      EndDialog(dlg, IDCANCEL);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void RunSerialPortsDialog(HWND owner, const std::function<std::string()>& openPort) {
  PortsState st;
  st.openPort = openPort;
  DialogTemplate t(L"Serial ports", DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU, 490, 206, 8,
                   L"MS Shell Dlg");
  t.Item(0x0082, -1, SS_LEFT | SS_NOPREFIX, 7, 7, 476, 18,
         L"The serial ports Windows knows, with the names the Device Manager gives them. Find the adapter of "
         L"the service cable by its make, model or serial number, then type its COM number into the console.");
  t.Item(WC_LISTVIEWW, kPortsList, LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_BORDER | WS_TABSTOP, 7, 28,
         476, 134);
  t.Item(0x0082, kPortsStatus, SS_LEFT | SS_NOPREFIX, 7, 166, 476, 16, L"");
  t.Item(0x0080, kPortsRefresh, BS_PUSHBUTTON | WS_TABSTOP, 368, 185, 55, 14, L"&Refresh");
  t.Item(0x0080, IDOK, BS_DEFPUSHBUTTON | WS_TABSTOP, 428, 185, 55, 14, L"Close");
  DialogBoxIndirectParamW(GetModuleHandleW(nullptr), t.Get(), owner, PortsProc, reinterpret_cast<LPARAM>(&st));
  // The reader ends within the port list's own time limit.
  if (st.reader.joinable()) st.reader.join();
}

}  // namespace qeld
