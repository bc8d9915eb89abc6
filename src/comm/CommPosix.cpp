// CComm on POSIX termios. The window's thread opens, writes and closes; one
// reader thread per opening waits in poll() and hands each burst of received
// bytes to the window synchronously, so the hand-over buffer needs no lock.
#include "comm/Comm.h"

#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <system_error>

#include "comm/LineSettings.h"

namespace qeld {
namespace {

struct BaudRate {
  int baud;
  speed_t code;
};
constexpr BaudRate kBaudRates[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};

// Index: data bits - 5.
constexpr tcflag_t kCharSizes[] = {CS5, CS6, CS7, CS8};

// Index: stop-bit code. termios knows no one and a half stop bits; two is the
// nearest a UART can send.
constexpr tcflag_t kStopBits[] = {0, CSTOPB, CSTOPB};

#ifdef CMSPAR
constexpr tcflag_t kStickParity = CMSPAR;
#else
constexpr tcflag_t kStickParity = 0;  // mark and space parity are refused then
#endif

struct Parity {
  tcflag_t cflag;
  bool supported;
};
// Index: parity code.
constexpr Parity kParities[] = {
    {0, true},                                              // none
    {PARENB | PARODD, true},                                // odd
    {PARENB, true},                                         // even
    {PARENB | PARODD | kStickParity, kStickParity != 0},    // mark
    {PARENB | kStickParity, kStickParity != 0},             // space
};

constexpr char kInUse[] = "in use by another program";

// Whether the device holds every setting asked for, apart from the character
// framing (size and parity), which a driver may fit to what it can do.
bool HoldsAllButFraming(const termios& got, const termios& want) {
  constexpr tcflag_t kFraming = CSIZE | PARENB | PARODD | kStickParity;
  return got.c_iflag == want.c_iflag && got.c_oflag == want.c_oflag && got.c_lflag == want.c_lflag &&
         (got.c_cflag & ~kFraming) == (want.c_cflag & ~kFraming) && cfgetispeed(&got) == cfgetispeed(&want) &&
         cfgetospeed(&got) == cfgetospeed(&want) && got.c_cc[VMIN] == want.c_cc[VMIN] &&
         got.c_cc[VTIME] == want.c_cc[VTIME];
}

std::string OsText(int err) { return std::generic_category().message(err); }

// What a technician can act on, for the errors opening a port commonly meets;
// every other error keeps the system's own text.
struct OpenReason {
  int err;
  const char* text;
};
constexpr OpenReason kOpenReasons[] = {
    {ENOENT, "no such device"},
    {ENODEV, "no such device"},
    {ENXIO, "no such device"},
    // A /dev/ttyS name exists for every UART the kernel might have; opening
    // one with no hardware behind it fails with EIO.
    {EIO, "no such device (no port hardware behind this name)"},
    {EACCES, "permission denied"},
    {EPERM, "permission denied"},
    {EBUSY, kInUse},
    {ENOTTY, "not a serial port"},
};

std::string OpenFailure(int err, const std::string& path) {
  const auto* r = std::find_if(std::begin(kOpenReasons), std::end(kOpenReasons),
                               [&](const OpenReason& x) { return x.err == err; });
  if (r == std::end(kOpenReasons)) return OsText(err);
  std::string text = r->text;
  if (err == EACCES || err == EPERM) {
    // Serial devices are usually open to one group (dialout): name it. A pty
    // slave is writable by group tty but not readable, and joining tty would
    // not help.
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
      if (const group* g = getgrgid(st.st_gid); g && g->gr_gid != 0) {
        text += std::string(" (add the user to group ") + g->gr_name + ", then log in again)";
      }
    }
  }
  return text;
}

// A mapped port names its link and what it points to: a pulled USB adapter
// shows as a by-id name that is missing.
std::string DescribePath(const std::string& path) {
  char target[PATH_MAX];
  const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
  if (n <= 0) return path;
  return path + " -> " + std::string(target, static_cast<size_t>(n));
}

std::string DevicePathFallback(int port) { return "/dev/ttyS" + std::to_string(port - 1); }

std::string PortError(unsigned port, const std::string& path, const std::string& reason) {
  return "COM" + std::to_string(port) + " (" + DescribePath(path) + "): " + reason;
}

}  // namespace

