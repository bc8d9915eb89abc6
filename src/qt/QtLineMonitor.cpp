#include "qt/QtLineMonitor.h"

#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

namespace qeld {

namespace {

constexpr int kRefreshMs = 100;

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// Starting widths in pixels; the operator may drag them, the last one stretches.
constexpr int kColumnWidths[kColumnCount] = {88, 90, 290, 190, 290, 175, 220, 104};

struct MarkStyle {
  RowMark mark;
  QRgb background;
};
constexpr MarkStyle kMarkStyles[] = {
    {RowMark::Nak, qRgb(0xff, 0xc8, 0xc8)},             // red: the line had a bad frame
    {RowMark::Retransmission, qRgb(0xff, 0xdc, 0x8c)},  // amber: something was sent again
    {RowMark::BadBcc, qRgb(0xff, 0xe6, 0xe6)},
    {RowMark::DeviceError, qRgb(0xff, 0xf4, 0xd6)},
};
constexpr QRgb kFromModule = qRgb(0xee, 0xf4, 0xff);  // the module's rows, told apart at a glance
constexpr QRgb kOpenRow = qRgb(0xdd, 0xdd, 0xdd);
constexpr QRgb kAlarmText = qRgb(0xb0, 0x00, 0x00);
constexpr QRgb kIrregularText = qRgb(0x70, 0x70, 0x70);

QFont TableFont() {
  QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  f.setFamilies({QStringLiteral("DejaVu Sans Mono"), QStringLiteral("Noto Sans Mono"), QStringLiteral("Liberation Mono"),
                 f.family()});
  f.setPixelSize(12);
  return f;
}

}  // namespace

// ---------------------------------------------------------------- model

LineMonitorModel::LineMonitorModel(LineMonitor& monitor, QObject* parent)
    : QAbstractTableModel(parent), monitor_(monitor) {}

int LineMonitorModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(view_.Count());
}

int LineMonitorModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumnCount; }

QVariant LineMonitorModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  return QString::fromLatin1(LineMonitor::ColumnTitle(section));
}

QVariant LineMonitorModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  const MonitorRow* row = RowAt(index.row());
  const int column = index.column();
  if (!row) return role == Qt::DisplayRole && column == kColMeaning ? QStringLiteral("(no longer kept)") : QVariant();
  switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:  // the whole text of a cell cut short
      return Q(LineMonitor::ColumnText(*row, column));
    case Qt::BackgroundRole: {
      if (row->kind == RowKind::Open) return QColor(kOpenRow);
      const RowMark mark = LineMonitor::Mark(*row);
      for (const auto& s : kMarkStyles)
        if (s.mark == mark) return QColor(s.background);
      return row->dir == LineDir::FromModule ? QColor(kFromModule) : QVariant();
    }
    case Qt::ForegroundRole: {
      const RowMark mark = LineMonitor::Mark(*row);
      if ((column == kColBcc && mark == RowMark::BadBcc) || column == kColError) return QColor(kAlarmText);
      if (mark == RowMark::Irregular) return QColor(kIrregularText);
      return {};
    }
    case Qt::FontRole: {
      const RowMark mark = LineMonitor::Mark(*row);
      if (row->kind == RowKind::Open || mark == RowMark::Nak || mark == RowMark::Retransmission ||
          (column == kColBcc && mark == RowMark::BadBcc)) {
        QFont f = TableFont();
        f.setBold(true);
        return f;
      }
      return {};
    }
    default:
      return {};
  }
}

