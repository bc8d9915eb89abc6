#include "comm/SerialPorts.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace qeld {

namespace fs = std::filesystem;

namespace {

std::string OsText(int err) { return std::generic_category().message(err); }

// Where a path finally leads, or "" when it leads nowhere.
std::string Resolve(const std::string& path) {
  std::error_code ec;
  const fs::path p = fs::canonical(path, ec);
  return ec ? std::string() : p.string();
}

std::string GroupName(gid_t gid) {
  if (const group* g = getgrgid(gid)) return g->gr_name;
  return "group " + std::to_string(gid);
}

std::string UserName(uid_t uid) {
  if (const passwd* p = getpwuid(uid)) return p->pw_name;
  return "user " + std::to_string(uid);
}

bool HasPrefix(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// "ttyS4" has a UART behind it unless the kernel's type for it is 0 (unknown).
bool NoUart(const std::string& sysRoot, const std::string& name) {
  std::ifstream in(sysRoot + "/class/tty/" + name + "/type");
  int type = -1;
  return in >> type && type == 0;
}

std::string PortName(int port) { return "COM" + std::to_string(port); }

}  // namespace

Credentials Credentials::OfThisProcess() {
  Credentials c;
  c.uid = geteuid();
  c.user = UserName(c.uid);
  c.groups.push_back(getegid());
  const int n = getgroups(0, nullptr);
  if (n > 0) {
    std::vector<gid_t> more(static_cast<size_t>(n));
    const int got = getgroups(n, more.data());
    if (got > 0) c.groups.insert(c.groups.end(), more.begin(), more.begin() + got);
  }
  return c;
}

SerialPorts::SerialPorts(std::string devRoot, std::string sysRoot, std::string home, Credentials who)
    : devRoot_(std::move(devRoot)), sysRoot_(std::move(sysRoot)), home_(std::move(home)), who_(std::move(who)) {}

SerialPorts SerialPorts::ForThisUser() {
  const char* home = std::getenv("HOME");
  return SerialPorts("/dev", "/sys", home ? home : "", Credentials::OfThisProcess());
}

std::string SerialPorts::LinkPath(int port) const {
  return home_ + "/.qeld/dosdevices/com" + std::to_string(port);
}

std::vector<ComMapping> SerialPorts::Mappings() const {
  std::vector<ComMapping> maps;
  if (home_.empty()) return maps;
  for (int port = kFirstPort; port <= kLastPort; ++port) {
    const std::string link = LinkPath(port);
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(link, ec))) continue;
    ComMapping m;
    m.port = port;
    m.link = link;
    m.target = fs::read_symlink(link, ec).string();
    m.device = Resolve(link);
    maps.push_back(std::move(m));
  }
  return maps;
}

