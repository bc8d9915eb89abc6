#include "qt/QtWindow.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>
#include <utility>

#include "qt/QtLineMonitor.h"
#include "qt/QtSerialPorts.h"

namespace qeld {

namespace {

const char* const kIdProperty = "qeldControlId";

// Characters after which a line of a multi-line field that keeps growing by
// appends goes on on a new line (see AppendText).
constexpr int kLongLine = 1024;

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
std::string S(const QString& s) { return s.toUtf8().toStdString(); }

// A single-line field shows no line breaks; a multi-line one breaks at CR LF.
QString SingleLineDisplay(const std::string& text) {
  QString q = Q(text);
  q.remove(QLatin1Char('\r'));
  q.remove(QLatin1Char('\n'));
  return q;
}
QString MultiLineDisplay(const std::string& text) {
  QString q = Q(text);
  q.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  q.remove(QLatin1Char('\r'));
  return q;
}

// Metrics of the original platform where the page's rectangles depend on
// them: check boxes and radios with the small indicator and gap (the path
// indicator column, x 419..497, is sized for those; "SONAR_IN" would be
// clipped otherwise), and a tab row of one text line, so that the unit switch
// at y 39 stands below the tab control's top edge.
class ConsoleStyle : public QProxyStyle {
 public:
  int pixelMetric(PixelMetric m, const QStyleOption* opt, const QWidget* w) const override {
    switch (m) {
      case PM_IndicatorWidth:
      case PM_IndicatorHeight:
      case PM_ExclusiveIndicatorWidth:
      case PM_ExclusiveIndicatorHeight:
        return 13;
      case PM_CheckBoxLabelSpacing:
      case PM_RadioButtonLabelSpacing:
        return 4;
      default:
        return QProxyStyle::pixelMetric(m, opt, w);
    }
  }
  QSize sizeFromContents(ContentsType type, const QStyleOption* opt, const QSize& size,
                         const QWidget* w) const override {
    QSize s = QProxyStyle::sizeFromContents(type, opt, size, w);
    if (type == CT_TabBarTab) s.setHeight(std::min(s.height(), kTabHeight));
    return s;
  }
  static constexpr int kTabHeight = 21;
};

// An automatic check box: a click toggles between checked and unchecked,
// also from the third ("partially") state the console may set.
class AutoCheckBox : public QCheckBox {
 public:
  using QCheckBox::QCheckBox;

 protected:
  void nextCheckState() override {
    setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
  }
};

// A frame with its title set into the top line, the shape group boxes have
// on the original platform. The page's rectangles assume it: controls stand
// just below the title, where a style that puts the title above the line
// would draw its frame.
class FrameBox : public QGroupBox {
 public:
  using QGroupBox::QGroupBox;
  static constexpr int kTitleIndent = 7;  // from the left edge to the title's gap
  static constexpr int kTitlePad = 2;     // blank on either side of the title

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    const QFontMetrics fm = fontMetrics();
    const QString text = title();
    const int gapLeft = kTitleIndent;
    const int gapRight = text.isEmpty() ? gapLeft : gapLeft + fm.horizontalAdvance(text) + 2 * kTitlePad;
    // An etched line: the shadow, then the light one pixel to the lower right.
    auto outline = [&](const QColor& color, int d) {
      p.setPen(color);
      const int l = d, t = fm.height() / 2 + d, r = width() - 2 + d, b = height() - 2 + d;
      p.drawLine(l, t, std::min(gapLeft, r), t);
      if (gapRight < r) p.drawLine(gapRight, t, r, t);
      p.drawLine(l, t, l, b);
      p.drawLine(r, t, r, b);
      p.drawLine(l, b, r, b);
    };
    outline(palette().color(QPalette::Mid), 0);
    outline(palette().color(QPalette::Light), 1);
    if (!text.isEmpty())
      style()->drawItemText(&p, QRect(gapLeft + kTitlePad, 0, gapRight - gapLeft, fm.height()),
                            Qt::AlignLeft | Qt::AlignVCenter | Qt::TextShowMnemonic, palette(), isEnabled(), text,
                            QPalette::WindowText);
  }
};

QPixmap DrawBanknotes(int size) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 32.0, size / 32.0);
  // Three notes fanned from the bottom right; the top one carries a seal.
  const QColor fill[3] = {QColor(0x3f, 0x7d, 0x3a), QColor(0x55, 0x96, 0x4f), QColor(0x79, 0xb8, 0x6c)};
  const QColor edge(0x1f, 0x45, 0x1c);
  for (int i = 0; i < 3; ++i) {
    QRectF r(5.5 - 2.0 * i, 15.5 - 4.0 * i, 25, 13);
    p.setPen(QPen(edge, 1.2));
    p.setBrush(fill[i]);
    p.drawRoundedRect(r, 1.5, 1.5);
  }
  QRectF top(1.5, 7.5, 25, 13);
  p.setPen(QPen(QColor(0xe8, 0xf5, 0xe0), 0.9));
  p.setBrush(Qt::NoBrush);
  p.drawRoundedRect(top.adjusted(2, 2, -2, -2), 1, 1);
  p.setBrush(QColor(0xe8, 0xf5, 0xe0));
  p.setPen(QPen(edge, 0.8));
  p.drawEllipse(top.center(), 3.6, 3.6);
  p.setBrush(QColor(0x3f, 0x7d, 0x3a));
  p.setPen(Qt::NoPen);
  p.drawEllipse(top.center(), 1.6, 1.6);
  return pm;
}

}  // namespace

