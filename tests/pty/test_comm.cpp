// The serial channel on real pseudo-terminals: the test holds the master side
// and plays the module; CComm opens the slave through a COMn link under a
// private HOME, as an operator's Wine-style port mapping would.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "comm/Comm.h"
#include "comm/LineSettings.h"
#include "window/HeadlessWindow.h"

using namespace qeld;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr int kGuardMs = 20000;  // only ever reached when something is broken

// A headless window that also tells how many calls other threads have queued
// for it, so a test can know the reader sits in its hand-over without pumping.
class WatchedWindow : public HeadlessWindow {
 public:
  int Queued() {
    std::lock_guard lk(m_);
    return queued_;
  }
  bool WaitQueuedAbove(int n) {
    std::unique_lock lk(m_);
    return cv_.wait_for(lk, std::chrono::milliseconds(kGuardMs), [&] { return queued_ > n; });
  }

 protected:
  void QueueCall(std::function<void()> fn) override {
    HeadlessWindow::QueueCall(std::move(fn));
    {
      std::lock_guard lk(m_);
      ++queued_;
    }
    cv_.notify_all();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  int queued_ = 0;
};

struct Recorder : WindowHandler {
  CComm* comm = nullptr;
  Bytes bytes;
  std::vector<int> sizes;
  int lost = 0;
  WPARAM lostOpening = 0;
  std::function<void()> onData;  // runs inside the delivery, as decoding would

  void OnCommand(int) override {}
  void OnTimer(int) override {}
  void OnAbout() override {}
  LRESULT OnMessage(unsigned msg, WPARAM w, LPARAM) override {
    if (msg == UM_COMM_DATA) {
      sizes.push_back(comm->m_nRxLength);
      bytes.insert(bytes.end(), comm->m_RxBuffer, comm->m_RxBuffer + comm->m_nRxLength);
      if (onData) onData();
    } else if (msg == UM_PORT_LOST) {
      ++lost;
      lostOpening = w;
    }
    return 0;
  }
};

// Aborts the test program when a step that must not block is still running
// after a generous limit, so a deadlock fails instead of hanging the run.
class Watchdog {
 public:
  explicit Watchdog(const char* what)
      : thread_([this, what] {
          std::unique_lock lk(m_);
          if (!cv_.wait_for(lk, std::chrono::seconds(60), [&] { return done_; })) {
            std::fprintf(stderr, "deadlock: %s\n", what);
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lk(m_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

Bytes Sequence(int n, int first = 0) {
  Bytes b(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) b[static_cast<size_t>(i)] = static_cast<uint8_t>(first + i);
  return b;
}

class CommOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qeld-comm-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    home_ = tmpl;
    if (const char* h = std::getenv("HOME")) oldHome_ = h;
    setenv("HOME", home_.c_str(), 1);
    std::filesystem::create_directories(home_ + "/.qeld/dosdevices");

    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    char name[128];
    ASSERT_EQ(ptsname_r(master_, name, sizeof name), 0);
    slavePath_ = name;
    // Our own slave descriptor, opened before the console's exclusive open:
    // it reads back the line settings and keeps the pty alive between the
    // console's close and reopen. It never reads.
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave_, 0);
    Link(3, slavePath_);

    rec_.comm = &comm_;
    window_.SetHandler(&rec_);
    comm_.m_hNotifyWnd = &window_;
    ASSERT_EQ(comm_.CreateEvents(), 1);
  }

  void TearDown() override {
    comm_.ClosePort();
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
    std::filesystem::remove_all(home_);
    if (oldHome_.empty())
      unsetenv("HOME");
    else
      setenv("HOME", oldHome_.c_str(), 1);
  }

  std::string LinkPath(int port) const { return home_ + "/.qeld/dosdevices/com" + std::to_string(port); }
  void Link(int port, const std::string& target) { ASSERT_EQ(symlink(target.c_str(), LinkPath(port).c_str()), 0); }

  int Open(CComm& c, int port = 3) { return c.OpenPort(port, kBaudRate, kDataBits, kStopBitsOne, kParityEven); }

  void ToConsole(const Bytes& b) {
    ASSERT_EQ(write(master_, b.data(), b.size()), static_cast<ssize_t>(b.size()));
  }
  // What the console sent, up to n bytes.
  Bytes FromConsole(size_t n) {
    Bytes got;
    uint8_t buf[4096];
    while (got.size() < n) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, kGuardMs) <= 0) break;
      const ssize_t r = read(master_, buf, std::min(sizeof buf, n - got.size()));
      if (r <= 0) break;
      got.insert(got.end(), buf, buf + r);
    }
    return got;
  }
  bool PumpUntilBytes(size_t n) {
    return window_.PumpUntil([&] { return rec_.bytes.size() >= n; }, kGuardMs);
  }
  // Whether anyone holds the advisory lock of the slave device.
  bool SlaveLocked() const {
    const int fd = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return true;
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    return locked;
  }

