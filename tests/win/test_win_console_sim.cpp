// The whole console logic (headless window, real Windows CComm) under Wine
// against qeld-sim on a pinned pseudo-terminal.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "app/ConsoleDialog.h"
#include "link/Frame.h"
#include "window/HeadlessWindow.h"
// Last: it brings windows.h, whose macros clash with the window layer's names.
#include "Peer.h"

using namespace qeld;
using namespace qeld::test;

namespace {

constexpr int kCom = 3;

// A folder both sides see: its Linux path (for qeld-sim) and its Windows one.
struct SharedDir {
  std::string unix_, windows;
  SharedDir() {
    const char* d = std::getenv("QELD_SHARED_DIR");
    if (!d) return;
    unix_ = d;
    windows = "Z:" + unix_;
    for (char& c : windows)
      if (c == '/') c = '\\';
  }
};

struct Sim {
  Peer peer;
  std::string ready;
  explicit Sim(const std::string& args) : peer("SIM " + args) { ready = peer.ReadLine(10000); }
  std::string Command(const std::string& line) {
    peer.Send(line + "\n");
    return peer.ReadLine(10000);
  }
  std::map<std::string, std::string> Status() {
    std::map<std::string, std::string> m;
    std::istringstream in(Command("status"));
    std::string kv;
    while (in >> kv)
      if (auto eq = kv.find('='); eq != std::string::npos) m[kv.substr(0, eq)] = kv.substr(eq + 1);
    return m;
  }
};

struct Console {
  HeadlessWindow w;
  ConsoleDialog d{w};
  std::vector<Bytes> writes;
  Console() {
    d.InitConsole();
    d.m_Comm.SetWriteTap([this](const uint8_t* p, int n) { writes.emplace_back(p, p + n); });
  }
  bool Until(const std::function<bool()>& pred, int ms = 10000) { return w.PumpUntil(pred, ms); }
  bool Answered(char letter) {
    return d.m_nRxState == 0 && d.m_nFrameLength > 3 && static_cast<char>(d.m_strFrame[3]) == letter;
  }
  bool Press(int id, char answer) {
    d.m_nFrameLength = 0;
    d.m_strFrame.clear();
    if (!w.Click(id)) return false;
    return Until([&] { return Answered(answer) && d.m_bBusy == 0; });
  }
};

TEST(WinConsoleOnSim, OpenSendsTheSequenceQueryAndABinDownloadBecomesTheFlash) {
  Sim sim("--com 3 --fast");
  ASSERT_EQ(sim.peer.Error(), "");
  ASSERT_EQ(sim.ready.rfind("COM3 /dev/pts/", 0), 0u) << sim.ready;
  Console c;
  c.w.Type(ctl::kPortCombo, std::to_string(kCom));
  c.w.Click(ctl::kOpen);
  ASSERT_EQ(c.d.m_bConnected, 1) << c.d.m_Comm.LastError();
  EXPECT_EQ(c.w.GetText(ctl::kStatusLine), "COM3 connected");
  ASSERT_TRUE(c.Until([&] { return c.Answered('g'); }));
  ASSERT_GE(c.writes.size(), 2u);
  EXPECT_EQ(c.writes[0], (Bytes{0x04, 0x30, 0x02, 0x67, 0x03, 0x52}));
  EXPECT_EQ(c.writes[1], Bytes{0x06}) << "the answer is acknowledged";
  auto st = sim.Status();
  EXPECT_EQ(st["requests"], "1");
  EXPECT_EQ(st["naks"], "0");
  EXPECT_EQ(c.d.m_nSequence, std::stoi(st["seq"]));

  // A 5000-byte BIN image through the loader.
  SharedDir dir;
  ASSERT_FALSE(dir.unix_.empty()) << "QELD_SHARED_DIR is not set";
  std::string bin(5000, '\0');
  uint32_t x = 4242;
  for (char& ch : bin) {
    x = x * 1103515245u + 12345u;
    ch = static_cast<char>(x >> 24);
  }
  { std::ofstream(dir.windows + "\\fw.bin", std::ios::binary) << bin; }
  ASSERT_TRUE(c.Press(1170, 'r'));
  c.w.fileScript.push_back(dir.windows + "\\fw.bin");
  ASSERT_TRUE(c.w.Click(ctl::kWriteProg));
  ASSERT_TRUE(c.Until([&] { return c.d.m_bDownloading == 0; }, 120000));
  ASSERT_FALSE(c.w.boxes.empty());
  EXPECT_EQ(c.w.boxes.back().text, "Downloading Done!");
  ASSERT_EQ(sim.Command("dump-flash " + dir.unix_ + "/flash.bin"), "ok");
  std::ifstream in(dir.windows + "\\flash.bin", std::ios::binary);
  const std::string flash((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GE(flash.size(), bin.size());
  EXPECT_TRUE(flash.compare(0, bin.size(), bin) == 0) << "the module's flash equals the file";
  c.d.m_Comm.ClosePort();
  EXPECT_EQ(CComm::ReadersRunning(), 0);
}

}  // namespace
