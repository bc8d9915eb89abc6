// Showing page 0 from the layout table, the enable rules and the unit switch.
#include "app/ConsoleDialog.h"
#include "link/Frame.h"

namespace qeld {

namespace {

bool HiddenByPageReset(int id) {
  struct Range { int lo, hi; };
  static constexpr Range kRanges[] = {{7000, 7013}, {2002, 2016}, {1001, 1199}, {1201, 1201},
                                      {1204, 1234}, {1237, 1240}, {1242, 1360}, {1370, 1453},
                                      {7015, 7028}};
  for (auto r : kRanges)
    if (id >= r.lo && id <= r.hi) return true;
  return false;
}

// The fourteen unit-bearing fields and how each is re-expressed.
enum class Conv { Same, Length, Sonar };
struct UnitField { int id; Conv conv; };
constexpr UnitField kUnitFields[] = {
    {1119, Conv::Same},   {1120, Conv::Length}, {1124, Conv::Same},   {1125, Conv::Sonar},
    {7018, Conv::Same},   {7019, Conv::Same},   {7020, Conv::Same},   {7021, Conv::Same},
    {7009, Conv::Length}, {7010, Conv::Length}, {7011, Conv::Length}, {7012, Conv::Length},
    {1452, Conv::Same},   {1453, Conv::Same},
};

// Whether each row of the layout table is one of the admin-only controls.
const std::vector<bool>& AdminOnlyRows() {
  static const std::vector<bool> rows = [] {
    std::vector<bool> v;
    for (const PageLayoutEntry* e = PageLayoutTable; e->page != kEndPage; ++e) v.push_back(IsAdminOnly(e->id));
    return v;
  }();
  return rows;
}

constexpr int8_t kEnableUnknown = -1;

}  // namespace

void ConsoleDialog::RefreshPage() {
  HideAllControls();
  ShowPage();
  m_nUnitSeen = 1;
  m_bHexSlit = 1;
  m_wnd.ComboReset(ctl::kPortCombo);
  for (int i = 1; i <= 10; ++i) m_wnd.ComboAdd(ctl::kPortCombo, Format("%d", i));
  m_wnd.ComboSelect(ctl::kPortCombo, 0);
}

void ConsoleDialog::HideAllControls() {
  for (const auto& def : ConsoleTemplate())
    if (HiddenByPageReset(def.id)) m_wnd.Show(def.id, false);
  m_wnd.Show(ctl::kStatusLine, true);
  m_wnd.Enable(ctl::kStatusLine, true);
}

void ConsoleDialog::ShowPage() {
  const std::vector<bool>& adminOnly = AdminOnlyRows();
  m_RowEnabled.assign(adminOnly.size(), kEnableUnknown);
  for (size_t row = 0; row < adminOnly.size(); ++row) {
    const PageLayoutEntry* e = &PageLayoutTable[row];
    if (e->page != m_nPage) continue;
    m_wnd.Show(e->id, true);
    m_wnd.SetText(e->id, e->caption);
    if (e->id == ctl::kMessageArea) Text(e->id) = e->caption;  // not re-read by ReadFields
    m_wnd.Move(e->id, Rect{e->left, e->top, e->right, e->bottom});
    bool on = m_bConnected == 1 && m_bBusy == 0 && e->operable == 1;
    if (adminOnly[row]) on = on && m_bAdminMode == 1;
    m_wnd.Enable(e->id, on);
    m_RowEnabled[row] = on;
  }
  ReadFields();
  WriteFields();
  m_wnd.SetTimer(kTimerUnitPoll, static_cast<unsigned>(kUnitPollFirst.count()));
}

void ConsoleDialog::RefreshEnables() {
  const std::vector<bool>& adminOnly = AdminOnlyRows();
  m_RowEnabled.resize(adminOnly.size(), kEnableUnknown);
  for (size_t row = 0; row < adminOnly.size(); ++row) {
    const PageLayoutEntry* e = &PageLayoutTable[row];
    if (e->page != m_nPage) continue;
    const bool usable = e->operable == 1 && m_bConnected == 1;
    bool on;
    if (adminOnly[row] && m_bAdminMode == 0)
      on = false;
    else if (m_nPage == 0 && e->id == ctl::kCancelRepeat)
      on = usable && m_bBusy == 1 && m_bDownloading == 0;  // only while a request or run is in progress
    else if (m_nPage == 0 && e->id == ctl::kDownloadFrame)
      on = usable;
    else
      on = usable && m_bBusy == 0 && m_bDownloading == 0;
    if (m_RowEnabled[row] == on) continue;  // the control shows it already
    m_wnd.Enable(e->id, on);
    m_RowEnabled[row] = on;
  }
}

void ConsoleDialog::OnTabChange() {
  m_nPage = 0;  // the single tab "FUNCTION"
  ReadFields();
  RefreshPage();
  WriteFields();
}

void ConsoleDialog::UnitSwitchPoll() {
  m_wnd.SetTimer(kTimerUnitPoll, static_cast<unsigned>(kUnitPollNext.count()));
  const bool dec = m_wnd.GetCheck(ctl::kUnitDec) == 1;
  const bool hex = !dec && m_wnd.GetCheck(ctl::kUnitHex) == 1;
  if (m_bHexSlit != m_nUnitSeen) {
    m_nUnitSeen = m_bHexSlit;
    if (dec || hex) {
      ReadFields();
      for (const auto& f : kUnitFields) {
        std::string& text = Text(f.id);
        const int32_t v = ParseLong(text, dec ? 16 : 10);
        int32_t r = v;
        if (f.conv == Conv::Length) r = dec ? SlitsToMm(v) : MmToSlits(v);
        if (f.conv == Conv::Sonar && hex) r = Wrap32(int64_t{v} * 1000) / 785;
        text = dec ? Format("%d", r) : Format("%X", static_cast<unsigned>(r));
        if (text == "0") text.clear();
      }
      WriteFields();
    }
  }
  if (dec) {
    m_nUnitDecCheck = 1;
    m_nUnitHexCheck = 0;
    m_bHexSlit = 0;
  } else if (hex) {
    m_nUnitDecCheck = 0;
    m_nUnitHexCheck = 1;
    m_bHexSlit = 1;
  }
}

}  // namespace qeld