  std::string home_, oldHome_, slavePath_;
  int master_ = -1, slave_ = -1;
  WatchedWindow window_;
  Recorder rec_;
  CComm comm_;  // last: it stops its reader before the window goes
};

// --- line settings --------------------------------------------------------------

struct LineRow {
  int baud, dataBits, stopBits, parity;
  speed_t speed;
  tcflag_t charSize;
  tcflag_t cflagOn, cflagOff;  // bits that must be set / clear
  bool parityCheck;
};

constexpr tcflag_t kAllParityBits = PARENB | PARODD | CMSPAR;

const LineRow kLineRows[] = {
    // The module's line: 9600 8E1.
    {9600, 8, 0, 2, B9600, CS8, PARENB, PARODD | CMSPAR | CSTOPB, true},
    {9600, 8, 0, 0, B9600, CS8, 0, kAllParityBits | CSTOPB, false},
    {19200, 7, 2, 1, B19200, CS7, PARENB | PARODD | CSTOPB, CMSPAR, true},
    {1200, 5, 1, 3, B1200, CS5, PARENB | PARODD | CMSPAR | CSTOPB, 0, true},
    {115200, 6, 0, 4, B115200, CS6, PARENB | CMSPAR, PARODD | CSTOPB, true},
};

TEST(LineSettings, EveryCodeMapsToItsTermiosBitsRawAndWithoutFlowControl) {
  for (const auto& row : kLineRows) {
    SCOPED_TRACE(testing::Message() << row.baud << " " << row.dataBits << " stop " << row.stopBits
                                    << " parity " << row.parity);
    termios t{};
    // Start from a cooked line with every kind of flow control on.
    t.c_iflag = ICRNL | IXON | IXOFF | IXANY | IGNPAR | ISTRIP;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    t.c_cflag = CRTSCTS | CS8 | PARENB | PARODD | CSTOPB | HUPCL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 5;
    ASSERT_EQ(MakeLineSettings(t, row.baud, row.dataBits, row.stopBits, row.parity), "");
    EXPECT_EQ(cfgetispeed(&t), row.speed);
    EXPECT_EQ(cfgetospeed(&t), row.speed);
    EXPECT_EQ(t.c_cflag & CSIZE, row.charSize);
    EXPECT_EQ(t.c_cflag & row.cflagOn, row.cflagOn);
    EXPECT_EQ(t.c_cflag & row.cflagOff, 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), CLOCAL | CREAD);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_cflag & HUPCL, HUPCL);  // left as the device had it
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP | IGNPAR), 0u);
    EXPECT_EQ((t.c_iflag & INPCK) != 0, row.parityCheck);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
  }
}

