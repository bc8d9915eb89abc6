// Where the console puts the files it makes (log files, line recordings):
// the working folder, as always, when files can be made there; otherwise
// the user's Documents/QELD folder (made when missing). A ZIP unpacked into
// Program Files and a shortcut that starts the console in its installation
// folder are the usual cases; a working folder removed meanwhile is another.
#pragma once
#include <string>

namespace qeld {

struct OutputFolder {
  std::string path;     // where to make the files; "" when no folder will do
  // Why path is not the working folder ("the working folder C:\x cannot be
  // written (Access is denied)"); "" when it is.
  std::string why;
  std::string problem;  // why no folder will do, when path is ""
};

// The folder under the user's documents that takes the console's files.
constexpr char kOutputSubfolder[] = "QELD";

// The rule over the given folders (working: "" when the process has none).
OutputFolder ChooseOutputFolder(const std::string& working, const std::string& documents);
// The rule over this process's working folder and this user's documents.
OutputFolder ChooseOutputFolder();

}  // namespace qeld
