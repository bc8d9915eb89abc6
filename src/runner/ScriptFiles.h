// The files a script names, checked before the port opens: each firmware
// image is loaded as Write Prog will load it. A script that takes the module
// into its loader and then cannot send the image would leave it there.
#pragma once
#include <optional>

#include "runner/Script.h"

namespace qeld::run {

// The first file that cannot be used (or a file step without a file), with
// its line and the column of its value; nothing when every file loads.
std::optional<ScriptError> CheckScriptFiles(const Script& script);

}  // namespace qeld::run