std::string MakeLineSettings(termios& t, int baud, int dataBits, int stopBits, int parity) {
  const auto* rate = std::find_if(std::begin(kBaudRates), std::end(kBaudRates),
                                  [&](const BaudRate& r) { return r.baud == baud; });
  if (rate == std::end(kBaudRates)) return "baud rate " + std::to_string(baud) + " not supported";
  if (dataBits < 5 || dataBits > 8) return std::to_string(dataBits) + " data bits not supported";
  if (stopBits < 0 || stopBits >= static_cast<int>(std::size(kStopBits)))
    return "stop-bit code " + std::to_string(stopBits) + " not supported";
  if (parity < 0 || parity >= static_cast<int>(std::size(kParities)) || !kParities[parity].supported)
    return "parity code " + std::to_string(parity) + " not supported";

  termios n = t;
  // Binary: no echo, no line editing, no character translation either way.
  cfmakeraw(&n);
  n.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | kStickParity | CRTSCTS);
  n.c_cflag |= kCharSizes[dataBits - 5] | kStopBits[stopBits] | kParities[parity].cflag | CLOCAL | CREAD;
  // HUPCL stays as the device had it: with it set (the default) the last
  // close drops DTR, so the module sees the console go away.

  // No software flow control: XON/XOFF bytes are ordinary data in this
  // protocol's binary blocks.
  n.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | IGNPAR);
  // With parity checking on and neither IGNPAR nor PARMRK, a byte received
  // with a bad parity bit arrives as 0x00: the byte count stays right and the
  // frame check fails, instead of a byte silently vanishing.
  if (kParities[parity].cflag & PARENB) n.c_iflag |= INPCK;
  // Reads never wait; the reader waits in poll() instead.
  n.c_cc[VMIN] = 0;
  n.c_cc[VTIME] = 0;
  cfsetispeed(&n, rate->code);
  cfsetospeed(&n, rate->code);
  t = n;
  return "";
}

CComm::~CComm() {
  ClosePort();
  if (m_nWakeFd >= 0) close(m_nWakeFd);
}

int CComm::CreateEvents() {
  if (m_nWakeFd >= 0) return 1;
  m_nWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return m_nWakeFd >= 0 ? 1 : 0;
}

std::string CComm::DevicePath(int port) {
  if (const char* home = std::getenv("HOME"); home && *home) {
    std::string link = std::string(home) + "/.qeld/dosdevices/com" + std::to_string(port);
    // lstat, not stat: a link that points nowhere is still the operator's
    // mapping, and opening it reports why, rather than quietly opening some
    // other device under the fallback name.
    struct stat st;
    if (lstat(link.c_str(), &st) == 0) return link;
    // The tests set this: an unmapped port then names its missing link and
    // fails to open, so that no test ever opens the machine's own serial
    // device (which may be its console). COM0 has no such device anyway.
    const char* mappedOnly = std::getenv("QELD_MAPPED_PORTS_ONLY");
    if (port != 0 && mappedOnly && *mappedOnly) return link;
  }
  return DevicePathFallback(port);
}

