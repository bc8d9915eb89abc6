// qeld-hostile-bench: the console (the real Qt window, offscreen, with the
// real serial channel and reader thread) against a hostile module played by
// this program on a pseudo-terminal. Two measurements, one line per figure,
// "name value unit":
//   flood  3000 frames of an unknown letter, each sent as soon as the console
//          has acknowledged the one before: frames per second and resident
//          memory over the first and the last 300 frames.
//   stall  a module that sends frames and never reads: the line towards it
//          is full, so none of the console's ACKs can go out. The longest gap between the 10 ms ticks of a timer
//          on the window's thread is the longest time the window was stuck.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/ConsoleDialog.h"
#include "app/Controls.h"
#include "link/Frame.h"
#include "qt/QtWindow.h"

using namespace qeld;
using Clock = std::chrono::steady_clock;

namespace {

// Message boxes would stop the window's loop; none is expected, each is counted.
class BenchWindow : public QtWindow {
 public:
  using QtWindow::QtWindow;
  int boxes = 0;
  int MessageBox(const std::string&, const std::string&, unsigned) override {
    ++boxes;
    return IDOK;
  }
};

std::vector<uint8_t> Response(char letter, const std::string& body) {
  std::vector<uint8_t> f;
  f.reserve(body.size() + 6);
  for (uint8_t b : {SOH, uint8_t{'0'}, STX, static_cast<uint8_t>(letter)}) f.push_back(b);
  for (char ch : body) f.push_back(static_cast<uint8_t>(ch));
  f.push_back(ETX);
  f.push_back(Bcc(f.data(), static_cast<int>(f.size())));
  return f;
}

double RssMb() {
  std::ifstream in("/proc/self/status");
  std::string key;
  while (in >> key) {
    if (key == "VmRSS:") {
      double kb = 0;
      in >> kb;
      return kb / 1024.0;
    }
    in.ignore(1 << 20, '\n');
  }
  return 0;
}

// The module's end of the pseudo-terminal; COM1 of the console points at the
// other end through a private home folder.
struct Line {
  int master = -1;
  int slave = -1;  // ours, opened before the console's exclusive open
  std::string home;

  bool Open() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
    char name[128];
    if (ptsname_r(master, name, sizeof name) != 0) return false;
    slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) return false;
    char tmpl[] = "/tmp/qeld-hostile-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    home = tmpl;
    std::filesystem::create_directories(home + "/.qeld/dosdevices");
    if (symlink(name, (home + "/.qeld/dosdevices/com1").c_str()) != 0) return false;
    setenv("HOME", home.c_str(), 1);
    return true;
  }
  ~Line() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
    if (!home.empty()) std::filesystem::remove_all(home);
  }
  void Send(const std::vector<uint8_t>& b) {
    size_t done = 0;
    while (done < b.size()) {
      const ssize_t n = write(master, b.data() + done, b.size() - done);
      if (n > 0) done += static_cast<size_t>(n);
      else if (n < 0 && errno != EINTR && errno != EAGAIN) return;
    }
  }
  // Sends what the line takes now, without waiting: a module that cannot
  // send more just goes on. False when nothing was taken.
  bool TrySend(const std::vector<uint8_t>& b) {
    const int flags = fcntl(master, F_GETFL);
    fcntl(master, F_SETFL, flags | O_NONBLOCK);
    const ssize_t n = write(master, b.data(), b.size());
    fcntl(master, F_SETFL, flags);
    return n > 0;
  }
  // Fills the line towards the module, as a module that stopped reading long
  // ago would have let it fill; returns the bytes it took.
  size_t Fill() {
    std::vector<uint8_t> junk(4096, 0);
    size_t total = 0;
    for (;;) {
      const ssize_t n = write(slave, junk.data(), junk.size());
      if (n > 0) total += static_cast<size_t>(n);
      else if (!(n < 0 && errno == EINTR)) return total;
    }
  }
  // Reads until `want` is seen or ms pass; true when seen.
  bool WaitFor(uint8_t want, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    uint8_t buf[256];
    while (Clock::now() < end) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = read(master, buf, sizeof buf);
      for (ssize_t i = 0; i < n; ++i)
        if (buf[i] == want) return true;
    }
    return false;
  }
};

