// The line monitor: rows cut from both directions of the line, their texts,
// the retransmission marks, the row cap, the list view's catch-up steps, the
// saved file, and that the console's wire is the same with it open or closed.
#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ConsoleHarness.h"
#include "monitor/LineMonitor.h"
#include "responses/ResponseTable.h"

using namespace qeld;
using namespace qeld::test;

namespace {

constexpr LineDir kTo = LineDir::ToModule;
constexpr LineDir kFrom = LineDir::FromModule;

// A request frame: EOT, '0', STX, letter, body, ETX, BCC.
Bytes Request(const std::string& letterAndBody) {
  Bytes f = {EOT, '0', STX};
  for (char ch : letterAndBody) f.push_back(static_cast<uint8_t>(ch));
  f.push_back(ETX);
  f.push_back(Bcc(f.data(), static_cast<int>(f.size())));
  return f;
}

Bytes WithLastByte(Bytes b, uint8_t last) {
  b.back() = last;
  return b;
}

struct Piece {
  LineDir dir;
  int64_t atMs;  // since OPEN
  Bytes bytes;
};

using Cols = std::array<std::string, kColumnCount>;

// A monitor opened at 1000 ms on the clock, OPEN at that time.
struct Monitor {
  LineMonitor m;
  explicit Monitor(size_t maxRows = LineMonitor::kMaxRows) : m(maxRows) {
    m.SetEnabled(true);
    m.Restart(1000, "COM1");
  }
  void Feed(LineDir dir, int64_t atMs, const Bytes& b) {
    m.Record(dir, 1000 + atMs, b.data(), static_cast<int>(b.size()));
  }
  void Feed(const std::vector<Piece>& pieces) {
    for (const Piece& p : pieces) Feed(p.dir, p.atMs, p.bytes);
  }
  // The finished rows after the OPEN row.
  std::vector<MonitorRow> Rows() const {
    std::vector<MonitorRow> rows;
    for (size_t i = 0; i < m.RowCount(); ++i)
      if (m.Row(i).kind != RowKind::Open) rows.push_back(m.Row(i));
    return rows;
  }
  std::vector<Cols> Texts() const {
    std::vector<Cols> texts;
    for (const MonitorRow& r : Rows()) {
      Cols c;
      for (int i = 0; i < kColumnCount; ++i) c[i] = LineMonitor::ColumnText(r, i);
      texts.push_back(c);
    }
    return texts;
  }
};

struct FormatCase {
  const char* name;
  std::vector<Piece> pieces;
  std::vector<Cols> rows;  // time, direction, hex, characters, meaning, BCC, device error; "*" unchecked
};

// A body of spaces with the error byte at its frame position.
std::string ErrBody(int errorPos, int errorByte, int length = 23) {
  std::string b(length, ' ');
  b[errorPos - 4] = static_cast<char>(errorByte);
  return b;
}

}  // namespace

