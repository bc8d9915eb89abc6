#include "window/Window.h"

#include <chrono>

namespace qeld {

void KeepTail(std::string& text, size_t maxBytes) {
  if (text.size() <= maxBytes) return;
  size_t cut = text.size() - maxBytes;
  // A line start inside the tail, else the first whole character.
  if (cut > 0 && text[cut - 1] != '\n') {
    const size_t lf = text.find('\n', cut);
    if (lf != std::string::npos) {
      cut = lf + 1;
    } else {
      while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) ++cut;
    }
  }
  text.erase(0, cut);
}

void WindowHost::AppendText(int id, const std::string& text, size_t maxKeep) {
  std::string all = GetText(id) + text;
  KeepTail(all, maxKeep);
  SetText(id, all);
}

void SendGate::Open() {
  std::lock_guard lk(m_);
  open_ = true;
}

bool SendGate::IsOpen() {
  std::lock_guard lk(m_);
  return open_;
}

void SendGate::Close() {
  std::shared_ptr<PendingSend> p;
  {
    std::lock_guard lk(m_);
    open_ = false;
    p = std::move(current_);
  }
  if (!p) return;
  std::lock_guard lk(p->m);
  // A send still queued is never handled; one being handled (the window's
  // thread is inside it, below us on the stack) goes on, but its sender is
  // released at once so that it can end.
  if (p->state == PendingSend::kQueued || p->state == PendingSend::kRunning)
    p->state = PendingSend::kDropped;
  p->cv.notify_all();
}

int64_t WindowHost::NowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void WindowHost::PostMessage(unsigned msg, WPARAM w, LPARAM l) {
  QueueCall([this, msg, w, l] { Dispatch(msg, w, l); });
}

bool WindowHost::SendFromThread(unsigned msg, WPARAM w, LPARAM l, SendGate& gate) {
  auto p = std::make_shared<PendingSend>();
  {
    std::lock_guard lk(gate.m_);
    if (!gate.open_) return false;
    gate.current_ = p;
  }
  QueueCall([this, p, msg, w, l] {
    {
      std::lock_guard lk(p->m);
      if (p->state != PendingSend::kQueued) return;
      p->state = PendingSend::kRunning;
    }
    Dispatch(msg, w, l);
    std::lock_guard lk(p->m);
    if (p->state == PendingSend::kRunning) p->state = PendingSend::kDone;
    p->cv.notify_all();
  });
  bool done;
  {
    std::unique_lock lk(p->m);
    p->cv.wait(lk, [&] { return p->state == PendingSend::kDone || p->state == PendingSend::kDropped; });
    done = p->state == PendingSend::kDone;
  }
  std::lock_guard lk(gate.m_);
  if (gate.current_ == p) gate.current_.reset();
  return done;
}

}  // namespace qeld
