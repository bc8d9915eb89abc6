#include "monitor/LineMonitor.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <ostream>
#include <sstream>

#include "commands/Commands.h"
#include "link/DeviceErrors.h"
#include "link/Frame.h"
#include "link/Protocol.h"
#include "responses/ResponseTable.h"
#include "os/Os.h"

namespace qeld {

namespace {

constexpr const char* kColumnTitles[kColumnCount] = {
    "Time", "Direction", "Hex", "Characters", "Meaning", "BCC", "Device error", "Clock",
};

// Shown and saved order: the wall clock beside the time since OPEN.
constexpr int kShownOrder[kColumnCount] = {
    kColClock, kColTime, kColDirection, kColHex, kColChars, kColMeaning, kColBcc, kColError,
};

int64_t SystemWallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

struct ControlName {
  uint8_t byte;
  const char* name;
};
constexpr ControlName kControlNames[] = {
    {SOH, "<SOH>"}, {STX, "<STX>"}, {ETX, "<ETX>"}, {EOT, "<EOT>"}, {ACK, "<ACK>"}, {NAK, "<NAK>"},
};

struct CutText {
  CutReason reason;
  const char* text;
};
constexpr CutText kCutTexts[] = {
    {CutReason::None, "cut off"},
    {CutReason::Receiving, "receiving"},
    {CutReason::TooLong, "no ETX within 4096 bytes"},
    {CutReason::Reopened, "port opened again"},
    {CutReason::MonitorClosed, "monitor closed"},
};

const char* CutReasonText(CutReason r) {
  for (const auto& c : kCutTexts)
    if (c.reason == r) return c.text;
  return "cut off";
}

const uint8_t* Data(const MonitorRow& row) { return reinterpret_cast<const uint8_t*>(row.bytes.data()); }
int Size(const MonitorRow& row) { return static_cast<int>(row.bytes.size()); }

// Where the body ends: the first ETX, or the end of the bytes when the frame
// stopped before one. Positions before it are the letter and the body.
int BodyEnd(const MonitorRow& row) {
  const auto pos = row.bytes.find(static_cast<char>(ETX));
  return pos == std::string::npos ? Size(row) : static_cast<int>(pos);
}

bool Has(const MonitorRow& row, int pos) { return pos < BodyEnd(row); }

std::string LetterText(uint8_t b) {
  if (b >= 0x20 && b < 0x7F) return Format("'%c'", b);
  return Format("0x%02X", b);
}

bool IsFrame(const MonitorRow& row) { return row.kind == RowKind::Frame || row.kind == RowKind::Incomplete; }

// The log data response carries no usable BCC; the console takes it unchecked.
bool UncheckedLogData(const MonitorRow& row) {
  return row.dir == LineDir::FromModule && Has(row, 3) && Data(row)[3] == '~';
}

bool BccBad(const MonitorRow& row) {
  return row.kind == RowKind::Frame && !UncheckedLogData(row) && Bcc(Data(row), Size(row)) != 0;
}

// The device error code a response reports, or -1.
int DeviceErrorCode(const MonitorRow& row) {
  if (row.dir != LineDir::FromModule || !IsFrame(row) || !Has(row, 3)) return -1;
  const ResponseDef* def = FindResponse(Data(row)[3]);
  if (!def || def->errorPos == 0 || !Has(row, def->errorPos)) return -1;
  const uint8_t b = Data(row)[def->errorPos];
  return b == kSpace ? -1 : ErrorCode(b);
}

std::string FrameMeaning(const MonitorRow& row) {
  if (!Has(row, 3)) return "frame without a letter";
  const uint8_t letter = Data(row)[3];
  std::string text = LetterText(letter);
  if (row.dir == LineDir::ToModule) {
    const char sub = Has(row, 4) ? static_cast<char>(Data(row)[4]) : 0;
    const CommandDef* def = FindCommandByLetter(static_cast<char>(letter), sub);
    if (def && def->sub) text += " " + LetterText(static_cast<uint8_t>(def->sub));
    text += def ? std::string(" ") + def->name : std::string(" unknown request");
  } else {
    const ResponseDef* def = FindResponse(letter);
    if (def && letter == 'q') {
      text += Has(row, 5) ? " " + LetterText(Data(row)[5]) + " " + DiagnosticsAnswer(Data(row)[5])
                          : std::string(" diagnostics");
    } else {
      text += def ? std::string(" ") + def->answers : std::string(" undefined response");
    }
  }
  return text;
}

std::string Meaning(const MonitorRow& row) {
  const bool toModule = row.dir == LineDir::ToModule;
  std::string text;
  switch (row.kind) {
    case RowKind::Frame:
      text = FrameMeaning(row);
      break;
    case RowKind::Incomplete:
      text = FrameMeaning(row) + " [incomplete: " + CutReasonText(row.cut) + "]";
      break;
    case RowKind::Ack:
      text = toModule ? "ACK: response accepted" : "ACK: request received";
      break;
    case RowKind::Nak:
      text = toModule ? "NAK: bad BCC, send it again" : "NAK from the module";
      break;
    case RowKind::Noise:
      text = Format("noise: %zu byte%s outside a frame", row.bytes.size(), row.bytes.size() == 1 ? "" : "s");
      break;
    case RowKind::Open:
      text = "OPEN " + row.bytes;
      break;
  }
  if (row.retransmission) text += " [retransmission]";
  return text;
}

std::string BccText(const MonitorRow& row) {
  if (row.kind != RowKind::Frame) return "";
  if (UncheckedLogData(row)) return "not checked (log data)";
  if (!BccBad(row)) return "ok";
  const int n = Size(row);
  return Format("BAD: %02X, should be %02X", Data(row)[n - 1], Bcc(Data(row), n - 1));
}

std::string ErrorText(const MonitorRow& row) {
  const int code = DeviceErrorCode(row);
  if (code < 0) return "";
  std::string text = Format("%02x %s", code, DeviceErrorText(static_cast<uint8_t>(code)));
  std::replace(text.begin(), text.end(), '\t', ' ');  // one text holds a tab; columns are tab-separated
  return text;
}

}  // namespace

// ---------------------------------------------------------------- recording

LineMonitor::~LineMonitor() = default;

void LineMonitor::SetWallClock(std::function<int64_t()> clock) { wallClock_ = std::move(clock); }

void LineMonitor::SetEnabled(bool on) {
  if (on == enabled_) return;
  if (!on) EndRuns(CutReason::MonitorClosed);
  enabled_ = on;
  // Whatever crossed while closed is unknown: no request is a repeat of one before.
  ForgetExchange();
}

void LineMonitor::Restart(int64_t nowMs, const std::string& port) {
  EndRuns(CutReason::Reopened);
  ForgetExchange();
  originMs_ = nowMs;
  if (!enabled_) return;
  MonitorRow row;
  row.kind = RowKind::Open;
  row.bytes = port;
  row.wallMs = wallClock_ ? wallClock_() : SystemWallMs();
  Append(std::move(row));
}

void LineMonitor::ForgetExchange() {
  lastRequest_.clear();
  moduleSpoke_ = false;
  nakSent_ = false;
}

void LineMonitor::Begin(Framer& f, LineDir dir, int64_t t, uint8_t b) {
  f.run = MonitorRow{};
  f.run.atMs = t;
  f.run.dir = dir;
  f.run.bytes.push_back(static_cast<char>(b));
}

void LineMonitor::Record(LineDir dir, int64_t nowMs, const uint8_t* data, int len) {
  if (!enabled_ || !data || len <= 0) return;
  const int64_t t = nowMs - originMs_;
  // One reading per delivery: every byte of it arrived at once.
  const int64_t wall = wallClock_ ? wallClock_() : SystemWallMs();
  const uint8_t start = dir == LineDir::ToModule ? EOT : SOH;
  Framer& f = FramerOf(dir);
  for (int i = 0; i < len; ++i) {
    const uint8_t b = data[i];
    switch (f.state) {
      case State::Frame:
        // No escaping and no length: the first ETX ends the body, as the
        // receivers on both ends read it; any other byte is body.
        f.run.bytes.push_back(static_cast<char>(b));
        if (b == ETX) {
          f.state = State::Check;
        } else if (f.run.bytes.size() >= kMaxFrameBytes) {
          EndRun(dir, CutReason::TooLong);
        }
        break;
      case State::Check:
        f.run.bytes.push_back(static_cast<char>(b));
        EndRun(dir, CutReason::None);
        break;
      case State::Idle:
      case State::Noise:
        if (b == start || b == ACK || b == NAK) {
          if (f.state == State::Noise) EndRun(dir, CutReason::None);
          if (b == start) {
            Begin(f, dir, t, b);
            f.run.wallMs = wall;
            f.state = State::Frame;
          } else {
            MonitorRow row;
            row.atMs = t;
            row.wallMs = wall;
            row.dir = dir;
            row.kind = b == ACK ? RowKind::Ack : RowKind::Nak;
            row.bytes.push_back(static_cast<char>(b));
            Append(std::move(row));
          }
        } else {
          if (f.state == State::Noise && f.run.bytes.size() >= kMaxNoiseBytes) EndRun(dir, CutReason::None);
          if (f.state == State::Idle) {
            Begin(f, dir, t, b);
            f.run.wallMs = wall;
            f.state = State::Noise;
          } else {
            f.run.bytes.push_back(static_cast<char>(b));
          }
        }
        break;
    }
  }
}

void LineMonitor::EndRun(LineDir dir, CutReason why) {
  Framer& f = FramerOf(dir);
  const State was = f.state;
  if (was == State::Idle) return;
  f.state = State::Idle;
  MonitorRow row = std::move(f.run);
  f.run = MonitorRow{};
  if (was == State::Noise) {
    row.kind = RowKind::Noise;
  } else if (was == State::Check && why == CutReason::None) {
    row.kind = RowKind::Frame;
  } else {
    row.kind = RowKind::Incomplete;
    row.cut = why;
  }
  Append(std::move(row));
}

void LineMonitor::EndRuns(CutReason why) {
  // Oldest first, so the rows keep the order of their first bytes.
  const bool toFirst = framers_[0].run.atMs <= framers_[1].run.atMs;
  EndRun(toFirst ? LineDir::ToModule : LineDir::FromModule, why);
  EndRun(toFirst ? LineDir::FromModule : LineDir::ToModule, why);
}

void LineMonitor::MarkRetransmission(MonitorRow& row) {
  if (row.dir == LineDir::ToModule) {
    if (row.kind == RowKind::Frame) {
      // The console repeats a request only when no ACK came for it.
      row.retransmission = !moduleSpoke_ && row.bytes == lastRequest_;
      lastRequest_ = row.bytes;
      moduleSpoke_ = false;
      nakSent_ = false;
    } else if (row.kind == RowKind::Nak) {
      nakSent_ = true;
    }
    return;
  }
  if (row.kind == RowKind::Ack || row.kind == RowKind::Frame) moduleSpoke_ = true;
  if (row.kind == RowKind::Frame) {
    // A frame after the console's NAK is the module sending it again.
    row.retransmission = nakSent_;
    nakSent_ = false;
  }
}

void LineMonitor::Append(MonitorRow row) {
  // A noise run of the other direction ends here, so the rows stay in the
  // order their bytes crossed.
  const LineDir other = row.dir == LineDir::ToModule ? LineDir::FromModule : LineDir::ToModule;
  if (row.kind != RowKind::Open && FramerOf(other).state == State::Noise) EndRun(other, CutReason::None);

  MarkRetransmission(row);
  if (record_) WriteRecord(RowLine(row) + '\n');
  bytes_ += row.bytes.size();
  rows_.push_back(std::move(row));
  while (rows_.size() > maxRows_ || (bytes_ > kMaxBytes && rows_.size() > 1)) {
    bytes_ -= rows_.front().bytes.size();
    rows_.pop_front();
    ++first_;
  }
}

std::vector<MonitorRow> LineMonitor::OpenRows() const {
  std::vector<MonitorRow> open;
  for (const Framer& f : framers_) {
    if (f.state == State::Idle) continue;
    MonitorRow row = f.run;
    row.kind = f.state == State::Noise ? RowKind::Noise : RowKind::Incomplete;
    row.cut = CutReason::Receiving;
    open.push_back(std::move(row));
  }
  if (open.size() == 2 && open[1].atMs < open[0].atMs) std::swap(open[0], open[1]);
  return open;
}

std::vector<MonitorRow> LineMonitor::Snapshot() const {
  std::vector<MonitorRow> all(rows_.begin(), rows_.end());
  for (MonitorRow& r : OpenRows()) all.push_back(std::move(r));
  return all;
}

void LineMonitor::Clear() {
  first_ += rows_.size();
  rows_.clear();
  bytes_ = 0;
}

std::string LineMonitor::StartRecording(const std::string& path) {
  std::FILE* f = OpenFile(path, "wb");
  if (!f) return "cannot create " + path + ": " + std::strerror(errno);
  std::ostringstream title;
  WriteRows({}, title);
  if (std::fputs(title.str().c_str(), f) == EOF || std::fflush(f) != 0) {
    const std::string why = "cannot write " + path + ": " + std::strerror(errno);
    std::fclose(f);
    return why;
  }
  record_.reset(f);
  recordPath_ = path;
  recordError_.clear();
  recordedRows_ = 0;
  return "";
}

void LineMonitor::StopRecording() {
  record_.reset();
  recordPath_.clear();
}

void LineMonitor::WriteRecord(const std::string& text) {
  // Flushed per row: the row is with the system once Append returns, and a
  // killed console loses none. A failed write (a full disk, a pulled stick)
  // ends the recording with its reason; the monitor itself goes on.
  if (std::fwrite(text.data(), 1, text.size(), record_.get()) != text.size() || std::fflush(record_.get()) != 0) {
    recordError_ = "cannot write " + recordPath_ + ": " + std::strerror(errno) + "; recording stopped";
    StopRecording();
    return;
  }
  ++recordedRows_;
}

// ---------------------------------------------------------------- text

std::string LineMonitor::TimeText(int64_t ms) {
  const char* sign = ms < 0 ? "-" : "";
  const uint64_t a = ms < 0 ? 0 - static_cast<uint64_t>(ms) : static_cast<uint64_t>(ms);
  return Format("%s%llu:%02llu:%02llu.%03llu", sign, static_cast<unsigned long long>(a / 3600000),
                static_cast<unsigned long long>(a / 60000 % 60), static_cast<unsigned long long>(a / 1000 % 60),
                static_cast<unsigned long long>(a % 1000));
}

std::string LineMonitor::HexText(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(bytes.size() * 3);
  for (char c : bytes) {
    const auto b = static_cast<uint8_t>(c);
    if (!s.empty()) s.push_back(' ');
    s.push_back(kDigits[b >> 4]);
    s.push_back(kDigits[b & 0xF]);
  }
  return s;
}

std::string LineMonitor::CharText(const std::string& bytes) {
  std::string s;
  s.reserve(bytes.size());
  for (char c : bytes) {
    const auto b = static_cast<uint8_t>(c);
    const auto* named = std::find_if(std::begin(kControlNames), std::end(kControlNames),
                                     [b](const ControlName& n) { return n.byte == b; });
    if (named != std::end(kControlNames)) {
      s += named->name;
    } else if (b >= 0x20 && b < 0x7F) {
      s.push_back(c);
    } else {
      s += Format("<%02X>", b);  // other control bytes and bytes above 0x7E, which no font shows alike
    }
  }
  return s;
}

std::string LineMonitor::ClockText(int64_t wallMs) {
  if (wallMs == 0) return "";
  const int64_t ms = wallMs % 1000 < 0 ? wallMs % 1000 + 1000 : wallMs % 1000;
  const std::time_t secs = static_cast<std::time_t>((wallMs - ms) / 1000);
  std::tm tm{};
  if (!LocalTime(secs, tm)) return "";
  return Format("%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
}

int LineMonitor::ShownColumn(int position) {
  return position >= 0 && position < kColumnCount ? kShownOrder[position] : -1;
}

bool MonitorFilter::Empty() const {
  return dir == Direction::Both && text.find_first_not_of(" \t") == std::string::npos;
}

bool LineMonitor::Matches(const MonitorRow& row, const MonitorFilter& f) {
  // The OPEN rows belong to both directions: they mark where a connection began.
  if (row.kind != RowKind::Open) {
    if (f.dir == MonitorFilter::Direction::ToModule && row.dir != LineDir::ToModule) return false;
    if (f.dir == MonitorFilter::Direction::FromModule && row.dir != LineDir::FromModule) return false;
  }
  const size_t b = f.text.find_first_not_of(" \t");
  if (b == std::string::npos) return true;
  const size_t e = f.text.find_last_not_of(" \t");
  const std::string text = f.text.substr(b, e - b + 1);
  if (text.size() == 1) return IsFrame(row) && Has(row, 3) && row.bytes[3] == text[0];
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  const std::string needle = lower(text);
  for (int c = 0; c < kColumnCount; ++c)
    if (lower(ColumnText(row, c)).find(needle) != std::string::npos) return true;
  return false;
}

const char* LineMonitor::ColumnTitle(int column) {
  return column >= 0 && column < kColumnCount ? kColumnTitles[column] : "";
}

std::string LineMonitor::ColumnText(const MonitorRow& row, int column) {
  const bool open = row.kind == RowKind::Open;
  switch (column) {
    case kColTime:
      return TimeText(row.atMs);
    case kColDirection:
      return open ? "" : row.dir == LineDir::ToModule ? "to module" : "from module";
    case kColHex:
      return open ? "" : HexText(row.bytes);
    case kColChars:
      return open ? "" : CharText(row.bytes);
    case kColMeaning:
      return Meaning(row);
    case kColBcc:
      return BccText(row);
    case kColError:
      return ErrorText(row);
    case kColClock:
      return ClockText(row.wallMs);
    default:
      return "";
  }
}

RowMark LineMonitor::Mark(const MonitorRow& row) {
  if (row.kind == RowKind::Nak) return RowMark::Nak;
  if (row.retransmission) return RowMark::Retransmission;
  if (BccBad(row)) return RowMark::BadBcc;
  if (DeviceErrorCode(row) >= 0) return RowMark::DeviceError;
  if (row.kind == RowKind::Noise || row.kind == RowKind::Incomplete) return RowMark::Irregular;
  return RowMark::None;
}

std::string LineMonitor::RowLine(const MonitorRow& row) {
  std::string line;
  for (int p = 0; p < kColumnCount; ++p) {
    if (p) line.push_back('\t');
    line += ColumnText(row, ShownColumn(p));
  }
  return line;
}

void LineMonitor::WriteRows(const std::vector<MonitorRow>& rows, std::ostream& out) {
  for (int p = 0; p < kColumnCount; ++p) out << (p ? "\t" : "") << kColumnTitles[ShownColumn(p)];
  out << '\n';
  for (const MonitorRow& row : rows) out << RowLine(row) << '\n';
}

std::string LineMonitor::SaveRows(const std::vector<MonitorRow>& rows, const std::string& path) {
  std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
  if (!out) return "cannot create " + path + ": " + std::strerror(errno);
  WriteRows(rows, out);
  out.close();
  if (!out) return "cannot write " + path + ": " + std::strerror(errno);
  return "";
}

// ---------------------------------------------------------------- view

const MonitorRow* MonitorView::Row(const LineMonitor& m, size_t i) const {
  const auto finished = static_cast<size_t>(end_ - first_);
  if (i < finished) return m.ByNumber(first_ + i);
  i -= finished;
  return i < open_.size() ? &open_[i] : nullptr;
}

size_t MonitorView::GoneCount(const LineMonitor& m) const {
  return static_cast<size_t>(std::min(m.FirstNumber(), end_) - std::min(m.FirstNumber(), first_));
}

void MonitorView::DropGone(const LineMonitor& m) { first_ += GoneCount(m); }

size_t MonitorView::NewCount(const LineMonitor& m) const {
  return static_cast<size_t>(m.EndNumber() - std::max(end_, m.FirstNumber()));
}

void MonitorView::TakeNew(const LineMonitor& m) {
  // Rows that came and went again between two catch-ups are skipped.
  if (m.FirstNumber() > end_) first_ = end_ = m.FirstNumber();
  end_ = m.EndNumber();
}

}  // namespace qeld
