// The Qt window backend, driven through the window layer the console uses:
// controls from the console template, timers, cross-thread sends, modal boxes
// and keys. Runs offscreen; saves a picture of page 0 for the eye.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFontInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionFrame>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>
#include <QValidator>
#include <atomic>
#include <functional>
#include <thread>

#include "app/Controls.h"
#include "qt/QtWindow.h"

using namespace qeld;

namespace {

struct Recorder : WindowHandler {
  std::vector<int> commands;
  std::vector<int> timers;
  std::vector<std::pair<unsigned, WPARAM>> messages;
  std::vector<std::thread::id> messageThreads;
  int abouts = 0;
  std::function<void(int)> onCommand;
  std::function<void(int)> onTimer;

  void OnCommand(int id) override {
    commands.push_back(id);
    if (onCommand) onCommand(id);
  }
  void OnTimer(int id) override {
    timers.push_back(id);
    if (onTimer) onTimer(id);
  }
  LRESULT OnMessage(unsigned msg, WPARAM w, LPARAM) override {
    messages.emplace_back(msg, w);
    messageThreads.push_back(std::this_thread::get_id());
    return 0;
  }
  void OnAbout() override { ++abouts; }
};

// Runs the event loop until pred() holds. The guard only keeps a broken
// backend from hanging the suite; no test depends on how long anything takes.
bool SpinUntil(const std::function<bool()>& pred, int guardMs = 20000) {
  QEventLoop loop;
  bool timedOut = false;
  QTimer check;
  QObject::connect(&check, &QTimer::timeout, &loop, [&] {
    if (pred()) loop.quit();
  });
  check.start(1);
  QTimer::singleShot(guardMs, &loop, [&] {
    timedOut = true;
    loop.quit();
  });
  if (!pred()) loop.exec();
  return pred() && !timedOut;
}

// Acts on the next modal widget that opens (from inside its own loop).
class ModalActor : public QObject {
 public:
  explicit ModalActor(std::function<bool(QWidget*)> act) : act_(std::move(act)) {
    connect(&timer_, &QTimer::timeout, this, [this] {
      QWidget* w = QApplication::activeModalWidget();
      if (w && act_(w)) timer_.stop();
    });
    timer_.start(1);
  }

 private:
  std::function<bool(QWidget*)> act_;
  QTimer timer_;
};

void Key(QWidget* target, int key, const QString& text = QString()) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
  QCoreApplication::sendEvent(target, &press);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
  QCoreApplication::sendEvent(target, &release);
}

void TypeText(QWidget* target, const QString& text) {
  for (QChar ch : text) Key(target, ch.toUpper().unicode(), QString(ch));
}

std::vector<const PageLayoutEntry*> PageRows() {
  std::vector<const PageLayoutEntry*> rows;
  for (const PageLayoutEntry* e = PageLayoutTable; e->page != kEndPage; ++e) rows.push_back(e);
  return rows;
}

QRect QRectOf(const PageLayoutEntry* e) { return QRect(e->left, e->top, e->right - e->left, e->bottom - e->top); }

class QtWindowTest : public ::testing::Test {
 protected:
  QtWindowTest() : wnd(ClientWidth(), ClientHeight()) {
    wnd.SetHandler(&rec);
    wnd.CreateControls(ConsoleTemplate());
    wnd.AddTab(ctl::kTab, 0, "FUNCTION");
    wnd.SetTitle("QELD Ver 1.15 International (Apr 27 2012)");
  }

  // What the console's ShowPage does with each row of page 0.
  void ShowPageZero() {
    for (auto* e : PageRows()) {
      wnd.Show(e->id, true);
      wnd.SetText(e->id, e->caption);
      wnd.Move(e->id, Rect{e->left, e->top, e->right, e->bottom});
      wnd.Enable(e->id, e->operable != 0);
    }
  }

  template <class T>
  T* W(int id) {
    return qobject_cast<T*>(wnd.ControlWidget(id));
  }

  Recorder rec;
  QtWindow wnd;
};

}  // namespace