QIcon QtWindow::AppIcon() {
  QIcon icon;
  for (int s : {16, 24, 32, 48, 64}) icon.addPixmap(DrawBanknotes(s));
  return icon;
}

QFont QtWindow::ConsoleFont() {
  // The layout is in pixels for Tahoma 9 pt at 96 dpi, so the size is pinned
  // in pixels. Nimbus Sans and Liberation Sans have Tahoma's width closely
  // enough for the captions to fit; the CJK face supplies the Korean texts.
  QFont f;
  f.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("Nimbus Sans"), QStringLiteral("Liberation Sans"),
                 QStringLiteral("Arial"), QStringLiteral("DejaVu Sans"), QStringLiteral("Noto Sans CJK KR")});
  f.setPixelSize(12);
  return f;
}

namespace {

QString QtFileFilterEntry(const QString& desc, const QString& patterns) {
  QStringList list;
  QString name = desc + QLatin1Char(' ');
  // A description that already names its patterns, "BIN(*.BIN)", keeps them,
  // and the real patterns join them inside the parentheses.
  int open = desc.lastIndexOf(QLatin1Char('('));
  if (open >= 0 && desc.endsWith(QLatin1Char(')'))) {
    const QStringList inner = desc.mid(open + 1, desc.size() - open - 2).split(QRegularExpression("[ ;]+"), Qt::SkipEmptyParts);
    bool allPatterns = !inner.isEmpty();
    for (const auto& t : inner) allPatterns = allPatterns && t.contains(QLatin1Char('*'));
    if (allPatterns) {
      name = desc.left(open);
      list = inner;
    }
  }
  for (const auto& t : patterns.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
    QString pat = t.trimmed();
    if (!pat.isEmpty() && !list.contains(pat)) list << pat;
  }
  // "*.*" means every file on the original platform; here it would need a dot.
  for (auto& t : list)
    if (t == QLatin1String("*.*")) t = QStringLiteral("*");
  list.removeDuplicates();
  if (list.isEmpty()) return desc;
  return name + QLatin1Char('(') + list.join(QLatin1Char(' ')) + QLatin1Char(')');
}

}  // namespace

QString QtWindow::QtFileFilter(const std::string& filter) {
  const QStringList parts = Q(filter).split(QLatin1Char('|'));
  QStringList entries;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    if (parts[i].isEmpty()) break;  // "||" ends the list
    entries << QtFileFilterEntry(parts[i], parts[i + 1]);
  }
  return entries.join(QStringLiteral(";;"));
}