std::vector<SerialDevice> SerialPorts::Devices() const {
  std::vector<SerialDevice> list;
  std::error_code ec;
  // Stable names of USB adapters, each with the device it leads to now.
  std::vector<std::string> byId;
  for (const auto& e : fs::directory_iterator(devRoot_ + "/serial/by-id", ec)) byId.push_back(e.path().string());
  std::sort(byId.begin(), byId.end());
  for (const std::string& name : byId) {
    SerialDevice d;
    d.name = name;
    d.byId = true;
    d.device = Resolve(name);
    list.push_back(std::move(d));
  }
  // The device files themselves.
  std::vector<std::string> nodes[3];
  for (const auto& e : fs::directory_iterator(devRoot_, ec)) {
    const std::string n = e.path().filename().string();
    if (HasPrefix(n, "ttyUSB")) nodes[0].push_back(n);
    else if (HasPrefix(n, "ttyACM")) nodes[1].push_back(n);
    else if (HasPrefix(n, "ttyS") && n.size() > 4) nodes[2].push_back(n);
  }
  for (auto& group : nodes) {
    // ttyS2 before ttyS10: by number, not by character.
    std::sort(group.begin(), group.end(), [](const std::string& a, const std::string& b) {
      return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    for (const std::string& n : group) {
      SerialDevice d;
      d.name = devRoot_ + "/" + n;
      d.device = Resolve(d.name);
      d.noHardware = HasPrefix(n, "ttyS") && NoUart(sysRoot_, n);
      list.push_back(std::move(d));
    }
  }
  const std::vector<ComMapping> maps = Mappings();
  for (SerialDevice& d : list) {
    for (const ComMapping& m : maps)
      if (m.target == d.name || (!d.device.empty() && m.device == d.device)) d.comPorts.push_back(m.port);
    if (!d.device.empty()) d.access = AccessProblem(d.device);
  }
  return list;
}

std::string SerialPorts::AccessProblem(const std::string& device) const {
  struct stat st;
  if (stat(device.c_str(), &st) != 0) return device + ": " + OsText(errno);
  if (who_.uid == 0) return "";
  const mode_t rw = S_IRUSR | S_IWUSR;
  const bool inGroup = std::find(who_.groups.begin(), who_.groups.end(), st.st_gid) != who_.groups.end();
  // The owner's bits, the group's or the others', moved to the owner's place.
  const mode_t mode = st.st_mode;
  const mode_t bits = who_.uid == st.st_uid ? mode & rw : inGroup ? (mode << 3) & rw : (mode << 6) & rw;
  if (bits == rw) return "";
  const std::string group = GroupName(st.st_gid);
  const bool groupMay = ((mode << 3) & rw) == rw && st.st_gid != 0;
  if (who_.uid != st.st_uid && !inGroup && groupMay)
    return "permission denied: " + device + " is open to the group " + group + ", and " + who_.user +
           " is not in it. As root: usermod -aG " + group + " " + who_.user + ", then log out and in again.";
  return "permission denied: " + device + " cannot be read and written by " + who_.user + " (owner " +
         UserName(st.st_uid) + ", group " + group + ").";
}

bool SerialPorts::LeadsToOpenPort(const std::string& link, const std::string& openPath) const {
  if (openPath.empty()) return false;
  if (openPath == link) return true;  // opened through this very link
  const std::string a = Resolve(link), b = Resolve(openPath);
  return !a.empty() && a == b;
}

std::string SerialPorts::Map(int port, const std::string& name, const std::string& openPath) const {
  if (port < kFirstPort || port > kLastPort) return PortName(port) + ": the console knows COM1 to COM10";
  if (home_.empty()) return "no home folder (HOME is not set)";
  if (name.empty() || Resolve(name).empty()) return name + ": no such device";
  const std::string link = LinkPath(port);
  std::error_code ec;
  const fs::file_status was = fs::symlink_status(link, ec);
  if (fs::exists(was)) {
    if (!fs::is_symlink(was)) return link + " is not a link; it is left alone";
    if (LeadsToOpenPort(link, openPath))
      return PortName(port) + " leads to the port the console has open; its link is left alone";
  }
  fs::create_directories(fs::path(link).parent_path(), ec);
  if (ec) return "cannot make " + fs::path(link).parent_path().string() + ": " + ec.message();
  // Made beside it, then renamed over it: COMn is never missing in between.
  const std::string temp = link + ".new" + std::to_string(getpid());
  ::unlink(temp.c_str());
  if (::symlink(name.c_str(), temp.c_str()) != 0) return "cannot make " + link + ": " + OsText(errno);
  if (::rename(temp.c_str(), link.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return "cannot make " + link + ": " + OsText(err);
  }
  return "";
}

std::string SerialPorts::Unmap(int port, const std::string& openPath) const {
  if (port < kFirstPort || port > kLastPort) return PortName(port) + ": the console knows COM1 to COM10";
  const std::string link = LinkPath(port);
  std::error_code ec;
  const fs::file_status was = fs::symlink_status(link, ec);
  if (!fs::exists(was)) return PortName(port) + " is not mapped";
  if (!fs::is_symlink(was)) return link + " is not a link; it is left alone";
  if (LeadsToOpenPort(link, openPath))
    return PortName(port) + " leads to the port the console has open; its link is left alone";
  if (::unlink(link.c_str()) != 0) return "cannot remove " + link + ": " + OsText(errno);
  return "";
}

}  // namespace qeld
