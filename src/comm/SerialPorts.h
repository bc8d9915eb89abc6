// The serial ports of this PC and the COM numbers mapped to them: what the
// "Serial ports..." window lists and changes. COMn is the link
// ~/.qeld/dosdevices/comN (see CComm::DevicePath); mapping makes that link,
// unmapping removes it. A link that leads to the device the console has open
// is never touched.
#pragma once
#include <string>
#include <vector>

#include <sys/types.h>

namespace qeld {

// Whose rights decide whether a device may be opened: this process's, or in
// tests any user's.
struct Credentials {
  uid_t uid = 0;
  std::string user;         // for the messages
  std::vector<gid_t> groups;  // the primary group and the supplementary ones
  static Credentials OfThisProcess();
};

struct SerialDevice {
  std::string name;    // what the link is made to: /dev/serial/by-id/usb-... or /dev/ttyUSB0
  std::string device;  // the device file it leads to; "" when the name leads nowhere
  bool byId = false;   // a stable name under /dev/serial/by-id
  bool noHardware = false;  // a /dev/ttyS name the kernel reports no UART behind
  std::vector<int> comPorts;  // the COM numbers mapped to it, by this name or another
  std::string access;  // "" when it may be opened, otherwise why not
};

struct ComMapping {
  int port = 0;
  std::string link;    // ~/.qeld/dosdevices/comN
  std::string target;  // what the link says
  std::string device;  // the device file it leads to; "" when missing (adapter unplugged)
};

class SerialPorts {
 public:
  static constexpr int kFirstPort = 1;
  static constexpr int kLastPort = 10;

  // devRoot stands for /dev and sysRoot for /sys (tests give folders of
  // their own); home is the folder under which .qeld/dosdevices lies.
  SerialPorts(std::string devRoot, std::string sysRoot, std::string home, Credentials who);
  // The real ones: /dev, /sys, $HOME and this process.
  static SerialPorts ForThisUser();

  // By-id names first (each with its device), then the ttyUSB, ttyACM and
  // ttyS device files, each list sorted by name.
  std::vector<SerialDevice> Devices() const;
  // COM1..COM10 links that exist, dangling ones included.
  std::vector<ComMapping> Mappings() const;

  // Makes COMn the given name (a by-id name or a device file); replaces a
  // link there unless it leads to the port the console has open (openPath:
  // CComm's open device path, "" when none). "" when done, else why not.
  std::string Map(int port, const std::string& name, const std::string& openPath) const;
  // Removes the link of COMn, under the same rule.
  std::string Unmap(int port, const std::string& openPath) const;

  // "" when the device may be opened for reading and writing by `who`;
  // otherwise what stands in the way and what to do (the dialout group).
  std::string AccessProblem(const std::string& device) const;

  std::string LinkPath(int port) const;
  const std::string& DevRoot() const { return devRoot_; }

 private:
  bool LeadsToOpenPort(const std::string& link, const std::string& openPath) const;

  std::string devRoot_, sysRoot_, home_;
  Credentials who_;
};

}  // namespace qeld