// Runs the window's loop until done() holds (looked at every 5 ms).
void RunUntil(const std::function<bool()>& done) {
  QEventLoop loop;
  QTimer t;
  QObject::connect(&t, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  t.start(5);
  if (!done()) loop.exec();
}

// The console connected on COM1: the module's side answers the sequence query.
bool Connect(ConsoleDialog& d, Line& line) {
  std::atomic<bool> ok{false};
  std::thread module([&] {
    if (!line.WaitFor(ETX, 5000)) return;
    line.Send({ACK});
    line.Send(Response('g', "  "));
    ok = line.WaitFor(ACK, 5000);
  });
  d.OnOpen();
  std::atomic<bool> done{false};
  std::thread watch([&] {
    module.join();
    done = true;
  });
  RunUntil([&] { return done.load(); });
  watch.join();
  return ok && d.m_bConnected;
}

int Flood(int frames) {
  Line line;
  if (!line.Open()) return std::fprintf(stderr, "no pseudo-terminal\n"), 1;
  BenchWindow wnd{ClientWidth(), ClientHeight()};
  ConsoleDialog d{wnd};
  d.InitConsole();
  if (!Connect(d, line)) return std::fprintf(stderr, "flood: the console did not connect\n"), 1;
  const int window = std::max(1, frames / 10);
  std::vector<Clock::time_point> at(static_cast<size_t>(frames) + 1);
  double rssStart = 0, rssEnd = 0;
  std::atomic<bool> done{false};
  std::atomic<int> lost{0};
  const auto frame = Response('z', "??");
  std::thread module([&] {
    at[0] = Clock::now();
    for (int i = 0; i < frames; ++i) {
      line.Send(frame);
      if (!line.WaitFor(ACK, 5000)) ++lost;
      at[static_cast<size_t>(i) + 1] = Clock::now();
      if (i + 1 == window) rssStart = RssMb();
    }
    rssEnd = RssMb();
    done = true;
  });
  RunUntil([&] { return done.load(); });
  module.join();
  auto rate = [&](int from, int to) {
    const double s = std::chrono::duration<double>(at[static_cast<size_t>(to)] - at[static_cast<size_t>(from)]).count();
    return s > 0 ? (to - from) / s : 0.0;
  };
  std::printf("flood_frames %d frames\n", frames);
  std::printf("flood_frames_per_s_first %.0f frames/s\n", rate(0, window));
  std::printf("flood_frames_per_s_last %.0f frames/s\n", rate(frames - window, frames));
  std::printf("flood_rss_mb_first %.1f MB\n", rssStart);
  std::printf("flood_rss_mb_last %.1f MB\n", rssEnd);
  std::printf("flood_message_area_bytes %zu bytes\n", wnd.GetText(ctl::kMessageArea).size());
  std::printf("flood_unacknowledged %d frames\n", lost.load());
  std::printf("flood_boxes %d boxes\n", wnd.boxes);
  return 0;
}

int Stall(double seconds) {
  Line line;
  if (!line.Open()) return std::fprintf(stderr, "no pseudo-terminal\n"), 1;
  BenchWindow wnd{ClientWidth(), ClientHeight()};
  ConsoleDialog d{wnd};
  d.InitConsole();
  if (!Connect(d, line)) return std::fprintf(stderr, "stall: the console did not connect\n"), 1;

  // The window's heartbeat.
  auto last = Clock::now();
  Clock::duration longest{};
  int64_t ticks = 0;
  QTimer beat;
  QObject::connect(&beat, &QTimer::timeout, [&] {
    const auto now = Clock::now();
    longest = std::max(longest, now - last);
    last = now;
    ++ticks;
  });
  beat.start(10);

  const size_t filled = line.Fill();
  std::atomic<bool> done{false};
  std::atomic<int64_t> sent{0};
  const auto frame = Response('z', "??");
  std::thread module([&] {
    // Never reads: the console's ACKs pile up until the line is full.
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
      if (line.TrySend(frame)) ++sent;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    done = true;
  });
  last = Clock::now();
  RunUntil([&] { return done.load(); });
  module.join();
  beat.stop();

  // The module reads again: the console's next answer gets through.
  uint8_t buf[4096];
  for (;;) {
    pollfd p{line.master, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0 || read(line.master, buf, sizeof buf) <= 0) break;
  }
  std::atomic<bool> acked{false};
  std::thread after([&] {
    line.Send(Response('z', "??"));
    acked = line.WaitFor(ACK, 3000);
    done = false;
  });
  RunUntil([&] { return !done.load(); });
  after.join();

  std::printf("stall_seconds %.0f s\n", seconds);
  std::printf("stall_line_filled %zu bytes\n", filled);
  std::printf("stall_frames_sent %lld frames\n", static_cast<long long>(sent.load()));
  std::printf("stall_longest_ms %.0f ms\n", std::chrono::duration<double, std::milli>(longest).count());
  std::printf("stall_ticks_per_s %.0f ticks/s\n", ticks / seconds);
  std::printf("stall_ack_after_drain %s\n", acked ? "yes" : "no");
  std::printf("stall_boxes %d boxes\n", wnd.boxes);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  int frames = 3000;
  double seconds = 20;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--frames") && i + 1 < argc) frames = std::max(10, std::atoi(argv[++i]));
    else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = std::max(1.0, std::atof(argv[++i]));
    else if (!std::strcmp(argv[i], "--only") && i + 1 < argc) only = argv[++i];
    else {
      std::printf("Usage: qeld-hostile-bench [--only flood|stall] [--frames N] [--seconds S]\n");
      return 2;
    }
  }
  QApplication app(argc, argv);
  int rc = 0;
  if (only.empty() || only == "flood") rc |= Flood(frames);
  if (only.empty() || only == "stall") rc |= Stall(seconds);
  return rc;
}
