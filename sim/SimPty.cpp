#include "SimPty.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

#include "link/Protocol.h"

namespace qeld::sim {

namespace {
// A byte on the line is 11 bits: start, 8 data, parity, stop.
constexpr int64_t kBitsPerByte = 11;
constexpr int64_t kNsPerSecond = 1000000000;
constexpr int64_t kNsPerBytes = kBitsPerByte * kNsPerSecond;  // over kBaudRate bytes
// The longest line command kept while its line end is awaited.
constexpr size_t kMaxCommandLine = 4096;
// How often a terminal in whose background the simulator runs is looked at
// again, so that it reads commands once brought to the foreground.
constexpr std::chrono::milliseconds kTerminalLook{250};
// How long a vanishing module waits for the console to read what it already sent.
constexpr std::chrono::milliseconds kVanishDrainLimit{1000};
constexpr std::chrono::milliseconds kVanishDrainPoll{2};
// Nothing unread for this long counts as read (see LetTheConsoleRead).
constexpr std::chrono::milliseconds kVanishQuiet{50};
}  // namespace

// ---------------------------------------------------------------------------
// Pseudo-terminal

bool SimPty::Open(std::string* error) {
  auto fail = [&](const char* what) {
    *error = std::string(what) + ": " + std::strerror(errno);
    Close();
    return false;
  };
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) return fail("posix_openpt");
  if (grantpt(master_) != 0) return fail("grantpt");
  if (unlockpt(master_) != 0) return fail("unlockpt");
  char name[256];
  if (ptsname_r(master_, name, sizeof name) != 0) return fail("ptsname");
  slavePath_ = name;
  slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) return fail("open slave");

  // The module's line: raw bytes, 9600 baud, 8 data bits, even parity, one
  // stop bit, no flow control of either kind.
  termios t{};
  if (tcgetattr(slave_, &t) != 0) return fail("tcgetattr");
  cfmakeraw(&t);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARODD | CRTSCTS);
  t.c_cflag |= CS8 | PARENB | CREAD | CLOCAL;
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  if (tcsetattr(slave_, TCSANOW, &t) != 0) return fail("tcsetattr");

  const int flags = fcntl(master_, F_GETFL);
  if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) return fail("fcntl");
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  return true;
}

int SimPty::Unread() const {
  int n = 0;
  if (slave_ < 0 || ioctl(slave_, FIONREAD, &n) != 0) return 0;
  return n;
}

void SimPty::Close() {
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
  slave_ = master_ = -1;
}

// ---------------------------------------------------------------------------
// COMn link

std::string ComLinkPath(int com) {
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") + "/.qeld/dosdevices/com" + std::to_string(com);
}

bool ComLink::Create(int com, const std::string& target, std::string* error) {
  namespace fs = std::filesystem;
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') {
    *error = "HOME is not set, so there is no place for the COM" + std::to_string(com) + " link";
    return false;
  }
  const std::string path = ComLinkPath(com);
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  if (ec) {
    *error = "cannot create " + fs::path(path).parent_path().string() + ": " + ec.message();
    return false;
  }
  struct stat st{};
  if (lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    *error = path + " exists and is not a link; not replacing it";
    return false;
  }
  // A technician's own mapping (a link to a real serial device) is never
  // taken over: the simulator would remove it on exit.
  if (lstat(path.c_str(), &st) == 0) {
    char buf[4096];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    const std::string old = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    struct stat dev{};
    const bool dangling = stat(path.c_str(), &dev) != 0;
    if (!dangling && old.rfind("/dev/pts/", 0) != 0) {
      *error = path + " maps COM" + std::to_string(com) + " to " + old +
               "; choose another COM number, or remove that link first";
      return false;
    }
  }
  // A link left by a simulator that did not end cleanly is replaced in one
  // step, so the console never finds the port missing in between.
  const std::string temp = path + ".new-" + std::to_string(getpid());
  unlink(temp.c_str());
  if (symlink(target.c_str(), temp.c_str()) != 0 || rename(temp.c_str(), path.c_str()) != 0) {
    *error = "cannot link " + path + " to " + target + ": " + std::strerror(errno);
    unlink(temp.c_str());
    return false;
  }
  path_ = path;
  target_ = target;
  return true;
}

void ComLink::Remove() {
  if (path_.empty()) return;
  char buf[4096];
  const ssize_t n = readlink(path_.c_str(), buf, sizeof buf);
  if (n >= 0 && std::string(buf, static_cast<size_t>(n)) == target_) unlink(path_.c_str());
  path_.clear();
}

