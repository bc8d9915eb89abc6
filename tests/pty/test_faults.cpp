// Line faults and a lost device: the console against qeld-sim over a
// pseudo-terminal, with the simulator's fault settings switched on through its
// standard input. The console's timers run in virtual time (the test advances
// them); the line runs in real time.
#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "ConsoleOnSim.h"
#include "link/Frame.h"

using namespace qeld;
using namespace qeld::test;

namespace {

constexpr int kPage = 1006;       // "Status": answered by 'P', carries an error byte
constexpr int kDispense = 1001;   // answered by 'R'

// Status lines of the simulator's counters.
bool SimReached(SimProcess& sim, const std::string& key, int value) {
  const auto deadline = std::chrono::steady_clock::now() + kSimTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    auto st = sim.Status();
    if (st.count(key) && std::stoi(st[key]) >= value) return true;
    poll(nullptr, 0, 5);
  }
  return false;
}

// The acknowledgement of the request in flight has arrived.
bool Acked(ConsoleOnSim& c) {
  return c.Until([&] { return c.d.m_nRxState == 0 && !c.w.TimerRunning(kTimerAck); });
}

// OPEN again, and wait for the new answer to the sequence query.
bool Reconnect(ConsoleOnSim& c) {
  c.d.m_strFrame.clear();
  c.d.m_nFrameLength = 0;
  return c.Connect();
}

// The last frame the console decoded carries this letter.
bool Decoded(ConsoleOnSim& c, char letter) {
  return c.Until([&] { return c.d.m_nRxState == 0 && c.d.m_nFrameLength > 3 && c.d.m_strFrame[3] == letter; });
}

bool PageEnabled(ConsoleOnSim& c) { return c.w.IsEnabled(kPage) && c.w.IsEnabled(kDispense); }

std::string BoxTexts(const HeadlessWindow& w) {
  std::string all;
  for (const auto& b : w.boxes) all += "[" + b.caption + "|" + b.text + "]";
  return all;
}

// Counts the reader's deliveries on their way to the console.
class DeliveryCounter : public WindowHandler {
 public:
  explicit DeliveryCounter(ConsoleDialog& d) : d_(d) {}
  void OnCommand(int id) override { d_.OnCommand(id); }
  void OnTimer(int id) override { d_.OnTimer(id); }
  LRESULT OnMessage(unsigned msg, WPARAM w, LPARAM l) override {
    if (msg == UM_COMM_DATA) ++deliveries;
    return d_.OnMessage(msg, w, l);
  }
  void OnAbout() override { d_.OnAbout(); }
  int deliveries = 0;

 private:
  ConsoleDialog& d_;
};

double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

// --- acknowledgements -------------------------------------------------------------

TEST(Faults, OneDroppedAckIsRecoveredByTheRetransmission) {
  ConsoleOnSim c;
  ASSERT_TRUE(c.Connect());
  ASSERT_EQ(c.sim.Command("fault drop-ack 1"), "ok");
  ASSERT_TRUE(c.w.Click(kPage));
  const std::vector<uint8_t> sent(c.d.m_RequestBuffer, c.d.m_RequestBuffer + c.d.m_nRequestLength);
  ASSERT_TRUE(SimReached(c.sim, "requests", 2));  // the first try, ignored
  c.w.Advance(1000);                               // the acknowledgement timer retransmits
  ASSERT_TRUE(Decoded(c, 'P'));
  EXPECT_EQ(c.d.m_bBusy, 0);
  EXPECT_EQ(c.d.m_nAckRetries, 0);
  EXPECT_EQ(c.w.GetText(ctl::kStatusLine), "COM1 connected");
  EXPECT_TRUE(PageEnabled(c));
  EXPECT_EQ(c.sim.Status()["requests"], "3");
  // The retransmission is the same frame, byte for byte.
  EXPECT_EQ(std::vector<uint8_t>(c.d.m_RequestBuffer, c.d.m_RequestBuffer + c.d.m_nRequestLength), sent);
}

TEST(Faults, FourDroppedAcksEndInTheAckFailureAndOpenConnectsAgain) {
  ConsoleOnSim c;
  ASSERT_TRUE(c.Connect());
  ASSERT_EQ(c.sim.Command("fault drop-ack 4"), "ok");
  ASSERT_TRUE(c.w.Click(kPage));
  for (int expiry = 1; expiry <= 4; ++expiry) {
    ASSERT_TRUE(SimReached(c.sim, "requests", 1 + expiry)) << "transmission " << expiry;
    EXPECT_EQ(c.w.GetText(ctl::kStatusLine), "COM1 connected");
    c.w.Advance(1000);
  }
  EXPECT_EQ(c.w.GetText(ctl::kStatusLine), "!!! Error ACK Timeout !!!");
  EXPECT_EQ(c.d.m_bConnected, 0);
  EXPECT_EQ(c.d.m_bBusy, 0);
  EXPECT_FALSE(PageEnabled(c));
  EXPECT_EQ(c.sim.Status()["requests"], "5");

  ASSERT_TRUE(Reconnect(c));
  EXPECT_EQ(c.w.GetText(ctl::kStatusLine), "COM1 connected");
  EXPECT_TRUE(PageEnabled(c));
  EXPECT_TRUE(c.Press(kPage, 'P'));
}