TEST_F(QtWindowTest, PageRowsBecomeWidgetsOfTheirKindAtTheirRectangles) {
  ShowPageZero();
  for (auto* e : PageRows()) {
    SCOPED_TRACE(e->id);
    QWidget* w = wnd.ControlWidget(e->id);
    ASSERT_NE(w, nullptr);
    const QString caption = QString::fromUtf8(e->caption);
    EXPECT_EQ(w->parentWidget(), wnd.Client());
    EXPECT_EQ(w->geometry(), QRectOf(e));
    EXPECT_EQ(wnd.GetRect(e->id), (Rect{e->left, e->top, e->right, e->bottom}));
    EXPECT_TRUE(wnd.IsVisible(e->id));
    EXPECT_EQ(wnd.IsEnabled(e->id), e->operable != 0);
    EXPECT_EQ(wnd.GetText(e->id), e->caption);
    switch (KindOf(e->id)) {
      case ControlKind::GroupBox:
        ASSERT_TRUE(qobject_cast<QGroupBox*>(w));
        EXPECT_EQ(qobject_cast<QGroupBox*>(w)->title(), caption);
        break;
      case ControlKind::Label:
        ASSERT_TRUE(qobject_cast<QLabel*>(w));
        EXPECT_EQ(qobject_cast<QLabel*>(w)->text(), caption);
        break;
      case ControlKind::PushButton:
        ASSERT_TRUE(qobject_cast<QPushButton*>(w));
        EXPECT_EQ(qobject_cast<QPushButton*>(w)->text(), caption);
        EXPECT_FALSE(qobject_cast<QPushButton*>(w)->isDefault());
        break;
      case ControlKind::RadioButton:
        ASSERT_TRUE(qobject_cast<QRadioButton*>(w));
        EXPECT_EQ(qobject_cast<QRadioButton*>(w)->text(), caption);
        break;
      case ControlKind::CheckBox:
        ASSERT_TRUE(qobject_cast<QCheckBox*>(w));
        EXPECT_EQ(qobject_cast<QCheckBox*>(w)->text(), caption);
        break;
      case ControlKind::Edit:
        if (e->id == ctl::kMessageArea) {
          ASSERT_TRUE(qobject_cast<QPlainTextEdit*>(w));
          EXPECT_EQ(qobject_cast<QPlainTextEdit*>(w)->toPlainText(), caption);
        } else {
          ASSERT_TRUE(qobject_cast<QLineEdit*>(w));
          EXPECT_EQ(qobject_cast<QLineEdit*>(w)->text(), caption);
        }
        break;
      case ControlKind::Progress:
        EXPECT_TRUE(qobject_cast<QProgressBar*>(w));
        break;
      default:
        ADD_FAILURE() << "unexpected kind";
    }
  }
  // Edit styles reach the widgets.
  EXPECT_EQ(W<QLineEdit>(1035)->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);
  EXPECT_EQ(W<QLineEdit>(1449)->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
  EXPECT_TRUE(W<QLineEdit>(1452)->isReadOnly());
  EXPECT_FALSE(W<QLineEdit>(7018)->isReadOnly());
  EXPECT_NE(W<QLineEdit>(1035)->validator(), nullptr);
  EXPECT_EQ(W<QLineEdit>(1086)->validator(), nullptr);
  EXPECT_EQ(W<QPlainTextEdit>(ctl::kMessageArea)->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
}

TEST_F(QtWindowTest, FixedControlsAreVisibleWhereTheTemplatePutsThem) {
  for (const auto& s : ConsoleTemplate()) {
    if (!s.visible) continue;
    SCOPED_TRACE(s.id);
    QWidget* w = wnd.ControlWidget(s.id);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(wnd.IsVisible(s.id));
    EXPECT_EQ(w->x(), s.rect.left);
    EXPECT_EQ(w->y(), s.rect.top);
    EXPECT_EQ(w->width(), s.rect.Width());
    if (s.kind == ControlKind::Combo) {
      EXPECT_LT(w->height(), s.rect.Height()) << "the closed combo is one line";
    } else {
      EXPECT_EQ(w->height(), s.rect.Height());
    }
  }
  EXPECT_TRUE(W<QPushButton>(ctl::kOpen)->isDefault());
  EXPECT_TRUE(W<QComboBox>(ctl::kPortCombo)->isEditable());
  EXPECT_TRUE(W<QLineEdit>(ctl::kStatusLine)->isReadOnly());
  ASSERT_NE(W<QTabWidget>(ctl::kTab), nullptr);
  EXPECT_EQ(W<QTabWidget>(ctl::kTab)->count(), 1);
  EXPECT_EQ(W<QTabWidget>(ctl::kTab)->tabText(0), "FUNCTION");
  // The tab row ends above the unit switch, the page's topmost controls.
  W<QTabWidget>(ctl::kTab)->tabBar()->adjustSize();
  EXPECT_LE(W<QTabWidget>(ctl::kTab)->y() + W<QTabWidget>(ctl::kTab)->tabBar()->height(), 39);
  EXPECT_EQ(wnd.Client()->size(), QSize(ClientWidth(), ClientHeight()));
  EXPECT_EQ(wnd.Title(), "QELD Ver 1.15 International (Apr 27 2012)");
  EXPECT_FALSE(wnd.windowIcon().isNull());
  // Page controls and the hidden fields start hidden.
  EXPECT_FALSE(wnd.IsVisible(1001));
  EXPECT_FALSE(wnd.IsVisible(1136));
}

TEST_F(QtWindowTest, ControlsAreOnTopOfTheirFramesAndTheTab) {
  ShowPageZero();
  wnd.show();
  for (auto* e : PageRows()) {
    if (KindOf(e->id) == ControlKind::GroupBox) continue;
    const QRect r = QRectOf(e);
    // The unit switch pair shares one pixel column; aim at each one's middle.
    QWidget* hit = wnd.Client()->childAt(r.center());
    QWidget* w = wnd.ControlWidget(e->id);
    EXPECT_TRUE(hit == w || (hit && w->isAncestorOf(hit))) << e->id << " is covered by "
                                                         << (hit ? hit->metaObject()->className() : "nothing");
  }
}

TEST_F(QtWindowTest, CaptionsFitTheirControls) {
  ShowPageZero();
  for (auto* e : PageRows()) {
    QWidget* w = wnd.ControlWidget(e->id);
    const QString text = QString::fromUtf8(e->caption);
    if (text.isEmpty()) continue;
    const int advance = w->fontMetrics().horizontalAdvance(text);
    int room = 0;
    if (auto* b = qobject_cast<QCheckBox*>(w)) {
      QStyleOptionButton opt;
      opt.initFrom(b);
      room = b->style()->subElementRect(QStyle::SE_CheckBoxContents, &opt, b).width();
    } else if (auto* r = qobject_cast<QRadioButton*>(w)) {
      QStyleOptionButton opt;
      opt.initFrom(r);
      room = r->style()->subElementRect(QStyle::SE_RadioButtonContents, &opt, r).width();
    } else if (qobject_cast<QPushButton*>(w)) {
      room = w->width() - 4;
    } else if (qobject_cast<QGroupBox*>(w)) {
      room = w->width() - 12;  // the title stands in the top line, 9 px from the left
    } else if (qobject_cast<QLabel*>(w)) {
      room = w->width();
    } else {
      continue;  // edit fields scroll; the progress bar shows no text
    }
    EXPECT_LE(advance, room) << e->id << " \"" << e->caption << "\" is clipped";
  }
  for (int id : {ctl::kPortLabel, ctl::kOpen, ctl::kAdminMode, ctl::kExit}) {
    QWidget* w = wnd.ControlWidget(id);
    EXPECT_LE(w->fontMetrics().horizontalAdvance(QString::fromUtf8(wnd.GetText(id))), w->width()) << id;
  }
  EXPECT_EQ(QFontInfo(wnd.font()).pixelSize(), 12);
}

TEST_F(QtWindowTest, TimersFireOnceEachInDueOrderAndCanBeReplacedOrKilled) {
  wnd.SetTimer(1, 30);
  wnd.SetTimer(2, 10);
  wnd.SetTimer(3, 5);
  wnd.SetTimer(3, 40);  // re-arming replaces the running timer
  wnd.SetTimer(4, 1);
  wnd.KillTimer(4);
  ASSERT_TRUE(SpinUntil([&] { return rec.timers.size() >= 3; }));
  // One more, later than all of them, proves none of the first ones repeats.
  wnd.SetTimer(9, 60);
  ASSERT_TRUE(SpinUntil([&] { return rec.timers.size() >= 4; }));
  EXPECT_EQ(rec.timers, (std::vector<int>{2, 1, 3, 9}));
}

TEST_F(QtWindowTest, ATimerReArmedByItsHandlerFiresAgain) {
  int ticks = 0;
  rec.onTimer = [&](int id) {
    wnd.KillTimer(id);  // what the console's dispatcher does first
    if (++ticks < 3) wnd.SetTimer(id, 1);
  };
  wnd.SetTimer(5, 1);
  ASSERT_TRUE(SpinUntil([&] { return ticks == 3; }));
  wnd.SetTimer(6, 20);
  ASSERT_TRUE(SpinUntil([&] { return rec.timers.size() == 4; }));
  EXPECT_EQ(rec.timers, (std::vector<int>{5, 5, 5, 6}));
}

TEST_F(QtWindowTest, SendFromAnotherThreadIsHandledOnTheGuiThreadInOrder) {
  SendGate gate;
  gate.Open();
  std::atomic<int> delivered{0};
  std::thread reader([&] {
    for (WPARAM i = 1; i <= 3; ++i) {
      wnd.PostMessage(1029, 100 + i, 0);
      if (wnd.SendFromThread(1025, i, 0, gate)) ++delivered;
    }
  });
  ASSERT_TRUE(SpinUntil([&] { return delivered == 3; }));
  reader.join();
  const std::vector<std::pair<unsigned, WPARAM>> expected = {{1029, 101}, {1025, 1}, {1029, 102},
                                                             {1025, 2},   {1029, 103}, {1025, 3}};
  EXPECT_EQ(rec.messages, expected);
  for (auto id : rec.messageThreads) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST_F(QtWindowTest, AMessageBoxKeepsServingTimersAndQueuedCalls) {
  SendGate gate;
  gate.Open();
  std::thread reader;
  QString seenText, seenTitle;
  QMessageBox::Icon seenIcon = QMessageBox::NoIcon;
  rec.onTimer = [&](int) {
    // A reader thread's send while the box is open must get through too.
    reader = std::thread([&] { wnd.SendFromThread(1025, 7, 0, gate); });
  };
  wnd.SetTimer(1, 1);
  ModalActor closer([&](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (!box || rec.messages.empty()) return false;
    seenText = box->text();
    seenTitle = box->windowTitle();
    seenIcon = box->icon();
    box->button(QMessageBox::Ok)->click();
    return true;
  });
  const int answer = wnd.MessageBox(" Error 21 !!! Run TimeOut ", "QELD TP", MB_OK | MB_ICONSTOP);
  if (reader.joinable()) reader.join();
  EXPECT_EQ(answer, IDOK);
  EXPECT_EQ(rec.timers, std::vector<int>{1});
  ASSERT_EQ(rec.messages.size(), 1u);
  EXPECT_EQ(seenText, " Error 21 !!! Run TimeOut ");
  EXPECT_EQ(seenTitle, "QELD TP");
  EXPECT_EQ(seenIcon, QMessageBox::Critical);
}

TEST_F(QtWindowTest, YesNoBoxesAnswerWithTheButtonChosen) {
  for (auto [button, expected] : {std::pair{QMessageBox::Yes, IDYES}, std::pair{QMessageBox::No, IDNO}}) {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    ModalActor chooser([&, b = button](QWidget* w) {
      auto* box = qobject_cast<QMessageBox*>(w);
      if (!box) return false;
      icon = box->icon();
      EXPECT_EQ(box->button(QMessageBox::Ok), nullptr);
      box->button(b)->click();
      return true;
    });
    EXPECT_EQ(wnd.MessageBox("Write?", "QELD TP", MB_YESNO | MB_ICONEXCLAMATION), expected);
    EXPECT_EQ(icon, QMessageBox::Warning);
  }
}

TEST_F(QtWindowTest, EnterIsOpenEscAndTheCloseBoxAreCancelAndButtonsReportTheirIds) {
  ShowPageZero();
  wnd.show();
  Key(W<QLineEdit>(1035), Qt::Key_Return);
  Key(W<QComboBox>(ctl::kPortCombo)->lineEdit(), Qt::Key_Enter);
  Key(W<QPlainTextEdit>(ctl::kMessageArea), Qt::Key_Return);
  Key(W<QCheckBox>(7013), Qt::Key_Return);
  Key(W<QPushButton>(1001), Qt::Key_Return);  // a focused button acts itself
  Key(W<QLineEdit>(1086), Qt::Key_Escape);
  wnd.close();
  EXPECT_EQ(rec.commands, (std::vector<int>{1, 1, 1, 1, 1001, 2, 2}));
  EXPECT_TRUE(wnd.isVisible()) << "closing is the console's decision";
  EXPECT_EQ(W<QPlainTextEdit>(ctl::kMessageArea)->toPlainText(), "") << "Enter typed nothing";

  rec.commands.clear();
  W<QPushButton>(1002)->click();
  W<QPushButton>(ctl::kOpen)->click();
  W<QPushButton>(ctl::kExit)->click();
  W<QPushButton>(1009)->click();  // disabled: no command
  W<QCheckBox>(7013)->click();    // check boxes are not commands
  EXPECT_EQ(rec.commands, (std::vector<int>{1002, 1, 2}));
}

TEST_F(QtWindowTest, RadiosAndCheckBoxesBehaveLikeAutomaticOnes) {
  ShowPageZero();
  // From code, each radio is set on its own, as on the original platform.
  wnd.SetCheck(1043, 1);
  wnd.SetCheck(7023, 1);
  EXPECT_EQ(wnd.GetCheck(1043), 1);
  EXPECT_EQ(wnd.GetCheck(7023), 1);
  wnd.SetCheck(1043, 0);
  EXPECT_EQ(wnd.GetCheck(1043), 0) << "a checked radio can be cleared from code";
  wnd.SetCheck(1043, 1);
  // A click checks one and clears the others of its group only.
  W<QRadioButton>(1045)->click();
  EXPECT_EQ(wnd.GetCheck(1043), 0);
  EXPECT_EQ(wnd.GetCheck(1045), 1);
  EXPECT_EQ(wnd.GetCheck(7023), 1) << "the unit switch is another group";
  W<QRadioButton>(1045)->click();
  EXPECT_EQ(wnd.GetCheck(1045), 1) << "clicking the checked radio keeps it checked";
  W<QRadioButton>(7022)->click();
  EXPECT_EQ(wnd.GetCheck(7022), 1);
  EXPECT_EQ(wnd.GetCheck(7023), 0);
  EXPECT_EQ(wnd.GetCheck(1045), 1);

  // Check boxes: 0, 1, 2, and a click toggles between checked and unchecked.
  for (int state : {1, 2, 0}) {
    wnd.SetCheck(1046, state);
    EXPECT_EQ(wnd.GetCheck(1046), state);
  }
  wnd.SetCheck(7013, 2);
  W<QCheckBox>(7013)->click();
  EXPECT_EQ(wnd.GetCheck(7013), 1);
  W<QCheckBox>(7013)->click();
  EXPECT_EQ(wnd.GetCheck(7013), 0);
}

TEST_F(QtWindowTest, TextsComeBackAsSetAndTheMessageAreaShowsItsEnd) {
  ShowPageZero();
  const std::string version = "QL1234 05-04-2012\r\n";
  wnd.SetText(1449, version);
  EXPECT_EQ(wnd.GetText(1449), version);
  EXPECT_EQ(W<QLineEdit>(1449)->text(), "QL1234 05-04-2012");
  const std::string raw = "A\xB0\xFF";  // bytes from the line that are not UTF-8
  wnd.SetText(1201, raw);
  EXPECT_EQ(wnd.GetText(1201), raw);

  std::string lines;
  for (int i = 0; i < 40; ++i) lines += " Error " + std::to_string(i) + " !!!\r\n";
  wnd.SetText(ctl::kMessageArea, lines);
  EXPECT_EQ(wnd.GetText(ctl::kMessageArea), lines);
  auto* area = W<QPlainTextEdit>(ctl::kMessageArea);
  EXPECT_FALSE(area->toPlainText().contains('\r'));
  wnd.show();
  QCoreApplication::processEvents();
  QScrollBar* bar = area->verticalScrollBar();
  EXPECT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());

  // What the operator types is what the console reads.
  auto* edit = W<QLineEdit>(1086);
  edit->setFocus();
  TypeText(edit, "12");
  EXPECT_EQ(wnd.GetText(1086), "12");
  area->appendPlainText("typed");
  EXPECT_EQ(wnd.GetText(ctl::kMessageArea).substr(wnd.GetText(ctl::kMessageArea).size() - 7), "\r\ntyped");
}

// The console writes every field back several times per request; a write of
// what a control already shows does nothing, but one over what the operator
// changed since must still win.
TEST_F(QtWindowTest, AWriteBackOverridesWhatTheOperatorChangedAndLeavesTheRestAlone) {
  ShowPageZero();
  wnd.SetText(1086, "5");
  W<QLineEdit>(1086)->end(false);  // a set text leaves the caret at its start
  TypeText(W<QLineEdit>(1086), "12");
  ASSERT_EQ(wnd.GetText(1086), "512");
  wnd.SetText(1086, "5");
  EXPECT_EQ(W<QLineEdit>(1086)->text(), "5");
  EXPECT_EQ(wnd.GetText(1086), "5");

  wnd.SetText(ctl::kMessageArea, "one\r\n");
  W<QPlainTextEdit>(ctl::kMessageArea)->appendPlainText("typed");
  wnd.SetText(ctl::kMessageArea, "one\r\n");
  EXPECT_EQ(W<QPlainTextEdit>(ctl::kMessageArea)->toPlainText(), "one\n");

  auto* port = W<QComboBox>(ctl::kPortCombo);
  wnd.SetText(ctl::kPortCombo, "1");
  port->lineEdit()->selectAll();
  wnd.SetText(ctl::kPortCombo, "1");
  EXPECT_TRUE(port->lineEdit()->hasSelectedText()) << "an unchanged port text is left as it is";
  TypeText(port->lineEdit(), "3");
  ASSERT_EQ(wnd.GetText(ctl::kPortCombo), "3");
  wnd.SetText(ctl::kPortCombo, "1");
  EXPECT_EQ(wnd.GetText(ctl::kPortCombo), "1");

  wnd.Enable(7013, true);
  wnd.SetCheck(7013, 1);
  W<QCheckBox>(7013)->click();
  wnd.SetCheck(7013, 1);
  EXPECT_EQ(W<QCheckBox>(7013)->checkState(), Qt::Checked);

  for (bool on : {false, false, true, true, false}) {
    wnd.Enable(1001, on);
    EXPECT_EQ(wnd.IsEnabled(1001), on);
    EXPECT_EQ(wnd.ControlWidget(1001)->isEnabled(), on);
  }
}

// Text put into a field by other means than typing (an assistive tool's
// set-text, a paste, a drop) is what the console reads: the field's own text,
// not the copy last set.
TEST_F(QtWindowTest, WhatAFieldShowsIsWhatIsReadHoweverItGotThere) {
  ShowPageZero();
  for (int id : {ctl::kRequest[0], ctl::kRepeat, 1086}) {
    SCOPED_TRACE(id);
    auto* e = W<QLineEdit>(id);
    wnd.SetText(id, "0");
    ASSERT_EQ(wnd.GetText(id), "0");
    QAccessibleInterface* ai = QAccessible::queryAccessibleInterface(e);
    ASSERT_NE(ai, nullptr);
    ai->setText(QAccessible::Value, QStringLiteral("5"));
    ASSERT_EQ(e->text(), "5");
    EXPECT_EQ(wnd.GetText(id), "5") << "set by the accessibility interface";
    wnd.SetText(id, "0");
    e->selectAll();
    e->insert(QStringLiteral("7"));  // what a paste or a drop does to the text
    EXPECT_EQ(wnd.GetText(id), "7");
    // And the console's own write still wins over it.
    wnd.SetText(id, "0");
    EXPECT_EQ(e->text(), "0");
    EXPECT_EQ(wnd.GetText(id), "0");
  }
}

// A text the program puts into a single-line field shows its start, as a
// native edit field does: the first letter of a long status is not scrolled
// out of view.
TEST_F(QtWindowTest, AProgramSetTextShowsItsStart) {
  ShowPageZero();
  wnd.show();
  for (int id : {ctl::kStatusLine, 1449, 1201, ctl::kRequest[0]}) {
    SCOPED_TRACE(id);
    auto* e = W<QLineEdit>(id);
    wnd.SetText(id, "!!! Error Response Timeout !!! and a good deal more text than fits");
    EXPECT_EQ(e->cursorPosition(), 0);
  }
  // The port selector too.
  wnd.SetText(ctl::kPortCombo, "1234567890123456789012345678901234567890");
  EXPECT_EQ(W<QComboBox>(ctl::kPortCombo)->lineEdit()->cursorPosition(), 0);
}

// Every count a run can reach fits its run-detail field: 2000 repetitions of
// at most 95 or at least -160 per answer.
TEST_F(QtWindowTest, RunDetailFieldsHoldEveryCountARunCanReach) {
  ShowPageZero();
  for (int id : {1132, 1133, 1134, 1135, 1137, 1138}) {
    auto* e = W<QLineEdit>(id);
    QStyleOptionFrame opt;
    opt.initFrom(e);
    opt.lineWidth = e->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, e);
    const QMargins m = e->textMargins();
    // QLineEdit keeps 2 px of its own on either side of the text.
    const int room = e->style()->subElementRect(QStyle::SE_LineEditContents, &opt, e).width() - m.left() -
                     m.right() - 4;
    for (const char* count : {"190000", "-320000", "1234"})
      EXPECT_LE(e->fontMetrics().horizontalAdvance(QString::fromLatin1(count)), room) << id << " " << count;
  }
}

// The message area takes appends without being set anew, and keeps a
// bounded tail that starts at a line.
TEST_F(QtWindowTest, TheMessageAreaAppendsAndKeepsABoundedTail) {
  ShowPageZero();
  auto* area = W<QPlainTextEdit>(ctl::kMessageArea);
  wnd.SetText(ctl::kMessageArea, "first\r\n");
  for (int i = 0; i < 5000; ++i) wnd.AppendText(ctl::kMessageArea, " Line " + std::to_string(i) + " !!!\r\n", 4096);
  const QString shown = area->toPlainText();
  EXPECT_LE(shown.size(), 4096);
  EXPECT_GT(shown.size(), 4000);
  EXPECT_TRUE(shown.startsWith(" Line ")) << shown.left(20).toStdString();
  EXPECT_TRUE(shown.endsWith(" Line 4999 !!!\n"));
  EXPECT_FALSE(area->document()->isUndoAvailable()) << "appends must not pile up in the undo history";
  const std::string read = wnd.GetText(ctl::kMessageArea);
  EXPECT_EQ(read.substr(read.size() - 16), " Line 4999 !!!\r\n");
  wnd.SetText(ctl::kMessageArea, "");
  EXPECT_EQ(area->toPlainText(), "");

  // Appends without line ends (" Undefined Command " after another) do not
  // make one line that grows for ever: it goes on on new lines of the field,
  // so that no append lays out more than a bounded line.
  for (int i = 0; i < 5000; ++i) wnd.AppendText(ctl::kMessageArea, " Undefined Command ", 65536);
  EXPECT_LE(area->toPlainText().size(), 65536);
  EXPECT_GT(area->document()->blockCount(), 10);
  for (QTextBlock b = area->document()->begin(); b.isValid(); b = b.next()) EXPECT_LE(b.length(), 2048);
}

TEST_F(QtWindowTest, DigitsOnlyFieldsRefuseOtherCharacters) {
  ShowPageZero();
  wnd.Enable(1035, true);
  auto* edit = W<QLineEdit>(1035);
  TypeText(edit, "1a2-3 ");
  EXPECT_EQ(wnd.GetText(1035), "123");
  auto* any = W<QLineEdit>(7009);
  TypeText(any, "3E8");
  EXPECT_EQ(wnd.GetText(7009), "3E8");
  // Text set by the console is shown as it is, digits or not.
  wnd.SetText(1035, "x");
  EXPECT_EQ(edit->text(), "x");
}

TEST_F(QtWindowTest, ComboProgressAndTabs) {
  wnd.ComboReset(ctl::kPortCombo);
  for (int i = 1; i <= 10; ++i) wnd.ComboAdd(ctl::kPortCombo, std::to_string(i));
  wnd.ComboSelect(ctl::kPortCombo, 0);
  EXPECT_EQ(wnd.GetText(ctl::kPortCombo), "1");
  wnd.ComboSelect(ctl::kPortCombo, 9);
  EXPECT_EQ(wnd.GetText(ctl::kPortCombo), "10");
  wnd.ComboSelect(ctl::kPortCombo, 10);  // no such entry: unchanged
  EXPECT_EQ(wnd.GetText(ctl::kPortCombo), "10");
  wnd.SetText(ctl::kPortCombo, "11");
  EXPECT_EQ(wnd.GetText(ctl::kPortCombo), "11");
  EXPECT_EQ(W<QComboBox>(ctl::kPortCombo)->count(), 10) << "Enter or typing adds nothing to the list";

  wnd.SetProgressRange(ctl::kProgress, 0, 200);
  wnd.SetProgressPos(ctl::kProgress, 150);
  EXPECT_EQ(wnd.GetProgressPos(ctl::kProgress), 150);
  wnd.SetProgressPos(ctl::kProgress, 250);
  EXPECT_EQ(wnd.GetProgressPos(ctl::kProgress), 200);
  wnd.SetProgressPos(ctl::kProgress, -5);
  EXPECT_EQ(wnd.GetProgressPos(ctl::kProgress), 0);
}

TEST(QtFileFilter, PairsOfDescriptionAndPattern) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"BIN(*.BIN)|*.bin|HEX(*.hex)|*.hex||", "BIN(*.BIN *.bin);;HEX(*.hex)"},
      {"All Files (*.*)|*.*||", "All Files (*)"},
      {"Images|*.bmp;*.png||", "Images (*.bmp *.png)"},
      {"HEX(*.hex)|*.hex||BIN(*.BIN)|*.bin", "HEX(*.hex)"},  // the list ends at "||"
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(QtWindow::QtFileFilter(c.in).toStdString(), c.out) << c.in;
}

