#include "os/RunHelp.h"

namespace qeld {

const char* RunPortsHelp() {
  return "Port N (the script's \"port\" line) is the link $HOME/.qeld/dosdevices/comN\n"
         "when it exists, otherwise /dev/ttyS(N-1): COM1 is /dev/ttyS0.\n";
}

const char* RunPasswordHelp() {
  return "The admin step's password comes from the environment variable\n"
         "QELD_ADMIN_PASSWORD, or is asked on the terminal:\n"
         "  QELD_ADMIN_PASSWORD='...' qeld-run service-check.qeld\n";
}

const char* RunGuideHelp() {
  return "The grammar of scripts is the section \"Service scripts\" of the manual,\n"
         "/usr/share/doc/qeld-console/README.md from the Debian package; example\n"
         "scripts and a training image for qeld-sim are in its examples/ folder.\n";
}

}  // namespace qeld