TEST(LineMonitor, RowTextsForEachKindOfTraffic) {
  const Bytes dispense = B({0x04, 0x30, 0x02, 0x52, 0x21, 0x20, 0x20, 0x20, 0x20, 0x20, 0x21, 0x03, 0x47});
  const Bytes status = B({0x01, 0x30, 0x02, 0x50, 0x20, 0x03, 0x40});
  const Bytes lastStat = Response('U', ErrBody(5, 0x21, 25));
  const FormatCase cases[] = {
      {"good request",
       {{kTo, 5, dispense}},
       {{"0:00:00.005", "to module", "04 30 02 52 21 20 20 20 20 20 21 03 47", "<EOT>0<STX>R!     !<ETX>G",
         "'R' Dispense", "ok", ""}}},
      {"request of the q family, named by its sub-command",
       {{kTo, 0, Request("q\"   ")}},
       {{"0:00:00.000", "to module", "04 30 02 71 22 20 20 20 03 46", "<EOT>0<STX>q\"   <ETX>F",
         "'q' '\"' Motor speed", "ok", ""}}},
      {"request letter the console never sends", {{kTo, 0, Request("x")}},
       {{"0:00:00.000", "to module", "04 30 02 78 03 4D", "<EOT>0<STX>x<ETX>M", "'x' unknown request", "ok", ""}}},
      {"good response, no device error",
       {{kFrom, 61234, status}},
       {{"0:01:01.234", "from module", "01 30 02 50 20 03 40", "<SOH>0<STX>P <ETX>@", "'P' sensor status", "ok",
         ""}}},
      {"bad BCC",
       {{kFrom, 0, WithLastByte(status, 0x41)}},
       {{"0:00:00.000", "from module", "01 30 02 50 20 03 41", "<SOH>0<STX>P <ETX>A", "'P' sensor status",
         "BAD: 41, should be 40", ""}}},
      {"log data carries no usable BCC",
       {{kFrom, 0, WithLastByte(Response('~', "ab"), 0x99)}},
       {{"0:00:00.000", "from module", "01 30 02 7E 61 62 03 99", "<SOH>0<STX>~ab<ETX><99>", "'~' log data",
         "not checked (log data)", ""}}},
      {"device error at position 4",
       {{kFrom, 0, Response('R', ErrBody(4, 0x21))}},
       {{"0:00:00.000", "from module", "*", "*", "'R' dispense counts", "ok",
         "01 JAM CHK to SONAR"}}},
      {"device error of U at position 5",
       {{kFrom, 0, lastStat}},
       {{"0:00:00.000", "from module", "*", "*", "'U' last dispense", "ok", "01 JAM CHK to SONAR"}}},
      {"error byte at 4 of U is not an error", {{kFrom, 0, Response('U', ErrBody(4, 0x21, 25))}},
       {{"0:00:00.000", "from module", "*", "*", "'U' last dispense", "ok", ""}}},
      {"codes beyond the table, and the one text with a tab",
       {{kFrom, 0, Response('P', ErrBody(4, 0xAD, 19))}, {kFrom, 1, Response('s', ErrBody(4, 0x34, 10))}},
       {{"0:00:00.000", "from module", "*", "*", "'P' sensor status", "ok", "8d Unknown Error Code"},
        {"0:00:00.001", "from module", "*", "*", "'s' firmware block written", "ok",
         "14 Dispensed over the request note"}}},
      {"diagnostics answer named by its sub-letter",
       {{kFrom, 0, Response('q', " \"0123")}},
       {{"0:00:00.000", "from module", "*", "*", "'q' '\"' motor speed", "ok", ""}}},
      {"undefined response letter", {{kFrom, 0, Response('E', "")}},
       {{"0:00:00.000", "from module", "01 30 02 45 03 75", "<SOH>0<STX>E<ETX>u", "'E' undefined response", "ok",
         ""}}},
      {"ACK and NAK each way",
       {{kFrom, 10, {ACK}}, {kTo, 20, {ACK}}, {kTo, 30, {NAK}}, {kFrom, 40, {NAK}}},
       {{"0:00:00.010", "from module", "06", "<ACK>", "ACK: request received", "", ""},
        {"0:00:00.020", "to module", "06", "<ACK>", "ACK: response accepted", "", ""},
        {"0:00:00.030", "to module", "15", "<NAK>", "NAK: bad BCC, send it again", "", ""},
        {"0:00:00.040", "from module", "15", "<NAK>", "NAK from the module", "", ""}}},
      {"noise, then a frame in the same delivery",
       {{kFrom, 7, B({0x55, 0xAA, 0x00, 0x01, 0x30, 0x02, 0x50, 0x20, 0x03, 0x40})}},
       {{"0:00:00.007", "from module", "55 AA 00", "U<AA><00>", "noise: 3 bytes outside a frame", "", ""},
        {"0:00:00.007", "from module", "01 30 02 50 20 03 40", "<SOH>0<STX>P <ETX>@", "'P' sensor status", "ok",
         ""}}},
      {"a frame split over three deliveries is one row, timed by its first byte",
       {{kFrom, 100, B({0x01, 0x30})}, {kFrom, 150, B({0x02, 0x50, 0x20, 0x03})}, {kFrom, 300, B({0x40})}},
       {{"0:00:00.100", "from module", "01 30 02 50 20 03 40", "<SOH>0<STX>P <ETX>@", "'P' sensor status", "ok",
         ""}}},
      {"ACK and the start of the response in one delivery",
       {{kFrom, 3, B({0x06, 0x01, 0x30, 0x02})}, {kFrom, 9, B({0x50, 0x20, 0x03, 0x40})}},
       {{"0:00:00.003", "from module", "06", "<ACK>", "ACK: request received", "", ""},
        {"0:00:00.003", "from module", "01 30 02 50 20 03 40", "<SOH>0<STX>P <ETX>@", "'P' sensor status", "ok",
         ""}}},
      {"an ACK byte inside a frame is body",
       {{kFrom, 0, Response('q', std::string("  ") + static_cast<char>(ACK))}},
       {{"0:00:00.000", "from module", "01 30 02 71 20 20 06 03 47", "<SOH>0<STX>q  <ACK><ETX>G",
         "'q' ' ' diverter test done", "ok", ""}}},
  };
  for (const FormatCase& tc : cases) {
    SCOPED_TRACE(tc.name);
    Monitor mon;
    mon.Feed(tc.pieces);
    const std::vector<Cols> got = mon.Texts();
    ASSERT_EQ(got.size(), tc.rows.size());
    for (size_t r = 0; r < got.size(); ++r)
      for (int c = 0; c < kColumnCount; ++c) {
        if (tc.rows[r][c] == "*") continue;  // long frames: checked by meaning, BCC and error
        EXPECT_EQ(got[r][c], tc.rows[r][c]) << "row " << r << ", column " << LineMonitor::ColumnTitle(c);
      }
    EXPECT_TRUE(mon.m.OpenRows().empty());
  }
}