bool LineMonitorModel::CatchUp() {
  bool changed = false;
  // Each step is announced before the view changes, as the table requires.
  // The open rows (frames still arriving, at the end) are taken in afresh
  // whenever they changed; they are one or two.
  const bool openChanged = view_.OpenChanged(monitor_);
  if (openChanged && view_.OpenCount()) {
    const int n = static_cast<int>(view_.OpenCount());
    const int count = static_cast<int>(view_.Count());
    beginRemoveRows({}, count - n, count - 1);
    view_.DropOpen();
    endRemoveRows();
    changed = true;
  }
  if (const size_t gone = view_.GoneCount(monitor_)) {
    beginRemoveRows({}, 0, static_cast<int>(gone) - 1);
    view_.DropGone(monitor_);
    endRemoveRows();
    changed = true;
  }
  if (const size_t added = view_.NewCount(monitor_)) {
    const int count = static_cast<int>(view_.Count()) - static_cast<int>(view_.OpenCount());
    beginInsertRows({}, count, count + static_cast<int>(added) - 1);
    view_.TakeNew(monitor_);
    endInsertRows();
    changed = true;
  }
  if (openChanged) {
    if (const size_t open = view_.NewOpenCount(monitor_)) {
      const int count = static_cast<int>(view_.Count());
      beginInsertRows({}, count, count + static_cast<int>(open) - 1);
      view_.TakeOpen(monitor_);
      endInsertRows();
    }
    changed = true;
  }
  return changed;
}

uint64_t LineMonitorModel::Behind() const {
  return monitor_.EndNumber() - std::max(view_.EndNumber(), monitor_.FirstNumber());
}

// ---------------------------------------------------------------- filter

LineMonitorFilterModel::LineMonitorFilterModel(LineMonitorModel* source, QObject* parent)
    : QSortFilterProxyModel(parent), source_(source) {
  setSourceModel(source);
  setDynamicSortFilter(false);  // rows never change once shown; new ones are filtered as they come
}

void LineMonitorFilterModel::SetFilter(const MonitorFilter& filter) {
  filter_ = filter;
  invalidateFilter();
}

bool LineMonitorFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex&) const {
  if (filter_.Empty()) return true;
  const MonitorRow* row = source_->RowAt(sourceRow);
  return row && LineMonitor::Matches(*row, filter_);
}

// ---------------------------------------------------------------- window

LineMonitorWindow::LineMonitorWindow(LineMonitor& monitor, QWidget* parent)
    : QWidget(parent, Qt::Window), monitor_(monitor) {
  setWindowTitle(QStringLiteral("Line monitor"));
  setObjectName(QStringLiteral("lineMonitor"));
  resize(1360, 560);

  model_ = new LineMonitorModel(monitor_, this);
  shown_ = new LineMonitorFilterModel(model_, this);
  table_ = new QTableView(this);
  table_->setModel(shown_);
  table_->setFont(TableFont());
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setWordWrap(false);
  table_->setTextElideMode(Qt::ElideRight);
  table_->setShowGrid(false);
  table_->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  // Fixed row heights: the table never measures 100,000 rows.
  table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  table_->verticalHeader()->setDefaultSectionSize(QFontMetrics(TableFont()).height() + 4);
  table_->verticalHeader()->hide();
  QHeaderView* header = table_->horizontalHeader();
  header->setSectionResizeMode(QHeaderView::Interactive);
  header->setStretchLastSection(true);
  header->setHighlightSections(false);
  for (int c = 0; c < kColumnCount; ++c) table_->setColumnWidth(c, kColumnWidths[c]);
  // The columns stand as they are saved: the wall clock first, beside the time since OPEN.
  for (int p = 0; p < kColumnCount; ++p) header->moveSection(header->visualIndex(LineMonitor::ShownColumn(p)), p);

  pause_ = new QPushButton(QStringLiteral("&Pause"), this);
  auto* clear = new QPushButton(QStringLiteral("&Clear"), this);
  save_ = new QPushButton(QStringLiteral("&Save..."), this);
  record_ = new QPushButton(QStringLiteral("&Record..."), this);
  direction_ = new QComboBox(this);
  direction_->addItems({QStringLiteral("Both ways"), QStringLiteral("To module"), QStringLiteral("From module")});
  direction_->setToolTip(QStringLiteral("Show the rows of one direction only"));
  filter_ = new QLineEdit(this);
  filter_->setClearButtonEnabled(true);
  filter_->setPlaceholderText(QStringLiteral("Filter: a letter, or any text"));
  filter_->setToolTip(QStringLiteral("One character shows the frames of that command or response letter "
                                     "(g is not G); longer text shows the rows that hold it anywhere. "
                                     "The recording and Save keep every row."));
  filter_->setMinimumWidth(220);
  count_ = new QLabel(this);
  status_ = new QLabel(this);
  status_->setTextFormat(Qt::PlainText);
  recording_ = new QLabel(this);
  recording_->setTextFormat(Qt::PlainText);
  recording_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  recording_->hide();
  connect(pause_, &QPushButton::clicked, this, [this] { SetPaused(!paused_); });
  connect(clear, &QPushButton::clicked, this, &LineMonitorWindow::ClearRows);
  connect(save_, &QPushButton::clicked, this, &LineMonitorWindow::AskAndSave);
  connect(record_, &QPushButton::clicked, this, [this] {
    if (monitor_.Recording()) {
      StopRecording();
    } else {
      AskAndRecord();
    }
  });
  connect(direction_, &QComboBox::currentIndexChanged, this, &LineMonitorWindow::ApplyFilter);
  connect(filter_, &QLineEdit::textChanged, this, &LineMonitorWindow::ApplyFilter);

  auto* bar = new QHBoxLayout;
  bar->addWidget(pause_);
  bar->addWidget(clear);
  bar->addWidget(save_);
  bar->addWidget(record_);
  bar->addSpacing(12);
  bar->addWidget(direction_);
  bar->addWidget(filter_);
  bar->addSpacing(12);
  bar->addWidget(count_);
  bar->addStretch(1);
  bar->addWidget(status_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 6, 6, 6);
  layout->addLayout(bar);
  layout->addWidget(recording_);
  layout->addWidget(table_, 1);

  refresh_ = new QTimer(this);
  refresh_->setInterval(kRefreshMs);
  connect(refresh_, &QTimer::timeout, this, &LineMonitorWindow::CatchUp);
  ShowCount();
}