TEST_F(QtWindowTest, PasswordDialogMasksLimitsConfirmsOnEnterAndCancelsOnEsc) {
  struct Case {
    QString typed;
    int key;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"tuzf", Qt::Key_Return, "tuzf"},
      {"abcdefghijklmnopqrstuvwxyz", Qt::Key_Enter, "abcdefghijklmnopqrst"},
      {"tuzf", Qt::Key_Escape, std::nullopt},
      {"", Qt::Key_Return, ""},
  };
  for (const auto& c : cases) {
    QString title;
    QLineEdit::EchoMode echo = QLineEdit::Normal;
    ModalActor typist([&](QWidget* w) {
      auto* dlg = qobject_cast<QDialog*>(w);
      auto* edit = dlg ? dlg->findChild<QLineEdit*>() : nullptr;
      if (!edit) return false;
      title = dlg->windowTitle();
      echo = edit->echoMode();
      TypeText(edit, c.typed);
      Key(edit, c.key);
      return true;
    });
    EXPECT_EQ(wnd.PasswordDialog("Enter Password", 20), c.expected) << c.typed.toStdString();
    EXPECT_EQ(title, "Enter Password");
    EXPECT_EQ(echo, QLineEdit::Password);
  }
  // The close box cancels as well.
  ModalActor closer([](QWidget* w) {
    if (!qobject_cast<QDialog*>(w)) return false;
    w->close();
    return true;
  });
  EXPECT_EQ(wnd.PasswordDialog("Enter Password", 20), std::nullopt);
}