TEST(LineMonitor, RowsStandOutByKind) {
  Monitor mon;
  const Bytes status = B({0x01, 0x30, 0x02, 0x50, 0x20, 0x03, 0x40});
  mon.Feed(kFrom, 0, status);
  mon.Feed(kFrom, 1, WithLastByte(status, 0x41));
  mon.Feed(kTo, 2, {NAK});
  mon.Feed(kFrom, 3, Response('R', ErrBody(4, 0x21)));
  mon.Feed(kFrom, 4, B({0x55}));
  mon.Feed(kTo, 5, {ACK});
  std::vector<RowMark> marks;
  for (const MonitorRow& r : mon.Rows()) marks.push_back(LineMonitor::Mark(r));
  // The response after the NAK is the module's retransmission.
  EXPECT_EQ(marks, (std::vector<RowMark>{RowMark::None, RowMark::BadBcc, RowMark::Nak, RowMark::Retransmission,
                                         RowMark::Irregular, RowMark::None}));
}

TEST(LineMonitor, RetransmissionsAreMarked) {
  const Bytes g = Request("g");
  const Bytes p = Request("P");
  const Bytes answer = Response('P', std::string(19, ' '));
  struct Case {
    const char* name;
    std::vector<Piece> pieces;
    std::vector<bool> marked;  // per row
  } cases[] = {
      {"the same request again without an ACK", {{kTo, 0, g}, {kTo, 1000, g}, {kTo, 2000, g}}, {false, true, true}},
      {"the same request after an ACK is a new one", {{kTo, 0, p}, {kFrom, 5, {ACK}}, {kTo, 9000, p}},
       {false, false, false}},
      {"the same request after the answer is a new one",
       {{kTo, 0, p}, {kFrom, 5, answer}, {kTo, 9, {ACK}}, {kTo, 9000, p}}, {false, false, false, false}},
      {"another request is not a repeat", {{kTo, 0, g}, {kTo, 1000, p}}, {false, false}},
      {"a late ACK after the repeat",
       {{kTo, 0, g}, {kTo, 1000, g}, {kFrom, 1200, {ACK}}, {kTo, 5000, g}}, {false, true, false, false}},
      {"noise from the module is not an answer", {{kTo, 0, g}, {kFrom, 500, B({0x7F})}, {kTo, 1000, g}},
       {false, false, true}},
      {"the response after the console's NAK",
       {{kTo, 0, p}, {kFrom, 5, {ACK}}, {kFrom, 9, WithLastByte(answer, 0)}, {kTo, 10, {NAK}}, {kFrom, 20, answer},
        {kTo, 21, {ACK}}, {kFrom, 30, answer}},
       {false, false, false, false, true, false, false}},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    Monitor mon;
    mon.Feed(tc.pieces);
    std::vector<bool> marked;
    for (const MonitorRow& r : mon.Rows()) marked.push_back(r.retransmission);
    EXPECT_EQ(marked, tc.marked);
  }
  Monitor mon;
  mon.Feed({{kTo, 0, g}, {kTo, 1000, g}});
  EXPECT_EQ(LineMonitor::ColumnText(mon.Rows()[1], kColMeaning), "'g' Sequence query [retransmission]");
}

