#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "os/Terminal.h"

namespace qeld {

namespace {
volatile sig_atomic_t g_interrupted = 0;
void OnInterrupt(int) { g_interrupted = 1; }
}  // namespace

void WatchInterrupt() {
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sa.sa_flags = SA_RESETHAND;  // the second one ends the program
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

bool InterruptRequested() { return g_interrupted != 0; }

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

int TerminalColumns() {
  winsize ws{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20) return ws.ws_col;
  return 80;
}

std::optional<std::string> ReadSecret(const std::string& prompt) {
  // The controlling terminal, not standard input: the script may come from a pipe.
  const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  termios old{};
  const bool haveMode = tcgetattr(fd, &old) == 0;
  if (haveMode) {
    termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  [[maybe_unused]] ssize_t w = write(fd, prompt.data(), prompt.size());
  std::string secret;
  bool ended = true;
  char c;
  while (read(fd, &c, 1) == 1) {
    if (c == '\n' || c == '\r') {
      ended = false;
      break;
    }
    if (secret.size() < 256) secret.push_back(c);
  }
  if (haveMode) tcsetattr(fd, TCSAFLUSH, &old);
  close(fd);
  if (ended && secret.empty()) return std::nullopt;
  return secret;
}

}  // namespace qeld
