#include "ProcessRuns.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

extern char** environ;

namespace qeld::bench {

namespace {

constexpr int kGuardMs = 60000;  // against a console that never shows up (Wine's first start is slow)

// The console as an operator starts it: the Linux one offscreen with the
// benchmark hook on a pipe of its own, or the Windows one under Wine with
// the hook on its standard output (QELD_BENCH_READY_FD=1).
class ConsoleChild {
 public:
  ConsoleChild() = default;
  ~ConsoleChild() { Stop(); }
  ConsoleChild(const ConsoleChild&) = delete;
  ConsoleChild& operator=(const ConsoleChild&) = delete;

  // home: the HOME it gets (the simulator's, or one without COM links);
  // mappedOnly keeps an unmapped COM1 of the Linux console from falling back
  // to the machine's own /dev/ttyS0.
  bool Start(const Settings& s, const std::string& home, bool mappedOnly, std::string* error) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
      *error = std::string("pipe: ") + std::strerror(errno);
      return false;
    }
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      const std::string v = *e;
      if (v.rfind("HOME=", 0) != 0 && v.rfind("QT_QPA_PLATFORM=", 0) != 0 && v.rfind("QELD_BENCH_READY_FD=", 0) != 0 &&
          v.rfind("QELD_MAPPED_PORTS_ONLY=", 0) != 0 && v.rfind("LD_PRELOAD=", 0) != 0)
        env.push_back(v);
    }
    std::vector<std::string> args;
    if (s.Windows()) {
      // Wine keeps its own HOME (the prefix is found by WINEPREFIX); its COM
      // links lie under the prefix.
      if (const char* h = std::getenv("HOME")) env.push_back(std::string("HOME=") + h);
      env.push_back("QELD_BENCH_READY_FD=1");
      if (!s.winePreload.empty()) env.push_back("LD_PRELOAD=" + s.winePreload);
      args = {"wine", s.windowsDir + "/qeld-console.exe"};
    } else {
      env.push_back("HOME=" + home);
      env.push_back("QT_QPA_PLATFORM=offscreen");
      env.push_back("QELD_BENCH_READY_FD=" + std::to_string(p[1]));
      if (mappedOnly) env.push_back("QELD_MAPPED_PORTS_ONLY=1");
      args = {s.consolePath};
    }
    std::vector<char*> envp;
    for (auto& v : env) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string log = s.workDir + "/console.err";
    const bool windows = s.Windows();

    startNs_ = NowNs();
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      setpriority(PRIO_PROCESS, 0, 0);
      if (windows) {
        dup2(p[1], STDOUT_FILENO);
      } else {
        fcntl(p[1], F_SETFD, 0);  // the hook's descriptor stays open across exec
      }
      const int err = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (err >= 0) dup2(err, STDERR_FILENO);
      execvpe(argv[0], argv.data(), envp.data());
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

