// The part of qeld-run's help that differs by target: how a port number
// becomes a device, and how the admin password is given in the shells of
// that system.
#pragma once

namespace qeld {

// Paragraphs ending in a newline, for the help text.
const char* RunPortsHelp();
const char* RunPasswordHelp();
// Where the script grammar and the examples are.
const char* RunGuideHelp();

}  // namespace qeld
