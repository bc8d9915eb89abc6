// ConsoleApp: starts the console. The one ConsoleDialog runs modally; when it
// ends, the program ends. No command-line arguments are used.
#include <QApplication>
#include <QTimer>
#include <QWindow>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "app/ConsoleDialog.h"
#include "app/Controls.h"
#include "qt/QtWindow.h"

namespace {

// Benchmark hook (qeld-bench), inert unless QELD_BENCH_READY_FD names an open
// file descriptor. When the window is first exposed, the console writes
// "shown <ns>" there, presses OPEN as the Enter key would, and writes
// "open <ns> <status line>" (ns: CLOCK_MONOTONIC). That is how the benchmark
// times the start and gets a connected, idle console without an operator.
class BenchReadyHook : public QObject {
 public:
  BenchReadyHook(int fd, qeld::QtWindow& wnd, qeld::ConsoleDialog& dlg) : fd_(fd), wnd_(wnd), dlg_(dlg) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Expose && watched == wnd_.windowHandle() && wnd_.windowHandle()->isExposed()) {
      qApp->removeEventFilter(this);
      // Reported once the expose has been handled, i.e. the window is painted.
      QTimer::singleShot(0, this, [this] {
        Say("shown " + Now());
        dlg_.OnCommand(qeld::IDOK);
        Say("open " + Now() + " " + wnd_.GetText(qeld::ctl::kStatusLine));
      });
    }
    return false;
  }

 private:
  static std::string Now() {
    return std::to_string(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
  }
  void Say(const std::string& line) {
    const std::string text = line + "\n";
    [[maybe_unused]] const ssize_t n = write(fd_, text.data(), text.size());
  }

  int fd_;
  qeld::QtWindow& wnd_;
  qeld::ConsoleDialog& dlg_;
};

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  // Desktop shells pair the window with its installed entry and icon by this id.
  QGuiApplication::setDesktopFileName(QStringLiteral(QELD_APP_ID));
  QApplication::setWindowIcon(qeld::QtWindow::AppIcon());
  qeld::QtWindow wnd(qeld::ClientWidth(), qeld::ClientHeight());
  qeld::ConsoleDialog dlg(wnd);  // takes the window's events and creates its controls
  // "Serial ports..." leaves the link of the open port alone.
  wnd.SetOpenPortSource([&dlg] { return dlg.m_Comm.m_bOpen ? std::string(dlg.m_Comm.m_szPortName) : std::string(); });
  std::unique_ptr<BenchReadyHook> hook;
  if (const char* text = std::getenv("QELD_BENCH_READY_FD")) {
    char* end = nullptr;
    const long fd = std::strtol(text, &end, 10);
    if (end != text && *end == '\0' && fd > STDERR_FILENO && fd < 1024 && fcntl(static_cast<int>(fd), F_GETFD) != -1) {
      hook = std::make_unique<BenchReadyHook>(static_cast<int>(fd), wnd, dlg);
      app.installEventFilter(hook.get());
    }
  }
  dlg.DoModal();  // its result (OK or cancel) is not examined
  return 0;
}
