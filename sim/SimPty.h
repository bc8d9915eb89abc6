// qeld-sim's line: a pseudo-terminal whose slave side stands for the module's
// serial port, the COMn link through which the console finds it, and the
// single-threaded event loop that carries bytes between the line and the model.
#pragma once
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "SimModule.h"

namespace qeld::sim {

class SimPty {
 public:
  SimPty() = default;
  ~SimPty() { Close(); }
  SimPty(const SimPty&) = delete;
  SimPty& operator=(const SimPty&) = delete;

  // Opens the pair and gives it the module's line settings. The slave stays
  // open here too: without it the master reads EIO whenever no console holds
  // the port, and the console could not close and reopen it.
  bool Open(std::string* error);
  void Close();
  // Bytes written to the master that the console has not read yet.
  int Unread() const;
  int Master() const { return master_; }
  const std::string& SlavePath() const { return slavePath_; }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

// Where the console looks for port N: $HOME/.qeld/dosdevices/comN.
std::string ComLinkPath(int com);

// The link comN -> pty slave, removed again only while it still points there
// (another simulator may have taken the port over meanwhile).
class ComLink {
 public:
  ComLink() = default;
  ~ComLink() { Remove(); }
  ComLink(const ComLink&) = delete;
  ComLink& operator=(const ComLink&) = delete;

  bool Create(int com, const std::string& target, std::string* error);
  void Remove();
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  std::string target_;
};

// The control FIFO: line commands from any program of this user, e.g.
// echo "fault error 0x54" > PATH. Made with mode 0600 unless this user's
// FIFO is already there; a FIFO it made is removed again at the end.
class ControlFifo {
 public:
  ControlFifo() = default;
  ~ControlFifo() { Close(); }
  ControlFifo(const ControlFifo&) = delete;
  ControlFifo& operator=(const ControlFifo&) = delete;

  bool Open(const std::string& path, std::string* error);
  void Close();
  int Fd() const { return read_; }

 private:
  int read_ = -1;
  // Held open so that a writer closing its end is no end of the commands.
  int write_ = -1;
  std::string made_;
  unsigned long long inode_ = 0;
};

struct ServerOptions {
  // Model the line at the module's 9600 baud 8E1 in both directions: a byte
  // written reaches the console when its stop bit ends, and a byte from the
  // console reaches the module one byte time after the line is free for it.
  bool pace = false;
  bool verbose = false;  // trace the line's bytes on stderr
  // With a path: keep a timing record of every byte crossing the line and
  // write it there when the server ends (see TimingRecord).
  std::string timingPath;
};

// When bytes crossed the line, kept in memory while the server runs so that
// recording costs no I/O in the middle of an exchange. One line per event:
//   "> T HEX"  bytes written to the console; T just before the write
//   "< T HEX"  bytes read from the console; T just after the read returned
//   "= T HEX"  bytes handed to the module; T the end of the last one's stop bit
//              on the modelled line (with pacing), else the time they were read
// T is CLOCK_MONOTONIC in nanoseconds; HEX two digits per byte, no blanks.
class TimingRecord {
 public:
  void Add(char direction, std::chrono::steady_clock::time_point t, const uint8_t* data, size_t len);
  bool Write(const std::string& path) const;

 private:
  struct Event {
    char direction;
    int64_t ns;
    size_t offset, length;
  };
  std::vector<Event> events_;
  std::vector<uint8_t> bytes_;
};

// Where line commands come from: standard input or a control FIFO.
struct CommandSource {
  int fd = -1;
  // A terminal is read only while this process is in its foreground: a
  // simulator started with "&" in an interactive shell leaves the shell's
  // input alone (reading it would stop the simulator with SIGTTIN).
  bool terminal = false;
  std::string text;  // read, not yet a whole line
  bool dropping = false;  // the rest of an overlong line is thrown away
};

// A terminal that names this process's group as its foreground one.
bool InForeground(int fd);

class SimServer {
 public:
  enum class End { Stopped, Quit, Vanished, LineError };

  SimServer(SimModule& model, SimPty& pty, const ServerOptions& options)
      : model_(model), pty_(pty), options_(options) {}

  // Serves the line and the line commands read from the sources (replies go
  // to replies, one line each) until stopFd becomes readable, "quit", the
  // vanish fault or a failing line. A source that ends is dropped; the line
  // goes on being served.
  End Run(std::vector<CommandSource> sources, int stopFd, FILE* replies);

  // One line command; returns its reply line (empty for an empty line).
  std::string Command(const std::string& line);

  // The timing record so far (empty unless ServerOptions::timingPath is set).
  const TimingRecord& Timing() const { return timing_; }

 private:
  using Clock = std::chrono::steady_clock;
  struct Pending {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
    bool vanish = false;
  };

  void Schedule(std::vector<Chunk>&& chunks, Clock::time_point now);
  void TakeDue(Clock::time_point now);
  bool WriteDue(Clock::time_point now);  // false when the line failed
  void Received(const uint8_t* data, size_t len, Clock::time_point now);
  void DeliverDue(Clock::time_point now);
  static Clock::time_point Deadline(Clock::time_point base, uint64_t bytes);
  Clock::time_point PaceDeadline(uint64_t byte) const { return Deadline(paceBase_, byte); }
  void LetTheConsoleRead() const;
  void Trace(char direction, const uint8_t* data, size_t len) const;
  // Reads what the source has; false when it has ended.
  bool ReadCommands(CommandSource& source, FILE* replies);

  SimModule& model_;
  SimPty& pty_;
  ServerOptions options_;

  std::vector<Pending> pending_;  // in due order
  Clock::time_point lastDue_{};
  std::vector<uint8_t> out_;      // bytes due, not yet taken by the pty
  bool waitWritable_ = false;
  bool vanishing_ = false;
  bool quit_ = false;

  // Pacing by absolute deadlines: byte k of a burst (from 0) ends, and is
  // written, at paceBase_ + (k + 1) byte times.
  Clock::time_point paceBase_{};
  uint64_t paceCount_ = 0;

  // The console's direction, paced the same way: byte k of a burst reaches
  // the module at rxBase_ + (k + 1) byte times; rxCount_ bytes of it have.
  std::vector<uint8_t> in_;  // read from the pty, still on the modelled line
  Clock::time_point rxBase_{};
  uint64_t rxCount_ = 0;

  TimingRecord timing_;
};

}  // namespace qeld::sim
