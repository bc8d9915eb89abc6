#include "qt/QtSerialPorts.h"

#include <QComboBox>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace qeld {

namespace {

QString Q(const std::string& s) { return QFile::decodeName(s.c_str()); }

enum Column { kName, kDevice, kCom, kAccess, kColumns };

}  // namespace

SerialPortsDialog::SerialPortsDialog(SerialPorts ports, std::function<std::string()> openPath, QWidget* parent)
    : QDialog(parent), ports_(std::move(ports)), openPath_(std::move(openPath)) {
  setWindowTitle(QStringLiteral("Serial ports"));
  setObjectName(QStringLiteral("serialPorts"));
  resize(980, 420);

  auto* intro = new QLabel(
      QStringLiteral("The serial ports of this PC. Choose one, then a COM number, and Map: the console's COMn "
                     "is then that port (the link ~/.qeld/dosdevices/comN). Map a USB adapter by its "
                     "serial/by-id name: it stays the same whichever socket the adapter is in."),
      this);
  intro->setWordWrap(true);

  table_ = new QTableWidget(0, kColumns, this);
  table_->setHorizontalHeaderLabels({QStringLiteral("Name"), QStringLiteral("Device"), QStringLiteral("Mapped to"),
                                     QStringLiteral("Rights")});
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->verticalHeader()->hide();
  table_->horizontalHeader()->setStretchLastSection(true);
  table_->setColumnWidth(kName, 420);
  table_->setColumnWidth(kDevice, 150);
  table_->setColumnWidth(kCom, 90);
  table_->setWordWrap(false);

  port_ = new QComboBox(this);
  for (int p = SerialPorts::kFirstPort; p <= SerialPorts::kLastPort; ++p) port_->addItem(QStringLiteral("COM%1").arg(p), p);
  map_ = new QPushButton(QStringLiteral("&Map"), this);
  unmap_ = new QPushButton(QStringLiteral("&Unmap"), this);
  auto* refresh = new QPushButton(QStringLiteral("&Refresh"), this);
  auto* close = new QPushButton(QStringLiteral("Close"), this);
  connect(map_, &QPushButton::clicked, this, &SerialPortsDialog::MapSelected);
  connect(unmap_, &QPushButton::clicked, this, &SerialPortsDialog::UnmapChosen);
  connect(refresh, &QPushButton::clicked, this, &SerialPortsDialog::Refresh);
  connect(close, &QPushButton::clicked, this, &QDialog::accept);
  // A row that is mapped chooses its COM number, ready for Unmap.
  connect(table_, &QTableWidget::itemSelectionChanged, this, [this] {
    const int row = table_->currentRow();
    if (row >= 0 && row < static_cast<int>(devices_.size()) && !devices_[static_cast<size_t>(row)].comPorts.empty())
      ChoosePort(devices_[static_cast<size_t>(row)].comPorts.front());
  });

  mappings_ = new QLabel(this);
  mappings_->setTextFormat(Qt::PlainText);
  mappings_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  message_ = new QLabel(this);
  message_->setTextFormat(Qt::PlainText);
  message_->setWordWrap(true);
  message_->setTextInteractionFlags(Qt::TextSelectableByMouse);

  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(QStringLiteral("COM number:"), this));
  row->addWidget(port_);
  row->addWidget(map_);
  row->addWidget(unmap_);
  row->addStretch(1);
  row->addWidget(refresh);
  row->addWidget(close);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(intro);
  layout->addWidget(table_, 1);
  layout->addWidget(mappings_);
  layout->addLayout(row);
  layout->addWidget(message_);
  Refresh();
}

