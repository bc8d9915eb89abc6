// The termios record of a line setting, apart from the device so that every
// code can be checked without a serial port.
#pragma once
#include <termios.h>

#include <string>

namespace qeld {

// Puts baud rate, data bits, stop-bit code (0 one, 1 one and a half, 2 two)
// and parity code (0 none, 1 odd, 2 even, 3 mark, 4 space) into t, raw and
// without flow control. Returns "" when done, otherwise why the setting is
// refused (t is then unchanged).
std::string MakeLineSettings(termios& t, int baud, int dataBits, int stopBits, int parity);

}  // namespace qeld
