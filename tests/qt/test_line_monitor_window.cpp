// The line monitor's window beside the real console window (Qt, offscreen),
// connected to qeld-sim: opened by Ctrl+M, it lists a dispense run with a
// repeated request, a NAK and the module's resend, noise and a device error;
// pauses, saves, clears and closes. Saves a picture of itself to the build
// folder.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QAction>
#include <QHeaderView>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>

#include "app/ConsoleDialog.h"
#include "qt/QtLineMonitor.h"
#include "qt/QtWindow.h"
#include "pty/SimProcess.h"

using namespace qeld;
using qeld::test::SimProcess;

namespace {

constexpr int kGuardMs = 20000;  // only keeps a broken run from hanging the suite

// Answers the next message box with OK and returns its text.
std::string CloseNextBox() {
  std::string text;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      text = box->text().toStdString();
      box->accept();
    }
  });
  poll.start(10);
  (void)QTest::qWaitFor([&] { return !text.empty(); }, kGuardMs);
  return text;
}

struct Shown {
  std::string meaning, error;
  QColor background;
};

std::vector<Shown> Rows(LineMonitorModel* model) {
  std::vector<Shown> rows;
  for (int r = 0; r < model->rowCount(); ++r) {
    Shown s;
    s.meaning = model->index(r, kColMeaning).data().toString().toStdString();
    s.error = model->index(r, kColError).data().toString().toStdString();
    s.background = model->index(r, kColMeaning).data(Qt::BackgroundRole).value<QColor>();
    rows.push_back(s);
  }
  return rows;
}

int Count(const std::vector<Shown>& rows, const std::string& meaning) {
  int n = 0;
  for (const Shown& s : rows) n += s.meaning == meaning;
  return n;
}

}  // namespace