QtWindow::QtWindow(int clientWidth, int clientHeight, QWidget* parent) : QWidget(parent) {
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setWindowIcon(AppIcon());
  setFont(ConsoleFont());
  indicatorStyle_ = new ConsoleStyle;

  // The platform has no system menu to extend, so the window's own items
  // live in a small Help menu, where a Linux user looks for "about", outside
  // the client area the layout fills: the line monitor (Ctrl+M), a diagnostic
  // aid like a browser's developer tools, and the about item (F1).
  menuBar_ = new QMenuBar(this);
  QMenu* menu = menuBar_->addMenu(QStringLiteral("&Help"));
  // Mapping an adapter to a COM number without a terminal.
  portsAction_ = menu->addAction(QStringLiteral("&Serial ports..."));
  connect(portsAction_, &QAction::triggered, this, &QtWindow::OpenSerialPorts);
  monitorAction_ = menu->addAction(QStringLiteral("&Line monitor"));
  monitorAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
  monitorAction_->setShortcutContext(Qt::WindowShortcut);
  monitorAction_->setCheckable(true);
  monitorAction_->setEnabled(false);  // until the console attaches its monitor
  connect(monitorAction_, &QAction::triggered, this, [this] {
    if (monitorWindow_ && monitorWindow_->isVisible()) {
      CloseLineMonitor();
    } else {
      OpenLineMonitor();
    }
  });
  menu->addSeparator();
  QAction* about = menu->addAction(QString::fromUtf8("QELD Test Program 정보(&A)..."));
  about->setShortcut(QKeySequence(Qt::Key_F1));
  about->setShortcutContext(Qt::WindowShortcut);
  connect(about, &QAction::triggered, this, [this] {
    if (Handler()) Handler()->OnAbout();
  });

  client_ = new QWidget(this);
  client_->setFixedSize(clientWidth, clientHeight);
  // Most result fields and all indicators are disabled for good; their texts
  // and checks must stay readable, so disabled text is a darker grey than the
  // style's.
  QPalette pal = client_->palette();
  for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
    pal.setColor(QPalette::Disabled, role, QColor(0x78, 0x78, 0x78));
  client_->setPalette(pal);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->setMenuBar(menuBar_);
  layout->addWidget(client_);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

QtWindow::~QtWindow() {
  // Queued calls and timers die with this object; nothing may reach a
  // handler that is already gone.
  SetHandler(nullptr);
  AttachLineMonitor(nullptr);
  // The controls go before the style they use.
  delete client_;
  client_ = nullptr;
  byId_.clear();
  controls_.clear();
  delete indicatorStyle_;
}

QtWindow::Control* QtWindow::Find(int id) {
  return const_cast<Control*>(std::as_const(*this).Find(id));
}
const QtWindow::Control* QtWindow::Find(int id) const {
  if (id >= 0 && static_cast<size_t>(id) < byId_.size()) return byId_[static_cast<size_t>(id)];
  const auto it = controls_.find(id);  // a negative id, which the index leaves out
  return it == controls_.end() ? nullptr : &it->second;
}
QWidget* QtWindow::ControlWidget(int id) const {
  auto* c = Find(id);
  return c ? c->widget : nullptr;
}

void QtWindow::Command(int id) {
  if (Handler()) Handler()->OnCommand(id);
}

QWidget* QtWindow::MakeWidget(const ControlSpec& s) {
  QWidget* w = nullptr;
  const int id = s.id;
  switch (s.kind) {
    case ControlKind::Tab: {
      auto* tab = new QTabWidget(client_);
      tab->setStyle(indicatorStyle_);
      tab->tabBar()->setStyle(indicatorStyle_);
      tab->setFocusPolicy(Qt::NoFocus);
      tab->tabBar()->setFocusPolicy(Qt::NoFocus);
      w = tab;
      break;
    }
    case ControlKind::GroupBox:
      w = new FrameBox(Q(s.text), client_);
      break;
    case ControlKind::Label: {
      auto* l = new QLabel(Q(s.text), client_);
      l->setTextFormat(Qt::PlainText);
      Qt::Alignment h = (s.style & kEsCenter) ? Qt::AlignHCenter : (s.style & kEsRight) ? Qt::AlignRight : Qt::AlignLeft;
      l->setAlignment(h | Qt::AlignVCenter);
      w = l;
      break;
    }
    case ControlKind::PushButton:
    case ControlKind::DefPushButton: {
      auto* b = new QPushButton(Q(s.text), client_);
      const bool def = s.kind == ControlKind::DefPushButton;
      b->setAutoDefault(def);
      b->setDefault(def);
      connect(b, &QPushButton::clicked, this, [this, id] { Command(id); });
      w = b;
      break;
    }
    case ControlKind::RadioButton: {
      auto* r = new QRadioButton(Q(s.text), client_);
      r->setStyle(indicatorStyle_);
      // Like the original automatic radios: a click checks this one and
      // clears the others of its group, while setting a check from code
      // touches only the one button. An exclusive group would refuse to
      // clear its checked button from code, so the group is not exclusive.
      r->setAutoExclusive(false);
      QButtonGroup*& g = radioGroups_[s.group];
      if (!g) {
        g = new QButtonGroup(this);
        g->setExclusive(false);
        connect(g, &QButtonGroup::buttonClicked, this, [g](QAbstractButton* clicked) {
          for (QAbstractButton* b : g->buttons()) b->setChecked(b == clicked);
        });
      }
      g->addButton(r);
      w = r;
      break;
    }
    case ControlKind::CheckBox: {
      auto* c = new AutoCheckBox(Q(s.text), client_);
      c->setStyle(indicatorStyle_);
      w = c;
      break;
    }
    case ControlKind::Edit:
      if (s.style & kEsMultiline) {
        auto* e = new QPlainTextEdit(client_);
        e->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        // Appends would pile up in the undo history for ever: a message area
        // fed by a flood of frames must stay bounded in memory.
        e->setUndoRedoEnabled(false);
        e->setReadOnly(s.style & kEsReadOnly);
        e->setPlainText(MultiLineDisplay(s.text));
        connect(e, &QPlainTextEdit::textChanged, this, [this, id] {
          if (settingText_) return;
          if (auto* c = Find(id)) c->textValid = false;
        });
        w = e;
      } else {
        auto* e = new QLineEdit(SingleLineDisplay(s.text), client_);
        Qt::Alignment h = (s.style & kEsCenter) ? Qt::AlignHCenter : (s.style & kEsRight) ? Qt::AlignRight : Qt::AlignLeft;
        e->setAlignment(h | Qt::AlignVCenter);
        if (s.style & kEsDigits)
          e->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), e));
        if (s.style & kEsPassword) e->setEchoMode(QLineEdit::Password);
        if (s.style & kEsReadOnly) {
          e->setReadOnly(true);
          // Read-only fields look like the window, as on the original platform.
          QPalette p = e->palette();
          p.setColor(QPalette::Base, p.color(QPalette::Window));
          e->setPalette(p);
        }
        // Any change the console did not make itself (typing, paste, a drop,
        // an assistive tool's set-text) makes the field's own text the one
        // read; typed edits alone are not enough.
        connect(e, &QLineEdit::textChanged, this, [this, id] {
          if (settingText_) return;
          if (auto* c = Find(id)) c->textValid = false;
        });
        w = e;
      }
      break;
    case ControlKind::Combo: {
      auto* cb = new QComboBox(client_);
      cb->setEditable(true);
      cb->setInsertPolicy(QComboBox::NoInsert);  // Enter means OPEN, not "add to the list"
      cb->setEditText(Q(s.text));
      cb->lineEdit()->installEventFilter(this);
      w = cb;
      break;
    }
    case ControlKind::Progress: {
      auto* pb = new QProgressBar(client_);
      pb->setTextVisible(false);
      pb->setRange(0, 100);
      pb->setValue(0);
      w = pb;
      break;
    }
  }
  w->setProperty(kIdProperty, id);
  w->installEventFilter(this);
  return w;
}