  // The next line the hook writes, with its words, and when it was read.
  std::optional<std::vector<std::string>> Next(int64_t* readNs = nullptr) {
    const int64_t deadline = NowNs() + int64_t{kGuardMs} * 1000000;
    for (;;) {
      const size_t eol = buffer_.find('\n');
      if (eol != std::string::npos) {
        std::istringstream line(buffer_.substr(0, eol));
        buffer_.erase(0, eol + 1);
        std::vector<std::string> words;
        for (std::string w; line >> w;) words.push_back(w);
        if (readNs) *readNs = NowNs();
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

// The processes of this Wine prefix other than the console: wineserver and
// the services it started. Found as Wine's programs with this WINEPREFIX in
// their environment (the simulator has it too, from the benchmark).
std::vector<pid_t> WineHelpers(pid_t console) {
  std::vector<pid_t> out;
  const char* prefix = std::getenv("WINEPREFIX");
  if (!prefix) return out;
  const std::string want = std::string("WINEPREFIX=") + prefix;
  DIR* d = opendir("/proc");
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    char* end = nullptr;
    const long pid = std::strtol(e->d_name, &end, 10);
    if (*end || pid <= 0 || pid == console || pid == getpid()) continue;
    std::error_code ec;
    const std::string exe = std::filesystem::read_symlink("/proc/" + std::string(e->d_name) + "/exe", ec).string();
    if (exe.find("/wine") == std::string::npos) continue;
    std::ifstream in("/proc/" + std::string(e->d_name) + "/environ", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream vars(text);
    for (std::string v; std::getline(vars, v, '\0');) {
      if (v == want) {
        out.push_back(static_cast<pid_t>(pid));
        break;
      }
    }
  }
  closedir(d);
  return out;
}

int64_t TotalCpuNs(const std::vector<pid_t>& pids) {
  int64_t sum = 0;
  for (pid_t p : pids) sum += CpuNs(p).value_or(0);
  return sum;
}

// Per thread of a process: CPU ticks and voluntary plus involuntary switches.
std::map<std::string, std::pair<int64_t, int64_t>> Threads(pid_t pid) {
  std::map<std::string, std::pair<int64_t, int64_t>> out;
  const std::string base = "/proc/" + std::to_string(pid) + "/task";
  std::error_code ec;
  for (const auto& t : std::filesystem::directory_iterator(base, ec)) {
    std::ifstream stat(t.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    int64_t utime = 0, stime = 0;
    for (int i = 3; rest >> field; ++i) {
      if (i == 14) utime = std::stoll(field);
      if (i == 15) {
        stime = std::stoll(field);
        break;
      }
    }
    int64_t switches = 0;
    std::ifstream status(t.path() / "status");
    for (std::string line; std::getline(status, line);)
      if (line.find("ctxt_switches:") != std::string::npos) switches += std::stoll(line.substr(line.find(':') + 1));
    out[t.path().filename().string()] = {utime + stime, switches};
  }
  return out;
}

struct Idle {
  double cpuPercent = 0, wineCpuPercent = -1, busiestPercent = -1, busiestWakeupsPerS = -1;
};

// The console's CPU (and under Wine, the prefix's) over seconds of doing nothing.
std::optional<Idle> MeasureIdle(const Settings& s, pid_t pid, double seconds) {
  const std::vector<pid_t> helpers = s.Windows() ? WineHelpers(pid) : std::vector<pid_t>();
  const auto threadsBefore = s.Windows() ? Threads(pid) : decltype(Threads(pid))();
  const auto before = CpuNs(pid);
  const int64_t helpersBefore = TotalCpuNs(helpers);
  const int64_t t0 = NowNs();
  SleepNs(static_cast<int64_t>(seconds * 1e9));
  const auto after = CpuNs(pid);
  const int64_t helpersAfter = TotalCpuNs(helpers);
  const int64_t t1 = NowNs();
  if (!before || !after) return std::nullopt;
  Idle idle;
  const double wall = static_cast<double>(t1 - t0);
  idle.cpuPercent = 100.0 * static_cast<double>(*after - *before) / wall;
  if (s.Windows()) {
    idle.wineCpuPercent = 100.0 * static_cast<double>(helpersAfter - helpersBefore) / wall;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    for (const auto& [tid, now] : Threads(pid)) {
      const auto was = threadsBefore.find(tid);
      if (was == threadsBefore.end()) continue;
      const double percent = 100.0 * static_cast<double>(now.first - was->second.first) / tick / (wall / 1e9);
      if (percent > idle.busiestPercent) {
        idle.busiestPercent = percent;
        idle.busiestWakeupsPerS = static_cast<double>(now.second - was->second.second) / (wall / 1e9);
      }
    }
  }
  return idle;
}

}  // namespace

std::optional<ProcessFigures> ConsoleProcess(const Settings& s, int starts, double idleSeconds, std::string* error) {
  ProcessFigures f;
  // Disconnected: OPEN finds no module on COM1 (no link: no device).
  {
    char templ[] = "/tmp/qeld-bench-home-XXXXXX";
    const std::string home = mkdtemp(templ) ? templ : s.workDir;
    if (s.Windows()) std::filesystem::remove(s.wineHome + "/.qeld/dosdevices/com1");
    ConsoleChild c;
    if (!c.Start(s, home, true, error)) return std::nullopt;
    const auto shown = c.Next();
    const auto open = c.Next();
    if (!shown || !open || open->empty() || (*open)[0] != "open") {
      *error = "the console did not report its window and OPEN (see " + s.workDir + "/console.err)";
      return std::nullopt;
    }
    std::string status;
    for (size_t i = 2; i < open->size(); ++i) status += (*open)[i] + " ";
    std::fprintf(stderr, "# without a module, OPEN says: %s\n", status.c_str());
    SleepNs(1000000000);
    const auto idle = MeasureIdle(s, c.Pid(), idleSeconds);
    if (!idle) {
      *error = "cannot read the console's CPU time";
      return std::nullopt;
    }
    f.idleDisconnectedCpuPercent = idle->cpuPercent;
    f.wineDisconnectedCpuPercent = idle->wineCpuPercent;
    c.Stop();
    std::filesystem::remove_all(home);
  }

  BenchSim sim(s, "console-process", false);
  if (!sim.Ready()) {
    *error = sim.Error();
    return std::nullopt;
  }
  for (int i = 0; i < starts; ++i) {
    const std::string requestsBefore = sim.Process().Status()["requests"];
    ConsoleChild c;
    if (!c.Start(s, sim.Process().Home(), false, error)) return std::nullopt;
    int64_t readNs = 0;
    const auto shown = c.Next(&readNs);
    if (!shown || shown->empty() || (*shown)[0] != "shown") {
      *error = "the console did not report its window (see " + s.workDir + "/console.err)";
      return std::nullopt;
    }
    // The Linux console stamps the moment itself; the Windows one's clock is
    // Wine's, so the moment its line arrives counts (a pipe's few µs later).
    const int64_t shownNs = shown->size() >= 2 ? std::stoll((*shown)[1]) : readNs;
    f.startupMs.push_back(static_cast<double>(shownNs - c.StartNs()) / 1e6);
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
    const auto idle = MeasureIdle(s, c.Pid(), idleSeconds);
    const auto rss = PeakRssMb(c.Pid());
    if (!idle || !rss) {
      *error = "cannot read the console's CPU time or memory";
      return std::nullopt;
    }
    f.idleCpuPercent = idle->cpuPercent;
    f.wineCpuPercent = idle->wineCpuPercent;
    f.busiestThreadCpuPercent = idle->busiestPercent;
    f.busiestThreadWakeupsPerS = idle->busiestWakeupsPerS;
    f.peakRssMb = *rss;
  }
  return f;
}

std::optional<std::vector<LineEvent>> WineDownload(const Settings& s, int blocks, std::string* error) {
  const std::string image = WriteImage(s, blocks);
  if (image.empty()) {
    *error = "cannot write the image";
    return std::nullopt;
  }
  BenchSim sim(s, "wine-download-paced", true);
  if (!sim.Ready()) {
    *error = sim.Error();
    return std::nullopt;
  }
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return std::nullopt;
  }
  const std::string log = s.workDir + "/winbench.err";
  std::vector<std::string> args = {"wine", s.windowsDir + "/qeld-winbench.exe", "download", WinePath(image),
                                   std::to_string(blocks)};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (!s.winePreload.empty()) setenv("LD_PRELOAD", s.winePreload.c_str(), 1);
    dup2(out[1], STDOUT_FILENO);
    const int err = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (err >= 0) dup2(err, STDERR_FILENO);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  std::string said;
  char buf[256];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) said.append(buf, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  if (pid > 0) waitpid(pid, &status, 0);
  while (!said.empty() && (said.back() == '\n' || said.back() == '\r')) said.pop_back();
  if (pid < 0 || said != "downloaded " + std::to_string(blocks)) {
    *error = "qeld-winbench.exe: " + (said.empty() ? "no answer (see " + log + ")" : said);
    return std::nullopt;
  }
  // The ACKs of the sequence query, of Go Loader's answer and of every block answer.
  if (!sim.WaitAcks(2 + blocks, error)) return std::nullopt;
  return sim.StopAndRead(error);
}

}  // namespace qeld::bench