bool ControlFifo::Open(const std::string& path, std::string* error) {
  struct stat st{};
  if (lstat(path.c_str(), &st) == 0) {
    // Someone else's FIFO would let them drive this simulator.
    if (!S_ISFIFO(st.st_mode) || st.st_uid != geteuid()) {
      *error = path + " exists and is not a FIFO of this user; not using it";
      return false;
    }
  } else if (errno != ENOENT || mkfifo(path.c_str(), 0600) != 0) {
    *error = "cannot make the FIFO " + path + ": " + std::strerror(errno);
    return false;
  } else {
    made_ = path;
    if (lstat(path.c_str(), &st) == 0) inode_ = st.st_ino;
  }
  // Not blocking: opening a FIFO for reading would otherwise wait for a writer.
  read_ = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (read_ < 0 || fstat(read_, &st) != 0 || !S_ISFIFO(st.st_mode)) {
    *error = "cannot open the FIFO " + path + ": " + (read_ < 0 ? std::strerror(errno) : "not a FIFO");
    Close();
    return false;
  }
  inode_ = st.st_ino;
  write_ = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (write_ < 0) {
    *error = "cannot open the FIFO " + path + ": " + std::strerror(errno);
    Close();
    return false;
  }
  return true;
}

void ControlFifo::Close() {
  if (read_ >= 0) close(read_);
  if (write_ >= 0) close(write_);
  read_ = write_ = -1;
  struct stat st{};
  // Only while it is still the one made here.
  if (!made_.empty() && lstat(made_.c_str(), &st) == 0 && S_ISFIFO(st.st_mode) && st.st_ino == inode_)
    unlink(made_.c_str());
  made_.clear();
}

// ---------------------------------------------------------------------------
// Timing record

void TimingRecord::Add(char direction, std::chrono::steady_clock::time_point t, const uint8_t* data, size_t len) {
  const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
  events_.push_back({direction, ns, bytes_.size(), len});
  bytes_.insert(bytes_.end(), data, data + len);
}

bool TimingRecord::Write(const std::string& path) const {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  static const char kHex[] = "0123456789ABCDEF";
  std::string line;
  for (const Event& e : events_) {
    line = std::string(1, e.direction) + " " + std::to_string(e.ns) + " ";
    for (size_t i = 0; i < e.length; ++i) {
      const uint8_t b = bytes_[e.offset + i];
      line += kHex[b >> 4];
      line += kHex[b & 0xF];
    }
    line += '\n';
    std::fputs(line.c_str(), f);
  }
  const bool ok = std::ferror(f) == 0;
  return std::fclose(f) == 0 && ok;
}

// ---------------------------------------------------------------------------
// Event loop

void SimServer::Schedule(std::vector<Chunk>&& chunks, Clock::time_point now) {
  Clock::time_point t = now;
  for (Chunk& c : chunks) {
    t += std::chrono::milliseconds(c.delayMs);
    // Output leaves in the order the module produced it, even when an earlier
    // answer is still waiting out a longer delay.
    const Clock::time_point due = std::max(t, lastDue_);
    lastDue_ = due;
    pending_.push_back({due, std::move(c.bytes), c.vanish});
  }
}

void SimServer::TakeDue(Clock::time_point now) {
  size_t taken = 0;
  for (; taken < pending_.size() && pending_[taken].due <= now; ++taken) {
    Pending& p = pending_[taken];
    if (p.vanish) {
      vanishing_ = true;
      continue;
    }
    // A burst starting on an idle line starts when it was due (a late
    // wake-up catches up), not at an old deadline; one following bytes still
    // on the line starts where they end.
    if (out_.empty() && p.due > PaceDeadline(paceCount_)) {
      paceBase_ = p.due;
      paceCount_ = 0;
    }
    out_.insert(out_.end(), p.bytes.begin(), p.bytes.end());
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(taken));
}

SimServer::Clock::time_point SimServer::Deadline(Clock::time_point base, uint64_t bytes) {
  // Rounded up, so that a byte found due by the clock is due by the count as well.
  const int64_t ns = (static_cast<int64_t>(bytes) * kNsPerBytes + kBaudRate - 1) / kBaudRate;
  return base + std::chrono::nanoseconds(ns);
}

// Bytes of a burst whose stop bit has ended by now.
static uint64_t BytesEnded(std::chrono::steady_clock::time_point base, std::chrono::steady_clock::time_point now) {
  if (now < base) return 0;
  const int64_t since = std::chrono::duration_cast<std::chrono::nanoseconds>(now - base).count();
  return static_cast<uint64_t>(since * kBaudRate / kNsPerBytes);
}