void QtWindow::Place(Control& c) {
  const Rect& r = c.rect;
  int h = r.Height();
  // A combo's rectangle includes its drop-down list; the closed box is one line.
  if (c.def.kind == ControlKind::Combo) h = std::min(h, c.widget->sizeHint().height());
  c.widget->setGeometry(r.left, r.top, std::max(0, r.Width()), std::max(0, h));
}

void QtWindow::CreateControls(const std::vector<ControlSpec>& defs) {
  for (const auto& s : defs) {
    if (controls_.count(s.id)) continue;  // ids are unique in a template
    Control c;
    c.def = s;
    c.rect = s.rect;
    c.text = s.text;
    c.textValid = true;
    c.widget = MakeWidget(s);
    Place(c);
    c.widget->setVisible(s.visible);
    Control& placed = controls_.emplace(s.id, std::move(c)).first->second;
    if (s.id >= 0) {
      if (static_cast<size_t>(s.id) >= byId_.size()) byId_.resize(static_cast<size_t>(s.id) + 1, nullptr);
      byId_[static_cast<size_t>(s.id)] = &placed;
    }
  }
  // Frames stay below the controls they hold (they would take their clicks
  // otherwise), and the tab control below everything: the page controls sit
  // on it as siblings, not inside a tab page.
  for (const auto& s : defs)
    if (s.kind == ControlKind::GroupBox) controls_[s.id].widget->lower();
  for (const auto& s : defs)
    if (s.kind == ControlKind::Tab) controls_[s.id].widget->lower();
}

bool QtWindow::HasControl(int id) const { return controls_.count(id) != 0; }