TEST(Faults, ASilentModuleEndsInTheAckFailureUntilItSpeaksAgain) {
  ConsoleOnSim c;
  ASSERT_TRUE(c.Connect());
  ASSERT_EQ(c.sim.Command("fault silent"), "ok");
  ASSERT_TRUE(c.w.Click(kPage));
  for (int expiry = 1; expiry <= 4; ++expiry) {
    ASSERT_TRUE(SimReached(c.sim, "requests", 1 + expiry));
    c.w.Advance(1000);
  }
  EXPECT_EQ(c.w.GetText(ctl::kStatusLine), "!!! Error ACK Timeout !!!");
  EXPECT_FALSE(PageEnabled(c));
  // Still silent: OPEN's sequence query goes unanswered too.
  ASSERT_TRUE(c.w.Click(ctl::kOpen));
  for (int expiry = 1; expiry <= 4; ++expiry) {
    ASSERT_TRUE(SimReached(c.sim, "requests", 5 + expiry));
    c.w.Advance(1000);
  }
  EXPECT_EQ(c.w.GetText(ctl::kStatusLine), "!!! Error ACK Timeout !!!");
  ASSERT_EQ(c.sim.Command("fault silent 0"), "ok");
  ASSERT_TRUE(Reconnect(c));
  EXPECT_TRUE(PageEnabled(c));
  EXPECT_TRUE(c.Press(kPage, 'P'));
}

// --- damaged, slow and noisy answers -------------------------------------------

TEST(Faults, ACorruptedBccIsRefusedWithNakAndTheResendAccepted) {
  ConsoleOnSim c;
  ASSERT_TRUE(c.Connect());
  ASSERT_EQ(c.sim.Command("fault corrupt-bcc 1"), "ok");
  ASSERT_TRUE(c.Press(kPage, 'P'));
  auto st = c.sim.Status();
  EXPECT_EQ(st["naks"], "1");
  EXPECT_EQ(st["resends"], "1");
  EXPECT_EQ(c.w.GetText(ctl::kStatusLine), "COM1 connected");
  EXPECT_TRUE(PageEnabled(c));
  // The accepted frame is the good one.
  const auto* f = reinterpret_cast<const uint8_t*>(c.d.m_strFrame.data());
  EXPECT_EQ(Bcc(f, c.d.m_nFrameLength), 0);
}

TEST(Faults, AnAnswerOneByteAtATimeIsAssembledIntoOneFrame) {
  ConsoleOnSim c;
  ASSERT_TRUE(c.Connect());
  DeliveryCounter counter(c.d);
  c.w.SetHandler(&counter);
  ASSERT_EQ(c.sim.Command("fault byte-gap 30"), "ok");
  ASSERT_TRUE(c.Press(kPage, 'P'));
  c.w.SetHandler(&c.d);
  EXPECT_GE(counter.deliveries, 5) << "the frame came in pieces";
  EXPECT_EQ(c.sim.Status()["naks"], "0");
  EXPECT_EQ(c.w.GetText(ctl::kStatusLine), "COM1 connected");
  EXPECT_EQ(c.d.m_nFrameLength, 25);  // SOH 0 STX 'P', 19 body bytes, ETX, BCC
}

TEST(Faults, NoiseBetweenFramesIsIgnored) {
  ConsoleOnSim c({"--fast", "--noise", "40"});
  ASSERT_TRUE(c.Connect());
  c.w.SetText(ctl::kRequest[0], "2");
  const struct {
    int button;
    char answer;
  } rows[] = {{kPage, 'P'}, {1004, 'U'}, {1017, '_'}, {1447, 'u'}, {kDispense, 'R'}};
  for (const auto& r : rows) {
    ASSERT_TRUE(c.Press(r.button, r.answer)) << r.button;
    EXPECT_TRUE(c.Idle());
  }
  auto st = c.sim.Status();
  EXPECT_EQ(st["naks"], "0");
  EXPECT_EQ(c.w.GetText(ctl::kMessageArea).find("Undefined"), std::string::npos);
  EXPECT_EQ(c.w.GetText(1057), st["dispensed1"]) << "the dispense counts decoded through the noise";
  EXPECT_TRUE(c.w.boxes.empty()) << BoxTexts(c.w);
}

