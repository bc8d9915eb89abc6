// Integration-test fixtures: a qeld-sim process on its own pseudo-terminal,
// and a raw client for the port it serves.
//
// SimProcess gives the simulator a private HOME (and sets HOME in this process
// too, since the console maps COMn through $HOME/.qeld/dosdevices), starts
// SimPath() with --com N and the given arguments, waits for its ready line,
// talks to it through its standard input and output, and stops it by its own
// process id.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace qeld::test {

using namespace std::chrono_literals;

// A guard against a simulator that never answers, not a measure of speed.
constexpr std::chrono::milliseconds kSimTimeout = 10s;

// The simulator built beside these tests, or the one QELD_SIM_PATH names in
// the environment (a copy of the build run from elsewhere, by another user).
inline std::string SimPath() {
  const char* env = std::getenv("QELD_SIM_PATH");
  return env && *env ? env : QELD_SIM_PATH;
}

namespace detail {
inline int RemainingMs(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<int64_t>(0, left.count()));
}

// Waits for a child by its pid; kills it (by that pid) if it outlives the guard.
inline int WaitFor(pid_t pid) {
  const auto deadline = std::chrono::steady_clock::now() + kSimTimeout;
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (r < 0) return -1;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    poll(nullptr, 0, 10);
  }
}

inline pid_t Spawn(const std::vector<std::string>& args, int* stdinFd, int* stdoutFd) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return -1;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return -1;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // no simulator outlives a crashed test
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  *stdinFd = in[1];
  *stdoutFd = out[0];
  return pid;
}
}  // namespace detail

class SimProcess {
 public:
  // home: use this HOME instead of a new private one (for several simulators
  // side by side); it is then left in place afterwards.
  explicit SimProcess(int com, std::vector<std::string> args = {}, std::string home = "") : com_(com) {
    // A simulator that ended (vanish) must fail a Command(), not kill the test.
    signal(SIGPIPE, SIG_IGN);
    if (const char* old = std::getenv("HOME")) oldHome_ = old;
    if (home.empty()) {
      char templ[] = "/tmp/qeld-sim-home-XXXXXX";
      if (mkdtemp(templ) == nullptr) {
        error_ = "mkdtemp failed";
        return;
      }
      home_ = templ;
      ownHome_ = true;
    } else {
      home_ = home;
    }
    setenv("HOME", home_.c_str(), 1);

    std::vector<std::string> argv = {SimPath(), "--com", std::to_string(com)};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = detail::Spawn(argv, &in_, &out_);
    if (pid_ < 0) {
      error_ = "cannot start " + SimPath();
      return;
    }
    const std::optional<std::string> line = ReadLine();
    const std::string prefix = "COM" + std::to_string(com) + " ";
    if (!line || line->rfind(prefix, 0) != 0) {
      error_ = "no ready line from qeld-sim" + (line ? ", got: " + *line : std::string());
      return;
    }
    slavePath_ = line->substr(prefix.size());
  }

  ~SimProcess() {
    Stop();
    if (ownHome_) {
      std::error_code ec;
      std::filesystem::remove_all(home_, ec);
    }
    if (oldHome_) {
      setenv("HOME", oldHome_->c_str(), 1);
    } else {
      unsetenv("HOME");
    }
  }

  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  bool Ready() const { return !slavePath_.empty(); }
  const std::string& Error() const { return error_; }
  const std::string& SlavePath() const { return slavePath_; }
  const std::string& Home() const { return home_; }
  std::string LinkPath() const { return home_ + "/.qeld/dosdevices/com" + std::to_string(com_); }
  pid_t Pid() const { return pid_; }

  // Sends one line command and returns its reply line ("" if none came).
  std::string Command(const std::string& line) {
    if (in_ < 0) return "";
    const std::string text = line + "\n";
    if (write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return "";
    return ReadLine().value_or("");
  }

  // The next line the simulator prints ("" if none comes): the reply to a
  // command given elsewhere (its --control FIFO).
  std::string NextLine() { return ReadLine().value_or(""); }

  // The "status" line as key -> value.
  std::map<std::string, std::string> Status() {
    std::map<std::string, std::string> values;
    std::istringstream in(Command("status"));
    for (std::string pair; in >> pair;) {
      const size_t eq = pair.find('=');
      if (eq != std::string::npos) values[pair.substr(0, eq)] = pair.substr(eq + 1);
    }
    return values;
  }

  // SIGTERM, then waits; returns the exit status (-1 if it did not exit normally).
  int Stop() {
    if (pid_ > 0) kill(pid_, SIGTERM);
    return Wait();
  }

  // Waits for the simulator to end by itself (the vanish fault).
  int Wait() {
    if (pid_ <= 0) return exitStatus_;
    exitStatus_ = detail::WaitFor(pid_);
    pid_ = -1;
    if (in_ >= 0) close(in_);
    if (out_ >= 0) close(out_);
    in_ = out_ = -1;
    return exitStatus_;
  }

  // Runs qeld-sim to its end with these arguments; returns its standard output.
  static std::string Run(const std::vector<std::string>& args, int* exitStatus) {
    std::vector<std::string> argv = {SimPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    int in = -1, out = -1;
    const pid_t pid = detail::Spawn(argv, &in, &out);
    if (pid < 0) return "";
    close(in);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(out, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    close(out);
    *exitStatus = detail::WaitFor(pid);
    return text;
  }

 private:
  std::optional<std::string> ReadLine() {
    const auto deadline = std::chrono::steady_clock::now() + kSimTimeout;
    for (;;) {
      const size_t eol = buffer_.find('\n');
      if (eol != std::string::npos) {
        std::string line = buffer_.substr(0, eol);
        buffer_.erase(0, eol + 1);
        return line;
      }
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, detail::RemainingMs(deadline)) <= 0) return std::nullopt;
      char buf[1024];
      const ssize_t n = read(out_, buf, sizeof buf);
      if (n <= 0) return std::nullopt;
      buffer_.append(buf, static_cast<size_t>(n));
    }
  }

  int com_;
  std::string home_;
  bool ownHome_ = false;
  std::optional<std::string> oldHome_;
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  int exitStatus_ = -1;
  std::string buffer_;
  std::string slavePath_;
  std::string error_;
};

// The console's end of the line, raw: bytes as they are, no line discipline.
class RawPort {
 public:
  explicit RawPort(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) return;
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
  }
  ~RawPort() {
    if (fd_ >= 0) close(fd_);
  }
  RawPort(const RawPort&) = delete;
  RawPort& operator=(const RawPort&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  bool Write(const std::vector<uint8_t>& bytes) {
    return write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  // Reads until n bytes have come, the line hangs up or the guard runs out.
  std::vector<uint8_t> Read(size_t n) {
    std::vector<uint8_t> got;
    const auto deadline = std::chrono::steady_clock::now() + kSimTimeout;
    while (got.size() < n) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, detail::RemainingMs(deadline)) <= 0 || !(p.revents & POLLIN)) break;
      uint8_t buf[512];
      const ssize_t r = read(fd_, buf, std::min(sizeof buf, n - got.size()));
      if (r <= 0) break;
      got.insert(got.end(), buf, buf + r);
    }
    return got;
  }
  // True once the other end has closed the line.
  bool WaitHangUp() {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(kSimTimeout.count())) > 0 && (p.revents & POLLHUP);
  }

 private:
  int fd_ = -1;
};

}  // namespace qeld::test