void QtWindow::SetText(int id, const std::string& text) {
  Control* c = Find(id);
  if (!c) return;
  // The console writes every field back several times per request. While the
  // text last set is still what the control shows (textValid: nobody has
  // typed into it since) and it is unchanged, there is nothing to do, and
  // finding that out must not cost a conversion per field. The port
  // selector's edit part is not tracked that way, so it is always compared.
  if (c->textValid && c->def.kind != ControlKind::Combo && c->text == text) return;
  c->text = text;
  c->textValid = true;
  QWidget* w = c->widget;
  switch (c->def.kind) {
    case ControlKind::GroupBox:
      static_cast<QGroupBox*>(w)->setTitle(Q(text));
      break;
    case ControlKind::Label:
      static_cast<QLabel*>(w)->setText(Q(text));
      break;
    case ControlKind::PushButton:
    case ControlKind::DefPushButton:
    case ControlKind::RadioButton:
    case ControlKind::CheckBox:
      static_cast<QAbstractButton*>(w)->setText(Q(text));
      break;
    case ControlKind::Edit:
      // The console writes every field back after each read; a field whose
      // text is unchanged is left alone, so the caret of a field being typed
      // in stays put and a long message area is not laid out again.
      if (auto* e = qobject_cast<QPlainTextEdit*>(w)) {
        const QString shown = MultiLineDisplay(text);
        if (e->toPlainText() == shown) break;
        settingText_ = true;
        e->setPlainText(shown);
        settingText_ = false;
        // New lines are appended at the end; keep them in view.
        e->moveCursor(QTextCursor::End);
        e->verticalScrollBar()->setValue(e->verticalScrollBar()->maximum());
      } else {
        auto* line = static_cast<QLineEdit*>(w);
        const QString shown = SingleLineDisplay(text);
        if (line->text() != shown) {
          settingText_ = true;
          line->setText(shown);
          settingText_ = false;
          // A text set by the program shows its start, as a native edit
          // field does; setText leaves the view scrolled to the end.
          line->setCursorPosition(0);
        }
      }
      break;
    case ControlKind::Combo: {
      // As with edit fields: setting the same text again would still redraw
      // the field and put its caret at the end.
      auto* cb = static_cast<QComboBox*>(w);
      const QString shown = Q(text);
      if (cb->currentText() != shown) {
        cb->setEditText(shown);
        if (cb->lineEdit()) cb->lineEdit()->setCursorPosition(0);
      }
      break;
    }
    case ControlKind::Tab:
    case ControlKind::Progress:
      break;
  }
}

void QtWindow::AppendText(int id, const std::string& text, size_t maxKeep) {
  Control* c = Find(id);
  auto* e = c ? qobject_cast<QPlainTextEdit*>(c->widget) : nullptr;
  if (!e) {
    WindowHost::AppendText(id, text, maxKeep);
    return;
  }
  // Only the new text is laid out; the field is read back from the widget
  // from now on, not from the copy last set.
  settingText_ = true;
  c->textValid = false;
  c->text.clear();
  QTextDocument* doc = e->document();
  QTextCursor end(doc);
  end.movePosition(QTextCursor::End);
  // The field lays out a whole line (block) again at every change: a line
  // that only ever grows, as " Undefined Command " after " Undefined
  // Command " does, would cost more with every frame. A line that has grown
  // long goes on on a new line of the field, where it would have wrapped.
  if (end.block().length() > kLongLine) end.insertBlock();
  end.insertText(MultiLineDisplay(text));
  // Characters stand in for bytes here: a tail of maxKeep characters is never
  // less than the console's tail of maxKeep bytes.
  const int excess = doc->characterCount() - 1 - static_cast<int>(std::min<size_t>(maxKeep, INT_MAX / 2));
  if (excess > 0) {
    const QTextBlock first = doc->findBlock(excess);
    int cut = excess;
    if (first.position() != excess && first.next().isValid()) cut = first.next().position();
    QTextCursor head(doc);
    head.setPosition(cut, QTextCursor::KeepAnchor);
    head.removeSelectedText();
  }
  settingText_ = false;
  // New lines are appended at the end; keep them in view.
  e->moveCursor(QTextCursor::End);
  e->verticalScrollBar()->setValue(e->verticalScrollBar()->maximum());
}

std::string QtWindow::GetText(int id) const {
  const Control* c = Find(id);
  if (!c) return {};
  switch (c->def.kind) {
    case ControlKind::Combo:
      return S(static_cast<QComboBox*>(c->widget)->currentText());
    case ControlKind::Edit:
      if (c->textValid) return c->text;
      if (auto* e = qobject_cast<QPlainTextEdit*>(c->widget)) {
        QString t = e->toPlainText();
        t.replace(QLatin1Char('\n'), QLatin1String("\r\n"));  // line breaks as the console writes them
        return S(t);
      }
      return S(static_cast<QLineEdit*>(c->widget)->text());
    default:
      return c->text;
  }
}