void SerialPortsDialog::Refresh() {
  const QString selected = table_->currentRow() >= 0 && table_->item(table_->currentRow(), kName)
                               ? table_->item(table_->currentRow(), kName)->text()
                               : QString();
  devices_ = ports_.Devices();
  table_->setRowCount(static_cast<int>(devices_.size()));
  for (int r = 0; r < static_cast<int>(devices_.size()); ++r) {
    const SerialDevice& d = devices_[static_cast<size_t>(r)];
    QStringList coms;
    for (int p : d.comPorts) coms << QStringLiteral("COM%1").arg(p);
    QString device = d.device.empty() ? QStringLiteral("(not plugged in)") : Q(d.device);
    if (d.noHardware) device += QStringLiteral(" (no port hardware)");
    const QString rights = d.device.empty() ? QString() : d.access.empty() ? QStringLiteral("may be opened") : Q(d.access);
    const QString cells[kColumns] = {Q(d.name), device, coms.join(QStringLiteral(", ")), rights};
    for (int c = 0; c < kColumns; ++c) {
      auto* item = new QTableWidgetItem(cells[c]);
      item->setToolTip(cells[c]);
      if (c == kAccess && !d.access.empty()) item->setForeground(QColor(0xb0, 0x00, 0x00));
      table_->setItem(r, c, item);
    }
    if (Q(d.name) == selected) table_->selectRow(r);
  }
  QStringList lines;
  for (const ComMapping& m : ports_.Mappings())
    lines << QStringLiteral("COM%1 -> %2%3")
                 .arg(m.port)
                 .arg(Q(m.target), m.device.empty() ? QStringLiteral("  (leads nowhere: not plugged in)") : QString());
  mappings_->setText(lines.isEmpty() ? QStringLiteral("No COM number is mapped: COMn is /dev/ttyS(n-1).")
                                     : QStringLiteral("Mapped: ") + lines.join(QStringLiteral("\n        ")));
}

bool SerialPortsDialog::Select(const std::string& name) {
  for (int r = 0; r < static_cast<int>(devices_.size()); ++r)
    if (devices_[static_cast<size_t>(r)].name == name) {
      table_->selectRow(r);
      return true;
    }
  return false;
}

void SerialPortsDialog::ChoosePort(int port) {
  const int i = port_->findData(port);
  if (i >= 0) port_->setCurrentIndex(i);
}

void SerialPortsDialog::Say(const QString& text, bool problem) {
  message_->setText(text);
  message_->setStyleSheet(problem ? QStringLiteral("color: #b00000;") : QString());
}

void SerialPortsDialog::MapSelected() {
  const int row = table_->currentRow();
  if (row < 0 || row >= static_cast<int>(devices_.size())) {
    Say(QStringLiteral("Choose a port in the list first."), true);
    return;
  }
  const SerialDevice d = devices_[static_cast<size_t>(row)];
  const int port = port_->currentData().toInt();
  const std::string error = ports_.Map(port, d.name, openPath_ ? openPath_() : std::string());
  Refresh();
  if (!error.empty()) {
    Say(Q(error), true);
    return;
  }
  // Mapped all the same: the rights come with the device, and the technician
  // can settle them before pressing OPEN.
  const std::string rights = d.device.empty() ? std::string() : ports_.AccessProblem(d.device);
  if (!rights.empty()) {
    Say(QStringLiteral("COM%1 is now %2, but the console cannot open it: %3").arg(port).arg(Q(d.name), Q(rights)), true);
  } else {
    Say(QStringLiteral("COM%1 is now %2.").arg(port).arg(Q(d.name)), false);
  }
}

void SerialPortsDialog::UnmapChosen() {
  const int port = port_->currentData().toInt();
  const std::string error = ports_.Unmap(port, openPath_ ? openPath_() : std::string());
  Refresh();
  if (!error.empty()) {
    Say(Q(error), true);
  } else {
    Say(QStringLiteral("COM%1 is no longer mapped: it is /dev/ttyS%2 again.").arg(port).arg(port - 1), false);
  }
}

QString SerialPortsDialog::Message() const { return message_->text(); }
QString SerialPortsDialog::MappingsText() const { return mappings_->text(); }

}  // namespace qeld
