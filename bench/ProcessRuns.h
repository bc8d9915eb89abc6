// The console as its own process (qeld-console, offscreen), as an operator
// starts it: start-up time, CPU while connected and idle, peak memory.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "BenchCommon.h"

namespace qeld::bench {

struct ProcessFigures {
  std::vector<double> startupMs;  // one per start
  double idleCpuPercent = 0;      // of one core, over the idle stretch
  double peakRssMb = 0;           // VmHWM of the process that idled
};

// Starts the console `starts` times; the last one is left connected and idle
// for idleSeconds before its CPU time and peak memory are read.
std::optional<ProcessFigures> ConsoleProcess(const Settings& s, int starts, double idleSeconds, std::string* error);

}  // namespace qeld::bench