TEST(LineMonitor, NoiseRunsAreBoundedAndEndWhenTheOtherSideSpeaks) {
  Monitor mon;
  mon.Feed(kFrom, 0, Bytes(LineMonitor::kMaxNoiseBytes + 3, 0x55));
  mon.Feed(kFrom, 10, Bytes(2, 0x55));  // the run goes on across deliveries
  ASSERT_EQ(mon.Rows().size(), 1u);
  ASSERT_EQ(mon.m.OpenRows().size(), 1u) << "the second run is still open";
  EXPECT_EQ(mon.m.OpenRows()[0].bytes.size(), 5u);
  mon.Feed(kTo, 20, {ACK});
  const auto rows = mon.Rows();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].bytes.size(), LineMonitor::kMaxNoiseBytes);
  EXPECT_EQ(rows[1].kind, RowKind::Noise);
  EXPECT_EQ(rows[1].bytes.size(), 5u);
  EXPECT_EQ(rows[1].atMs, 0);
  EXPECT_EQ(rows[2].kind, RowKind::Ack);
}

TEST(LineMonitor, FramesThatNeverEnd) {
  Monitor mon;
  // No ETX: cut at the bound, then hunting again.
  Bytes runaway(LineMonitor::kMaxFrameBytes + 2, 0x41);
  runaway[0] = SOH;
  mon.Feed(kFrom, 0, runaway);
  auto rows = mon.Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].kind, RowKind::Incomplete);
  EXPECT_EQ(rows[0].bytes.size(), LineMonitor::kMaxFrameBytes);
  EXPECT_EQ(LineMonitor::ColumnText(rows[0], kColMeaning),
            "'A' undefined response [incomplete: no ETX within 4096 bytes]");
  EXPECT_EQ(LineMonitor::ColumnText(rows[0], kColBcc), "");
  ASSERT_EQ(mon.m.OpenRows().size(), 1u);
  EXPECT_EQ(mon.m.OpenRows()[0].kind, RowKind::Noise);

  // A frame in progress shows as an open row; OPEN cuts it.
  Monitor half;
  half.Feed(kFrom, 40, B({SOH, '0', STX, 'R', ' '}));
  ASSERT_EQ(half.m.OpenRows().size(), 1u);
  EXPECT_EQ(LineMonitor::ColumnText(half.m.OpenRows()[0], kColMeaning),
            "'R' dispense counts [incomplete: receiving]");
  half.m.Restart(5000, "COM2");
  rows = half.Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(LineMonitor::ColumnText(rows[0], kColMeaning), "'R' dispense counts [incomplete: port opened again]");
  EXPECT_EQ(rows[0].atMs, 40);
  EXPECT_TRUE(half.m.OpenRows().empty());
  const MonitorRow& open = half.m.Row(half.m.RowCount() - 1);
  EXPECT_EQ(open.kind, RowKind::Open);
  EXPECT_EQ(LineMonitor::ColumnText(open, kColMeaning), "OPEN COM2");
  EXPECT_EQ(LineMonitor::ColumnText(open, kColTime), "0:00:00.000");
  half.m.Record(kTo, 5250, Request("g").data(), 6);
  EXPECT_EQ(half.m.Row(half.m.RowCount() - 1).atMs, 250) << "times count from the new OPEN";

  // Closing the monitor ends what is in progress.
  half.Feed(kFrom, 0, B({SOH, '0'}));
  half.m.SetEnabled(false);
  EXPECT_EQ(LineMonitor::ColumnText(half.m.Row(half.m.RowCount() - 1), kColMeaning),
            "frame without a letter [incomplete: monitor closed]");
}