TEST(Faults, AnAnswerLaterThanTheResponseTimeOutIsReportedAndThenIgnored) {
  ConsoleOnSim c;
  ASSERT_TRUE(c.Connect());
  ASSERT_EQ(c.sim.Command("fault late 2000"), "ok");  // real time, after the ACK
  ASSERT_TRUE(c.w.Click(kPage));
  ASSERT_TRUE(Acked(c));
  c.w.Advance(120000);  // the response timer runs out before the answer comes
  EXPECT_EQ(c.w.GetText(ctl::kStatusLine), "!!! Error Response Timeout !!!");
  EXPECT_EQ(c.d.m_bBusy, 0);
  EXPECT_TRUE(PageEnabled(c));
  // The late answer is acknowledged and decoded, and closes nothing.
  ASSERT_TRUE(Decoded(c, 'P'));
  EXPECT_EQ(c.d.m_bBusy, 0);
  EXPECT_EQ(c.w.GetText(ctl::kStatusLine), "!!! Error Response Timeout !!!");
  c.w.Advance(130000);
  EXPECT_EQ(c.sim.Status()["requests"], "2") << "nothing was sent again";
}

TEST(Faults, AnAnswerLateButWithinTheResponseTimeOutIsFine) {
  ConsoleOnSim c;
  ASSERT_TRUE(c.Connect());
  ASSERT_EQ(c.sim.Command("fault late 300"), "ok");
  ASSERT_TRUE(c.w.Click(kPage));
  ASSERT_TRUE(Acked(c));
  c.w.Advance(119000);
  ASSERT_TRUE(Decoded(c, 'P'));
  c.w.Advance(5000);
  EXPECT_EQ(c.w.GetText(ctl::kStatusLine), "COM1 connected");
  EXPECT_EQ(c.d.m_bBusy, 0);
}

// --- the module's own reports ----------------------------------------------------

TEST(Faults, ADeviceErrorShowsItsTextAndLineAndEndsTheRun) {
  ConsoleOnSim c;
  ASSERT_TRUE(c.Connect());
  c.w.SetText(ctl::kRequest[0], "2");
  c.w.SetText(ctl::kRepeat, "3");
  c.w.SetText(ctl::kWait, "1");
  ASSERT_EQ(c.sim.Command("fault error 13"), "ok");
  ASSERT_TRUE(c.Press(kDispense, 'R'));
  ASSERT_EQ(c.w.boxes.size(), 1u) << BoxTexts(c.w);
  EXPECT_EQ(c.w.boxes[0].caption, "Error = 0d ");
  EXPECT_EQ(c.w.boxes[0].text, "Over Reject");
  EXPECT_NE(c.w.GetText(ctl::kMessageArea).find("Error = 0d "), std::string::npos);
  c.w.Advance(5000);
  EXPECT_EQ(c.sim.Status()["requests"], "2") << "the run ended at the error";
  EXPECT_EQ(c.d.m_bBusy, 0);
  EXPECT_TRUE(PageEnabled(c));
}

TEST(Faults, FsnrStopsTheRun) {
  ConsoleOnSim c;
  ASSERT_TRUE(c.Connect());
  c.w.SetText(ctl::kRequest[0], "2");
  c.w.SetText(ctl::kRepeat, "3");
  c.w.SetText(ctl::kWait, "1");
  ASSERT_EQ(c.sim.Command("fault fsnr 1"), "ok");
  ASSERT_TRUE(c.Press(kDispense, 'R'));
  ASSERT_EQ(c.w.boxes.size(), 1u) << BoxTexts(c.w);
  EXPECT_EQ(c.w.boxes[0].text, "Repeat is stopped by FSNR");
  c.w.Advance(5000);
  EXPECT_EQ(c.sim.Status()["requests"], "2") << "no second repetition";
  EXPECT_EQ(c.d.m_bBusy, 0);
  EXPECT_EQ(c.w.GetText(ctl::kRepeat), "1");
  EXPECT_NE(c.w.GetText(ctl::kReason[2]), "0") << "the FSNR count is shown";
}

// --- a lost device ------------------------------------------------------------------

