// The serial ports the system knows, as "Serial ports..." lists them: each
// port's name, what the system calls the device behind it, and whether it is
// free. The system is asked in one file per target (PortListWin32.cpp: the
// system's serial-device list and the device manager's properties); this
// header and PortList.cpp shape the answers into rows the same way
// everywhere, so that more kinds of port (a network port) are more rows.
#pragma once
#include <string>
#include <vector>

namespace qeld {

struct PortRow {
  std::string name;         // what the technician types or picks: "COM3"
  int number = 0;           // 3 for "COM3"; 0 when the name is no COM number
  std::string description;  // the device manager's name: "USB Serial Port (COM3)"
  std::string maker;        // "FTDI"; "" when the driver does not say
  std::string model;        // what the device calls itself on its bus: "FT232R USB UART"
  std::string serial;       // the adapter's own serial number; "" when it has none
  std::string hardware;     // "USB VID 0403 PID 6001"; "" for a port on the board
  enum class State { Free, InUse, Absent, Unknown };
  State state = State::Unknown;
  std::string stateText;    // "free", "in use by another program", ...
};

// What the system's device list says of one serial device (any field may
// be empty: drivers differ in what they fill in).
struct PortDevice {
  std::string portName;    // "COM3", from the device's own settings
  std::string friendly;    // the device manager's name
  std::string maker;       // the driver's manufacturer
  std::string description; // the driver's description of the device
  std::string busModel;    // the name the device reports on its bus
  std::string instanceId;  // "USB\VID_0403&PID_6001\A50285BI"
  std::string hardwareId;  // the first hardware id: "USB\VID_0403&PID_6001&REV_0600"
};

// 3 for "COM3" (any case), 0 for anything else.
int ComNumber(const std::string& name);

// The serial number a USB device carries in its instance id (the part after
// the last backslash), or "" when the system made that part up because the
// device has none (it then holds '&'), or when the device is not on USB.
std::string SerialNumberOf(const std::string& instanceId);

// "USB VID 0403 PID 6001" from a hardware or instance id; "" without them.
std::string HardwareOf(const std::string& hardwareId);

// The rows for the ports the system lists (names, in any order, repeats
// allowed) and the devices it describes: one row per port name, ordered by
// COM number (names without one last, by name), with the details of the
// device that owns it. A device whose port is not in the list still gets a
// row (the list and the devices are read one after the other, so a device
// may have come in between). States are left Unknown.
std::vector<PortRow> MergePorts(const std::vector<std::string>& names, const std::vector<PortDevice>& devices);

// The ports of this PC, with their states. openPort is the device path the
// console has open ("" when none): that port is "in use by this console" and
// is not touched; nor is a port beyond the console's COM numbers. Never
// waits long on a port that does not answer: the state of such a port says
// so. May be called on any thread.
std::vector<PortRow> ListPorts(const std::string& openPort);

}  // namespace qeld
