#include "os/OutputFolder.h"

#include "os/Os.h"

namespace qeld {

OutputFolder ChooseOutputFolder(const std::string& working, const std::string& documents) {
  OutputFolder out;
  const std::string whyNotHere = working.empty() ? "it no longer exists" : CannotWriteIn(working);
  if (whyNotHere.empty()) {
    out.path = working;
    return out;
  }
  const std::string here = working.empty() ? "the working folder" : "the working folder " + working;
  if (documents.empty()) {
    out.problem = here + " cannot be written (" + whyNotHere + "), and this user has no Documents folder";
    return out;
  }
  const std::string mine = documents + PathSeparator() + kOutputSubfolder;
  std::string whyNotThere = MakeFolders(mine);
  if (whyNotThere.empty()) whyNotThere = CannotWriteIn(mine);
  if (!whyNotThere.empty()) {
    out.problem = here + " cannot be written (" + whyNotHere + "), nor " + mine + " (" + whyNotThere + ")";
    return out;
  }
  out.path = mine;
  out.why = here + " cannot be written (" + whyNotHere + ")";
  return out;
}

OutputFolder ChooseOutputFolder() { return ChooseOutputFolder(CurrentFolder(), DocumentsFolder()); }

}  // namespace qeld
