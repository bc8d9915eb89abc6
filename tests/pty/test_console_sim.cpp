// The console against qeld-sim through a real pseudo-terminal.
#include <fstream>

#include "ConsoleOnSim.h"
#include "link/Frame.h"

using namespace qeld;
using namespace qeld::test;

TEST(ConsoleOnSim, OpenSendsTheSequenceQueryAndConnects) {
  ConsoleOnSim c;
  ASSERT_TRUE(c.sim.Ready()) << c.sim.Error();
  ASSERT_TRUE(c.Connect());
  EXPECT_EQ(c.w.GetText(ctl::kStatusLine), "COM1 connected");
  EXPECT_EQ(c.d.m_nSequence, std::stoi(c.sim.Status()["seq"]));
  EXPECT_EQ(c.sim.Status()["requests"], "1");
  EXPECT_EQ(c.sim.Status()["naks"], "0");
}

TEST(ConsoleOnSim, EveryButtonCompletesItsTransactionAndLeavesTheConsoleIdle) {
  ConsoleOnSim c;
  ASSERT_TRUE(c.Connect());
  c.Admin();
  c.w.SetText(ctl::kRequest[0], "2");
  c.w.SetText(ctl::kAddr, "3");
  c.w.SetText(ctl::kValue, "77");
  c.w.SetText(ctl::kSerial[0], "QL");
  c.w.SetText(ctl::kSerial[1], "1234");
  c.w.SetText(ctl::kSerial[2], "0042");
  struct Row {
    int button;
    char answer;
  };
  // Everything of the normal firmware first, the loader at the end.
  const Row rows[] = {
      {1001, 'R'}, {1002, 'Q'}, {1003, 'S'}, {1004, 'U'}, {1005, 'p'}, {1006, 'P'}, {1007, '['},
      {1008, 'Z'}, {1011, 'X'}, {1012, 'q'}, {1013, 'q'}, {1014, 'q'}, {1015, 'q'}, {1016, 'q'},
      {1017, '_'}, {1018, '^'}, {7002, 'q'}, {7003, 'q'}, {7004, 'q'}, {7027, 'q'}, {7028, 'q'},
      {1199, 'b'}, {1198, 'c'}, {1447, 'u'}, {1448, 'v'}, {1451, 'W'},
  };
  for (const auto& r : rows) {
    c.w.boxes.clear();
    ASSERT_TRUE(c.Press(r.button, r.answer)) << "button " << r.button;
    EXPECT_TRUE(c.Idle()) << r.button;
    for (const auto& b : c.w.boxes)
      EXPECT_EQ(b.caption.rfind("Error", 0), std::string::npos) << r.button << ": " << b.text;
  }
  EXPECT_EQ(c.w.GetText(1201) + "-" + c.w.GetText(1204) + "-" + c.w.GetText(1205), "QL-1234-0042");
  c.w.SetText(ctl::kAddr, "3");
  c.w.SetText(ctl::kValue, "77");
  ASSERT_TRUE(c.Press(7003, 'q'));
  c.w.SetText(ctl::kValue, "");
  ASSERT_TRUE(c.Press(7004, 'q'));
  EXPECT_EQ(c.w.GetText(ctl::kValue), "77") << "written, then read back";
  EXPECT_NE(c.w.GetText(1449), "");
  ASSERT_TRUE(c.Press(7001, 'q'));  // "*Init" empties the settings it asks the module to reset
  EXPECT_EQ(c.w.GetText(ctl::kValue), "");
  // Log data, Go Loader, Verify, Reset.
  char dir[] = "/tmp/qeld-it-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  ASSERT_EQ(chdir(dir), 0);
  ASSERT_TRUE(c.Press(1019, '~'));
  ASSERT_TRUE(c.Press(1170, 'r'));
  EXPECT_EQ(c.w.boxes.back().text, "Go Loader O.K.!");
  ASSERT_TRUE(c.Press(1172, 't'));
  ASSERT_TRUE(c.Press(1173, 'D'));
  EXPECT_TRUE(c.Idle());
  EXPECT_EQ(c.sim.Status()["naks"], "0");
  EXPECT_EQ(c.sim.Status()["bad_bcc"], "0");
  ASSERT_EQ(chdir("/"), 0);
  std::filesystem::remove_all(dir);
}

