// The line monitor: every byte that crosses the serial line, both ways, cut
// into rows of one frame, one ACK or NAK, or one run of bytes outside any
// frame, each named from the command and response tables.
//
// It only observes. The console hands it copies of what it writes and of
// what the reader delivers, on the window's thread, before its own receiver
// sees them; the monitor has framers of its own, never writes, never blocks,
// and while it is closed each tap is one flag test.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace qeld {

enum class LineDir : uint8_t { ToModule, FromModule };

enum class RowKind : uint8_t {
  Frame,       // a whole frame, its BCC included
  Ack,         // the single byte ACK
  Nak,         // the single byte NAK
  Noise,       // a run of bytes outside any frame
  Incomplete,  // frame bytes that did not reach their BCC (or not yet)
  Open,        // OPEN: the port was (re)opened; times count from here
};

// Why an incomplete frame (or a noise run) ended, or that it is still arriving.
enum class CutReason : uint8_t { None, Receiving, TooLong, Reopened, MonitorClosed };

struct MonitorRow {
  int64_t atMs = 0;  // its first byte, in ms since OPEN
  LineDir dir = LineDir::ToModule;
  RowKind kind = RowKind::Frame;
  CutReason cut = CutReason::None;
  bool retransmission = false;  // the same request again before the module spoke, or a response after a NAK
  std::string bytes;            // as they crossed the line; for Open, the port's name
  int64_t wallMs = 0;           // wall-clock time of its first byte, ms since 1970 (UTC); 0 unknown

  bool operator==(const MonitorRow&) const = default;
};

// The columns of a row, in the order they are shown and saved.
enum MonitorColumn : int {
  kColTime,
  kColDirection,
  kColHex,
  kColChars,
  kColMeaning,
  kColBcc,
  kColError,
  kColClock,  // local wall-clock time; shown and saved beside kColTime (see ShownColumn)
  kColumnCount
};

// Which rows a list shows; recording and saving ignore it.
struct MonitorFilter {
  enum class Direction : uint8_t { Both, ToModule, FromModule };
  Direction dir = Direction::Both;
  // Blank: any row. One character (blanks around it ignored): the frames
  // whose command or response letter it is, case counting ('g' is not 'G').
  // Longer: the rows where it occurs in any column, case ignored.
  std::string text;

  bool Empty() const;
};

// How a row stands out in a list, strongest first.
enum class RowMark : uint8_t { None, Nak, Retransmission, BadBcc, DeviceError, Irregular };

class LineMonitor {
 public:
  static constexpr size_t kMaxRows = 100000;
  // A line streaming long garbage frames must not fill memory before the
  // row cap is reached either.
  static constexpr size_t kMaxBytes = size_t{32} << 20;
  static constexpr size_t kMaxFrameBytes = 4096;  // far beyond any real frame (the longest is 267)
  static constexpr size_t kMaxNoiseBytes = 32;    // per noise row

  explicit LineMonitor(size_t maxRows = kMaxRows) : maxRows_(maxRows ? maxRows : 1) {}
  LineMonitor(const LineMonitor&) = delete;
  LineMonitor& operator=(const LineMonitor&) = delete;
  ~LineMonitor();

  // The wall clock rows are stamped with (ms since 1970, UTC); the system's
  // by default, a fixed one in tests.
  void SetWallClock(std::function<int64_t()> clock);

  // --- taps, on the window's thread ---
  bool Enabled() const { return enabled_; }
  // Opening starts afresh (nothing seen while closed is guessed at); closing
  // ends the runs in progress. The rows stay either way.
  void SetEnabled(bool on);
  void Record(LineDir dir, int64_t nowMs, const uint8_t* data, int len);
  // OPEN: times count from nowMs from now on. Runs of the previous opening
  // end here; an open monitor notes the OPEN as a row.
  void Restart(int64_t nowMs, const std::string& port);

  // --- rows, oldest first ---
  // Every row gets the next number; numbers are never reused, so a list can
  // tell which rows left the front (over the cap, or cleared) and which are new.
  uint64_t FirstNumber() const { return first_; }
  uint64_t EndNumber() const { return first_ + rows_.size(); }
  size_t RowCount() const { return rows_.size(); }
  const MonitorRow& Row(size_t i) const { return rows_[i]; }
  const MonitorRow* ByNumber(uint64_t n) const {
    return n >= first_ && n < EndNumber() ? &rows_[static_cast<size_t>(n - first_)] : nullptr;
  }
  // Frames and noise still arriving (at most one per direction), oldest first.
  std::vector<MonitorRow> OpenRows() const;
  // The finished rows, then the open ones: what a save writes.
  std::vector<MonitorRow> Snapshot() const;
  // Drops the finished rows; a frame still arriving stays on its way.
  void Clear();
  size_t MaxRows() const { return maxRows_; }

