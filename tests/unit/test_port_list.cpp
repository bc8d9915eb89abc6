// The rows of "Serial ports...": what the system's port list and device
// details become, on every target (the system calls are tested under Wine).
#include <gtest/gtest.h>

#include "comm/PortList.h"

using namespace qeld;

TEST(PortList, ComNumbersAreCOMAndADecimalWithoutLeadingZero) {
  const std::pair<const char*, int> cases[] = {
      {"COM1", 1}, {"com10", 10}, {"COM256", 256}, {"COM", 0},      {"COM0", 0},
      {"COM03", 0}, {"COM3a", 0}, {"LPT1", 0},     {"COM-1", 0},    {"COM1234567", 0},
  };
  for (const auto& [name, n] : cases) EXPECT_EQ(ComNumber(name), n) << name;
}

TEST(PortList, AnAdaptersSerialNumberComesFromItsInstanceIdOnlyWhenItHasOne) {
  const std::pair<const char*, const char*> cases[] = {
      {"USB\\VID_0403&PID_6001\\A50285BI", "A50285BI"},
      // Made up by the system for a device without a serial number.
      {"USB\\VID_067B&PID_2303\\5&1A2B3C4D&0&2", ""},
      // The FTDI driver's own bus, with "A" for the first interface.
      {"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", "A50285BI"},
      {"ACPI\\PNP0501\\1", ""},
      {"USB\\VID_0403&PID_6001\\", ""},
      {"", ""},
  };
  for (const auto& [id, serial] : cases) EXPECT_EQ(SerialNumberOf(id), serial) << id;
  EXPECT_EQ(HardwareOf("USB\\VID_0403&PID_6001&REV_0600"), "USB VID 0403 PID 6001");
  EXPECT_EQ(HardwareOf("FTDIBUS\\VID_0403+PID_6015+DK0AB1C2A\\0000"), "USB VID 0403 PID 6015");
  EXPECT_EQ(HardwareOf("ACPI\\PNP0501"), "");
  EXPECT_EQ(HardwareOf("USB\\VID_04"), "");
}

TEST(PortList, OneRowPerPortInComOrderWithItsDevicesDetails) {
  PortDevice ftdi;
  ftdi.portName = "COM3";
  ftdi.friendly = "USB Serial Port (COM3)";
  ftdi.maker = "FTDI";
  ftdi.description = "USB Serial Port";
  ftdi.busModel = "FT232R USB UART";
  ftdi.instanceId = "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000";
  ftdi.hardwareId = "FTDIBUS\\COMPORT&VID_0403&PID_6001";
  PortDevice board;  // a port on the board: no bus name, no serial number
  board.portName = "COM1";
  board.description = "Communications Port";
  board.maker = "(Standard port types)";
  board.instanceId = "ACPI\\PNP0501\\0";
  PortDevice late;  // came in after the list was read
  late.portName = "COM12";
  late.friendly = "Prolific USB-to-Serial Comm Port (COM12)";
  late.instanceId = "USB\\VID_067B&PID_2303\\5&1A2B&0&2";

  const auto rows = MergePorts({"COM10", "com3", "COM1", "COM3", "CNCA0", ""}, {ftdi, board, late});
  std::vector<std::string> names;
  for (const PortRow& r : rows) names.push_back(r.name);
  EXPECT_EQ(names, (std::vector<std::string>{"COM1", "com3", "COM10", "COM12", "CNCA0"}));

  const PortRow& adapter = rows[1];
  EXPECT_EQ(adapter.number, 3);
  EXPECT_EQ(adapter.description, "USB Serial Port (COM3)");
  EXPECT_EQ(adapter.maker, "FTDI");
  EXPECT_EQ(adapter.model, "FT232R USB UART");
  EXPECT_EQ(adapter.serial, "A50285BI");
  EXPECT_EQ(adapter.hardware, "USB VID 0403 PID 6001");
  // Without a friendly name the description stands in, and is not repeated as the model.
  EXPECT_EQ(rows[0].description, "Communications Port");
  EXPECT_EQ(rows[0].model, "");
  EXPECT_EQ(rows[0].serial, "");
  EXPECT_EQ(rows[0].hardware, "");
  EXPECT_EQ(rows[3].serial, "");
  EXPECT_EQ(rows[3].hardware, "USB VID 067B PID 2303");
  EXPECT_EQ(rows[4].number, 0);
  for (const PortRow& r : rows) EXPECT_EQ(r.state, PortRow::State::Unknown) << r.name;
}
