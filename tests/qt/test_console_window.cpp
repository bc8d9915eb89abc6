// The real console window (Qt, offscreen) connected to qeld-sim.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include "app/ConsoleDialog.h"
#include "qt/QtWindow.h"
#include "pty/SimProcess.h"

using namespace qeld;
using qeld::test::SimProcess;

namespace {

// Answers the next message box with OK and returns its text.
std::string CloseNextBox(int timeoutMs = 5000) {
  std::string text;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      text = box->text().toStdString();
      box->accept();
    }
  });
  poll.start(10);
  (void)QTest::qWaitFor([&] { return !text.empty(); }, timeoutMs);
  return text;
}

}  // namespace

TEST(ConsoleWindow, EnterConnectsAndTheGoLoaderButtonShowsTheModulesAnswer) {
  SimProcess sim(1, {"--fast"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  QtWindow wnd(ClientWidth(), ClientHeight());
  ConsoleDialog d(wnd);
  d.InitConsole();
  wnd.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&wnd));
  EXPECT_EQ(wnd.GetText(ctl::kStatusLine), " Disconnected !!!");
  EXPECT_EQ(wnd.GetText(ctl::kPortCombo), "1");

  QTest::keyClick(wnd.ControlWidget(ctl::kPortCombo), Qt::Key_Return);
  ASSERT_TRUE(QTest::qWaitFor([&] {
    return d.m_nRxState == 0 && d.m_strFrame.size() > 3 && d.m_strFrame[3] == 'g';
  }, 5000));
  EXPECT_EQ(wnd.GetText(ctl::kStatusLine), "COM1 connected");
  EXPECT_EQ(d.m_nSequence, std::stoi(sim.Status()["seq"]));
  EXPECT_TRUE(wnd.IsEnabled(1170));

  QWidget* goLoader = wnd.ControlWidget(1170);
  ASSERT_NE(goLoader, nullptr);
  EXPECT_EQ(goLoader->geometry(), QRect(QPoint(36, 612), QPoint(97, 655)));
  QTest::mouseClick(goLoader, Qt::LeftButton, {}, goLoader->rect().center());
  EXPECT_EQ(d.m_cLastCommand, 'r');
  EXPECT_EQ(CloseNextBox(), "Go Loader O.K.!");
  EXPECT_EQ(sim.Status()["loader"], "1");
}