void QtWindow::SetCheck(int id, int state) {
  Control* c = Find(id);
  if (!c) return;
  if (c->def.kind == ControlKind::CheckBox) {
    // QCheckBox redraws on every setCheckState, changed or not, and the
    // console writes all its check states back several times per request:
    // during a download that was most of the console's work.
    auto* cb = static_cast<QCheckBox*>(c->widget);
    const Qt::CheckState s = state == 2 ? Qt::PartiallyChecked : state ? Qt::Checked : Qt::Unchecked;
    if (cb->checkState() != s) cb->setCheckState(s);
  } else if (c->def.kind == ControlKind::RadioButton) {
    static_cast<QRadioButton*>(c->widget)->setChecked(state != 0);
  }
}

int QtWindow::GetCheck(int id) const {
  const Control* c = Find(id);
  if (!c) return 0;
  if (c->def.kind == ControlKind::CheckBox) {
    switch (static_cast<QCheckBox*>(c->widget)->checkState()) {
      case Qt::Checked:
        return 1;
      case Qt::PartiallyChecked:
        return 2;
      default:
        return 0;
    }
  }
  if (c->def.kind == ControlKind::RadioButton) return static_cast<QRadioButton*>(c->widget)->isChecked() ? 1 : 0;
  return 0;
}

void QtWindow::Enable(int id, bool enabled) {
  // The enable rules run after every timer tick and request; most calls
  // change nothing and return here.
  if (Control* c = Find(id); c && c->widget->testAttribute(Qt::WA_ForceDisabled) == enabled)
    c->widget->setEnabled(enabled);
}
bool QtWindow::IsEnabled(int id) const {
  const Control* c = Find(id);
  return c && !c->widget->testAttribute(Qt::WA_ForceDisabled);
}
void QtWindow::Show(int id, bool visible) {
  if (Control* c = Find(id)) c->widget->setVisible(visible);
}
bool QtWindow::IsVisible(int id) const {
  const Control* c = Find(id);
  return c && !c->widget->isHidden();
}
void QtWindow::Move(int id, const Rect& r) {
  if (Control* c = Find(id)) {
    c->rect = r;
    Place(*c);
  }
}
Rect QtWindow::GetRect(int id) const {
  const Control* c = Find(id);
  return c ? c->rect : Rect{};
}

void QtWindow::ComboReset(int id) {
  Control* c = Find(id);
  if (auto* cb = c ? qobject_cast<QComboBox*>(c->widget) : nullptr) {
    cb->clear();
    cb->clearEditText();
  }
}
void QtWindow::ComboAdd(int id, const std::string& item) {
  Control* c = Find(id);
  if (auto* cb = c ? qobject_cast<QComboBox*>(c->widget) : nullptr) cb->addItem(Q(item));
}
void QtWindow::ComboSelect(int id, int index) {
  Control* c = Find(id);
  if (auto* cb = c ? qobject_cast<QComboBox*>(c->widget) : nullptr)
    if (index >= 0 && index < cb->count()) cb->setCurrentIndex(index);
}

void QtWindow::SetProgressRange(int id, int lo, int hi) {
  Control* c = Find(id);
  if (auto* pb = c ? qobject_cast<QProgressBar*>(c->widget) : nullptr) pb->setRange(lo, hi);
}
void QtWindow::SetProgressPos(int id, int pos) {
  Control* c = Find(id);
  // The original bar clamps a position outside its range; Qt's would ignore it.
  if (auto* pb = c ? qobject_cast<QProgressBar*>(c->widget) : nullptr)
    pb->setValue(std::clamp(pos, pb->minimum(), std::max(pb->minimum(), pb->maximum())));
}
int QtWindow::GetProgressPos(int id) const {
  const Control* c = Find(id);
  auto* pb = c ? qobject_cast<QProgressBar*>(c->widget) : nullptr;
  return pb ? pb->value() : 0;
}

void QtWindow::AddTab(int id, int index, const std::string& text) {
  Control* c = Find(id);
  if (auto* tab = c ? qobject_cast<QTabWidget*>(c->widget) : nullptr) {
    auto* page = new QWidget;
    page->setFocusPolicy(Qt::NoFocus);
    tab->insertTab(index, page, Q(text));
  }
}

