#include "ProcessRuns.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace qeld::bench {

namespace {

constexpr int kGuardMs = 20000;  // against a console that never shows up

class ConsoleChild {
 public:
  ConsoleChild() = default;
  ~ConsoleChild() { Stop(); }
  ConsoleChild(const ConsoleChild&) = delete;
  ConsoleChild& operator=(const ConsoleChild&) = delete;

  // Starts qeld-console with the benchmark hook, offscreen, with the
  // simulator's HOME, at the default priority an operator's shell gives it.
  bool Start(const Settings& s, const std::string& home, std::string* error) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
      *error = std::string("pipe: ") + std::strerror(errno);
      return false;
    }
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      const std::string v = *e;
      if (v.rfind("HOME=", 0) != 0 && v.rfind("QT_QPA_PLATFORM=", 0) != 0 && v.rfind("QELD_BENCH_READY_FD=", 0) != 0)
        env.push_back(v);
    }
    env.push_back("HOME=" + home);
    env.push_back("QT_QPA_PLATFORM=offscreen");
    env.push_back("QELD_BENCH_READY_FD=" + std::to_string(p[1]));
    std::vector<char*> envp;
    for (auto& v : env) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string path = s.consolePath;
    char* argv[] = {path.data(), nullptr};
    const std::string log = s.workDir + "/console.err";

    startNs_ = NowNs();
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      setpriority(PRIO_PROCESS, 0, 0);
      fcntl(p[1], F_SETFD, 0);  // the hook's descriptor stays open across exec
      const int err = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (err >= 0) dup2(err, STDERR_FILENO);
      execve(argv[0], argv, envp.data());
      _exit(127);
    }
    close(p[1]);
    ready_ = p[0];
    if (pid_ < 0) {
      *error = std::string("fork: ") + std::strerror(errno);
      return false;
    }
    return true;
  }

  // The next line the hook writes, with its words.
  std::optional<std::vector<std::string>> Next() {
    const int64_t deadline = NowNs() + int64_t{kGuardMs} * 1000000;
    for (;;) {
      const size_t eol = buffer_.find('\n');
      if (eol != std::string::npos) {
        std::istringstream line(buffer_.substr(0, eol));
        buffer_.erase(0, eol + 1);
        std::vector<std::string> words;
        for (std::string w; line >> w;) words.push_back(w);
        return words;
      }
      pollfd p{ready_, POLLIN, 0};
      const int64_t left = (deadline - NowNs()) / 1000000;
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return std::nullopt;
      char buf[256];
      const ssize_t n = read(ready_, buf, sizeof buf);
      if (n <= 0) return std::nullopt;
      buffer_.append(buf, static_cast<size_t>(n));
    }
  }

  void Stop() {
    if (ready_ >= 0) close(ready_);
    ready_ = -1;
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  pid_t Pid() const { return pid_; }
  int64_t StartNs() const { return startNs_; }

 private:
  pid_t pid_ = -1;
  int ready_ = -1;
  std::string buffer_;
  int64_t startNs_ = 0;
};

std::optional<int64_t> CpuNs(pid_t pid) {
  clockid_t clock;
  timespec ts{};
  if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &ts) != 0) return std::nullopt;
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

std::optional<double> PeakRssMb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;  // kB
  }
  return std::nullopt;
}

void SleepNs(int64_t ns) {
  timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace

std::optional<ProcessFigures> ConsoleProcess(const Settings& s, int starts, double idleSeconds, std::string* error) {
  BenchSim sim(s, "console-process", false);
  if (!sim.Ready()) {
    *error = sim.Error();
    return std::nullopt;
  }
  ProcessFigures f;
  for (int i = 0; i < starts; ++i) {
    const std::string requestsBefore = sim.Process().Status()["requests"];
    ConsoleChild c;
    if (!c.Start(s, sim.Process().Home(), error)) return std::nullopt;
    const auto shown = c.Next();
    if (!shown || shown->size() != 2 || (*shown)[0] != "shown") {
      *error = "the console did not report its window (see " + s.workDir + "/console.err)";
      return std::nullopt;
    }
    f.startupMs.push_back(static_cast<double>(std::stoll((*shown)[1]) - c.StartNs()) / 1e6);
    if (i + 1 < starts) continue;

    // The last one: connected, then left alone.
    const auto open = c.Next();
    if (!open || open->size() < 4 || (*open)[0] != "open" || (*open)[2] != "COM1" || (*open)[3] != "connected") {
      *error = "the console did not connect";
      return std::nullopt;
    }
    // The sequence query has reached the module; its answer and our ACK take
    // a millisecond, and the first unit-switch poll 300 ms: a second later
    // the console is in its idle routine.
    for (int tries = 0; sim.Process().Status()["requests"] == requestsBefore; ++tries) {
      if (tries > 1000) {
        *error = "the console's sequence query never reached the module";
        return std::nullopt;
      }
      SleepNs(10000000);
    }
    SleepNs(1000000000);
    const auto before = CpuNs(c.Pid());
    const int64_t t0 = NowNs();
    SleepNs(static_cast<int64_t>(idleSeconds * 1e9));
    const auto after = CpuNs(c.Pid());
    const int64_t t1 = NowNs();
    const auto rss = PeakRssMb(c.Pid());
    if (!before || !after || !rss) {
      *error = "cannot read the console's CPU time or memory";
      return std::nullopt;
    }
    f.idleCpuPercent = 100.0 * static_cast<double>(*after - *before) / static_cast<double>(t1 - t0);
    f.peakRssMb = *rss;
  }
  return f;
}

}  // namespace qeld::bench