TEST(LineMonitor, ClosedItRecordsNothing) {
  LineMonitor m;
  EXPECT_FALSE(m.Enabled());
  const Bytes g = Request("g");
  m.Restart(0, "COM1");
  m.Record(kTo, 1, g.data(), 6);
  m.Record(kFrom, 2, g.data(), 6);
  EXPECT_EQ(m.RowCount(), 0u);
  EXPECT_TRUE(m.OpenRows().empty());
  // Opened later, it does not take the first request it sees for a repeat of
  // one it missed.
  m.SetEnabled(true);
  m.Record(kTo, 3, g.data(), 6);
  m.SetEnabled(false);
  m.SetEnabled(true);
  m.Record(kTo, 4, g.data(), 6);
  ASSERT_EQ(m.RowCount(), 2u);
  EXPECT_FALSE(m.Row(1).retransmission);
}

TEST(LineMonitor, KeepsTheLast100000Rows) {
  LineMonitor m;
  m.SetEnabled(true);
  const Bytes acks(LineMonitor::kMaxRows + 10, ACK);
  m.Record(kFrom, 0, acks.data(), static_cast<int>(acks.size()));
  EXPECT_EQ(m.RowCount(), 100000u);
  EXPECT_EQ(m.FirstNumber(), 10u);
  EXPECT_EQ(m.EndNumber(), 100010u);
  EXPECT_EQ(m.ByNumber(9), nullptr);
  ASSERT_NE(m.ByNumber(10), nullptr);

  // Rows of long garbage are bounded by their bytes too.
  LineMonitor g;
  g.SetEnabled(true);
  Bytes frame(LineMonitor::kMaxFrameBytes, 'A');
  frame[0] = SOH;
  for (size_t i = 0; i < LineMonitor::kMaxBytes / frame.size() + 100; ++i)
    g.Record(kFrom, 0, frame.data(), static_cast<int>(frame.size()));
  EXPECT_LE(g.RowCount() * frame.size(), LineMonitor::kMaxBytes);
  EXPECT_GT(g.RowCount(), 1000u);
}

TEST(LineMonitor, ClearDropsFinishedRowsAndKeepsAFrameOnItsWay) {
  Monitor mon;
  mon.Feed(kTo, 0, Request("P"));
  mon.Feed(kFrom, 5, B({ACK, SOH, '0', STX}));
  const uint64_t end = mon.m.EndNumber();
  mon.m.Clear();
  EXPECT_EQ(mon.m.RowCount(), 0u);
  EXPECT_EQ(mon.m.FirstNumber(), end) << "numbers go on";
  mon.Feed(kFrom, 9, B({'P', ' ', ETX, 0x40}));
  ASSERT_EQ(mon.m.RowCount(), 1u);
  EXPECT_EQ(mon.m.Row(0).kind, RowKind::Frame);
  EXPECT_EQ(mon.m.Row(0).atMs, 5);
}

