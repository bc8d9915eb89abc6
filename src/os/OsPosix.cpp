#include <sys/resource.h>
#include <unistd.h>

#include "os/Os.h"

namespace qeld {

std::FILE* OpenFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

std::string CurrentFolder() {
  char buf[4096];
  return getcwd(buf, sizeof buf) ? buf : "";
}

char PathSeparator() { return '/'; }

bool LocalTime(std::time_t t, std::tm& out) { return localtime_r(&t, &out) != nullptr; }

void RaiseProcessPriority() { (void)setpriority(PRIO_PROCESS, 0, -10); }

}  // namespace qeld