int CComm::OpenPort(int port, int baud, int dataBits, int stopBits, int parity) {
  if (const int decided = BeginOpen(port); decided != kOpenDevice) return decided;
  const unsigned n = static_cast<unsigned>(port);

  const std::string path = DevicePath(static_cast<int>(n));
  if (path.size() >= sizeof m_szPortName) {
    m_strLastError = PortError(n, path, "device path too long");
    return 0;
  }
  std::snprintf(m_szPortName, sizeof m_szPortName, "%s", path.c_str());
  if (!CreateEvents()) {
    m_strLastError = PortError(n, path, "cannot create the reader's wake-up event: " + OsText(errno));
    return 0;
  }

  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    // EBUSY: another holder set TIOCEXCL.
    m_strLastError = PortError(n, path, OpenFailure(err, path));
    return 0;
  }
  // TIOCEXCL keeps other programs out, but not root; the advisory lock is
  // what every copy of this console respects, whoever runs it. Taken before
  // anything touches the line, so a refused open leaves the holder's line
  // alone.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    close(fd);
    m_strLastError = PortError(n, path, err == EWOULDBLOCK ? kInUse : OpenFailure(err, path));
    return 0;
  }
  if (ioctl(fd, TIOCEXCL) != 0) {
    const int err = errno;
    close(fd);
    m_strLastError = PortError(n, path, OpenFailure(err, path));
    return 0;
  }
  m_hPort = fd;
  // Whatever the driver queued before we came is not ours.
  tcflush(fd, TCIOFLUSH);
  // Opening a tty on Linux raises DTR and RTS even with flow control off.
  // The module's line uses neither, so they stay as opening left them.
  if (!ConfigureLine(baud, dataBits, stopBits, parity)) {
    const std::string why = m_strLastError;
    CloseDevice();
    m_strLastError = PortError(n, path, "line settings refused: " + why);
    return 0;
  }

  // A wake-up left from a reader that ended by itself must not stop the next.
  uint64_t stale;
  [[maybe_unused]] ssize_t r = read(m_nWakeFd, &stale, sizeof stale);

  if (const std::string why = StartReader(); !why.empty()) {
    m_strLastError = PortError(n, path, why);
    return 0;
  }
  return 1;
}

int CComm::ConfigureLine(int baud, int dataBits, int stopBits, int parity) {
  if (m_pLine) return 1;
  termios t;
  if (tcgetattr(m_hPort, &t) != 0) {
    m_strLastError = OsText(errno);
    return 0;
  }
  if (std::string why = MakeLineSettings(t, baud, dataBits, stopBits, parity); !why.empty()) {
    m_strLastError = why;
    return 0;
  }
  if (tcsetattr(m_hPort, TCSANOW, &t) == 0) return 1;
  const int err = errno;
  // Debian's C library reads the settings back after setting them and says
  // EINVAL when none of the changes asked for took. A pseudo-terminal always
  // forces 8 bits and no parity, so reopening one with parity ends here
  // although the line holds everything it can.
  termios now;
  if (err == EINVAL && tcgetattr(m_hPort, &now) == 0 && HoldsAllButFraming(now, t)) return 1;
  m_strLastError = OsText(err);
  return 0;
}

void CComm::WakeReader() {
  if (m_nWakeFd >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t r = write(m_nWakeFd, &one, sizeof one);
  }
}

void CComm::CloseDevice() {
  m_Pending.clear();
  m_bStalled = false;
  if (m_hPort < 0) return;
  // The exclusive flag belongs to the tty, not to this descriptor: it would
  // outlive our close while anyone else holds the device open.
  ioctl(m_hPort, TIOCNXCL);
  tcflush(m_hPort, TCIOFLUSH);
  close(m_hPort);  // also releases the lock
  m_hPort = -1;
}

int CComm::ReadAvailable(uint8_t* buf, int max) {
  // The port is non-blocking with VMIN = VTIME = 0: a read takes what is
  // there and never waits, so no count is asked for first.
  if (max <= 0) return 0;
  for (;;) {
    const ssize_t got = read(m_hPort, buf, static_cast<size_t>(max));
    if (got >= 0) return static_cast<int>(got);
    if (errno == EINTR) continue;
    return errno == EAGAIN ? 0 : -1;
  }
}

