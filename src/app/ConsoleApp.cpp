// ConsoleApp: starts the console. The one ConsoleDialog runs modally; when it
// ends, the program ends. The only arguments are --help and --version, which
// print and end at once; the window takes none.
#include <QApplication>
#include <QTimer>
#include <QWindow>
#include <chrono>
#include <cstdio>
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

// Answered before Qt starts, so that they work without a display.
bool AnswerInfoOption(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--version") {
      std::printf("qeld-console %s\n", QELD_VERSION_STRING);
      return true;
    }
    if (a == "--help" || a == "-h") {
      std::printf(
          "Usage: qeld-console\n"
          "       qeld-console --help | --version\n"
          "\n"
          "Opens the service and test window for a QELD cash-dispenser module wired\n"
          "to the PC by RS-232 (9600 baud, 8 data bits, even parity, one stop bit).\n"
          "The port, every count and every setting are typed into the window; nothing\n"
          "is kept between runs.\n"
          "\n"
          "COMn is the link $HOME/.qeld/dosdevices/comn when it exists, otherwise\n"
          "/dev/ttyS(n-1); Help > Serial ports... in the window maps USB adapters.\n"
          "Log files go to the folder the console is started from.\n"
          "\n"
          "The manual: /usr/share/doc/qeld-console/README.md (from the Debian\n"
          "package); man qeld-console, qeld-run, qeld-sim.\n");
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (AnswerInfoOption(argc, argv)) return 0;
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
