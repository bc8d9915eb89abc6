// The serial ports window's logic against a made-up /dev: by-id names and
// ttyUSB/ttyS files leading to pseudo-terminals, COM links under a private
// HOME, the refusal to touch the link of the port the console has open, and
// the message for a device the user may not open.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "comm/Comm.h"
#include "comm/SerialPorts.h"
#include "window/HeadlessWindow.h"

using namespace qeld;
namespace fs = std::filesystem;

namespace {

constexpr const char* kAdapter = "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";

class SerialPortsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qeld-ports-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    home_ = root_ + "/home";
    dev_ = root_ + "/dev";
    sys_ = root_ + "/sys";
    fs::create_directories(home_);
    fs::create_directories(dev_ + "/serial/by-id");
    if (const char* h = std::getenv("HOME")) oldHome_ = h;
    setenv("HOME", home_.c_str(), 1);
    for (int i = 0; i < 2; ++i) {
      master_[i] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
      ASSERT_GE(master_[i], 0);
      ASSERT_EQ(grantpt(master_[i]), 0);
      ASSERT_EQ(unlockpt(master_[i]), 0);
      char name[128];
      ASSERT_EQ(ptsname_r(master_[i], name, sizeof name), 0);
      pts_[i] = name;
    }
    // As udev lays them out: the by-id name leads to ../../ttyUSB0.
    fs::create_symlink(pts_[0], dev_ + "/ttyUSB0");
    fs::create_symlink("../../ttyUSB0", dev_ + "/serial/by-id/" + kAdapter);
    fs::create_symlink(pts_[1], dev_ + "/ttyACM0");
    for (const char* n : {"ttyS0", "ttyS1", "ttyS10", "ttyS2"}) std::ofstream(dev_ + "/" + n).put('\n');
    std::ofstream(dev_ + "/tty0").put('\n');  // not a serial port
    // The kernel: a UART behind ttyS0, none behind ttyS1.
    fs::create_directories(sys_ + "/class/tty/ttyS0");
    fs::create_directories(sys_ + "/class/tty/ttyS1");
    std::ofstream(sys_ + "/class/tty/ttyS0/type") << "4\n";
    std::ofstream(sys_ + "/class/tty/ttyS1/type") << "0\n";
  }
  void TearDown() override {
    comm_.ClosePort();
    for (int m : master_)
      if (m >= 0) close(m);
    fs::remove_all(root_);
    if (oldHome_.empty())
      unsetenv("HOME");
    else
      setenv("HOME", oldHome_.c_str(), 1);
  }

  SerialPorts Ports(Credentials who = {}) const { return SerialPorts(dev_, sys_, home_, who); }
  std::string ById() const { return dev_ + "/serial/by-id/" + kAdapter; }
  std::string Link(int port) const { return home_ + "/.qeld/dosdevices/com" + std::to_string(port); }
  std::string Target(int port) const {
    std::error_code ec;
    return fs::read_symlink(Link(port), ec).string();
  }
  std::string OpenPath() const { return comm_.m_bOpen ? comm_.m_szPortName : ""; }

  std::string root_, home_, dev_, sys_, oldHome_;
  int master_[2] = {-1, -1};
  std::string pts_[2];
  CComm comm_;
};

}  // namespace

TEST_F(SerialPortsTest, ListsByIdNamesWithTheirDeviceThenTheDeviceFiles) {
  const auto list = Ports().Devices();
  std::vector<std::string> names;
  for (const auto& d : list) names.push_back(d.name.substr(dev_.size() + 1));
  EXPECT_EQ(names, (std::vector<std::string>{std::string("serial/by-id/") + kAdapter, "ttyUSB0", "ttyACM0", "ttyS0",
                                             "ttyS1", "ttyS2", "ttyS10"}));
  ASSERT_EQ(list.size(), 7u);
  EXPECT_TRUE(list[0].byId);
  EXPECT_EQ(list[0].device, fs::canonical(pts_[0]).string()) << "the adapter's device now";
  EXPECT_EQ(list[1].device, list[0].device);
  EXPECT_FALSE(list[1].byId);
  EXPECT_EQ(list[2].device, fs::canonical(pts_[1]).string());
  EXPECT_FALSE(list[3].noHardware);
  EXPECT_TRUE(list[4].noHardware) << "the kernel knows no UART behind ttyS1";
  for (const auto& d : list) EXPECT_TRUE(d.comPorts.empty()) << d.name;
  EXPECT_TRUE(Ports().Mappings().empty());
}