TEST(LineSettings, UnsupportedValuesAreRefusedWithTheReasonAndLeaveTheRecordAlone) {
  const struct {
    int baud, dataBits, stopBits, parity;
    const char* reason;
  } rows[] = {
      {12345, 8, 0, 2, "baud rate 12345 not supported"},
      {0, 8, 0, 2, "baud rate 0 not supported"},
      {9600, 4, 0, 2, "4 data bits not supported"},
      {9600, 9, 0, 2, "9 data bits not supported"},
      {9600, 8, 3, 2, "stop-bit code 3 not supported"},
      {9600, 8, -1, 2, "stop-bit code -1 not supported"},
      {9600, 8, 0, 5, "parity code 5 not supported"},
      {9600, 8, 0, -1, "parity code -1 not supported"},
  };
  for (const auto& row : rows) {
    termios t{};
    t.c_cflag = CS7 | PARENB;
    t.c_lflag = ICANON;
    EXPECT_EQ(MakeLineSettings(t, row.baud, row.dataBits, row.stopBits, row.parity), row.reason);
    EXPECT_EQ(t.c_cflag, static_cast<tcflag_t>(CS7 | PARENB));
    EXPECT_EQ(t.c_lflag, static_cast<tcflag_t>(ICANON));
  }
}

// A Linux pty slave keeps the speed, stop bits, PARODD, CMSPAR and every
// iflag/lflag/oflag bit it is given, but forces CS8 and clears PARENB (the
// pty driver has no wire to frame): parity reaches it as INPCK and PARODD.
TEST_F(CommOnPty, OpenAppliesTheLineSettingsToTheDevice) {
  for (const auto& row : kLineRows) {
    SCOPED_TRACE(testing::Message() << row.baud << " " << row.dataBits << " stop " << row.stopBits
                                    << " parity " << row.parity);
    ASSERT_EQ(comm_.OpenPort(3, row.baud, row.dataBits, row.stopBits, row.parity), 1) << comm_.LastError();
    termios t{};
    ASSERT_EQ(tcgetattr(slave_, &t), 0);
    EXPECT_EQ(cfgetispeed(&t), row.speed);
    EXPECT_EQ(cfgetospeed(&t), row.speed);
    EXPECT_EQ(t.c_cflag & CSTOPB, row.cflagOn & CSTOPB);
    EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), row.cflagOn & (PARODD | CMSPAR));
    EXPECT_EQ((t.c_iflag & INPCK) != 0, row.parityCheck);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_cflag & CLOCAL, CLOCAL);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(comm_.ClosePort(), 1);
  }
}

// --- port names and failed opens ----------------------------------------------------

TEST_F(CommOnPty, DevicePathUsesTheComLinkWhenPresentElseTheStandardTty) {
  Link(10, slavePath_);
  // Names only: nothing is opened here.
  const std::string mappedOnly = std::getenv("QELD_MAPPED_PORTS_ONLY") ? std::getenv("QELD_MAPPED_PORTS_ONLY") : "";
  unsetenv("QELD_MAPPED_PORTS_ONLY");
  const struct {
    int port;
    std::string path;
  } rows[] = {
      {1, "/dev/ttyS0"}, {2, "/dev/ttyS1"}, {3, LinkPath(3)}, {9, "/dev/ttyS8"}, {10, LinkPath(10)}, {0, "/dev/ttyS-1"},
  };
  for (const auto& row : rows) EXPECT_EQ(CComm::DevicePath(row.port), row.path) << row.port;
  setenv("QELD_MAPPED_PORTS_ONLY", "1", 1);
  EXPECT_EQ(CComm::DevicePath(1), LinkPath(1)) << "tests: an unmapped port names its missing link";
  EXPECT_EQ(CComm::DevicePath(10), LinkPath(10));
  if (mappedOnly.empty()) unsetenv("QELD_MAPPED_PORTS_ONLY");
}

TEST_F(CommOnPty, TenIsTheLastPortAndNumbersOutsideOneToTenAreRefusedUncut) {
  Link(10, slavePath_);
  Link(0, slavePath_);  // COM3 links there too, from SetUp
  ASSERT_EQ(Open(comm_, 10), 1) << comm_.LastError();
  EXPECT_EQ(std::string(comm_.m_szPortName), LinkPath(10));
  comm_.ClosePort();
  // 65539 would be COM3 in 16 bits, and COM0 has a mapping here: both are
  // refused all the same, and the message names the number as given.
  for (int port : {65536 + 3, 0}) {
    SCOPED_TRACE(port);
    EXPECT_EQ(Open(comm_, port), 0);
    EXPECT_EQ(comm_.LastError(), "COM" + std::to_string(port) + ": no such port (COM1 to COM10)");
    EXPECT_FALSE(SlaveLocked());
  }
}

