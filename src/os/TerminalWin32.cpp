#include <windows.h>
#include <io.h>

#include "os/Terminal.h"

namespace qeld {

namespace {
volatile LONG g_interrupted = 0;
BOOL WINAPI OnCtrl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  // The second one is left to the default handler, which ends the program.
  return InterlockedExchange(&g_interrupted, 1) == 0 ? TRUE : FALSE;
}
}  // namespace

void WatchInterrupt() { SetConsoleCtrlHandler(OnCtrl, TRUE); }

bool InterruptRequested() { return g_interrupted != 0; }

bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    const int cols = info.srWindow.Right - info.srWindow.Left + 1;
    if (cols >= 20) return cols;
  }
  return 80;
}

std::optional<std::string> ReadSecret(const std::string& prompt) {
  // The console itself, not standard input: the script may come from a pipe.
  HANDLE in = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr);
  HANDLE out = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  if (in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE) {
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    return std::nullopt;
  }
  DWORD mode = 0;
  const bool haveMode = GetConsoleMode(in, &mode) != 0;
  if (haveMode) SetConsoleMode(in, (mode | ENABLE_LINE_INPUT) & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  DWORD n = 0;
  WriteConsoleA(out, prompt.data(), static_cast<DWORD>(prompt.size()), &n, nullptr);
  std::string secret;
  bool ended = true;
  char c;
  while (ReadFile(in, &c, 1, &n, nullptr) && n == 1) {
    if (c == '\r') continue;
    if (c == '\n') {
      ended = false;
      break;
    }
    if (secret.size() < 256) secret.push_back(c);
  }
  WriteConsoleA(out, "\r\n", 2, &n, nullptr);
  if (haveMode) SetConsoleMode(in, mode);
  CloseHandle(in);
  CloseHandle(out);
  if (ended && secret.empty()) return std::nullopt;
  return secret;
}

}  // namespace qeld