int CComm::WritePort(const uint8_t* data, int len) {
  // The tap sees the bytes just before they go (not at all on a closed
  // port), so it has the request ahead of anything the request causes.
  if (m_pLine) {
    if (m_WriteTap && len > 0) m_WriteTap(data, len);
    m_pLine->Write(data, len);
    return 1;
  }
  if (m_hPort < 0 || len < 0) return 0;
  if (m_WriteTap && len > 0) m_WriteTap(data, len);
  const auto deadline = std::chrono::steady_clock::now() + kWriteTimeout;
  // A line already found stuck is not waited for again until it takes bytes.
  bool mayWait = !m_bStalled;
  // Puts out bytes until all are gone (true), the time is up or the line is
  // still full after one try on a stuck line (false, *done says how many
  // went), or the device fails (false).
  auto put = [&](const uint8_t* p, int n, int* done, bool* failed) {
    *done = 0;
    *failed = false;
    while (*done < n) {
      const ssize_t w = write(m_hPort, p + *done, static_cast<size_t>(n - *done));
      if (w > 0) {
        *done += static_cast<int>(w);
        m_bStalled = false;  // the line takes bytes again
        mayWait = true;
        continue;
      }
      if (w < 0 && errno == EINTR) continue;
      if (w < 0 && errno != EAGAIN) {
        *failed = true;
        return false;
      }
      // The driver's output queue is full: wait for room, within the time.
      const auto left = std::chrono::ceil<ms>(deadline - std::chrono::steady_clock::now()).count();
      if (!mayWait || left <= 0) {
        m_bStalled = true;
        return false;
      }
      pollfd pfd{m_hPort, POLLOUT, 0};
      if (poll(&pfd, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
        *failed = true;
        return false;
      }
      if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) {
        *failed = true;
        return false;
      }
    }
    return true;
  };
  int done = 0;
  bool failed = false;
  // First the end of a frame the line took only part of.
  if (!m_Pending.empty()) {
    const bool all = put(m_Pending.data(), static_cast<int>(m_Pending.size()), &done, &failed);
    m_Pending.erase(m_Pending.begin(), m_Pending.begin() + done);
    if (failed) m_Pending.clear();
    if (!all) return 0;  // this frame is dropped: nothing of it went out
  }
  if (put(data, len, &done, &failed)) return 1;
  // Part of the frame is on the line: its end follows ahead of the next write.
  if (!failed && done > 0) m_Pending.assign(data + done, data + len);
  return 0;
}

void CComm::ReaderThread() {
  const uint32_t opening = m_nOpenings;
  const bool lost = ReaderLoop();
  --s_nReaders;
  // Told after the count drops, so whoever handles the notice finds the
  // reader gone; nothing of this object is touched by the reader afterwards
  // except the window pointer, which outlives every opening.
  if (lost && m_hNotifyWnd) m_hNotifyWnd->PostMessage(UM_PORT_LOST, opening, 0);
}

// Returns true when the device is gone (unplugged, or the other end of a
// pseudo-terminal closed), false when ClosePort ended the reader.
bool CComm::ReaderLoop() {
  uint8_t local[kRxDeliveryMax];
  pollfd fds[2] = {{m_hPort, POLLIN, 0}, {m_nWakeFd, POLLIN, 0}};
  while (m_bOpen) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return true;
    }
    if (fds[1].revents) return false;
    if (fds[0].revents & POLLIN) {
      const int n = ReadAvailable(local, kRxDeliveryMax);
      if (n < 0) return true;
      if (n > 0) {
        std::memcpy(m_RxBuffer, local, static_cast<size_t>(n));
        m_nRxLength = static_cast<uint16_t>(n);
        // Nothing more is read until the window has handled this delivery;
        // a refused send means ClosePort has begun.
        if (m_hNotifyWnd && !m_hNotifyWnd->SendFromThread(UM_COMM_DATA, 0, 0, m_Gate)) return false;
        // Bytes still queued make the next poll return at once; one call per
        // delivery keeps the reader's share of each answer small.
        continue;
      }
    }
    // A hung-up tty stays readable and hung up forever: end rather than spin.
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return true;
  }
  return false;
}

}  // namespace qeld