TEST_F(CommOnPty, FailedOpensSayWhyAndLeaveNothingOpen) {
  const std::string nowhere = home_ + "/no-such-device";
  Link(4, nowhere);
  Link(5, "/dev/null");
  Link(11, slavePath_);
  const struct {
    int port, baud;
    std::string error;
  } rows[] = {
      {11, 9600, "COM11: no such port (COM1 to COM10)"},
      {-1, 9600, "COM4294967295: no such port (COM1 to COM10)"},
      {4, 9600, "COM4 (" + LinkPath(4) + " -> " + nowhere + "): no such device"},
      {5, 9600, "COM5 (" + LinkPath(5) + " -> /dev/null): not a serial port"},
      {0, 9600, "COM0: no such port (COM1 to COM10)"},
      {3, 12345, "COM3 (" + LinkPath(3) + " -> " + slavePath_ + "): line settings refused: baud rate 12345 not supported"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.port);
    EXPECT_EQ(comm_.OpenPort(row.port, row.baud, kDataBits, kStopBitsOne, kParityEven), 0);
    EXPECT_EQ(comm_.LastError(), row.error);
    EXPECT_EQ(comm_.m_bOpen.load(), 0);
    EXPECT_EQ(comm_.m_hPort, -1);
    EXPECT_EQ(CComm::ReadersRunning(), 0);
    EXPECT_FALSE(SlaveLocked());  // COM11 links to the slave too: never opened
  }
  // A port above 10 is refused before the name is even built.
  CComm fresh;
  EXPECT_EQ(Open(fresh, 11), 0);
  EXPECT_STREQ(fresh.m_szPortName, "");
}

// A technician without the rights to the device is told which group to join.
// Root opens anything, so as root the open runs in a child that drops to nobody.
TEST_F(CommOnPty, PermissionDeniedNamesTheDevicesGroup) {
  if (geteuid() != 0) {
    // An ordinary user owns the slave: the owner's bits are the ones that
    // count for them, so with none left the open is refused although the
    // device's group may use it.
    const gid_t gid = getegid();
    const group* g = getgrgid(gid);
    ASSERT_NE(g, nullptr);
    ASSERT_NE(gid, 0u) << "the test needs a user whose group is not root's";
    const std::string name = g->gr_name;
    ASSERT_EQ(chown(slavePath_.c_str(), static_cast<uid_t>(-1), gid), 0) << std::strerror(errno);
    ASSERT_EQ(chmod(slavePath_.c_str(), 0060), 0);
    CComm c;
    EXPECT_EQ(Open(c), 0);
    EXPECT_EQ(c.LastError(), "COM3 (" + LinkPath(3) + " -> " + slavePath_ + "): permission denied (add the user to group " +
                                 name + ", then log in again)");
    return;
  }
  const group* dialout = getgrnam("dialout");
  const passwd* nobody = getpwnam("nobody");
  if (!dialout || !nobody) GTEST_SKIP() << "no group dialout or user nobody here";
  // The slave stands for a serial device: root:dialout, 0660. The private
  // HOME must be searchable for the link to be seen.
  ASSERT_EQ(chown(slavePath_.c_str(), 0, dialout->gr_gid), 0);
  ASSERT_EQ(chmod(slavePath_.c_str(), 0660), 0);
  ASSERT_EQ(chmod(home_.c_str(), 0755), 0);
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;

  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(out[0]);
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(2);
    CComm c;
    const int opened = Open(c);
    const std::string& why = c.LastError();
    [[maybe_unused]] ssize_t w = write(out[1], why.data(), why.size());
    _exit(opened ? 1 : 0);
  }
  close(out[1]);
  std::string why;
  char buf[512];
  for (ssize_t r; (r = read(out[0], buf, sizeof buf)) > 0;) why.append(buf, static_cast<size_t>(r));
  close(out[0]);
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: could not become nobody; 1: the open succeeded";
  EXPECT_EQ(why, "COM3 (" + LinkPath(3) + " -> " + slavePath_ +
                     "): permission denied (add the user to group dialout, then log in again)");
}

