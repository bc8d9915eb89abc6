// Shared pieces of the benchmark's runs: settings, the simulator with its
// timing record, the firmware image.
#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "LineTiming.h"
#include "pty/SimProcess.h"

namespace qeld::bench {

struct Settings {
  std::string simPath = QELD_SIM_PATH;
  std::string consolePath = QELD_CONSOLE_PATH;
  std::string workDir;        // private scratch folder for images and timing records
  int consoleNice = -10;      // the priority the console gives itself; the reference loop gets the same
  std::optional<int> simNice; // the simulator's priority; unset: as started
  bool moduleDelays = false;  // keep the module's own delays (qeld-sim without --fast)
  // --windows: the Windows build folder (qeld-console.exe, qeld-winbench.exe),
  // run under Wine in the prefix of WINEPREFIX; "" for the Linux console.
  std::string windowsDir;
  std::string wineHome;     // the folder under which the prefix's COM links lie (QELD_WINE_HOME)
  std::string winePreload;  // preloaded into Wine's processes (QELD_WINE_PRELOAD), may be ""
  bool Windows() const { return !windowsDir.empty(); }
};

// qeld-sim on COM1 with a timing record, optionally pacing the line; with
// --fast unless the settings keep the module's delays, which would hide the
// console's own.
class BenchSim {
 public:
  // Under Wine (s.Windows()) the simulator's COM1 link is made where the
  // prefix's COM1 leads.
  BenchSim(const Settings& s, const std::string& name, bool pace);
  bool Ready() const { return sim_->Ready() && error_.empty(); }
  std::string Error() const { return error_.empty() ? sim_->Error() : error_; }
  test::SimProcess& Process() { return *sim_; }
  // Waits until the module has taken in this many ACKs from the console: the
  // last one may still be on its way when the console is done.
  bool WaitAcks(int count, std::string* error);
  // Stops the simulator (which then writes its record) and reads the record.
  std::optional<std::vector<LineEvent>> StopAndRead(std::string* error);

 private:
  std::string timingPath_;
  std::unique_ptr<test::SimProcess> sim_;
  std::string error_;
};

// A BIN image of blocks x 128 bytes; returns its path.
std::string WriteImage(const Settings& s, int blocks);

// Steady clock in ns, the clock of the simulator's record.
int64_t NowNs();

// The Windows name of a Linux path under Wine (drive Z: is the root).
std::string WinePath(const std::string& path);

}  // namespace qeld::bench