TEST(LineMonitorWindow, ListsADispenseRunAgainstTheSimulator) {
  SimProcess sim(1, {"--fast"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  QtWindow wnd(ClientWidth(), ClientHeight());
  ConsoleDialog d(wnd);
  d.InitConsole();
  wnd.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&wnd));
  wnd.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&wnd));

  // The item sits in the menu that holds the about item; closed by default.
  QAction* item = wnd.LineMonitorAction();
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->text(), "&Line monitor");
  EXPECT_EQ(item->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_M));
  QMenu* menu = nullptr;
  for (QMenu* m : wnd.findChild<QMenuBar*>()->findChildren<QMenu*>())
    if (m->actions().contains(item)) menu = m;
  ASSERT_NE(menu, nullptr);
  bool aboutThere = false;
  for (QAction* a : menu->actions()) aboutThere = aboutThere || a->shortcut() == QKeySequence(Qt::Key_F1);
  EXPECT_TRUE(aboutThere);
  EXPECT_EQ(wnd.LineMonitorWidget(), nullptr);
  EXPECT_FALSE(d.m_Monitor.Enabled());

  QTest::keyClick(&wnd, Qt::Key_M, Qt::ControlModifier);
  LineMonitorWindow* mon = wnd.LineMonitorWidget();
  ASSERT_NE(mon, nullptr);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(mon));
  EXPECT_EQ(mon->windowTitle(), "Line monitor");
  EXPECT_TRUE(d.m_Monitor.Enabled());
  EXPECT_TRUE(item->isChecked());
  LineMonitorModel* model = mon->Model();

  // Connect, then a run of three dispenses with a lost request, a corrupted
  // answer and noise before every answer.
  QTest::keyClick(wnd.ControlWidget(ctl::kPortCombo), Qt::Key_Return);
  ASSERT_TRUE(QTest::qWaitFor([&] { return d.m_nRxState == 0 && d.m_strFrame.size() > 3 && d.m_strFrame[3] == 'g'; },
                              kGuardMs));
  for (const char* fault : {"fault drop-ack 1", "fault corrupt-bcc 1", "fault noise 4"})
    ASSERT_FALSE(sim.Command(fault).empty()) << fault;
  wnd.SetText(ctl::kRequest[0], "2");
  wnd.SetText(ctl::kRequest[2], "1");
  wnd.SetText(ctl::kRepeat, "3");
  wnd.SetText(ctl::kWait, "1");
  QWidget* dispense = wnd.ControlWidget(1001);
  QTest::mouseClick(dispense, Qt::LeftButton, {}, dispense->rect().center());
  ASSERT_TRUE(QTest::qWaitFor([&] { return d.m_bBusy == 0; }, kGuardMs));
  EXPECT_EQ(wnd.GetText(ctl::kStatusLine), "COM1 connected");
  ASSERT_FALSE(sim.Command("fault noise 0").empty());

  // A sensor check that the module answers with a device error.
  ASSERT_FALSE(sim.Command("fault error 1").empty());
  QWidget* check = wnd.ControlWidget(1006);
  QTest::mouseClick(check, Qt::LeftButton, {}, check->rect().center());
  EXPECT_EQ(CloseNextBox(), "JAM CHK to SONAR");
  ASSERT_TRUE(QTest::qWaitFor([&] { return d.m_bBusy == 0; }, kGuardMs));

  mon->CatchUp();
  std::vector<Shown> rows = Rows(model);
  EXPECT_EQ(rows.front().meaning, "OPEN COM1");
  EXPECT_EQ(Count(rows, "'g' Sequence query"), 1);
  EXPECT_EQ(Count(rows, "'g' sequence number"), 1);
  EXPECT_EQ(Count(rows, "'R' Dispense"), 3);
  EXPECT_EQ(Count(rows, "'R' Dispense [retransmission]"), 1);
  EXPECT_EQ(Count(rows, "'R' dispense counts"), 3) << "the corrupted answer and two more";
  EXPECT_EQ(Count(rows, "'R' dispense counts [retransmission]"), 1) << "sent again after the NAK";
  EXPECT_EQ(Count(rows, "NAK: bad BCC, send it again"), 1);
  EXPECT_EQ(Count(rows, "noise: 4 bytes outside a frame"), 3) << "before each answer to a new request";
  int errors = 0, highlighted = 0;
  for (const Shown& s : rows) {
    errors += s.error == "01 JAM CHK to SONAR";
    if (s.meaning.find("[retransmission]") != std::string::npos || s.meaning.rfind("NAK", 0) == 0) {
      ++highlighted;
      EXPECT_TRUE(s.background.isValid()) << s.meaning;
      EXPECT_NE(s.background, model->index(1, kColMeaning).data(Qt::BackgroundRole).value<QColor>()) << s.meaning;
    }
  }
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(highlighted, 3);

  // A picture for the eye, with every row in view.
  mon->resize(1360, 40 + (model->rowCount() + 3) * mon->Table()->verticalHeader()->defaultSectionSize());
  mon->Table()->scrollToTop();
  QApplication::processEvents();
  const QString png = QStringLiteral(QELD_BUILD_DIR "/line-monitor.png");
  ASSERT_TRUE(mon->grab().save(png));
  EXPECT_GT(std::filesystem::file_size(png.toStdString()), 10000u);

  // Paused, the table stands still while recording goes on; resumed, it catches up.
  const int before = model->rowCount();
  mon->SetPaused(true);
  ASSERT_FALSE(sim.Command("fault error 1").empty());
  QTest::mouseClick(check, Qt::LeftButton, {}, check->rect().center());
  EXPECT_EQ(CloseNextBox(), "JAM CHK to SONAR");
  ASSERT_TRUE(QTest::qWaitFor([&] { return d.m_bBusy == 0; }, kGuardMs));
  mon->CatchUp();
  EXPECT_EQ(model->rowCount(), before);
  QLabel* counter = nullptr;
  for (QLabel* l : mon->findChildren<QLabel*>())
    if (l->text().contains("paused")) counter = l;
  ASSERT_NE(counter, nullptr);
  EXPECT_EQ(counter->text().toStdString(), std::to_string(before) + " rows, paused: 4 new");
  mon->SetPaused(false);
  EXPECT_EQ(model->rowCount(), before + 4);

  // Saved: a title line and a line per row.
  QSignalSpy saved(mon, &LineMonitorWindow::saveFinished);
  const std::string txt = QELD_BUILD_DIR "/line-monitor.txt";
  mon->SaveTo(QString::fromStdString(txt));
  ASSERT_TRUE(saved.wait(kGuardMs));
  EXPECT_TRUE(saved.at(0).at(0).toBool()) << saved.at(0).at(1).toString().toStdString();
  std::ifstream in(txt);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), static_cast<size_t>(model->rowCount()) + 1);
  EXPECT_EQ(lines[0], "Clock\tTime\tDirection\tHex\tCharacters\tMeaning\tBCC\tDevice error");
  ASSERT_GT(lines[1].size(), 12u);
  EXPECT_EQ(lines[1].substr(12), "\t0:00:00.000\t\t\t\tOPEN COM1\t\t") << "after the local time, hh:mm:ss.mmm";
  EXPECT_EQ(lines[1].substr(2, 1) + lines[1].substr(5, 1) + lines[1].substr(8, 1), "::.");
  // On screen too the clock stands first, beside the time since OPEN.
  EXPECT_EQ(mon->Table()->horizontalHeader()->visualIndex(kColClock), 0);
  EXPECT_EQ(mon->Table()->horizontalHeader()->visualIndex(kColTime), 1);

  // Filtered: the table shows fewer rows, the model keeps them all.
  const int all = model->rowCount();
  mon->SetFilter(MonitorFilter::Direction::Both, "g");
  EXPECT_EQ(mon->Shown()->rowCount(), 2) << "the sequence query and its answer";
  mon->SetFilter(MonitorFilter::Direction::FromModule, "");
  ASSERT_GT(mon->Shown()->rowCount(), 0);
  EXPECT_LT(mon->Shown()->rowCount(), all);
  for (int r = 0; r < mon->Shown()->rowCount(); ++r) {
    const QString dir = mon->Shown()->index(r, kColDirection).data().toString();
    EXPECT_TRUE(dir == "from module" || r == 0) << r << " " << dir.toStdString();
  }
  EXPECT_EQ(model->rowCount(), all);

  // Recorded while filtered: every row goes to the file as it comes; the
  // file is named in the window while it records.
  const QString record = QStringLiteral(QELD_BUILD_DIR "/line-monitor-record.txt");
  ASSERT_TRUE(mon->RecordTo(record));
  EXPECT_TRUE(mon->RecordingText().contains(record)) << mon->RecordingText().toStdString();
  ASSERT_FALSE(sim.Command("fault error 1").empty());
  QTest::mouseClick(check, Qt::LeftButton, {}, check->rect().center());
  EXPECT_EQ(CloseNextBox(), "JAM CHK to SONAR");
  ASSERT_TRUE(QTest::qWaitFor([&] { return d.m_bBusy == 0 && d.m_nRxState == 0; }, kGuardMs));
  mon->CatchUp();
  EXPECT_EQ(model->rowCount(), all + 4);
  EXPECT_TRUE(mon->RecordingText().endsWith("(4 rows)")) << mon->RecordingText().toStdString();
  std::vector<std::string> recorded;
  {
    std::ifstream rin(record.toStdString());
    for (std::string l; std::getline(rin, l);) recorded.push_back(l);
  }
  ASSERT_EQ(recorded.size(), 5u) << "a title line and the four rows of the check";
  EXPECT_EQ(recorded[0], lines[0]);
  EXPECT_NE(recorded[1].find("to module"), std::string::npos);
  mon->SetFilter(MonitorFilter::Direction::Both, "");
  EXPECT_EQ(mon->Shown()->rowCount(), all + 4);

  mon->ClearRows();
  EXPECT_EQ(model->rowCount(), 0);

  // Ctrl+M again closes it; the taps are inert then, and the recording ends.
  EXPECT_TRUE(d.m_Monitor.Recording());
  mon->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(mon));
  QTest::keyClick(mon, Qt::Key_M, Qt::ControlModifier);
  EXPECT_FALSE(mon->isVisible());
  EXPECT_FALSE(d.m_Monitor.Enabled());
  EXPECT_FALSE(d.m_Monitor.Recording());
  EXPECT_FALSE(item->isChecked());
  QTest::mouseClick(check, Qt::LeftButton, {}, check->rect().center());
  ASSERT_TRUE(QTest::qWaitFor([&] { return d.m_bBusy == 0 && d.m_nRxState == 0; }, kGuardMs));
  EXPECT_EQ(d.m_Monitor.RowCount(), 0u);
}