bool SimServer::WriteDue(Clock::time_point now) {
  if (out_.empty() || waitWritable_) return true;
  size_t n = out_.size();
  if (options_.pace) {
    // A byte goes to the console when its stop bit ends, as a UART hands it
    // over. Every byte whose deadline has passed goes now: a late wake-up
    // catches up instead of slowing the line down.
    const uint64_t due = BytesEnded(paceBase_, now);
    if (due <= paceCount_) return true;
    n = std::min<size_t>(n, static_cast<size_t>(due - paceCount_));
  }
  // Taken before the write: once the bytes are in, the console may run
  // before this process does again.
  const Clock::time_point sent = Clock::now();
  const ssize_t w = write(pty_.Master(), out_.data(), n);
  if (w < 0) {
    if (errno == EAGAIN || errno == EINTR) {
      waitWritable_ = errno == EAGAIN;
      return true;
    }
    return false;
  }
  Trace('>', out_.data(), static_cast<size_t>(w));
  if (!options_.timingPath.empty()) timing_.Add('>', sent, out_.data(), static_cast<size_t>(w));
  out_.erase(out_.begin(), out_.begin() + w);
  paceCount_ += static_cast<uint64_t>(w);
  return true;
}

// Bytes read from the console. Unpaced, the module has them at once; paced,
// the pty handed over in a moment what a real line carries for a byte time
// each, so they wait on the modelled line first.
void SimServer::Received(const uint8_t* data, size_t len, Clock::time_point now) {
  Trace('<', data, len);
  if (!options_.timingPath.empty()) timing_.Add('<', now, data, len);
  if (!options_.pace) {
    if (!options_.timingPath.empty()) timing_.Add('=', now, data, len);
    Schedule(model_.Receive(data, len), now);
    return;
  }
  // On an idle line the burst starts as it is read; otherwise it queues
  // behind the bytes still crossing.
  if (in_.empty() && now > Deadline(rxBase_, rxCount_)) {
    rxBase_ = now;
    rxCount_ = 0;
  }
  in_.insert(in_.end(), data, data + len);
}

void SimServer::DeliverDue(Clock::time_point now) {
  if (in_.empty()) return;
  const uint64_t ended = BytesEnded(rxBase_, now);
  size_t n = 0;
  // One byte at a time, each at its own deadline: what the module sends in
  // reply is timed from the byte that caused it, however late we woke.
  for (; n < in_.size() && rxCount_ < ended; ++n) {
    ++rxCount_;
    Schedule(model_.Receive(&in_[n], 1), Deadline(rxBase_, rxCount_));
  }
  if (n == 0) return;
  if (!options_.timingPath.empty()) timing_.Add('=', Deadline(rxBase_, rxCount_), in_.data(), n);
  in_.erase(in_.begin(), in_.begin() + static_cast<long>(n));
}

// Closing the master hangs the slave up, and the hang-up throws away input the
// console has not read. A real module's last bytes would still have crossed
// the wire, so wait (a little) until the console has read them. Written bytes
// reach the slave's queue a moment after write(), through a kernel worker that
// a busy machine can hold up for milliseconds: one quiet look proves nothing,
// a quiet spell does.
void SimServer::LetTheConsoleRead() const {
  const Clock::time_point limit = Clock::now() + kVanishDrainLimit;
  Clock::time_point quietSince = Clock::now();
  while (Clock::now() < limit) {
    if (pty_.Unread() != 0)
      quietSince = Clock::now();
    else if (Clock::now() - quietSince >= kVanishQuiet)
      return;
    poll(nullptr, 0, static_cast<int>(kVanishDrainPoll.count()));
  }
}

void SimServer::Trace(char direction, const uint8_t* data, size_t len) const {
  if (!options_.verbose || len == 0) return;
  std::string line(1, direction);
  char hex[4];
  for (size_t i = 0; i < len; ++i) {
    std::snprintf(hex, sizeof hex, " %02X", data[i]);
    line += hex;
  }
  std::fprintf(stderr, "%s\n", line.c_str());
}

std::string SimServer::Command(const std::string& line) {
  const size_t start = line.find_first_not_of(" \t\r");
  if (start == std::string::npos) return "";
  const size_t end = line.find_last_not_of(" \t\r");
  const std::string cmd = line.substr(start, end - start + 1);
  if (cmd == "quit") {
    quit_ = true;
    return "ok";
  }
  if (cmd == "help") {
    return "commands: status | fault NAME [ARG] | fault clear | cassette N KEY VALUE | reject-rate PERMILLE | "
           "sequence N | dump-flash PATH | quit";
  }
  const std::string dump = "dump-flash ";
  if (cmd.rfind(dump, 0) == 0) {
    const std::string path = cmd.substr(dump.size());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    const std::vector<uint8_t>& flash = model_.Flash();
    f.write(reinterpret_cast<const char*>(flash.data()), static_cast<std::streamsize>(flash.size()));
    f.close();
    if (!f) return "error: cannot write " + path;
    return "ok";
  }
  return model_.Control(cmd);
}