TEST(Faults, AModuleThatVanishesMidTransactionLeavesNoReaderAndOpenConnectsAgain) {
  ConsoleOnSim c;
  ASSERT_TRUE(c.Connect());
  ASSERT_EQ(CComm::ReadersRunning(), 1);
  ASSERT_EQ(c.sim.Command("fault vanish"), "ok");
  ASSERT_TRUE(c.w.Click(kPage));
  EXPECT_EQ(c.sim.Wait(), 3) << "qeld-sim ends with its vanished status";
  ASSERT_TRUE(c.Until([&] { return c.w.GetText(ctl::kStatusLine) == "!!! COM1 lost !!!"; }));
  EXPECT_EQ(CComm::ReadersRunning(), 0);
  EXPECT_EQ(c.d.m_bConnected, 0);
  EXPECT_EQ(c.d.m_bBusy, 0);
  EXPECT_FALSE(PageEnabled(c));
  EXPECT_TRUE(c.w.IsEnabled(ctl::kOpen));
  // No timer is left to report anything else.
  c.w.Advance(130000);
  EXPECT_EQ(c.w.GetText(ctl::kStatusLine), "!!! COM1 lost !!!");

  // Nothing spins while the device is gone: a second of waiting costs the
  // process next to no processor time.
  const double before = ProcessCpuSeconds();
  c.w.PumpUntil([] { return false; }, 1000);
  EXPECT_LT(ProcessCpuSeconds() - before, 0.2);

  // The device is back (a new simulator on the same COM): OPEN works again.
  SimProcess again(1, {"--fast"});
  ASSERT_TRUE(again.Ready()) << again.Error();
  ASSERT_TRUE(Reconnect(c));
  EXPECT_EQ(c.w.GetText(ctl::kStatusLine), "COM1 connected");
  EXPECT_EQ(CComm::ReadersRunning(), 1);
  EXPECT_TRUE(PageEnabled(c));
  EXPECT_TRUE(c.Press(kPage, 'P'));
}

TEST(Faults, ASecondProgramCannotOpenThePortTheConsoleHolds) {
  ConsoleOnSim c;
  ASSERT_TRUE(c.Connect());

  // A second console gets the connection failure.
  HeadlessWindow w2;
  ConsoleDialog d2(w2);
  d2.InitConsole();
  ASSERT_TRUE(w2.Click(ctl::kOpen));
  EXPECT_EQ(d2.m_bConnected, 0);
  EXPECT_EQ(w2.GetText(ctl::kStatusLine), "!!! Error COM1 connect !!!");
  EXPECT_NE(d2.m_Comm.LastError().find("in use by another program"), std::string::npos) << d2.m_Comm.LastError();

  // Any other program: the exclusive tty refuses the open, except to root,
  // who still meets the lock.
  const int fd = open(c.sim.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    EXPECT_EQ(errno, EBUSY);
  } else {
    EXPECT_EQ(geteuid(), 0u) << "only root gets past TIOCEXCL";
    EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(errno, EWOULDBLOCK);
    close(fd);
  }

  // The holder goes on undisturbed.
  EXPECT_TRUE(c.Press(kPage, 'P'));
  EXPECT_EQ(c.w.GetText(ctl::kStatusLine), "COM1 connected");
}

// --- files from the technician's disk ---------------------------------------------

TEST(Faults, BadImageFilesAreRefusedWithTheReasonAndNothingIsSent) {
  ConsoleOnSim c;
  ASSERT_TRUE(c.Connect());
  c.Admin();
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("qeld-badfiles-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "bad.hex") << ":10000000000102030405060708090A0B0C0D0E0F00\n:00000001FF\n";
  std::ofstream(dir / "empty.bin").close();
  std::ofstream(dir / "notes.txt") << "not an image";
  const struct {
    std::string file, reason;
  } rows[] = {
      {"bad.hex", "line 1: checksum mismatch: computed 0x78, found 0x00"},
      {"empty.bin", "the file is empty"},
      {"notes.txt", "A firmware image must end in .bin, .BIN, .hex or .HEX."},
      {"missing.hex", "cannot open: No such file or directory"},
  };
  ASSERT_TRUE(c.Press(1170, 'r'));  // the module's loader is ready
  for (const auto& r : rows) {
    c.w.boxes.clear();
    c.w.fileScript.push_back((dir / r.file).string());
    ASSERT_TRUE(c.w.Click(ctl::kWriteProg)) << r.file;
    ASSERT_EQ(c.w.boxes.size(), 1u) << r.file;
    EXPECT_NE(c.w.boxes[0].text.find(r.reason), std::string::npos) << c.w.boxes[0].text;
    EXPECT_EQ(c.d.m_bDownloading, 0);
    EXPECT_EQ(c.d.m_bBusy, 0);
  }
  c.w.Advance(1000);
  EXPECT_EQ(c.sim.Status()["blocks"], "0");
  EXPECT_EQ(c.sim.Status()["requests"], "2") << "the sequence query and Go Loader only";
  std::filesystem::remove_all(dir);
}