// The table's model announces every change the way Qt's item views rely on
// (the model tester checks each one), through the cap, open rows, pauses
// and clears.
TEST(LineMonitorModel, EveryChangeIsAnnouncedConsistently) {
  LineMonitor monitor(6);
  monitor.SetEnabled(true);
  LineMonitorModel model(monitor);
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  auto feed = [&](LineDir dir, std::vector<uint8_t> bytes) {
    monitor.Record(dir, 0, bytes.data(), static_cast<int>(bytes.size()));
  };
  const std::vector<uint8_t> g = {EOT, '0', STX, 'g', ETX, 0x52};
  feed(LineDir::ToModule, g);
  feed(LineDir::FromModule, {ACK, SOH, '0'});
  EXPECT_TRUE(model.CatchUp());
  EXPECT_EQ(model.rowCount(), 3) << "two rows and the frame still arriving";
  EXPECT_FALSE(model.CatchUp()) << "nothing new";
  feed(LineDir::FromModule, {STX, 'g', ' ', '!', ETX, 0x56});
  for (int i = 0; i < 9; ++i) feed(LineDir::ToModule, {ACK});
  EXPECT_TRUE(model.CatchUp());
  ASSERT_EQ(model.rowCount(), 6);
  for (int r = 0; r < 6; ++r) EXPECT_EQ(model.index(r, kColMeaning).data().toString(), "ACK: response accepted");
  feed(LineDir::FromModule, {0x7F});
  monitor.Clear();
  EXPECT_TRUE(model.CatchUp());
  EXPECT_EQ(model.rowCount(), 1);
  EXPECT_EQ(model.index(0, kColMeaning).data().toString(), "noise: 1 byte outside a frame");
}
