// A HEX file as a common toolchain writes it for a part whose flash starts at
// 0x08000000, downloaded through a pseudo-terminal to qeld-sim.
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "ConsoleOnSim.h"
#include "link/Frame.h"

using namespace qeld;
using namespace qeld::test;

namespace {

std::string Rec(unsigned addr, const uint8_t* data, unsigned n, unsigned type) {
  std::string s = Format(":%02X%04X%02X", n, addr, type);
  unsigned sum = n + (addr >> 8) + (addr & 0xFF) + type;
  for (unsigned i = 0; i < n; ++i) {
    s += Format("%02X", data[i]);
    sum += data[i];
  }
  return s + Format("%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
}

}  // namespace

TEST(ConsoleOnSim, HexWithAddressAndStartRecordsFlashesExactlyItsDataBytes) {
  ConsoleOnSim c;
  ASSERT_TRUE(c.Connect());
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("qeld-seg-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);

  // The firmware: 40960 bytes of data records but for a gap at 0x5000..0x50FF,
  // which the module must get as 0xFF.
  std::string expect(kImageSize, '\xFF');
  uint32_t x = 54321;
  for (unsigned a = 0; a < 40960; ++a) {
    x = x * 1103515245u + 12345u;
    if (a < 0x5000 || a >= 0x5100) expect[a] = static_cast<char>(x >> 24);
  }
  const uint8_t base[] = {0x08, 0x00}, start[] = {0x08, 0x00, 0x01, 0x23};
  std::string hex = Rec(0, base, 2, 4);  // extended linear address 0x08000000
  for (unsigned a = 0; a < 40960; a += 32) {
    if (a >= 0x5000 && a < 0x5100) continue;
    hex += Rec(a, reinterpret_cast<const uint8_t*>(expect.data()) + a, 32, 0);
  }
  hex += Rec(0, start, 4, 5);  // start linear address, before the end record
  hex += ":00000001FF\r\n";
  std::ofstream(dir / "fw.hex", std::ios::binary) << hex;

  ASSERT_TRUE(c.Press(1170, 'r'));  // the loader erases the flash to 0xFF
  c.w.fileScript.push_back((dir / "fw.hex").string());
  ASSERT_TRUE(c.w.Click(ctl::kWriteProg));
  ASSERT_TRUE(c.Until([&] { return c.d.m_bDownloading == 0; }, 60000));
  EXPECT_EQ(c.w.boxes.back().text, "Downloading Done!");
  EXPECT_EQ(c.sim.Status()["blocks"], "320");
  ASSERT_EQ(c.sim.Command("dump-flash " + (dir / "flash.bin").string()), "ok");
  std::ifstream in(dir / "flash.bin", std::ios::binary);
  const std::string flash((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(flash.size(), expect.size());
  size_t firstDiff = 0;
  while (firstDiff < flash.size() && flash[firstDiff] == expect[firstDiff]) ++firstDiff;
  EXPECT_EQ(firstDiff, flash.size()) << "the module's flash differs from the data records first at offset "
                                     << firstDiff;

  ASSERT_TRUE(c.Until([&] { return c.Idle(); }));
  ASSERT_TRUE(c.Press(1172, 't'));
  EXPECT_EQ(c.w.boxes.back().text, "Verify O.K.!");
  std::filesystem::remove_all(dir);
}
