#include "ConsoleRuns.h"

#include <QEventLoop>
#include <QTest>
#include <QTimer>
#include <functional>

#include "app/ConsoleDialog.h"
#include "app/Controls.h"
#include "qt/QtWindow.h"

namespace qeld::bench {

namespace {

// A guard against a run that hangs, not a measure of anything.
constexpr int kGuardMs = 600000;

// The real window with its two modal dialogs answered at once: the file
// dialog picks the benchmark's image, and every message box is answered OK.
// Neither falls inside a measured stretch of the line.
class BenchWindow : public QtWindow {
 public:
  using QtWindow::QtWindow;
  std::string imagePath;
  std::vector<std::string> boxes;
  std::function<void()> onBox;

  int MessageBox(const std::string& text, const std::string&, unsigned) override {
    boxes.push_back(text);
    if (onBox) onBox();
    return IDOK;
  }
  std::optional<std::string> FileOpenDialog(const std::string&) override { return imagePath; }
};

// Passes every window event to the console, and lets the benchmark look at the
// console's state after each delivery of received bytes.
class Relay : public WindowHandler {
 public:
  explicit Relay(ConsoleDialog& d) : d_(d) {}
  std::function<void()> afterData;

  void OnCommand(int id) override { d_.OnCommand(id); }
  void OnTimer(int id) override { d_.OnTimer(id); }
  LRESULT OnMessage(unsigned msg, WPARAM w, LPARAM l) override {
    const LRESULT r = d_.OnMessage(msg, w, l);
    if (msg == UM_COMM_DATA && afterData) afterData();
    return r;
  }
  void OnAbout() override { d_.OnAbout(); }

 private:
  ConsoleDialog& d_;
};

// The console on its window, connected to the simulator.
struct Console {
  BenchWindow wnd{ClientWidth(), ClientHeight()};
  ConsoleDialog d{wnd};
  Relay relay{d};

  Console() { wnd.SetHandler(&relay); }
  ~Console() { wnd.SetHandler(&d); }  // the dialog lets go of its window itself

  // Runs the event loop until done() holds, looked at after every delivery
  // of received bytes and every message box.
  bool RunUntil(const std::function<bool()>& done) {
    if (done()) return true;
    QEventLoop loop;
    auto check = [&] {
      if (done()) loop.quit();
    };
    relay.afterData = check;
    wnd.onBox = check;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    guard.start(kGuardMs);
    loop.exec();
    relay.afterData = nullptr;
    wnd.onBox = nullptr;
    return done();
  }

  // A response with this letter has been taken in and acknowledged since the
  // frame was last cleared.
  bool Answered(char letter) const {
    return d.m_nRxState == 0 && d.m_nFrameLength > 3 && d.m_strFrame[3] == letter;
  }
  void ClearFrame() {
    d.m_nFrameLength = 0;
    d.m_strFrame.clear();
  }

  bool Open(std::string* error) {
    d.InitConsole();
    wnd.show();
    if (!QTest::qWaitForWindowExposed(&wnd)) {
      *error = "the console window was not exposed";
      return false;
    }
    d.OnCommand(IDOK);  // OPEN with the default port COM1
    if (!d.m_bConnected) {
      *error = "OPEN failed: " + wnd.GetText(ctl::kStatusLine);
      return false;
    }
    if (!RunUntil([&] { return Answered('g'); })) {
      *error = "no answer to the sequence query after OPEN";
      return false;
    }
    return true;
  }
};

}  // namespace

std::optional<std::vector<LineEvent>> ConsoleDownload(const Settings& s, int blocks, bool pace, std::string* error) {
  const std::string image = WriteImage(s, blocks);
  if (image.empty()) {
    *error = "cannot write the image";
    return std::nullopt;
  }
  BenchSim sim(s, pace ? "console-download-paced" : "console-download", pace);
  if (!sim.Ready()) {
    *error = sim.Error();
    return std::nullopt;
  }
  {
    Console c;
    c.wnd.imagePath = image;
    if (!c.Open(error)) return std::nullopt;
    c.d.OnCommand(1170);  // Go Loader
    if (!c.RunUntil([&] { return !c.wnd.boxes.empty(); }) || c.wnd.boxes.back() != "Go Loader O.K.!") {
      *error = "Go Loader failed" + (c.wnd.boxes.empty() ? std::string() : ": " + c.wnd.boxes.back());
      return std::nullopt;
    }
    c.wnd.boxes.clear();
    c.d.OnCommand(ctl::kWriteProg);
    if (!c.RunUntil([&] { return !c.wnd.boxes.empty(); }) || c.wnd.boxes.back() != "Downloading Done!") {
      *error = "the download failed" + (c.wnd.boxes.empty() ? std::string() : ": " + c.wnd.boxes.back());
      return std::nullopt;
    }
    // The ACKs of the sequence query, of Go Loader's answer and of every block answer.
    if (!sim.WaitAcks(2 + blocks, error)) return std::nullopt;
    const auto status = sim.Process().Status();
    if (status.count("blocks") == 0 || status.at("blocks") != std::to_string(blocks)) {
      *error = "the module wrote " + (status.count("blocks") ? status.at("blocks") : "?") + " blocks, not " +
               std::to_string(blocks);
      return std::nullopt;
    }
  }
  return sim.StopAndRead(error);
}

std::optional<std::vector<LineEvent>> ConsoleQueries(const Settings& s, int responses, bool pace, std::string* error) {
  BenchSim sim(s, pace ? "console-queries-paced" : "console-queries", pace);
  if (!sim.Ready()) {
    *error = sim.Error();
    return std::nullopt;
  }
  {
    Console c;
    if (!c.Open(error)) return std::nullopt;
    int answered = 0;
    auto next = [&] {
      c.ClearFrame();
      c.d.SendCommand(36);  // the sequence query, as OPEN sends it
    };
    next();
    const bool done = c.RunUntil([&] {
      if (!c.Answered('g')) return false;
      if (++answered >= responses) return true;
      // Sent as a click would be: after this delivery has been handled.
      c.ClearFrame();
      QTimer::singleShot(0, &c.wnd, next);
      return false;
    });
    if (!done) {
      *error = "the queries stopped after " + std::to_string(answered) + " answers";
      return std::nullopt;
    }
    if (!sim.WaitAcks(1 + responses, error)) return std::nullopt;
  }
  return sim.StopAndRead(error);
}

}  // namespace qeld::bench