TEST_F(QtWindowTest, TheAboutItemAndF1ReachTheHandlerAndTheAboutBoxShowsItsLines) {
  QMenuBar* bar = wnd.findChild<QMenuBar*>();
  ASSERT_NE(bar, nullptr);
  QAction* item = nullptr;
  for (QMenu* menu : bar->findChildren<QMenu*>())
    for (QAction* a : menu->actions())
      if (a->text() == QString::fromUtf8("QELD Test Program 정보(&A)...")) item = a;
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->shortcut(), QKeySequence(Qt::Key_F1));
  item->trigger();
  EXPECT_EQ(rec.abouts, 1);

  QStringList texts;
  ModalActor reader([&](QWidget* w) {
    auto* dlg = qobject_cast<QDialog*>(w);
    if (!dlg) return false;
    texts << dlg->windowTitle();
    for (QLabel* l : dlg->findChildren<QLabel*>())
      if (!l->text().isEmpty()) texts << l->text();
    for (QPushButton* b : dlg->findChildren<QPushButton*>()) {
      texts << b->text();
      b->click();
    }
    return true;
  });
  wnd.AboutBox("About QELD TP", "QELD Version 1.12", "Service console");
  EXPECT_EQ(texts, (QStringList{"About QELD TP", "QELD Version 1.12", "Service console", "OK"}));
}

