#include "os/RunHelp.h"

namespace qeld {

const char* RunPortsHelp() {
  return "Port N (the script's \"port\" line) is the Windows port \\\\.\\COMN, COM1 to\n"
         "COM10: the number the Device Manager shows under \"Ports (COM & LPT)\".\n";
}

// In cmd the quotes around the whole assignment keep a blank at its end out
// of the password; in PowerShell single quotes keep a "$" in it as typed.
const char* RunPasswordHelp() {
  return "The admin step's password comes from the environment variable\n"
         "QELD_ADMIN_PASSWORD, or is asked in the console window. In cmd:\n"
         "  set \"QELD_ADMIN_PASSWORD=...\"\n"
         "  qeld-run examples\\service-check.qeld\n"
         "In PowerShell:\n"
         "  $env:QELD_ADMIN_PASSWORD = '...'\n"
         "  .\\qeld-run examples\\service-check.qeld\n"
         "It stays set until that window is closed.\n";
}

const char* RunGuideHelp() {
  return "The grammar of scripts is in SCRIPTS.txt beside qeld-run.exe; example\n"
         "scripts are in the examples folder.\n";
}

}  // namespace qeld
