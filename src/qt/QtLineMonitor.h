// The line monitor's window: a live table over the console's LineMonitor,
// with Pause/Resume, Clear, Save..., Record... (every row to a file as it
// arrives), a filter that narrows the rows shown, and a row counter.
//
// While the window is open the monitor records; closing it makes the taps
// inert again. The table catches up with the monitor every 100 ms, in
// batches, never per byte; Pause freezes the table only: recording goes on,
// so nothing on the line is missed, and Resume catches up. Saving writes
// the rows on a thread of its own, so the console's thread never waits for
// the disk.
#pragma once
#include <QAbstractTableModel>
#include <QSortFilterProxyModel>
#include <QWidget>
#include <thread>

#include "monitor/LineMonitor.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;
class QTimer;

namespace qeld {

class LineMonitorModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit LineMonitorModel(LineMonitor& monitor, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // Takes in what the monitor recorded since the last call; true when the
  // table changed.
  bool CatchUp();
  // Rows recorded that the table has not taken in yet.
  uint64_t Behind() const;
  // The row shown at i, nullptr for a row that has left the monitor.
  const MonitorRow* RowAt(int i) const { return view_.Row(monitor_, static_cast<size_t>(i)); }

 private:
  LineMonitor& monitor_;
  MonitorView view_;
};

// The rows a filter lets through; the model and the monitor keep them all.
class LineMonitorFilterModel : public QSortFilterProxyModel {
  Q_OBJECT

 public:
  explicit LineMonitorFilterModel(LineMonitorModel* source, QObject* parent = nullptr);
  void SetFilter(const MonitorFilter& filter);
  const MonitorFilter& Filter() const { return filter_; }

 protected:
  bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

 private:
  LineMonitorModel* source_;
  MonitorFilter filter_;
};

class LineMonitorWindow : public QWidget {
  Q_OBJECT

 public:
  explicit LineMonitorWindow(LineMonitor& monitor, QWidget* parent = nullptr);
  ~LineMonitorWindow() override;

  bool Paused() const { return paused_; }
  void SetPaused(bool paused);
  void ClearRows();
  // Writes every row to path in the background; saveFinished tells how it went.
  void SaveTo(const QString& path);
  // What the 100 ms timer does: the table takes in the new rows.
  void CatchUp();
  // Records every row from now on into path; false (and the reason shown)
  // when the file cannot be made. Closing the window ends a recording.
  bool RecordTo(const QString& path);
  void StopRecording();
  // The filter: a direction and a text (see MonitorFilter).
  void SetFilter(MonitorFilter::Direction dir, const QString& text);

  QTableView* Table() const { return table_; }
  LineMonitorModel* Model() const { return model_; }
  LineMonitorFilterModel* Shown() const { return shown_; }
  // The line that tells where the rows are being recorded ("" when not).
  QString RecordingText() const;

 signals:
  void visibilityChanged(bool visible);
  void saveFinished(bool ok, const QString& message);

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void AskAndSave();
  void AskAndRecord();
  void ShowCount();
  void ApplyFilter();

  LineMonitor& monitor_;
  LineMonitorModel* model_ = nullptr;
  LineMonitorFilterModel* shown_ = nullptr;
  QPushButton* record_ = nullptr;
  QLabel* recording_ = nullptr;
  QComboBox* direction_ = nullptr;
  QLineEdit* filter_ = nullptr;
  QTableView* table_ = nullptr;
  QPushButton* pause_ = nullptr;
  QPushButton* save_ = nullptr;
  QLabel* count_ = nullptr;
  QLabel* status_ = nullptr;
  QTimer* refresh_ = nullptr;
  bool paused_ = false;
  std::thread saver_;
};

}  // namespace qeld
