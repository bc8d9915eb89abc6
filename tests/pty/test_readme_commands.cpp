// The README's first commands as a technician types them: an interactive
// shell on a pseudo-terminal, qeld-sim started in its background with "&",
// and qeld-run's example scripts against it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "SimProcess.h"

namespace qeld::test {
namespace {

namespace fs = std::filesystem;

// The indented command block that follows the line holding marker.
std::vector<std::string> ReadmeBlock(const std::string& marker) {
  std::ifstream in(std::string(QELD_SOURCE_DIR) + "/README.md");
  std::vector<std::string> block;
  bool found = false;
  for (std::string line; std::getline(in, line);) {
    if (!found) {
      found = line.find(marker) != std::string::npos;
      continue;
    }
    if (line.rfind("    ", 0) == 0) {
      block.push_back(line.substr(4));
    } else if (!block.empty()) {
      break;
    }
  }
  return block;
}

void Replace(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
}

// bash -i on a pseudo-terminal that is its controlling terminal, so that it
// runs job control as in a terminal window.
class InteractiveShell {
 public:
  InteractiveShell(const std::string& home, const std::string& path) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const std::string slave = ptsname(master_);
    pid_ = fork();
    if (pid_ == 0) {
      setsid();
      const int fd = open(slave.c_str(), O_RDWR);  // becomes the controlling terminal
      if (fd < 0 || ioctl(fd, TIOCSCTTY, 0) != 0) _exit(126);
      for (int std = 0; std < 3; ++std) dup2(fd, std);
      setenv("HOME", home.c_str(), 1);
      setenv("PATH", path.c_str(), 1);
      setenv("TERM", "dumb", 1);
      setenv("PS1", "tech$ ", 1);
      unsetenv("QELD_ADMIN_PASSWORD");
      execlp("bash", "bash", "--norc", "--noprofile", "-i", static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~InteractiveShell() {
    if (master_ >= 0) close(master_);  // a hang-up: bash passes it on to its jobs
    if (pid_ > 0) detail::WaitFor(pid_);
  }

  bool Started() const { return pid_ > 0; }
  void Type(const std::string& line) {
    const std::string text = line + "\n";
    [[maybe_unused]] const ssize_t n = write(master_, text.data(), text.size());
  }
  // Reads until the output from here on matches; the match's first group.
  std::optional<std::string> WaitFor(const std::string& pattern, std::chrono::seconds limit) {
    const std::regex re(pattern);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      std::smatch m;
      const std::string fresh = out_.substr(seen_);
      if (std::regex_search(fresh, m, re)) {
        seen_ += static_cast<size_t>(m.position(0) + m.length(0));
        return m.size() > 1 ? m[1].str() : m[0].str();
      }
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, detail::RemainingMs(deadline)) <= 0) return std::nullopt;
      char buf[4096];
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) return std::nullopt;
      out_.append(buf, static_cast<size_t>(n));
    }
  }
  // Types a command and returns its exit status.
  int Run(const std::string& line, std::chrono::seconds limit) {
    Type(line);
    Type("echo \"status=$?.\"");
    const auto status = WaitFor("status=([0-9]+)\\.", limit);
    return status ? std::stoi(*status) : -1;
  }
  const std::string& Output() const { return out_; }

 private:
  int master_ = -1;
  pid_t pid_ = -1;
  std::string out_;
  size_t seen_ = 0;
};

TEST(ReadmeCommands, TheSimulatorInTheBackgroundOfAnInteractiveShellServesTheExampleScripts) {
  if (system("command -v bash >/dev/null 2>&1") != 0) GTEST_SKIP() << "no bash";
  std::vector<std::string> block = ReadmeBlock("Try them against the simulator");
  ASSERT_GE(block.size(), 4u) << "the README's example block";

  char templ[] = "/tmp/qeld-readme-XXXXXX";
  ASSERT_NE(mkdtemp(templ), nullptr);
  const std::string home = templ, bin = home + "/bin";
  pid_t sim = -1;
  // Last, after the shell has ended: the simulator by its own id, the folder.
  struct Cleanup {
    const std::string& home;
    pid_t& sim;
    ~Cleanup() {
      if (sim > 0) kill(sim, SIGTERM);
      std::error_code ec;
      fs::remove_all(home, ec);
    }
  } cleanup{home, sim};
  fs::create_directories(bin);
  fs::create_symlink(SimPath(), bin + "/qeld-sim");
  fs::create_symlink(QELD_RUN_PATH, bin + "/qeld-run");
  const char* path = std::getenv("PATH");
  InteractiveShell shell(home, bin + ":" + (path ? path : "/usr/bin:/bin"));
  ASSERT_TRUE(shell.Started());
  ASSERT_TRUE(shell.WaitFor("tech\\$ ", std::chrono::seconds(10))) << shell.Output();

  for (std::string line : block) {
    // What the installed package holds is in the source tree here.
    Replace(line, "/usr/share/doc/qeld-console/examples", std::string(QELD_SOURCE_DIR) + "/examples");
    Replace(line, "QELD_ADMIN_PASSWORD=...", "QELD_ADMIN_PASSWORD=tuzf");
    SCOPED_TRACE(line);
    if (line.find("qeld-sim") != std::string::npos) {
      shell.Type(line);
      // A technician waits for its ready line before the next command.
      ASSERT_TRUE(shell.WaitFor("COM1 /dev/pts/", std::chrono::seconds(10))) << shell.Output();
      shell.Type("echo \"pid=$!.\"");
      const auto pid = shell.WaitFor("pid=([0-9]+)\\.", std::chrono::seconds(10));
      ASSERT_TRUE(pid) << shell.Output();
      sim = std::stoi(*pid);
      continue;
    }
    EXPECT_EQ(shell.Run(line, std::chrono::seconds(120)), 0) << shell.Output();
  }
  EXPECT_NE(shell.Output().find("PASSED: 22 passed, 0 failed, 0 not run"), std::string::npos) << shell.Output();
  EXPECT_NE(shell.Output().find("firmware-version=\"FWTRN1"), std::string::npos) << shell.Output();
  // Still serving in the background, never stopped by the terminal.
  EXPECT_EQ(shell.Run("jobs -l", std::chrono::seconds(10)), 0);
  EXPECT_NE(shell.Output().find("Running"), std::string::npos) << shell.Output();
  EXPECT_EQ(shell.Output().find("Stopped"), std::string::npos) << shell.Output();
}

}  // namespace
}  // namespace qeld::test
