// "Serial ports...": the serial ports of this PC, the COM numbers mapped to
// them, and mapping or unmapping one COM1..COM10, over SerialPorts.
#pragma once
#include <QDialog>
#include <functional>
#include <string>

#include "comm/SerialPorts.h"

class QComboBox;
class QLabel;
class QPushButton;
class QTableWidget;

namespace qeld {

class SerialPortsDialog : public QDialog {
  Q_OBJECT

 public:
  // openPath tells the device path the console has open ("" when none).
  SerialPortsDialog(SerialPorts ports, std::function<std::string()> openPath, QWidget* parent = nullptr);

  // Reads the ports and links again.
  void Refresh();
  // Maps the COM number chosen to the device in the selected row; unmaps it.
  void MapSelected();
  void UnmapChosen();
  // Chooses a row by its name and a COM number (for tests and the list's clicks).
  bool Select(const std::string& name);
  void ChoosePort(int port);

  QTableWidget* Table() const { return table_; }
  QString Message() const;
  QString MappingsText() const;

 private:
  void Say(const QString& text, bool problem);

  SerialPorts ports_;
  std::function<std::string()> openPath_;
  std::vector<SerialDevice> devices_;
  QTableWidget* table_ = nullptr;
  QComboBox* port_ = nullptr;
  QPushButton* map_ = nullptr;
  QPushButton* unmap_ = nullptr;
  QLabel* mappings_ = nullptr;
  QLabel* message_ = nullptr;
};

}  // namespace qeld
