// "Serial ports..." on Windows: the COM ports of this PC, each with the name
// the Device Manager gives it (a USB adapter's make, model and serial number
// where its driver tells them) and whether it is free, so that a technician
// sees which COM number an adapter got. Modal over the console window; the
// ports are read on a thread of their own, so a port that is slow to answer
// never holds the window.
#pragma once
#include <functional>
#include <string>

#include "os/Win32.h"

namespace qeld {

// Control ids of the dialog, for the window tests.
enum SerialPortsControl : int { kPortsList = 100, kPortsStatus = 101, kPortsRefresh = 102 };

// openPort tells the device path the console has open ("" when none).
void RunSerialPortsDialog(HWND owner, const std::function<std::string()>& openPort);

}  // namespace qeld