TEST(ConsoleOnSim, RunOfFiveWithLogModeWritesOneFileOfFiveLogs) {
  ConsoleOnSim c;
  ASSERT_TRUE(c.Connect());
  char dir[] = "/tmp/qeld-run-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  ASSERT_EQ(chdir(dir), 0);
  c.w.Click(ctl::kLogMode);
  c.w.SetText(ctl::kRequest[0], "3");
  c.w.SetText(ctl::kRequest[1], "2");
  c.w.SetText(ctl::kRepeat, "5");
  c.w.SetText(ctl::kWait, "1");
  ASSERT_TRUE(c.w.Click(1001));
  // Timers run in virtual time: step them while answers come in for real.
  for (int guard = 0; guard < 200 && c.d.m_bBusy; ++guard) {
    c.Until([&] { return c.d.m_nRxState == 0 && !c.w.TimerRunning(kTimerResponse); }, 3000);
    c.w.Advance(1000);
  }
  EXPECT_EQ(c.d.m_bBusy, 0);
  auto st = c.sim.Status();
  EXPECT_EQ(c.w.GetText(ctl::kTotalRequested), "25");
  EXPECT_EQ(c.w.GetText(1139), st["dispensed1"]);
  EXPECT_EQ(c.w.GetText(1140), st["dispensed2"]);
  EXPECT_EQ(c.w.GetText(1143), st["rejected1"]);
  EXPECT_EQ(c.w.GetText(ctl::kTotalDispensed),
            std::to_string(std::stoi(st["dispensed1"]) + std::stoi(st["dispensed2"])));
  std::vector<std::filesystem::path> files;
  for (auto& e : std::filesystem::directory_iterator(dir)) files.push_back(e.path());
  ASSERT_EQ(files.size(), 1u);
  std::ifstream in(files[0], std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t logs = 0;
  for (size_t p = text.find("\r\n---END\r\n"); p != std::string::npos; p = text.find("\r\n---END\r\n", p + 1)) ++logs;
  EXPECT_EQ(logs, 5u);
  ASSERT_EQ(chdir("/"), 0);
  std::filesystem::remove_all(dir);
}

TEST(ConsoleOnSim, ReopeningUnderTrafficKeepsOneReader) {
  ConsoleOnSim c({"--fast", "--noise", "40"});
  ASSERT_TRUE(c.Connect());
  for (int i = 0; i < 20; ++i) {
    c.w.Click(1006);
    c.w.Click(ctl::kOpen);  // reopen while the answer streams in
    ASSERT_EQ(c.d.m_bConnected, 1);
    EXPECT_EQ(CComm::ReadersRunning(), 1);
  }
  EXPECT_TRUE(c.Until([&] { return c.d.m_nRxState == 0 && c.d.m_nFrameLength > 3; }));
  EXPECT_TRUE(c.Press(1006, 'P'));
}

TEST(ConsoleOnSim, HexImageFromObjcopyDownloadsVerifiesAndBecomesTheFirmware) {
  ConsoleOnSim c;
  ASSERT_TRUE(c.Connect());
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("qeld-fw-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::string bin(40960, '\0');
  uint32_t x = 12345;
  for (char& ch : bin) {
    x = x * 1103515245u + 12345u;
    ch = static_cast<char>(x >> 24);
  }
  std::ofstream(dir / "fw.bin", std::ios::binary) << bin;
  const std::string cmd = "objcopy -I binary -O ihex '" + (dir / "fw.bin").string() + "' '" + (dir / "fw.hex").string() + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << "GNU objcopy is needed (binutils)";
  const std::string oldFw = c.sim.Status()["fw"];

  ASSERT_TRUE(c.Press(1170, 'r'));
  c.w.fileScript.push_back((dir / "fw.hex").string());
  ASSERT_TRUE(c.w.Click(ctl::kWriteProg));
  // Each block answer posts the next block; the posted message is served here.
  ASSERT_TRUE(c.Until([&] { return c.d.m_bDownloading == 0; }, 60000));
  EXPECT_EQ(c.w.boxes.back().text, "Downloading Done!");
  EXPECT_EQ(c.d.m_nProgress, 200);
  EXPECT_EQ(c.sim.Status()["blocks"], "320");
  ASSERT_EQ(c.sim.Command("dump-flash " + (dir / "flash.bin").string()), "ok");
  std::ifstream in(dir / "flash.bin", std::ios::binary);
  std::string flash((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GE(flash.size(), bin.size());
  EXPECT_TRUE(flash.compare(0, bin.size(), bin) == 0) << "the module's flash equals the binary";

  ASSERT_TRUE(c.Until([&] { return c.Idle(); }));
  ASSERT_TRUE(c.Press(1172, 't'));
  EXPECT_EQ(c.w.boxes.back().text, "Verify O.K.!");
  ASSERT_TRUE(c.Press(1173, 'D'));
  ASSERT_TRUE(c.Press(1448, 'v'));
  EXPECT_NE(c.sim.Status()["fw"], oldFw);
  EXPECT_NE(c.w.GetText(1450).find(c.sim.Status()["fw"]), std::string::npos)
      << c.w.GetText(1450) << " vs " << c.sim.Status()["fw"];
  std::filesystem::remove_all(dir);
}
