// The "Serial ports..." window over a made-up /dev: the list, Map and Unmap,
// the refusal for the port the console has open, and the rights message.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <QTableWidget>
#include <filesystem>
#include <fstream>

#include "qt/QtSerialPorts.h"

using namespace qeld;
namespace fs = std::filesystem;

TEST(SerialPortsDialog, MapsTheChosenPortAndSaysWhatStandsInTheWay) {
  char tmpl[] = "/tmp/qeld-ports-dlg-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string root = tmpl, dev = root + "/dev", home = root + "/home";
  fs::create_directories(dev + "/serial/by-id");
  fs::create_directories(home);
  const std::string byId = dev + "/serial/by-id/usb-Prolific_PL2303-if00-port0";
  std::ofstream(dev + "/ttyUSB0").put('\n');
  fs::permissions(dev + "/ttyUSB0", fs::perms::owner_read | fs::perms::owner_write);
  fs::create_symlink("../../ttyUSB0", byId);
  // Someone who is not the owner and in no group of the device.
  Credentials outsider{getuid() + 4321, "tech", {getgid() + 4321}};
  std::string open;
  SerialPortsDialog dlg(SerialPorts(dev, root + "/sys", home, outsider), [&] { return open; });

  ASSERT_EQ(dlg.Table()->rowCount(), 2);
  EXPECT_EQ(dlg.Table()->item(0, 0)->text().toStdString(), byId);
  EXPECT_EQ(dlg.Table()->item(0, 1)->text().toStdString(), fs::canonical(dev + "/ttyUSB0").string());
  EXPECT_TRUE(dlg.MappingsText().startsWith("No COM number is mapped"));

  dlg.MapSelected();
  EXPECT_EQ(dlg.Message(), "Choose a port in the list first.");
  ASSERT_TRUE(dlg.Select(byId));
  dlg.ChoosePort(4);
  dlg.MapSelected();
  EXPECT_TRUE(dlg.Message().startsWith("COM4 is now " + QString::fromStdString(byId) +
                                       ", but the console cannot open it: permission denied"))
      << dlg.Message().toStdString();
  EXPECT_EQ(fs::read_symlink(home + "/.qeld/dosdevices/com4").string(), byId);
  EXPECT_EQ(dlg.Table()->item(0, 2)->text(), "COM4");
  EXPECT_EQ(dlg.Table()->item(1, 2)->text(), "COM4");
  EXPECT_TRUE(dlg.MappingsText().contains("COM4 -> " + QString::fromStdString(byId)));
  // A picture for the eye.
  EXPECT_TRUE(dlg.grab().save(QStringLiteral(QELD_BUILD_DIR "/serial-ports.png")));

  // The console has COM4 open: its link stays.
  open = home + "/.qeld/dosdevices/com4";
  dlg.UnmapChosen();
  EXPECT_EQ(dlg.Message(), "COM4 leads to the port the console has open; its link is left alone");
  EXPECT_TRUE(fs::is_symlink(home + "/.qeld/dosdevices/com4"));
  open.clear();
  dlg.UnmapChosen();
  EXPECT_EQ(dlg.Message(), "COM4 is no longer mapped: it is /dev/ttyS3 again.");
  EXPECT_FALSE(fs::exists(fs::symlink_status(home + "/.qeld/dosdevices/com4")));
  fs::remove_all(root);
}