  // --- recording to a file ---
  // Every row finished from now on goes to the file as it arrives, in the
  // format of SaveRows (a title line first), flushed row by row, so that the
  // file holds every row up to the last one even when the program is killed.
  // Clear, Pause of a list and the row cap do not touch it. "" when the file
  // was created, otherwise why not (a recording under way goes on then).
  std::string StartRecording(const std::string& path);
  void StopRecording();
  bool Recording() const { return record_ != nullptr; }
  const std::string& RecordingPath() const { return recordPath_; }
  uint64_t RecordedRows() const { return recordedRows_; }
  // Why the last recording stopped on its own (a write failed); "" otherwise.
  const std::string& RecordingError() const { return recordError_; }

  // --- text of a row ---
  static const char* ColumnTitle(int column);
  static std::string ColumnText(const MonitorRow& row, int column);
  static RowMark Mark(const MonitorRow& row);
  // Every column, tab-separated (no column holds a tab or a line break).
  static std::string RowLine(const MonitorRow& row);
  // A title line, then one line per row.
  static void WriteRows(const std::vector<MonitorRow>& rows, std::ostream& out);
  // WriteRows into a new file; "" when written, otherwise why not.
  static std::string SaveRows(const std::vector<MonitorRow>& rows, const std::string& path);

  static std::string TimeText(int64_t ms);
  // Local time of day with milliseconds, "14:03:27.015"; "" for 0 (unknown).
  static std::string ClockText(int64_t wallMs);
  // The column shown and saved at position p (0 .. kColumnCount-1): the
  // wall clock first, beside the time since OPEN, then the others in order.
  static int ShownColumn(int position);
  // Whether a list filtered by f shows the row.
  static bool Matches(const MonitorRow& row, const MonitorFilter& f);
  static std::string HexText(const std::string& bytes);
  static std::string CharText(const std::string& bytes);

 private:
  enum class State : uint8_t { Idle, Noise, Frame, Check };
  struct Framer {
    State state = State::Idle;
    MonitorRow run;  // the frame or noise run in progress
  };

  Framer& FramerOf(LineDir dir) { return framers_[dir == LineDir::ToModule ? 0 : 1]; }
  void Begin(Framer& f, LineDir dir, int64_t t, uint8_t b);
  void EndRun(LineDir dir, CutReason why);
  void EndRuns(CutReason why);
  void Append(MonitorRow row);
  void MarkRetransmission(MonitorRow& row);
  void ForgetExchange();
  void WriteRecord(const std::string& text);

  bool enabled_ = false;
  std::function<int64_t()> wallClock_;
  int64_t originMs_ = 0;
  size_t maxRows_;
  std::deque<MonitorRow> rows_;
  uint64_t first_ = 0;  // number of rows_.front()
  size_t bytes_ = 0;    // line bytes held in rows_
  Framer framers_[2];

  // Retransmission: the last request, and what came since.
  std::string lastRequest_;
  bool moduleSpoke_ = false;  // an ACK or a frame from the module since the last request
  bool nakSent_ = false;      // the console's NAK since the last response

  struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, FileCloser> record_;
  std::string recordPath_;
  std::string recordError_;
  uint64_t recordedRows_ = 0;
};

// What a list shows of a monitor: the finished rows it has taken in, by
// number, then copies of the open rows. It changes only through the steps
// below, one at a time, so that a list widget can announce each change
// before it happens; between steps the monitor may go on recording.
class MonitorView {
 public:
  size_t Count() const { return static_cast<size_t>(end_ - first_) + open_.size(); }
  // Row i of the view; nullptr when it has left the monitor since it was
  // taken in (over the cap, or cleared).
  const MonitorRow* Row(const LineMonitor& m, size_t i) const;
  uint64_t EndNumber() const { return end_; }

  // Catching up, in this order. Each "...Count" says how many rows the next
  // step removes or adds, and where: the open rows are the last ones, the
  // rows that left the monitor the first ones.
  bool OpenChanged(const LineMonitor& m) const { return open_ != m.OpenRows(); }
  size_t OpenCount() const { return open_.size(); }
  void DropOpen() { open_.clear(); }
  size_t GoneCount(const LineMonitor& m) const;
  void DropGone(const LineMonitor& m);
  size_t NewCount(const LineMonitor& m) const;
  void TakeNew(const LineMonitor& m);
  size_t NewOpenCount(const LineMonitor& m) const { return m.OpenRows().size(); }
  void TakeOpen(const LineMonitor& m) { open_ = m.OpenRows(); }

 private:
  uint64_t first_ = 0, end_ = 0;  // numbers of the finished rows taken in
  std::vector<MonitorRow> open_;
};

}  // namespace qeld