// Pausing the list leaves recording alone: nothing on the line is missed,
// the list just does not catch up until it is resumed. The view steps are
// what the list applies when it catches up.
TEST(MonitorView, CatchesUpWithTheMonitorStepByStep) {
  Monitor mon(5);
  MonitorView view;
  auto catchUp = [&] {
    std::vector<size_t> steps;
    steps.push_back(view.OpenCount());
    view.DropOpen();
    steps.push_back(view.GoneCount(mon.m));
    view.DropGone(mon.m);
    steps.push_back(view.NewCount(mon.m));
    view.TakeNew(mon.m);
    steps.push_back(view.NewOpenCount(mon.m));
    view.TakeOpen(mon.m);
    return steps;
  };
  auto shown = [&] {
    std::vector<MonitorRow> rows;
    for (size_t i = 0; i < view.Count(); ++i) rows.push_back(*view.Row(mon.m, i));
    return rows;
  };

  EXPECT_EQ(catchUp(), (std::vector<size_t>{0, 0, 1, 0}));  // the OPEN row
  mon.Feed(kTo, 1, Request("P"));
  mon.Feed(kFrom, 2, B({ACK, SOH, '0'}));
  EXPECT_EQ(catchUp(), (std::vector<size_t>{0, 0, 2, 1}));
  EXPECT_EQ(shown(), mon.m.Snapshot());
  EXPECT_FALSE(view.OpenChanged(mon.m));

  // Paused: the monitor records on and drops its oldest rows; the rows that
  // left are gaps in the list until it catches up.
  mon.Feed(kFrom, 3, B({STX, 'P', ETX, 0x57}));
  mon.Feed(kTo, 4, {ACK});
  mon.Feed(kTo, 5, Request("g"));
  EXPECT_TRUE(view.OpenChanged(mon.m));
  EXPECT_EQ(view.Row(mon.m, 0), nullptr) << "the OPEN row has left the monitor";
  EXPECT_EQ(view.Row(mon.m, 1)->kind, RowKind::Frame);
  EXPECT_EQ(catchUp(), (std::vector<size_t>{1, 1, 3, 0}));
  EXPECT_EQ(shown(), mon.m.Snapshot());

  // Far behind: rows that came and went while paused are skipped.
  for (int i = 0; i < 12; ++i) mon.Feed(kFrom, 10 + i, {ACK});
  EXPECT_EQ(catchUp(), (std::vector<size_t>{0, 5, 5, 0}));
  EXPECT_EQ(shown(), mon.m.Snapshot());

  mon.m.Clear();
  EXPECT_EQ(catchUp(), (std::vector<size_t>{0, 5, 0, 0}));
  EXPECT_EQ(view.Count(), 0u);
}

TEST(LineMonitor, SavedFileHasATitleLineAndOneTabSeparatedLinePerRow) {
  Monitor mon;
  mon.Feed(kTo, 12, Request("g"));
  mon.Feed(kFrom, 30, B({ACK, SOH, '0', STX, 'g', ' ', '!', ETX}));  // the BCC is still to come
  std::ostringstream out;
  LineMonitor::WriteRows(mon.m.Snapshot(), out);
  EXPECT_EQ(out.str(),
            "Time\tDirection\tHex\tCharacters\tMeaning\tBCC\tDevice error\n"
            "0:00:00.000\t\t\t\tOPEN COM1\t\t\n"
            "0:00:00.012\tto module\t04 30 02 67 03 52\t<EOT>0<STX>g<ETX>R\t'g' Sequence query\tok\t\n"
            "0:00:00.030\tfrom module\t06\t<ACK>\tACK: request received\t\t\n"
            "0:00:00.030\tfrom module\t01 30 02 67 20 21 03\t<SOH>0<STX>g !<ETX>\t'g' sequence number "
            "[incomplete: receiving]\t\t\n");

  const auto dir = std::filesystem::temp_directory_path() / "qeld-monitor-save";
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "line.txt").string();
  EXPECT_EQ(LineMonitor::SaveRows(mon.m.Snapshot(), path), "");
  {
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), out.str());
  }  // closed first: Windows removes no open file
  std::filesystem::remove_all(dir);

  const std::string bad = (dir / "no-such-folder" / "line.txt").string();
  EXPECT_EQ(LineMonitor::SaveRows(mon.m.Snapshot(), bad), "cannot create " + bad + ": No such file or directory");
}

TEST(LineMonitor, TimesRunInHoursMinutesSecondsAndMilliseconds) {
  EXPECT_EQ(LineMonitor::TimeText(0), "0:00:00.000");
  EXPECT_EQ(LineMonitor::TimeText(59999), "0:00:59.999");
  EXPECT_EQ(LineMonitor::TimeText(3600000LL * 27 + 61001), "27:01:01.001");
  EXPECT_EQ(LineMonitor::TimeText(-1500), "-0:00:01.500");
}