TEST_F(CommOnPty, SecondOpenOfAHeldPortIsRefusedWithoutDisturbingTheHolder) {
  ASSERT_EQ(Open(comm_), 1);
  const Bytes first = Sequence(10), second = Sequence(10, 100);
  ToConsole(first);
  ASSERT_TRUE(window_.WaitQueuedAbove(0));  // the reader holds the first bytes
  ToConsole(second);                        // these wait in the holder's input queue

  CComm other;
  other.m_hNotifyWnd = &window_;
  EXPECT_EQ(Open(other), 0);
  EXPECT_EQ(other.LastError(), "COM3 (" + LinkPath(3) + " -> " + slavePath_ + "): in use by another program");
  EXPECT_EQ(CComm::ReadersRunning(), 1);

  ASSERT_TRUE(PumpUntilBytes(20));
  Bytes all = first;
  all.insert(all.end(), second.begin(), second.end());
  EXPECT_EQ(rec_.bytes, all);  // nothing flushed by the refused open

  comm_.ClosePort();
  EXPECT_EQ(Open(other), 1) << other.LastError();
  EXPECT_EQ(other.LastError(), "");
}

// --- data both ways ---------------------------------------------------------------

TEST_F(CommOnPty, ABurstReachesTheWindowInOrderInPiecesOfAtMost80) {
  ASSERT_EQ(Open(comm_), 1);
  const Bytes burst = Sequence(200);  // CR, XON and XOFF among them: raw input
  ToConsole(burst);
  ASSERT_TRUE(PumpUntilBytes(200));
  EXPECT_EQ(rec_.bytes, burst);
  EXPECT_GE(rec_.sizes.size(), 3u);
  for (int n : rec_.sizes) {
    EXPECT_GT(n, 0);
    EXPECT_LE(n, kRxDeliveryMax);
  }
}

TEST_F(CommOnPty, BytesWaitingOnTheLineBeforeOpenNeverReachTheConsole) {
  // A stale answer and noise, queued at the device before the console opens
  // it; raw, as an earlier program would have left the line.
  termios raw{};
  ASSERT_EQ(tcgetattr(slave_, &raw), 0);
  cfmakeraw(&raw);
  ASSERT_EQ(tcsetattr(slave_, TCSANOW, &raw), 0);
  ToConsole({SOH, '0', STX, 'P', ' ', ETX, 0x40, ACK, 0x55});
  pollfd p{slave_, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, kGuardMs), 1) << "the bytes are queued at the slave";
  ASSERT_EQ(Open(comm_), 1);
  const Bytes fresh = Sequence(10, 200);
  ToConsole(fresh);
  ASSERT_TRUE(PumpUntilBytes(fresh.size()));
  window_.PumpUntil([] { return false; }, 100);  // anything more would come now
  EXPECT_EQ(rec_.bytes, fresh);
}

TEST_F(CommOnPty, WhatTheConsoleWritesArrivesExactly) {
  ASSERT_EQ(Open(comm_), 1);
  // Every byte value, CR, LF, XON and XOFF included, goes out untranslated.
  const Bytes every = Sequence(256);
  const Bytes ack = {ACK};
  EXPECT_EQ(comm_.WritePort(every.data(), static_cast<int>(every.size())), 1);
  EXPECT_EQ(comm_.WritePort(ack.data(), 1), 1);
  Bytes both = every;
  both.push_back(ACK);
  EXPECT_EQ(FromConsole(both.size()), both);

  // More than the driver queues at once: the write waits for room as the
  // other end reads, for a while; what it could not put out in that time
  // goes ahead of the next write, so the other end gets every byte once.
  Bytes big(200000);
  std::iota(big.begin(), big.end(), uint8_t{7});
  Bytes got;
  std::thread drain([&] { got = FromConsole(big.size() + 1); });
  comm_.WritePort(big.data(), static_cast<int>(big.size()));
  for (int guard = 0; guard < 1000 && comm_.WritePort(ack.data(), 1) == 0; ++guard) {
  }
  drain.join();
  big.push_back(ACK);
  EXPECT_TRUE(got == big);
}

