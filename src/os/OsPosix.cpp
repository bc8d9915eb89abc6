#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "os/Os.h"

namespace qeld {

std::FILE* OpenFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

std::string CurrentFolder() {
  char buf[4096];
  return getcwd(buf, sizeof buf) ? buf : "";
}

char PathSeparator() { return '/'; }

std::string DocumentsFolder() {
  const char* home = std::getenv("HOME");
  if (!home || !*home) {
    const passwd* p = getpwuid(getuid());
    home = p ? p->pw_dir : nullptr;
  }
  return home && *home ? std::string(home) + "/Documents" : "";
}

std::string CannotWriteIn(const std::string& folder) {
  if (folder.empty()) return "the folder has no name";
  // access() asks as the user the console runs as, and knows read-only
  // file systems: what creating a file would meet.
  return access(folder.c_str(), W_OK | X_OK) == 0 ? "" : std::strerror(errno);
}

std::string MakeFolders(const std::string& folder) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) return ec.message();
  return std::filesystem::is_directory(folder, ec) ? "" : "not a folder";
}

bool LocalTime(std::time_t t, std::tm& out) { return localtime_r(&t, &out) != nullptr; }

void RaiseProcessPriority() { (void)setpriority(PRIO_PROCESS, 0, -10); }

}  // namespace qeld