// The response table names the error byte's position for the monitor; the
// decoder has its own. Every letter, with '!' at 4 or at 5 only: a device
// error is reported exactly where the table says.
TEST(ResponseTable, ErrorPositionsAgreeWithTheDecoder) {
  Console c;
  c.Connect();
  for (int letter = 0; letter < 256; ++letter) {
    if (letter == ETX) continue;
    const ResponseDef* def = FindResponse(static_cast<uint8_t>(letter));
    for (int pos : {4, 5}) {
      std::string body(40, ' ');
      body[pos - 4] = '!';
      c.w.boxes.clear();
      c.d.m_bBusy = 0;
      c.d.m_nRxState = 0;
      c.Module(Response(static_cast<char>(letter), body));
      bool reported = false;
      for (const auto& box : c.w.boxes) reported = reported || box.caption == "Error = 01 ";
      EXPECT_EQ(reported, def && def->errorPos == pos) << "letter 0x" << std::hex << letter << " position " << pos;
    }
  }
}

// The monitor only observes: the same run, with the same faults, writes the
// same bytes at the same times with the monitor open or closed, and the
// monitor's rows hold exactly those bytes.
TEST(LineMonitor, TheWireIsTheSameWithTheMonitorOpenOrClosed) {
  struct Run {
    std::vector<TestLine::Sent> writes;
    std::vector<MonitorRow> rows;
    std::vector<std::string> boxes;
  };
  auto run = [](bool monitorOpen) {
    Console c;
    sim::SimModule module;
    module.SetSequence(7);
    c.line.sim = &module;
    c.d.m_Monitor.SetEnabled(monitorOpen);
    c.w.Click(ctl::kOpen);
    c.w.Advance(3000);
    auto& faults = module.FaultSettings();
    faults.dropAcks = 1;    // the console sends the request again
    faults.corruptBcc = 1;  // the console answers NAK, the module sends again
    faults.noise = 3;
    c.Type(ctl::kRequest[0], "2");
    c.Type(ctl::kRepeat, "3");
    c.Type(ctl::kWait, "1");
    c.w.Click(1001);
    c.w.Advance(60000);
    EXPECT_EQ(c.d.m_bBusy, 0);
    Run r{c.line.writes, c.d.m_Monitor.Snapshot(), {}};
    for (const auto& b : c.w.boxes) r.boxes.push_back(b.text);
    return r;
  };
  const Run closed = run(false);
  const Run open = run(true);
  ASSERT_EQ(open.writes.size(), closed.writes.size());
  for (size_t i = 0; i < open.writes.size(); ++i) {
    EXPECT_EQ(open.writes[i].at, closed.writes[i].at) << i;
    EXPECT_EQ(Hex(open.writes[i].bytes), Hex(closed.writes[i].bytes)) << i;
  }
  EXPECT_EQ(open.boxes, closed.boxes);
  EXPECT_TRUE(closed.rows.empty());

  std::string written, seen;
  for (const auto& w : open.writes) written.append(w.bytes.begin(), w.bytes.end());
  int retransmissions = 0, naks = 0, noise = 0, responses = 0;
  for (const MonitorRow& r : open.rows) {
    if (r.dir == kTo && r.kind != RowKind::Open) seen += r.bytes;
    retransmissions += r.retransmission;
    naks += r.dir == kTo && r.kind == RowKind::Nak;
    noise += r.kind == RowKind::Noise;
    responses += r.dir == kFrom && r.kind == RowKind::Frame && r.bytes[3] == 'R' && !r.retransmission;
    EXPECT_NE(r.kind, RowKind::Incomplete);
  }
  EXPECT_EQ(seen, written);
  EXPECT_EQ(retransmissions, 2) << "the repeated request and the response sent again";
  EXPECT_EQ(naks, 1);
  EXPECT_GE(noise, 3);
  EXPECT_EQ(responses, 3);
}