TEST_F(SerialPortsTest, MapsAndUnmapsComNumbersByMakingAndRemovingTheLink) {
  SerialPorts ports = Ports();
  EXPECT_EQ(ports.Map(3, ById(), ""), "");
  EXPECT_EQ(Target(3), ById());
  EXPECT_EQ(CComm::DevicePath(3), Link(3)) << "the console now opens COM3 through the link";
  EXPECT_EQ(ports.Map(5, dev_ + "/ttyACM0", ""), "");
  auto list = ports.Devices();
  EXPECT_EQ(list[0].comPorts, std::vector<int>{3});
  EXPECT_EQ(list[1].comPorts, std::vector<int>{3}) << "ttyUSB0 is the same adapter";
  EXPECT_EQ(list[2].comPorts, std::vector<int>{5});
  const auto maps = ports.Mappings();
  ASSERT_EQ(maps.size(), 2u);
  EXPECT_EQ(maps[0].port, 3);
  EXPECT_EQ(maps[0].target, ById());
  EXPECT_EQ(maps[0].device, fs::canonical(pts_[0]).string());

  // Mapped again elsewhere: the link is replaced.
  EXPECT_EQ(ports.Map(5, dev_ + "/ttyS0", ""), "");
  EXPECT_EQ(Target(5), dev_ + "/ttyS0");
  EXPECT_EQ(ports.Unmap(5, ""), "");
  EXPECT_FALSE(fs::is_symlink(fs::symlink_status(Link(5))));
  EXPECT_EQ(ports.Unmap(5, ""), "COM5 is not mapped");

  // What is refused, with the reason; nothing changes.
  EXPECT_EQ(ports.Map(11, ById(), ""), "COM11: the console knows COM1 to COM10");
  EXPECT_EQ(ports.Map(0, ById(), ""), "COM0: the console knows COM1 to COM10");
  EXPECT_EQ(ports.Map(4, dev_ + "/ttyUSB7", ""), dev_ + "/ttyUSB7: no such device");
  std::ofstream(Link(6)) << "not a link";
  EXPECT_EQ(ports.Map(6, ById(), ""), Link(6) + " is not a link; it is left alone");
  EXPECT_EQ(ports.Unmap(6, ""), Link(6) + " is not a link; it is left alone");
  EXPECT_TRUE(fs::is_regular_file(Link(6)));

  // The adapter pulled: the mapping stays, leading nowhere.
  fs::remove(dev_ + "/ttyUSB0");
  const auto gone = ports.Mappings();
  ASSERT_FALSE(gone.empty());
  EXPECT_EQ(gone[0].port, 3);
  EXPECT_EQ(gone[0].device, "");
  EXPECT_EQ(ports.Devices()[0].device, "");
}

TEST_F(SerialPortsTest, NeverTouchesTheLinkOfThePortTheConsoleHasOpen) {
  SerialPorts ports = Ports();
  ASSERT_EQ(ports.Map(3, ById(), ""), "");
  ASSERT_EQ(ports.Map(4, dev_ + "/ttyUSB0", ""), "") << "another name of the same adapter";
  ASSERT_EQ(ports.Map(5, dev_ + "/ttyACM0", ""), "");
  ASSERT_EQ(comm_.CreateEvents(), 1);
  ASSERT_EQ(comm_.OpenPort(3, 9600, 8, 0, 2), 1) << comm_.LastError();
  const std::string open = OpenPath();
  ASSERT_EQ(open, Link(3));
  const std::string refused3 = "COM3 leads to the port the console has open; its link is left alone";
  EXPECT_EQ(ports.Map(3, dev_ + "/ttyACM0", open), refused3);
  EXPECT_EQ(ports.Unmap(3, open), refused3);
  EXPECT_EQ(Target(3), ById());
  EXPECT_EQ(ports.Unmap(4, open), "COM4 leads to the port the console has open; its link is left alone");
  EXPECT_EQ(Target(4), dev_ + "/ttyUSB0");
  // The other ports are free to change while the console works.
  EXPECT_EQ(ports.Map(5, dev_ + "/ttyS0", open), "");
  EXPECT_EQ(ports.Map(6, ById(), open), "") << "a new link to the open adapter touches no link in use";
  EXPECT_EQ(ports.Unmap(6, open), "COM6 leads to the port the console has open; its link is left alone")
      << "but once made, it leads to the open port";
  // Closed, COM3 is free again.
  comm_.ClosePort();
  EXPECT_EQ(ports.Unmap(3, OpenPath()), "");
  EXPECT_FALSE(fs::exists(fs::symlink_status(Link(3))));
}

// The rights are checked against given credentials, so that the message for
// a user outside the device's group is tested as root too.
TEST_F(SerialPortsTest, TellsWhatToDoWhenTheUserMayNotOpenTheDevice) {
  const std::string device = dev_ + "/ttyS0";
  if (geteuid() == 0) {
    // Devices belong to dialout; root can give the fake one that group.
    const group* g = getgrnam("dialout");
    ASSERT_EQ(chown(device.c_str(), 0, g ? g->gr_gid : 20), 0);
  }
  ASSERT_EQ(chmod(device.c_str(), 0660), 0);
  struct stat st;
  ASSERT_EQ(stat(device.c_str(), &st), 0);
  ASSERT_NE(st.st_gid, 0u);
  const group* g = getgrgid(st.st_gid);
  const std::string groupName = g ? g->gr_name : "group " + std::to_string(st.st_gid);

  Credentials outsider{st.st_uid + 4321, "tech", {st.st_gid + 4321}};
  EXPECT_EQ(Ports(outsider).AccessProblem(device),
            "permission denied: " + device + " is open to the group " + groupName +
                ", and tech is not in it. As root: usermod -aG " + groupName + " tech, then log out and in again.");
  Credentials member{st.st_uid + 4321, "tech", {st.st_gid + 4321, st.st_gid}};
  EXPECT_EQ(Ports(member).AccessProblem(device), "");
  Credentials owner{st.st_uid, "tech", {}};
  EXPECT_EQ(Ports(owner).AccessProblem(device), "");
  Credentials root{0, "root", {}};
  EXPECT_EQ(Ports(root).AccessProblem(device), "");

  ASSERT_EQ(chmod(device.c_str(), 0600), 0);
  const std::string owned = Ports(member).AccessProblem(device);
  EXPECT_EQ(owned.rfind("permission denied: " + device + " cannot be read and written by tech (owner ", 0), 0u) << owned;
  // The list carries the message beside the device.
  for (const auto& d : Ports(outsider).Devices()) {
    if (d.name == device) {
      EXPECT_FALSE(d.access.empty());
    }
  }
  EXPECT_EQ(Ports(outsider).AccessProblem(dev_ + "/ttyUSB9"), dev_ + "/ttyUSB9: No such file or directory");
}
