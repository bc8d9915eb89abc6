// The console in this process: the real Qt window (offscreen) and
// ConsoleDialog, with the real serial channel, reader thread and Qt timers,
// against qeld-sim over a pseudo-terminal.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "BenchCommon.h"

namespace qeld::bench {

// Connects, sends Go Loader, then Write Prog with a BIN image of `blocks`
// blocks; returns the simulator's timing record of it all.
std::optional<std::vector<LineEvent>> ConsoleDownload(const Settings& s, int blocks, bool pace, std::string* error);

// Connects, then sends the sequence query `responses` times, each as soon as
// the answer before has been acknowledged; returns the timing record.
std::optional<std::vector<LineEvent>> ConsoleQueries(const Settings& s, int responses, bool pace, std::string* error);

}  // namespace qeld::bench
