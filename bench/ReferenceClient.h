// The yardstick for the console's download: a plain blocking loop in this
// process (write block, read ACK, read answer, write ACK) on the same kind of
// pseudo-terminal, sending the same bytes.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "BenchCommon.h"

namespace qeld::bench {

// Go Loader, then every block of a BIN image of `blocks` blocks; returns the
// simulator's timing record.
std::optional<std::vector<LineEvent>> ReferenceDownload(const Settings& s, int blocks, std::string* error);

// The sequence query `responses` times on a paced line, each answer
// acknowledged as soon as its last byte is read: what the line and the
// machine alone give for the ACK turnaround. Returns the timing record.
std::optional<std::vector<LineEvent>> ReferenceQueries(const Settings& s, int responses, std::string* error);

}  // namespace qeld::bench