// A peer that stops reading: no write holds the window's thread for long (it
// was a second each), every frame reaches the peer whole or not at all, and
// once the peer reads again the next frame goes out.
TEST_F(CommOnPty, APeerThatStopsReadingNeverHoldsAWriteLongAndGetsWholeFrames) {
  ASSERT_EQ(Open(comm_), 1);
  auto frame = [](int n) {
    Bytes f(267, static_cast<uint8_t>(n));
    f[0] = EOT;
    f[1] = static_cast<uint8_t>(n >> 8);
    return f;
  };
  std::vector<int> accepted;
  int failed = 0;
  std::chrono::milliseconds longest{0};
  int n = 0;
  for (; n < 5000 && failed < 20; ++n) {
    const Bytes f = frame(n);
    const auto t0 = std::chrono::steady_clock::now();
    const int ok = comm_.WritePort(f.data(), static_cast<int>(f.size()));
    longest = std::max(longest, std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0));
    if (ok) accepted.push_back(n);
    else ++failed;
  }
  ASSERT_EQ(failed, 20) << "the line never filled";
  // The bound is 100 ms; the margin is for a loaded machine, not for the rule.
  EXPECT_LT(longest.count(), 500);

  // The peer reads again: everything queued so far, then one more frame.
  Bytes got;
  auto readAll = [&] {
    uint8_t buf[4096];
    for (;;) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 300) <= 0) return;  // the line has been quiet a while
      const ssize_t r = read(master_, buf, sizeof buf);
      if (r <= 0) return;
      got.insert(got.end(), buf, buf + r);
    }
  };
  readAll();
  const Bytes last = frame(n);
  EXPECT_EQ(comm_.WritePort(last.data(), static_cast<int>(last.size())), 1);
  readAll();
  ASSERT_EQ(got.size() % 267, 0u) << "a frame was cut short";
  std::vector<int> seen;
  for (size_t at = 0; at < got.size(); at += 267) {
    const int k = got[at + 1] << 8 | got[at + 2];
    EXPECT_TRUE(std::equal(got.begin() + static_cast<long>(at), got.begin() + static_cast<long>(at) + 267,
                           frame(k).begin()))
        << "frame at " << at;
    seen.push_back(k);
  }
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), n);
  // Every frame the channel took is there, in order.
  size_t i = 0;
  for (int k : seen)
    if (i < accepted.size() && accepted[i] == k) ++i;
  EXPECT_EQ(i, accepted.size());
}

TEST_F(CommOnPty, AWriteTheLineNeverTakesGivesUp) {
  ASSERT_EQ(Open(comm_), 1);
  const Bytes big(1 << 20, 0x55);  // nobody reads the master
  EXPECT_EQ(comm_.WritePort(big.data(), static_cast<int>(big.size())), 0);
}

// --- close, reopen, loss -----------------------------------------------------------

TEST_F(CommOnPty, ReopenLeavesExactlyOneReaderAndDeliveriesGoOn) {
  ASSERT_EQ(Open(comm_), 1);
  ASSERT_EQ(comm_.ClosePort(), 1);
  ASSERT_EQ(Open(comm_), 1);
  ASSERT_EQ(Open(comm_), 1);  // OPEN again without a close in between
  EXPECT_EQ(CComm::ReadersRunning(), 1);
  ToConsole(Sequence(50));
  ASSERT_TRUE(PumpUntilBytes(50));
  EXPECT_EQ(rec_.bytes, Sequence(50));
}

