// A console on the headless window, wired to an in-process line: the test
// sees every byte the console writes and feeds the bytes the module sends,
// by hand or from the simulator's model, all in virtual time.
#pragma once
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "SimModule.h"
#include "app/ConsoleDialog.h"
#include "link/Frame.h"
#include "window/HeadlessWindow.h"

namespace qeld::test {

using Bytes = std::vector<uint8_t>;

inline Bytes B(std::initializer_list<int> v) {
  Bytes b;
  for (int x : v) b.push_back(static_cast<uint8_t>(x));
  return b;
}

inline std::string Hex(const Bytes& b) {
  std::string s;
  for (size_t i = 0; i < b.size(); ++i) s += Format(i ? " %02X" : "%02X", b[i]);
  return s;
}

// A response frame: SOH, '0', STX, letter, body, ETX, BCC.
inline Bytes Response(char letter, const std::string& body) {
  Bytes f;
  f.reserve(body.size() + 6);
  for (uint8_t b : {SOH, uint8_t{'0'}, STX, static_cast<uint8_t>(letter)}) f.push_back(b);
  for (char ch : body) f.push_back(static_cast<uint8_t>(ch));
  f.push_back(ETX);
  f.push_back(Bcc(f.data(), static_cast<int>(f.size())));
  return f;
}

class TestLine : public CComm::Line {
 public:
  struct Sent {
    int64_t at;
    Bytes bytes;
  };
  TestLine(HeadlessWindow& w, CComm& comm) : w_(w), comm_(comm) {}

  bool Open(int) override {
    ++opens;
    return openOk;
  }
  void Write(const uint8_t* d, int n) override {
    writes.push_back({w_.Now(), Bytes(d, d + n)});
    if (!sim) return;
    int64_t t = w_.Now();
    for (auto& c : sim->Receive(d, static_cast<size_t>(n))) {
      t += c.delayMs;
      w_.At(t, [this, b = c.bytes] { Inject(b); });
    }
  }
  void Close() override { ++closes; }

  // Bytes from the module, handed over now. The reader never hands over while
  // a delivery is being handled, so a nested one waits for it.
  void Inject(const Bytes& b) {
    if (delivering_) {
      pending_.push_back(b);
      return;
    }
    delivering_ = true;
    comm_.Deliver(b.data(), static_cast<int>(b.size()));
    while (!pending_.empty()) {
      Bytes next = pending_.front();
      pending_.pop_front();
      comm_.Deliver(next.data(), static_cast<int>(next.size()));
    }
    delivering_ = false;
  }

  Bytes Last() const { return writes.empty() ? Bytes{} : writes.back().bytes; }
  Bytes All() const {
    Bytes all;
    for (auto& w : writes) all.insert(all.end(), w.bytes.begin(), w.bytes.end());
    return all;
  }
  // Writes longer than one byte: the frames the console sent.
  std::vector<Bytes> Frames() const {
    std::vector<Bytes> v;
    for (auto& w : writes)
      if (w.bytes.size() > 1) v.push_back(w.bytes);
    return v;
  }

  bool openOk = true;
  int opens = 0, closes = 0;
  std::vector<Sent> writes;
  sim::SimModule* sim = nullptr;

 private:
  HeadlessWindow& w_;
  CComm& comm_;
  bool delivering_ = false;
  std::deque<Bytes> pending_;
};

// The console, started and shown, not yet connected.
struct Console {
  HeadlessWindow w;
  ConsoleDialog d{w};
  TestLine line{w, d.m_Comm};

  Console() {
    d.m_Comm.SetLine(&line);
    d.InitConsole();
  }
  // The line goes before the dialog, whose destructor would close it.
  ~Console() {
    d.m_Comm.ClosePort();
    d.m_Comm.SetLine(nullptr);
  }

  // OPEN on COM1 and answer the sequence query, leaving the console idle.
  void Connect(int moduleSequence = 1) {
    w.Click(ctl::kOpen);
    Ack();
    Module(Response('g', std::string(" ") + static_cast<char>(0x20 + moduleSequence)));
    line.writes.clear();
  }
  void Ack() { line.Inject({ACK}); }
  void Module(const Bytes& b) { line.Inject(b); }
  // The whole answer to a request: ACK, then the response.
  void Answer(char letter, const std::string& body) {
    Ack();
    Module(Response(letter, body));
  }
  void Type(int id, const std::string& text) { w.SetText(id, text); }
  std::string Field(int id) const { return w.GetText(id); }
  std::string Status() const { return w.GetText(ctl::kStatusLine); }
  void Send(int n) { d.SendCommand(n); }
};

}  // namespace qeld::test