void QtWindow::SetTitle(const std::string& title) { setWindowTitle(Q(title)); }
std::string QtWindow::Title() const { return S(windowTitle()); }

void QtWindow::SetTimer(int id, unsigned ms) {
  QTimer*& t = timers_[id];
  if (!t) {
    t = new QTimer(this);
    t->setSingleShot(true);
    // Time-outs of a second and of two minutes must not drift by the 5 %
    // a coarse timer allows.
    t->setTimerType(Qt::PreciseTimer);
    connect(t, &QTimer::timeout, this, [this, id] {
      if (Handler()) Handler()->OnTimer(id);
    });
  }
  t->start(static_cast<int>(std::min<unsigned>(ms, INT_MAX)));  // restarting replaces a running one
}

void QtWindow::KillTimer(int id) {
  auto it = timers_.find(id);
  if (it != timers_.end()) it->second->stop();
}

void QtWindow::QueueCall(std::function<void()> fn) {
  // A queued call event: safe from any thread, delivered in posting order,
  // also inside the nested loops of message boxes and dialogs.
  QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

int QtWindow::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  switch (flags & 0xF0) {
    case MB_ICONSTOP:
      icon = QMessageBox::Critical;
      break;
    case MB_ICONEXCLAMATION:
      icon = QMessageBox::Warning;
      break;
    case 0x20:
      icon = QMessageBox::Question;
      break;
    case 0x40:
      icon = QMessageBox::Information;
      break;
    default:
      break;
  }
  const bool yesNo = (flags & 0xF) == MB_YESNO;
  QMessageBox box(icon, Q(caption), Q(text), yesNo ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok, this);
  box.setTextFormat(Qt::PlainText);  // the texts' blanks and markers show as they are
  box.setFont(font());
  switch (box.exec()) {
    case QMessageBox::Ok:
      return IDOK;
    case QMessageBox::Yes:
      return IDYES;
    case QMessageBox::No:
      return IDNO;
    default:
      return IDCANCEL;
  }
}

std::optional<std::string> QtWindow::FileOpenDialog(const std::string& filter) {
  const QString path = QFileDialog::getOpenFileName(this, QString(), QDir::currentPath(), QtFileFilter(filter));
  if (path.isEmpty()) return std::nullopt;
  return QFile::encodeName(path).toStdString();
}

std::optional<std::string> QtWindow::PasswordDialog(const std::string& caption, int maxLen) {
  // 187 x 26 dialog units with the field at 7, 7, 173 x 12; no buttons:
  // Enter confirms, Esc and the close box cancel.
  QDialog dlg(this);
  dlg.setWindowTitle(Q(caption));
  dlg.setFont(font());
  dlg.setFixedSize(327, 49);
  auto* edit = new QLineEdit(&dlg);
  edit->setGeometry(12, 13, 303, 23);
  edit->setEchoMode(QLineEdit::Password);
  edit->setMaxLength(std::max(0, maxLen));
  connect(edit, &QLineEdit::returnPressed, &dlg, &QDialog::accept);
  if (dlg.exec() != QDialog::Accepted) return std::nullopt;
  return S(edit->text());
}

void QtWindow::AboutBox(const std::string& caption, const std::string& line1, const std::string& line2) {
  // 235 x 55 dialog units: icon at 11, 17; two lines at x 40; OK at the right.
  QDialog dlg(this);
  dlg.setWindowTitle(Q(caption));
  QFont f = font();
  f.setFamilies(QStringList{QString::fromUtf8("굴림"), QStringLiteral("Noto Sans CJK KR")} + f.families());
  dlg.setFont(f);
  dlg.setFixedSize(411, 103);
  auto* icon = new QLabel(&dlg);
  icon->setPixmap(AppIcon().pixmap(32, 32));
  icon->setGeometry(19, 32, 32, 32);
  auto* l1 = new QLabel(Q(line1), &dlg);
  l1->setTextFormat(Qt::PlainText);
  l1->setGeometry(70, 19, 226, 17);
  auto* l2 = new QLabel(Q(line2), &dlg);
  l2->setTextFormat(Qt::PlainText);
  l2->setGeometry(70, 47, 226, 17);
  auto* ok = new QPushButton(QStringLiteral("OK"), &dlg);
  ok->setGeometry(312, 13, 87, 26);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, &dlg, &QDialog::accept);
  dlg.exec();
}