LineMonitorWindow::~LineMonitorWindow() {
  monitor_.SetEnabled(false);
  if (saver_.joinable()) saver_.join();
}

void LineMonitorWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // A window manager's un-minimising is not an opening.
  if (event->spontaneous()) return;
  monitor_.SetEnabled(true);
  refresh_->start();
  CatchUp();
  emit visibilityChanged(true);
}

void LineMonitorWindow::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  if (event->spontaneous()) return;  // minimised: still recording
  refresh_->stop();
  // Closed, the monitor sees nothing more: a recording ends with it.
  StopRecording();
  monitor_.SetEnabled(false);
  emit visibilityChanged(false);
}

void LineMonitorWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
    close();
    return;
  }
  QWidget::keyPressEvent(event);
}

void LineMonitorWindow::SetPaused(bool paused) {
  paused_ = paused;
  pause_->setText(paused ? QStringLiteral("&Resume") : QStringLiteral("&Pause"));
  if (!paused) CatchUp();
  ShowCount();
}

void LineMonitorWindow::ClearRows() {
  monitor_.Clear();
  // Cleared while paused, the table is emptied all the same: what it showed is gone.
  model_->CatchUp();
  ShowCount();
}

void LineMonitorWindow::CatchUp() {
  if (!paused_) {
    QScrollBar* bar = table_->verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum();
    if (model_->CatchUp() && atEnd) table_->scrollToBottom();
  }
  ShowCount();
}

void LineMonitorWindow::ShowCount() {
  const QLocale c = QLocale::c();
  QString text = c.toString(model_->rowCount()) + (model_->rowCount() == 1 ? QStringLiteral(" row") : QStringLiteral(" rows"));
  if (!shown_->Filter().Empty()) text += QStringLiteral(", %1 shown").arg(c.toString(shown_->rowCount()));
  if (monitor_.FirstNumber() > 0 && monitor_.RowCount() >= monitor_.MaxRows())
    text += QStringLiteral(" (the last %1 kept)").arg(c.toString(static_cast<qulonglong>(monitor_.MaxRows())));
  if (paused_) text += QStringLiteral(", paused: %1 new").arg(c.toString(static_cast<qulonglong>(model_->Behind())));
  count_->setText(text);
  // A recording that stopped on its own (a write failed) says why, once.
  if (!monitor_.Recording() && record_->text() != QStringLiteral("&Record...")) {
    record_->setText(QStringLiteral("&Record..."));
    if (!monitor_.RecordingError().empty()) status_->setText(Q(monitor_.RecordingError()));
  }
  const QString recording = RecordingText();
  recording_->setText(recording);
  recording_->setVisible(!recording.isEmpty());
}

