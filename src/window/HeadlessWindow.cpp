#include "window/HeadlessWindow.h"

#include <algorithm>
#include <chrono>

namespace qeld {

void HeadlessWindow::CreateControls(const std::vector<ControlSpec>& defs) {
  if (index_.empty()) index_.assign(kIndexedIds, nullptr);
  for (const auto& s : defs) {
    Control c;
    c.def = s;
    c.text = s.text;
    c.visible = s.visible;
    c.rect = s.rect;
    Control& slot = controls_[s.id] = c;
    if (s.id >= 0 && s.id < kIndexedIds) index_[s.id] = &slot;  // map nodes never move
  }
}

bool HeadlessWindow::HasControl(int id) const { return Find(id) != nullptr; }
const HeadlessWindow::Control* HeadlessWindow::Find(int id) const {
  if (id >= 0 && id < static_cast<int>(index_.size())) return index_[id];
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : &it->second;
}
HeadlessWindow::Control* HeadlessWindow::FindMut(int id) {
  if (id >= 0 && id < static_cast<int>(index_.size())) return index_[id];
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : &it->second;
}

void HeadlessWindow::SetText(int id, const std::string& text) {
  if (auto* c = FindMut(id)) {
    c->text = text;
    ++c->textSets;
  }
}
void HeadlessWindow::AppendText(int id, const std::string& text, size_t maxKeep) {
  auto* c = FindMut(id);
  if (!c) return;
  ++appends;
  c->text += text;
  KeepTail(c->text, maxKeep);
}
std::string HeadlessWindow::GetText(int id) const {
  auto* c = Find(id);
  return c ? c->text : std::string();
}
void HeadlessWindow::SetCheck(int id, int state) {
  if (auto* c = FindMut(id)) c->check = state;
}
int HeadlessWindow::GetCheck(int id) const {
  auto* c = Find(id);
  return c ? c->check : 0;
}
void HeadlessWindow::Enable(int id, bool enabled) {
  if (auto* c = FindMut(id)) c->enabled = enabled;
}
bool HeadlessWindow::IsEnabled(int id) const {
  auto* c = Find(id);
  return c && c->enabled;
}
void HeadlessWindow::Show(int id, bool visible) {
  if (auto* c = FindMut(id)) c->visible = visible;
}
bool HeadlessWindow::IsVisible(int id) const {
  auto* c = Find(id);
  return c && c->visible;
}
void HeadlessWindow::Move(int id, const Rect& r) {
  if (auto* c = FindMut(id)) c->rect = r;
}
Rect HeadlessWindow::GetRect(int id) const {
  auto* c = Find(id);
  return c ? c->rect : Rect{};
}
void HeadlessWindow::ComboReset(int id) {
  if (auto* c = FindMut(id)) {
    c->items.clear();
    c->text.clear();
  }
}
void HeadlessWindow::ComboAdd(int id, const std::string& item) {
  if (auto* c = FindMut(id)) c->items.push_back(item);
}
void HeadlessWindow::ComboSelect(int id, int index) {
  auto* c = FindMut(id);
  if (c && index >= 0 && index < static_cast<int>(c->items.size())) c->text = c->items[index];
}
void HeadlessWindow::SetProgressRange(int id, int lo, int hi) {
  if (auto* c = FindMut(id)) {
    c->progressLo = lo;
    c->progressHi = hi;
  }
}
void HeadlessWindow::SetProgressPos(int id, int pos) {
  if (auto* c = FindMut(id)) c->progressPos = std::clamp(pos, c->progressLo, c->progressHi);
}
int HeadlessWindow::GetProgressPos(int id) const {
  auto* c = Find(id);
  return c ? c->progressPos : 0;
}
void HeadlessWindow::AddTab(int, int index, const std::string& text) {
  if (index < 0 || index > static_cast<int>(tabs.size())) index = static_cast<int>(tabs.size());
  tabs.insert(tabs.begin() + index, text);
}

void HeadlessWindow::SetTimer(int id, unsigned ms) { timers_[id] = Timer{Clock() + ms, order_++}; }

namespace {
int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

int64_t HeadlessWindow::RealNow() const { return (SteadyNs() - realStartNs_) / 1000000 + now0_; }

void HeadlessWindow::UseRealClock() {
  if (real_) return;
  now0_ = now_;
  realStartNs_ = SteadyNs();
  real_ = true;
}

bool HeadlessWindow::RunUntil(const std::function<bool()>& pred, int64_t untilMs) {
  for (;;) {
    const int64_t t = Clock();
    now_ = t;
    FireTimersUpTo(t);
    if (pred()) return true;
    if (Clock() >= untilMs) return false;
    // Sleep until the next timer is due, a call is queued or the time is up.
    int64_t next = untilMs;
    for (const auto& [id, tm] : timers_) next = std::min(next, tm.due);
    for (const auto& sc : scheduled_) next = std::min(next, sc.due);
    const int64_t waitMs = std::max<int64_t>(0, next - Clock());
    std::unique_lock lk(qm_);
    qcv_.wait_for(lk, std::chrono::milliseconds(waitMs), [&] { return !queue_.empty(); });
  }
}
void HeadlessWindow::KillTimer(int id) { timers_.erase(id); }
int64_t HeadlessWindow::TimerDue(int id) const {
  auto it = timers_.find(id);
  return it == timers_.end() ? -1 : it->second.due;
}

void HeadlessWindow::At(int64_t atMs, std::function<void()> fn) {
  scheduled_.push_back(Scheduled{atMs, order_++, std::move(fn)});
}

void HeadlessWindow::QueueCall(std::function<void()> fn) {
  {
    std::lock_guard lk(qm_);
    queue_.push_back(std::move(fn));
  }
  qcv_.notify_all();
}

bool HeadlessWindow::RunOneCall() {
  std::function<void()> fn;
  {
    std::lock_guard lk(qm_);
    if (queue_.empty()) return false;
    fn = std::move(queue_.front());
    queue_.pop_front();
  }
  fn();
  return true;
}

void HeadlessWindow::Pump() {
  while (RunOneCall()) {
  }
}

bool HeadlessWindow::PumpUntil(const std::function<bool()>& pred, int realTimeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(realTimeoutMs);
  for (;;) {
    Pump();
    if (pred()) return true;
    std::unique_lock lk(qm_);
    if (!qcv_.wait_until(lk, deadline, [&] { return !queue_.empty(); })) {
      lk.unlock();
      Pump();
      return pred();
    }
  }
}

// Window timers, like those of the original platform, come after every queued
// message: queued calls run first, then the earliest due timer or line event.
void HeadlessWindow::FireTimersUpTo(int64_t t) {
  for (;;) {
    Pump();
    int timerId = -1;
    Timer best{INT64_MAX, UINT64_MAX};
    for (auto& [id, tm] : timers_)
      if (tm.due <= t && (tm.due < best.due || (tm.due == best.due && tm.order < best.order))) {
        best = tm;
        timerId = id;
      }
    int sched = -1;
    for (size_t i = 0; i < scheduled_.size(); ++i) {
      const auto& s = scheduled_[i];
      if (s.due <= t && (s.due < best.due || (s.due == best.due && s.order < best.order))) {
        best = Timer{s.due, s.order};
        sched = static_cast<int>(i);
        timerId = -1;
      }
    }
    if (timerId < 0 && sched < 0) break;
    now_ = std::max(now_, best.due);
    if (sched >= 0) {
      auto fn = std::move(scheduled_[sched].fn);
      scheduled_.erase(scheduled_.begin() + sched);
      fn();
    } else if (Handler()) {
      // The original platform's timers repeat until killed; the console's
      // dispatcher kills each on arrival, so a fired timer stays armed until
      // the handler has run.
      Handler()->OnTimer(timerId);
      auto it = timers_.find(timerId);
      if (it != timers_.end() && it->second.order == best.order) timers_.erase(it);
    }
  }
  now_ = std::max(now_, t);
  Pump();
}

void HeadlessWindow::Advance(int64_t ms) { FireTimersUpTo(now_ + ms); }

int HeadlessWindow::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  BoxScript s;
  if (!boxScript.empty()) {
    s = boxScript.front();
    boxScript.pop_front();
  } else if ((flags & 0xF) == MB_YESNO) {
    s.answer = IDYES;
  }
  boxes.push_back(BoxRecord{text, caption, flags, Clock(), s.answer});
  // The box's own loop keeps serving timers and messages while it is open.
  if (s.holdMs > 0 && !real_) FireTimersUpTo(now_ + s.holdMs);
  return s.answer;
}

std::optional<std::string> HeadlessWindow::FileOpenDialog(const std::string& filter) {
  fileFilters.push_back(filter);
  if (fileScript.empty()) return std::nullopt;
  auto r = fileScript.front();
  fileScript.pop_front();
  return r;
}

std::optional<std::string> HeadlessWindow::PasswordDialog(const std::string&, int maxLen) {
  passwordMaxLen = maxLen;
  if (passwordScript.empty()) return std::nullopt;
  auto r = passwordScript.front();
  passwordScript.pop_front();
  // Typing stops at the field's limit.
  if (r && static_cast<int>(r->size()) > maxLen) r->resize(maxLen);
  return r;
}

void HeadlessWindow::AboutBox(const std::string& caption, const std::string& line1, const std::string& line2) {
  boxes.push_back(BoxRecord{line1 + "\n" + line2, caption, MB_OK, Clock(), IDOK});
}

int HeadlessWindow::RunModal() {
  while (!modalEnded) {
    Pump();
    if (modalEnded) break;
    if (timers_.empty() && scheduled_.empty()) break;  // nothing could ever end it
    Advance(100);
  }
  return modalResult;
}

void HeadlessWindow::EndModal(int result) {
  modalEnded = true;
  modalResult = result;
}

void HeadlessWindow::handlerCommand(int id) {
  if (Handler()) Handler()->OnCommand(id);
}

bool HeadlessWindow::Click(int id) {
  auto* c = FindMut(id);
  if (!c || !c->visible || !c->enabled) return false;
  switch (c->def.kind) {
    case ControlKind::CheckBox:
      c->check = c->check ? 0 : 1;
      return true;
    case ControlKind::RadioButton:
      for (auto& [oid, o] : controls_)
        if (o.def.kind == ControlKind::RadioButton && o.def.group == c->def.group) o.check = 0;
      c->check = 1;
      return true;
    case ControlKind::PushButton:
    case ControlKind::DefPushButton:
      handlerCommand(id);
      Pump();
      return true;
    default:
      return false;
  }
}

bool HeadlessWindow::Type(int id, const std::string& text) {
  auto* c = FindMut(id);
  if (!c || !c->visible || !c->enabled) return false;
  if (c->def.kind != ControlKind::Edit && c->def.kind != ControlKind::Combo) return false;
  if (c->def.style & kEsReadOnly) return false;
  std::string t = text;
  if (c->def.style & kEsDigits)
    t.erase(std::remove_if(t.begin(), t.end(), [](char ch) { return ch < '0' || ch > '9'; }), t.end());
  c->text = t;
  return true;
}

}  // namespace qeld
