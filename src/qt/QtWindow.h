// Qt Widgets backend of the window layer: the console as a fixed-size window
// whose client area holds one widget per control, placed in client pixels.
#pragma once
#include <QIcon>
#include <QWidget>
#include <functional>
#include <map>
#include <unordered_map>
#include <string>

#include "window/Window.h"

class QAction;
class QButtonGroup;
class QEventLoop;
class QMenuBar;
class QScrollArea;
class QStyle;
class QTimer;

namespace qeld {

class LineMonitorWindow;

class QtWindow : public QWidget, public WindowHost {
  Q_OBJECT

 public:
  // The client area is fixed: the page layout places controls in its pixels.
  QtWindow(int clientWidth, int clientHeight, QWidget* parent = nullptr);
  ~QtWindow() override;

  // --- WindowHost ---
  void CreateControls(const std::vector<ControlSpec>& defs) override;
  bool HasControl(int id) const override;
  void SetText(int id, const std::string& text) override;
  std::string GetText(int id) const override;
  void AppendText(int id, const std::string& text, size_t maxKeep) override;
  void SetCheck(int id, int state) override;
  int GetCheck(int id) const override;
  void Enable(int id, bool enabled) override;
  bool IsEnabled(int id) const override;
  void Show(int id, bool visible) override;
  bool IsVisible(int id) const override;
  void Move(int id, const Rect& r) override;
  Rect GetRect(int id) const override;
  void ComboReset(int id) override;
  void ComboAdd(int id, const std::string& item) override;
  void ComboSelect(int id, int index) override;
  void SetProgressRange(int id, int lo, int hi) override;
  void SetProgressPos(int id, int pos) override;
  int GetProgressPos(int id) const override;
  void AddTab(int id, int index, const std::string& text) override;
  void SetTitle(const std::string& title) override;
  std::string Title() const override;
  void SetTimer(int id, unsigned ms) override;
  void KillTimer(int id) override;
  int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
  std::optional<std::string> FileOpenDialog(const std::string& filter) override;
  std::optional<std::string> PasswordDialog(const std::string& caption, int maxLen) override;
  void AboutBox(const std::string& caption, const std::string& line1, const std::string& line2) override;
  int RunModal() override;
  void EndModal(int result) override;
  void AttachLineMonitor(LineMonitor* monitor) override;

  // Opens the line monitor's window (the menu item and Ctrl+M toggle it);
  // nothing without a monitor attached.
  void OpenLineMonitor();
  void CloseLineMonitor();
  // "Serial ports...": lists the PC's serial ports and maps COM numbers to
  // them. The source tells which device the console has open ("" none), so
  // that its link is left alone.
  void SetOpenPortSource(std::function<std::string()> source) { openPort_ = std::move(source); }
  void OpenSerialPorts();
  QAction* SerialPortsAction() const { return portsAction_; }
  // The monitor's window once it has been opened, and the menu item.
  LineMonitorWindow* LineMonitorWidget() const { return monitorWindow_; }
  QAction* LineMonitorAction() const { return monitorAction_; }

  // The widget of a control (nullptr for an unknown id) and the client area
  // that holds them all.
  QWidget* ControlWidget(int id) const;
  QWidget* Client() const { return client_; }

  // The window's size with the whole page shown: the client area and the menu bar.
  QSize FullSize() const;
  // A screen whose available area cannot hold the whole window (a laptop's
  // 1366 x 768, or a big scale factor) gets the page in a scroll area inside
  // a resizable window of a size that fits; the page itself keeps its pixels.
  // On a screen big enough nothing changes. RunModal calls it before showing
  // the window, with the available area of the window's screen.
  void FitToScreen(const QSize& available);
  // The scroll area once FitToScreen has needed one, else nullptr.
  QScrollArea* ScrollArea() const { return scroll_; }

  // The application's icon: a small stack of banknotes, drawn in code.
  static QIcon AppIcon();
  // The template's font: Tahoma 9 pt, or the closest sans installed.
  static QFont ConsoleFont();
  // "Name(*.ext)|*.ext|...||" to Qt's "Name(*.ext *.ext2);;..." form.
  static QString QtFileFilter(const std::string& filter);

 protected:
  void QueueCall(std::function<void()> fn) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  struct Control {
    ControlSpec def;
    Rect rect;
    QWidget* widget = nullptr;
    // The text last set, returned as long as the operator has not edited the
    // field: the console's texts may hold CR LF or bytes that are not UTF-8,
    // which a widget would not give back unchanged.
    std::string text;
    bool textValid = false;
  };

  QWidget* MakeWidget(const ControlSpec& s);
  void Place(Control& c);
  Control* Find(int id);
  const Control* Find(int id) const;
  bool HandleKey(QKeyEvent* event, QObject* target);
  void Command(int id);

  QMenuBar* menuBar_ = nullptr;
  QAction* monitorAction_ = nullptr;
  QAction* portsAction_ = nullptr;
  std::function<std::string()> openPort_;
  LineMonitor* monitor_ = nullptr;
  LineMonitorWindow* monitorWindow_ = nullptr;  // made when first opened
  QWidget* client_ = nullptr;
  QScrollArea* scroll_ = nullptr;
  QStyle* indicatorStyle_ = nullptr;  // shared by the check boxes, radios and the tab control
  std::unordered_map<int, Control> controls_;
  // Every control by id, looked up for every field on every read and write
  // of the fields, hundreds of times per request: an index, not a search.
  std::vector<Control*> byId_;
  std::map<int, QButtonGroup*> radioGroups_;
  std::map<int, QTimer*> timers_;
  QEventLoop* modalLoop_ = nullptr;
  bool modalEnded_ = false;
  int modalResult_ = 0;
  bool settingText_ = false;
};

}  // namespace qeld
