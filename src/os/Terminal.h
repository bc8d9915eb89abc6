// The little that qeld-run needs from the terminal it runs in, per target.
#pragma once
#include <cstdio>
#include <optional>
#include <string>

namespace qeld {

// True when the stream is an interactive terminal (progress bars, prompts).
bool IsTerminal(std::FILE* stream);
// Columns of the terminal on standard output; 80 when it cannot be told.
int TerminalColumns();
// Asks on the terminal for a secret without echoing it. Nothing when there is
// no terminal to ask or the input ended.
std::optional<std::string> ReadSecret(const std::string& prompt);
// Ctrl+C (and a polite termination request) only set a flag, once: the
// program then winds down on its own; a second Ctrl+C ends it at once.
void WatchInterrupt();
bool InterruptRequested();

}  // namespace qeld
