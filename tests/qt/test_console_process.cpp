// qeld-console as its own process, with the benchmark's start hook.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "pty/SimProcess.h"

using qeld::test::SimProcess;

namespace {

constexpr int kGuardMs = 20000;  // against a console that never reports

// Reads one line from fd within the guard.
std::optional<std::string> ReadLine(int fd, std::string& buffer) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGuardMs);
  for (;;) {
    const size_t eol = buffer.find('\n');
    if (eol != std::string::npos) {
      std::string line = buffer.substr(0, eol);
      buffer.erase(0, eol + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
    char buf[256];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return std::nullopt;
    buffer.append(buf, static_cast<size_t>(n));
  }
}

}  // namespace

TEST(ConsoleProcess, TheBenchmarkHookReportsTheShownWindowAndPressesOpen) {
  SimProcess sim(1, {"--fast"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  const std::string fdText = std::to_string(p[1]);
  const std::string home = sim.Home();
  const std::string console = QELD_BUILD_DIR "/qeld-console";
  const auto before = std::chrono::steady_clock::now().time_since_epoch().count();
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    fcntl(p[1], F_SETFD, 0);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("HOME", home.c_str(), 1);
    setenv("QELD_BENCH_READY_FD", fdText.c_str(), 1);
    execl(console.c_str(), console.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(p[1]);
  ASSERT_GT(pid, 0);

  std::string buffer;
  const auto shown = ReadLine(p[0], buffer);
  const auto open = ReadLine(p[0], buffer);
  close(p[0]);
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);

  ASSERT_TRUE(shown && open);
  std::istringstream s(*shown), o(*open);
  std::string word, status;
  long long shownNs = 0, openNs = 0;
  s >> word >> shownNs;
  EXPECT_EQ(word, "shown");
  o >> word >> openNs;
  std::getline(o, status);
  EXPECT_EQ(word, "open");
  EXPECT_EQ(status, " COM1 connected");
  // Times on the clock the benchmark reads, in order.
  EXPECT_GT(shownNs, before);
  EXPECT_GE(openNs, shownNs);
  // The sequence query OPEN sent may still be on its way to the module.
  std::string requests;
  for (int tries = 0; tries < 1000 && (requests = sim.Status()["requests"]) != "1"; ++tries) {
  }
  EXPECT_EQ(requests, "1");
}
