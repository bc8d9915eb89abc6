// The console as its own process, as an operator starts it: start-up time,
// CPU while idle (disconnected, then connected), peak memory. The Linux
// console (Qt, offscreen), or with --windows the Windows one under Wine.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "BenchCommon.h"

namespace qeld::bench {

struct ProcessFigures {
  std::vector<double> startupMs;    // one per start
  double idleCpuPercent = 0;        // of one core: connected, over the idle stretch
  double idleDisconnectedCpuPercent = 0;  // the same with OPEN failed (no module)
  double peakRssMb = 0;             // VmHWM of the process that idled connected
  // Under Wine: the CPU of the prefix's own processes (wineserver and the
  // services it started) over the same stretches; -1 for the Linux console.
  double wineCpuPercent = -1, wineDisconnectedCpuPercent = -1;
  // Under Wine: the busiest thread of the console while idle connected, in %
  // of one core, and how often it was switched in per second.
  double busiestThreadCpuPercent = -1, busiestThreadWakeupsPerS = -1;
};

// Starts the console `starts` times; the last one is left connected and idle
// for idleSeconds before its CPU time and peak memory are read. One further
// start finds no module on COM1 and idles disconnected.
std::optional<ProcessFigures> ConsoleProcess(const Settings& s, int starts, double idleSeconds, std::string* error);

// A BIN download of blocks x 128 bytes by the Windows console under Wine
// (qeld-winbench.exe: the Win32 window, ConsoleDialog and the Win32 CComm)
// on a paced line; the simulator's record of it.
std::optional<std::vector<LineEvent>> WineDownload(const Settings& s, int blocks, std::string* error);

}  // namespace qeld::bench