TEST_F(QtWindowTest, RunModalLastsUntilEndModalAlsoFromInsideAMessageBox) {
  QTimer::singleShot(0, &wnd, [&] { wnd.EndModal(IDCANCEL); });
  EXPECT_EQ(wnd.RunModal(), IDCANCEL);
  EXPECT_FALSE(wnd.isVisible());

  // Esc while a box is open elsewhere in the program: the console ends the
  // modal run from a handler; the run ends once the box has closed.
  rec.onCommand = [&](int id) {
    if (id == IDCANCEL) wnd.EndModal(IDCANCEL);
  };
  rec.onTimer = [&](int) { wnd.MessageBox("  Admin mode started. ", "QELD TP", MB_OK); };
  bool escSent = false;
  ModalActor closer([&](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (!box) return false;
    if (!escSent) {
      Key(wnd.ControlWidget(ctl::kStatusLine), Qt::Key_Escape);
      escSent = true;
    }
    box->button(QMessageBox::Ok)->click();
    return true;
  });
  wnd.SetTimer(1, 1);
  EXPECT_EQ(wnd.RunModal(), IDCANCEL);
  EXPECT_EQ(rec.commands, std::vector<int>{2});
}

// A laptop's 1366 x 768 (or 2560 x 1440 at a scale of 2): the page goes into a
// scroll area of a window that fits, every control can be scrolled into view
// and keeps its pixels; on a screen big enough nothing changes.
TEST_F(QtWindowTest, SmallScreenGetsAScrollAreaThatReachesEveryControl) {
  ShowPageZero();
  const QSize full = wnd.FullSize();
  EXPECT_EQ(full.width(), ClientWidth());
  wnd.FitToScreen(QSize(1920, 1080));
  EXPECT_EQ(wnd.ScrollArea(), nullptr);
  EXPECT_EQ(wnd.Client()->parentWidget(), &wnd);

  for (const QSize screen : {QSize(1366, 768), QSize(1280, 720)}) {
    wnd.FitToScreen(screen);
    QScrollArea* scroll = wnd.ScrollArea();
    ASSERT_NE(scroll, nullptr);
    EXPECT_LE(wnd.height(), screen.height() - 30) << "room for a title bar";
    EXPECT_LE(wnd.width(), screen.width());
    EXPECT_GT(wnd.maximumHeight(), wnd.height()) << "the window can be made taller again";
    EXPECT_LT(wnd.minimumHeight(), wnd.height()) << "and smaller";
    EXPECT_EQ(wnd.Client()->size(), QSize(ClientWidth(), ClientHeight()));
  }
  wnd.show();
  QCoreApplication::processEvents();
  QScrollArea* scroll = wnd.ScrollArea();
  EXPECT_EQ(scroll->horizontalScrollBar()->maximum(), 0) << "the width fits beside the vertical bar";
  EXPECT_GT(scroll->verticalScrollBar()->maximum(), 0);
  std::vector<int> ids = {ctl::kPortCombo, ctl::kOpen, ctl::kExit, ctl::kAdminMode, ctl::kStatusLine};
  for (auto* e : PageRows()) ids.push_back(e->id);
  for (int id : ids) {
    QWidget* w = wnd.ControlWidget(id);
    ASSERT_NE(w, nullptr) << id;
    // The whole rectangle into view (for an editable combo box,
    // ensureWidgetVisible would only look after its text cursor).
    const QRect inPage(w->mapTo(wnd.Client(), QPoint(0, 0)), w->size());
    scroll->ensureVisible(inPage.center().x(), inPage.center().y(), w->width() / 2 + 1, w->height() / 2 + 1);
    QCoreApplication::processEvents();
    const QRect inView(w->mapTo(scroll->viewport(), QPoint(0, 0)), w->size());
    EXPECT_TRUE(scroll->viewport()->rect().contains(inView))
        << "control " << id << " at " << inView.x() << "," << inView.y() << " " << inView.width() << "x" << inView.height()
        << " in " << scroll->viewport()->width() << "x" << scroll->viewport()->height();
  }
  // Pixel-exact page: OPEN stands where the template puts it, in client pixels.
  EXPECT_EQ(wnd.ControlWidget(ctl::kOpen)->parentWidget(), wnd.Client());
  EXPECT_EQ(wnd.GetRect(ctl::kOpen).top, wnd.ControlWidget(ctl::kOpen)->y());
  wnd.hide();
}