QString LineMonitorWindow::RecordingText() const {
  if (!monitor_.Recording()) return {};
  const auto rows = static_cast<qulonglong>(monitor_.RecordedRows());
  return QStringLiteral("Recording to %1 (%2 %3)")
      .arg(QFile::decodeName(monitor_.RecordingPath().c_str()), QLocale::c().toString(rows),
           rows == 1 ? QStringLiteral("row") : QStringLiteral("rows"));
}

void LineMonitorWindow::AskAndRecord() {
  const QString name = QDateTime::currentDateTime().toString(QStringLiteral("'line-record-'yyMMdd_HHmmss'.txt'"));
  const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Record the line to"),
                                                    QDir::current().filePath(name),
                                                    QStringLiteral("Text files (*.txt);;All files (*)"));
  if (!path.isEmpty()) RecordTo(path);
}

bool LineMonitorWindow::RecordTo(const QString& path) {
  const std::string error = monitor_.StartRecording(QFile::encodeName(path).toStdString());
  if (!error.empty()) {
    status_->setText(Q(error));
    return false;
  }
  record_->setText(QStringLiteral("Stop &recording"));
  status_->setText(QString());
  ShowCount();
  return true;
}

void LineMonitorWindow::StopRecording() {
  if (!monitor_.Recording()) return;
  const QString path = QFile::decodeName(monitor_.RecordingPath().c_str());
  const auto rows = static_cast<qulonglong>(monitor_.RecordedRows());
  monitor_.StopRecording();
  record_->setText(QStringLiteral("&Record..."));
  status_->setText(QStringLiteral("%1 rows recorded in %2").arg(QLocale::c().toString(rows), path));
  ShowCount();
}

void LineMonitorWindow::SetFilter(MonitorFilter::Direction dir, const QString& text) {
  direction_->setCurrentIndex(static_cast<int>(dir));
  filter_->setText(text);
  ApplyFilter();
}

void LineMonitorWindow::ApplyFilter() {
  MonitorFilter f;
  f.dir = static_cast<MonitorFilter::Direction>(std::clamp(direction_->currentIndex(), 0, 2));
  f.text = filter_->text().toStdString();
  shown_->SetFilter(f);
  table_->scrollToBottom();
  ShowCount();
}

void LineMonitorWindow::AskAndSave() {
  const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save line monitor"),
                                                    QDir::current().filePath(QStringLiteral("line-monitor.txt")),
                                                    QStringLiteral("Text files (*.txt);;All files (*)"));
  if (!path.isEmpty()) SaveTo(path);
}

void LineMonitorWindow::SaveTo(const QString& path) {
  if (!save_->isEnabled()) return;  // one save at a time
  save_->setEnabled(false);
  status_->setText(QStringLiteral("Saving..."));
  if (saver_.joinable()) saver_.join();
  // The copy is taken here, on the window's thread, where the rows change;
  // formatting and writing happen on the saver's.
  saver_ = std::thread([this, rows = monitor_.Snapshot(), file = QFile::encodeName(path).toStdString(), path] {
    const std::string error = LineMonitor::SaveRows(rows, file);
    const QString message = error.empty()
                                ? QStringLiteral("%1 rows saved to %2").arg(QLocale::c().toString(static_cast<qulonglong>(rows.size())), path)
                                : Q(error);
    QMetaObject::invokeMethod(
        this,
        [this, ok = error.empty(), message] {
          save_->setEnabled(true);
          status_->setText(message);
          emit saveFinished(ok, message);
        },
        Qt::QueuedConnection);
  });
}

}  // namespace qeld