bool InForeground(int fd) {
  const pid_t group = tcgetpgrp(fd);
  return group >= 0 && group == getpgrp();
}

bool SimServer::ReadCommands(CommandSource& source, FILE* replies) {
  char buf[512];
  const ssize_t n = read(source.fd, buf, sizeof buf);
  if (n == 0) return false;
  if (n < 0) {
    // EIO: a terminal that is no longer ours (sent to the background between
    // the look and the read, or hung up); the next look tells which.
    return errno == EAGAIN || errno == EINTR || (errno == EIO && source.terminal);
  }
  source.text.append(buf, static_cast<size_t>(n));
  for (size_t eol; (eol = source.text.find('\n')) != std::string::npos;) {
    const std::string line = source.text.substr(0, eol);
    source.text.erase(0, eol + 1);
    if (source.dropping) {
      source.dropping = false;
      continue;
    }
    const std::string reply = Command(line);
    if (!reply.empty()) {
      std::fprintf(replies, "%s\n", reply.c_str());
      std::fflush(replies);
    }
  }
  // No command is this long: a flood without line ends is thrown away up to
  // its line end.
  if (source.text.size() > kMaxCommandLine) {
    source.text.clear();
    if (!source.dropping) {
      source.dropping = true;
      std::fprintf(replies, "error: a command line longer than %zu bytes, dropped\n", kMaxCommandLine);
      std::fflush(replies);
    }
  }
  return true;
}

SimServer::End SimServer::Run(std::vector<CommandSource> sources, int stopFd, FILE* replies) {
  uint8_t buf[512];
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (!vanishing_) DeliverDue(now);
    TakeDue(now);
    if (!WriteDue(now)) return End::LineError;
    if (vanishing_ && out_.empty()) {
      LetTheConsoleRead();
      return End::Vanished;
    }
    if (quit_) return End::Quit;

    // Sleep until the next chunk is due or the next paced byte may go.
    std::optional<Clock::time_point> wake;
    if (!pending_.empty()) wake = pending_.front().due;
    if (!out_.empty() && !waitWritable_) {
      const Clock::time_point byteDue = options_.pace ? PaceDeadline(paceCount_ + 1) : now;
      wake = wake ? std::min(*wake, byteDue) : byteDue;
    }
    if (!in_.empty() && !vanishing_) {
      const Clock::time_point byteIn = Deadline(rxBase_, rxCount_ + 1);
      wake = wake ? std::min(*wake, byteIn) : byteIn;
    }

    std::vector<pollfd> fds = {{pty_.Master(), static_cast<short>(POLLIN | (waitWritable_ ? POLLOUT : 0)), 0},
                               {stopFd, POLLIN, 0}};
    std::vector<CommandSource*> polled;
    for (CommandSource& c : sources) {
      if (c.fd < 0) continue;
      if (c.terminal && !InForeground(c.fd)) {
        if (tcgetpgrp(c.fd) < 0) {  // not (or no longer) this process's terminal
          c.fd = -1;
          continue;
        }
        // A job brought to the foreground (fg) gets no signal: look again soon.
        const Clock::time_point look = now + kTerminalLook;
        wake = wake ? std::min(*wake, look) : look;
        continue;
      }
      fds.push_back({c.fd, POLLIN, 0});
      polled.push_back(&c);
    }
    timespec ts{};
    if (wake) {
      const auto ns = std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(*wake - now).count());
      ts.tv_sec = static_cast<time_t>(ns / 1000000000);
      ts.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    if (ppoll(fds.data(), fds.size(), wake ? &ts : nullptr, nullptr) < 0) {
      if (errno == EINTR) continue;
      return End::LineError;
    }
    if (fds[1].revents != 0) return End::Stopped;

    if (fds[0].revents & POLLOUT) waitWritable_ = false;
    if (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) {
      const ssize_t n = read(pty_.Master(), buf, sizeof buf);
      if (n > 0 && !vanishing_) {
        Received(buf, static_cast<size_t>(n), Clock::now());
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        return End::LineError;
      }
    }

    for (size_t i = 0; i < polled.size(); ++i) {
      CommandSource& c = *polled[i];
      if (fds[2 + i].revents == 0) continue;
      if (!ReadCommands(c, replies)) c.fd = -1;  // no more commands from it
    }
  }
}

}  // namespace qeld::sim