TEST_F(QtWindowTest, SavesAPictureOfPageZero) {
  ShowPageZero();
  wnd.ComboReset(ctl::kPortCombo);
  for (int i = 1; i <= 10; ++i) wnd.ComboAdd(ctl::kPortCombo, std::to_string(i));
  wnd.ComboSelect(ctl::kPortCombo, 0);
  wnd.SetText(ctl::kStatusLine, " Disconnected !!!");
  wnd.SetCheck(1043, 1);
  wnd.SetCheck(7023, 1);
  wnd.SetCheck(1047, 1);
  wnd.SetCheck(1054, 1);
  wnd.SetText(1035, "10");
  wnd.SetText(1057, "10");
  wnd.SetText(1139, "30");
  wnd.SetText(1449, "QL1234 05-04-2012\r\n");
  wnd.SetText(ctl::kMessageArea, " Error 21 !!! Run TimeOut \r\n");
  wnd.SetProgressRange(ctl::kProgress, 0, 200);
  wnd.SetProgressPos(ctl::kProgress, 80);
  wnd.show();
  QCoreApplication::processEvents();
  const QImage shot = wnd.grab().toImage();
  EXPECT_EQ(shot.width(), ClientWidth());
  EXPECT_GT(shot.height(), ClientHeight()) << "menu bar above the client area";
  EXPECT_TRUE(shot.save(QELD_BUILD_DIR "/console-layout.png"));
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Test discovery runs without the suite's environment; with no display at
  // all, draw offscreen rather than abort.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
      qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