TEST_F(CommOnPty, ReopenUnderTrafficNeverDeadlocksAndEndsWithOneReader) {
  ASSERT_EQ(fcntl(master_, F_SETFL, O_NONBLOCK), 0);
  // Stopped and joined however the test ends.
  std::jthread module([&](std::stop_token stop) {
    const Bytes chunk = Sequence(64);
    while (!stop.stop_requested()) {
      if (write(master_, chunk.data(), chunk.size()) < 0) {
        pollfd p{master_, POLLOUT, 0};
        poll(&p, 1, 20);
      }
    }
  });

  // No reader runs between a close and the next open, so a count taken there
  // tells the new reader's first send apart from anything earlier.
  int queued = window_.Queued();
  ASSERT_EQ(Open(comm_), 1);
  {
    Watchdog dog("close/open under traffic");
    for (int i = 0; i < 50; ++i) {
      ASSERT_TRUE(window_.WaitQueuedAbove(queued)) << i;  // the reader is in its hand-over
      // Now and then the window takes a delivery before closing; otherwise it
      // closes while the reader waits for it.
      if (i % 5 == 4) {
        ASSERT_TRUE(PumpUntilBytes(rec_.bytes.size() + 1)) << i;
      }
      ASSERT_EQ(comm_.ClosePort(), 1);
      queued = window_.Queued();
      ASSERT_EQ(Open(comm_), 1) << comm_.LastError();
    }
  }
  EXPECT_EQ(CComm::ReadersRunning(), 1);
  const size_t before = rec_.bytes.size();
  ASSERT_TRUE(PumpUntilBytes(before + 1));  // the last opening still delivers
  for (int n : rec_.sizes) EXPECT_LE(n, kRxDeliveryMax);
}

TEST_F(CommOnPty, ClosingWhileTheReaderWaitsInItsHandOverReturnsAndDeliversNothingMore) {
  ASSERT_EQ(Open(comm_), 1);
  ToConsole(Sequence(30));
  ASSERT_TRUE(window_.WaitQueuedAbove(0));
  {
    Watchdog dog("close during the hand-over");
    EXPECT_EQ(comm_.ClosePort(), 1);
  }
  EXPECT_EQ(CComm::ReadersRunning(), 0);
  ToConsole(Sequence(30));
  window_.Pump();
  EXPECT_TRUE(rec_.sizes.empty());  // the send in flight was dropped, not handled
  EXPECT_FALSE(SlaveLocked());
}

TEST_F(CommOnPty, ReopenFromInsideADeliveryKeepsOneReader) {
  // A message box shown while decoding serves the OPEN button in its own loop.
  ASSERT_EQ(Open(comm_), 1);
  bool reopened = false;
  rec_.onData = [&] {
    if (reopened) return;
    reopened = true;
    Watchdog dog("reopen inside the delivery");
    EXPECT_EQ(Open(comm_), 1);
  };
  ToConsole(Sequence(10));
  ASSERT_TRUE(PumpUntilBytes(10));
  EXPECT_TRUE(reopened);
  EXPECT_EQ(CComm::ReadersRunning(), 1);
  ToConsole(Sequence(10, 50));
  ASSERT_TRUE(PumpUntilBytes(20));
  EXPECT_EQ(Bytes(rec_.bytes.begin() + 10, rec_.bytes.end()), Sequence(10, 50));
}

TEST_F(CommOnPty, LosingTheDeviceEndsTheReaderWithOneNotice) {
  ASSERT_EQ(Open(comm_), 1);
  const uint32_t opening = comm_.m_nOpenings;
  close(master_);  // the far end goes away: the slave hangs up
  master_ = -1;
  ASSERT_TRUE(window_.PumpUntil([&] { return rec_.lost > 0; }, kGuardMs));
  EXPECT_EQ(CComm::ReadersRunning(), 0);  // ended by itself, not spinning
  EXPECT_EQ(rec_.lostOpening, opening);
  window_.Pump();
  EXPECT_EQ(rec_.lost, 1);
  EXPECT_TRUE(rec_.sizes.empty());
  const Bytes ack = {ACK};
  EXPECT_EQ(comm_.WritePort(ack.data(), 1), 0);
  EXPECT_EQ(comm_.ClosePort(), 1);
  EXPECT_EQ(comm_.m_hPort, -1);
}

}  // namespace