QSize QtWindow::FullSize() const {
  return QSize(client_->width(), client_->height() + menuBar_->sizeHint().height());
}

void QtWindow::FitToScreen(const QSize& available) {
  // The window manager's frame is known only once the window is shown; until
  // then a title bar and thin borders are allowed for.
  QSize frame = frameGeometry().size() - geometry().size();
  if (frame.width() <= 0 && frame.height() <= 0) frame = QSize(8, 36);
  const QSize room = available - frame;
  const QSize full = FullSize();
  if (full.width() <= room.width() && full.height() <= room.height()) return;
  if (!scroll_) {
    auto* layout = static_cast<QVBoxLayout*>(this->layout());
    scroll_ = new QScrollArea(this);
    scroll_->setObjectName(QStringLiteral("pageScroll"));
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(false);  // the page keeps its size; the view moves over it
    scroll_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    layout->removeWidget(client_);
    scroll_->setWidget(client_);
    layout->addWidget(scroll_);
    layout->setSizeConstraint(QLayout::SetDefaultConstraint);
  }
  // A scroll bar along the short side takes room of its own: the other side
  // grows by it where the screen allows, so that only one bar is needed.
  const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, scroll_);
  QSize most = full;
  if (full.height() > room.height()) most.rwidth() += bar;
  if (full.width() > room.width()) most.rheight() += bar;
  setMinimumSize(std::min(most.width(), 320), std::min(most.height(), 240));
  setMaximumSize(most);
  resize(most.boundedTo(room));
}

int QtWindow::RunModal() {
  if (!modalEnded_) {
    if (!isVisible())
      if (QScreen* s = screen()) FitToScreen(s->availableGeometry().size());
    show();
    raise();
    activateWindow();
    QEventLoop loop;
    modalLoop_ = &loop;
    loop.exec();
    modalLoop_ = nullptr;
  }
  modalEnded_ = false;
  return modalResult_;
}

void QtWindow::EndModal(int result) {
  modalResult_ = result;
  modalEnded_ = true;
  hide();
  // Called from inside a message box, this ends the outer loop once the box's
  // own loop has returned.
  if (modalLoop_) modalLoop_->quit();
}

void QtWindow::AttachLineMonitor(LineMonitor* monitor) {
  if (monitor == monitor_) return;
  // The window goes with the monitor it shows; its end closes that monitor.
  delete monitorWindow_;
  monitorWindow_ = nullptr;
  monitor_ = monitor;
  monitorAction_->setChecked(false);
  monitorAction_->setEnabled(monitor != nullptr);
}

void QtWindow::OpenLineMonitor() {
  if (!monitor_) return;
  if (!monitorWindow_) {
    monitorWindow_ = new LineMonitorWindow(*monitor_, this);
    monitorWindow_->setWindowIcon(AppIcon());
    // Ctrl+M closes it from its own window too.
    monitorWindow_->addAction(monitorAction_);
    connect(monitorWindow_, &LineMonitorWindow::visibilityChanged, monitorAction_, &QAction::setChecked);
  }
  monitorWindow_->show();
  monitorWindow_->raise();
  monitorWindow_->activateWindow();
}

void QtWindow::OpenSerialPorts() {
  SerialPortsDialog dlg(SerialPorts::ForThisUser(), openPort_, this);
  dlg.setFont(font());
  dlg.exec();
}

void QtWindow::CloseLineMonitor() {
  if (monitorWindow_) monitorWindow_->close();
}

bool QtWindow::HandleKey(QKeyEvent* e, QObject* target) {
  if (e->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) return false;
  switch (e->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter: {
      // As in a dialog: a push button with the focus acts itself; anywhere
      // else (an edit field, the port selector) Enter is OPEN.
      const QVariant id = qobject_cast<QPushButton*>(target) ? target->property(kIdProperty) : QVariant();
      Command(id.isValid() ? id.toInt() : IDOK);
      return true;
    }
    case Qt::Key_Escape:
      Command(IDCANCEL);
      return true;
    default:
      return false;
  }
}

bool QtWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && HandleKey(static_cast<QKeyEvent*>(event), watched)) return true;
  return QWidget::eventFilter(watched, event);
}

void QtWindow::keyPressEvent(QKeyEvent* event) {
  if (!HandleKey(event, this)) QWidget::keyPressEvent(event);
}

void QtWindow::closeEvent(QCloseEvent* event) {
  // The close box is the dialog's cancel; the console decides to end.
  event->ignore();
  Command(IDCANCEL);
}

}  // namespace qeld
