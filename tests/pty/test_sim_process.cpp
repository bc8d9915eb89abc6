// qeld-sim as a process: its COMn link, its line and its line commands.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "LineTiming.h"
#include "SimModule.h"
#include "link/Protocol.h"
#include "pty/SimProcess.h"

using namespace qeld::test;
namespace fs = std::filesystem;

namespace {
using Bytes = std::vector<uint8_t>;
const Bytes kSequenceQuery = {0x04, 0x30, 0x02, 0x67, 0x03, 0x52};
// ACK, then the answer to "g" for sequence 1: SOH "0" STX "g" " " 0x21 ETX BCC.
const Bytes kSequenceAnswer = {0x06, 0x01, 0x30, 0x02, 0x67, 0x20, 0x21, 0x03, 0x56};

std::string LinkTarget(const std::string& path) {
  std::error_code ec;
  return fs::read_symlink(path, ec).string();
}
}  // namespace

TEST(SimProcess, LinksItsPortToAPseudoTerminal) {
  SimProcess sim(4, {"--fast"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  EXPECT_EQ(sim.SlavePath().rfind("/dev/pts/", 0), 0u) << sim.SlavePath();
  EXPECT_EQ(LinkTarget(sim.LinkPath()), sim.SlavePath());
  RawPort port(sim.LinkPath());
  ASSERT_TRUE(port.IsOpen());
  EXPECT_TRUE(isatty(port.Fd()));
}

TEST(SimProcess, AnswersTheSequenceQueryOnTheLineAgainAfterAReopen) {
  SimProcess sim(1, {"--fast", "--pace"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  for (int opening = 0; opening < 2; ++opening) {
    RawPort port(sim.SlavePath());
    ASSERT_TRUE(port.Write(kSequenceQuery));
    EXPECT_EQ(port.Read(kSequenceAnswer.size()), kSequenceAnswer) << "opening " << opening;
    ASSERT_TRUE(port.Write({0x06}));
  }
  EXPECT_EQ(sim.Status()["requests"], "2");
}

TEST(SimProcess, RemovesItsLinkOnSigtermButOnlyWhileItIsItsOwn) {
  {
    SimProcess sim(2, {"--fast"});
    ASSERT_TRUE(sim.Ready()) << sim.Error();
    const std::string link = sim.LinkPath();
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_FALSE(fs::is_symlink(link));
  }
  {
    SimProcess sim(2, {"--fast"});
    ASSERT_TRUE(sim.Ready()) << sim.Error();
    // Another simulator took the port over meanwhile.
    const std::string link = sim.LinkPath();
    fs::remove(link);
    fs::create_symlink("/dev/pts/elsewhere", link);
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_EQ(LinkTarget(link), "/dev/pts/elsewhere");
  }
}

TEST(SimProcess, ReplacesAStaleLink) {
  char templ[] = "/tmp/qeld-sim-home-XXXXXX";
  ASSERT_NE(mkdtemp(templ), nullptr);
  const std::string home = templ;
  fs::create_directories(home + "/.qeld/dosdevices");
  fs::create_symlink("/dev/pts/gone", home + "/.qeld/dosdevices/com7");
  {
    SimProcess sim(7, {"--fast"}, home);
    ASSERT_TRUE(sim.Ready()) << sim.Error();
    EXPECT_EQ(LinkTarget(sim.LinkPath()), sim.SlavePath());
  }
  fs::remove_all(home);
}

TEST(SimProcess, LeavesATechniciansAdapterMappingAlone) {
  char templ[] = "/tmp/qeld-sim-home-XXXXXX";
  ASSERT_NE(mkdtemp(templ), nullptr);
  const std::string home = templ;
  fs::create_directories(home + "/.qeld/dosdevices");
  fs::create_symlink("/dev/null", home + "/.qeld/dosdevices/com6");  // stands in for an adapter
  {
    SimProcess sim(6, {"--fast"}, home);
    EXPECT_FALSE(sim.Ready());
    EXPECT_EQ(LinkTarget(home + "/.qeld/dosdevices/com6"), "/dev/null");
  }
  EXPECT_EQ(LinkTarget(home + "/.qeld/dosdevices/com6"), "/dev/null") << "not removed at exit either";
  fs::remove_all(home);
}

TEST(SimProcess, FaultsAndStatusThroughStandardInput) {
  SimProcess sim(3, {"--fast", "--reject-rate", "0"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  EXPECT_EQ(sim.Command("fault error 33"), "ok");
  EXPECT_EQ(sim.Command("fault nonsense").rfind("error: ", 0), 0u);
  RawPort port(sim.SlavePath());
  ASSERT_TRUE(port.Write({0x04, 0x30, 0x02, 0x50, 0x03, 0x65}));  // "P"
  const Bytes status = port.Read(1 + 19 + 6);
  ASSERT_EQ(status.size(), 26u);
  EXPECT_EQ(status[1 + 3], 'P');
  EXPECT_EQ(status[1 + 4], 0x20 + 33);
  ASSERT_TRUE(port.Write({0x06}));

  // Dispense 2 from cassette 1 with sequence 1.
  ASSERT_TRUE(port.Write({0x04, 0x30, 0x02, 0x52, 0x22, 0x20, 0x20, 0x20, 0x20, 0x20, 0x21, 0x03, 0x44}));
  EXPECT_EQ(port.Read(1 + 23 + 6).size(), 30u);
  ASSERT_TRUE(port.Write({0x06}));
  auto values = sim.Status();
  EXPECT_EQ(values["dispensed1"], "2");
  EXPECT_EQ(values["notes1"], "998");
  EXPECT_EQ(values["seq"], "2");
}

TEST(SimProcess, TakesCommandsFromItsControlFifoOnlyIfItIsThisUsersFifo) {
  char templ[] = "/tmp/qeld-sim-ctl-XXXXXX";
  ASSERT_NE(mkdtemp(templ), nullptr);
  const std::string dir = templ, fifo = dir + "/com3.ctl";
  {
    SimProcess sim(3, {"--fast", "--control", fifo});
    ASSERT_TRUE(sim.Ready()) << sim.Error();
    struct stat st{};
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Each writer opens, writes and closes, as echo does; the next one is read too.
    for (const char* command : {"cassette 2 notes 7", "status"}) std::ofstream(fifo) << command << "\n";
    EXPECT_EQ(sim.NextLine(), "ok");
    EXPECT_NE(sim.NextLine().find(" notes2=7 "), std::string::npos);
    // A flood without a line end is dropped, and what follows still works.
    std::ofstream(fifo) << std::string(5000, 'x') << "\nsequence 9\n";
    EXPECT_EQ(sim.NextLine().rfind("error: a command line longer than", 0), 0u);
    EXPECT_EQ(sim.NextLine(), "ok");
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(fifo))) << "the FIFO it made is removed";
  }
  // Anything else in its place is refused, and left alone.
  std::ofstream(fifo) << "a file\n";
  int status = -1;
  const std::string out = SimProcess::Run({"--com", "3", "--control", fifo}, &status);
  EXPECT_EQ(status, 1) << out;
  EXPECT_TRUE(fs::is_regular_file(fifo));
  fs::remove_all(dir);
}

TEST(SimProcess, DumpsItsFlashImage) {
  SimProcess sim(5, {"--fast"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const std::string path = sim.Home() + "/flash.bin";
  EXPECT_EQ(sim.Command("dump-flash " + path), "ok");
  std::ifstream f(path, std::ios::binary);
  const std::string image((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  EXPECT_EQ(image.size(), static_cast<size_t>(qeld::kImageSize));
  EXPECT_EQ(image.find_first_not_of('\xFF'), std::string::npos) << "an erased flash";
}

TEST(SimProcess, VanishesAfterTheAckAndTakesItsLinkAlong) {
  SimProcess sim(6, {"--fast"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  EXPECT_EQ(sim.Command("fault vanish"), "ok");
  RawPort port(sim.SlavePath());
  ASSERT_TRUE(port.Write(kSequenceQuery));
  EXPECT_EQ(port.Read(1), Bytes{0x06});
  EXPECT_TRUE(port.WaitHangUp());
  EXPECT_EQ(sim.Wait(), 3);
  EXPECT_FALSE(fs::is_symlink(sim.LinkPath()));
}

TEST(SimProcess, HelpListsEveryOptionFaultAndCommandWithinATerminalsWidth) {
  int status = -1;
  const std::string help = SimProcess::Run({"--help"}, &status);
  EXPECT_EQ(status, 0);
  for (const qeld::sim::FaultInfo& f : qeld::sim::SimModule::FaultTable()) {
    EXPECT_NE(help.find(std::string("\n  ") + f.name + " "), std::string::npos) << f.name;
  }
  for (const char* entry : {"--com N", "--pace", "--fast", "--seed N", "--reject-rate P", "--notes N", "--cmd LINE",
                            "--verbose", "-h, --help", "status", "fault NAME [ARG]", "fault clear",
                            "cassette N KEY VALUE", "reject-rate PERMILLE", "sequence N", "dump-flash PATH", "help",
                            "quit"}) {
    EXPECT_NE(help.find(std::string("\n  ") + entry + " "), std::string::npos) << entry;
  }
  // Every cassette key the command takes is named.
  for (const char* key : {"present", "notes", "type", "nearend", "opacity", "length"}) {
    EXPECT_NE(help.find(std::string(key) + " "), std::string::npos) << key;
  }
  std::istringstream lines(help);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 79u) << line;
  EXPECT_EQ(SimProcess::Run({"-h"}, &status), help);
  EXPECT_EQ(status, 0);
}

TEST(SimProcess, RefusesBadUsage) {
  int status = -1;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"--com", "11"}, {"--com", "1", "--late"}, {"--com", "1", "--bogus"}}) {
    SimProcess::Run(args, &status);
    EXPECT_EQ(status, 2) << (args.empty() ? "" : args.back());
  }
}

// The timing record behind the benchmark: every byte of the line, and with
// --pace each one a byte time (11 bits at 9600 baud) apart in both directions.
TEST(SimProcess, KeepsATimingRecordAndPacesBothDirectionsAtLineSpeed) {
  using qeld::bench::kByteNs;
  for (const bool pace : {false, true}) {
    SCOPED_TRACE(pace ? "paced" : "unpaced");
    const std::string record = fs::temp_directory_path() / ("qeld-sim-timing-" + std::to_string(getpid()));
    std::vector<std::string> args = {"--fast", "--timing", record};
    if (pace) args.push_back("--pace");
    {
      SimProcess sim(2, args);
      ASSERT_TRUE(sim.Ready()) << sim.Error();
      RawPort port(sim.SlavePath());
      ASSERT_TRUE(port.Write(kSequenceQuery));
      ASSERT_EQ(port.Read(kSequenceAnswer.size()), kSequenceAnswer);
      ASSERT_TRUE(port.Write({0x06}));
      // The ACK reaches the module a byte time after it was read, if paced.
      std::string acks;
      for (int tries = 0; tries < 1000 && (acks = sim.Status()["acks"]) != "1"; ++tries) {
      }
      EXPECT_EQ(acks, "1");
      EXPECT_EQ(sim.Stop(), 0);
    }
    std::ifstream in(record);
    std::string error;
    const auto events = qeld::bench::ParseTiming(in, &error);
    fs::remove(record);
    ASSERT_TRUE(events) << error;

    Bytes fromConsole = kSequenceQuery;
    fromConsole.push_back(0x06);
    EXPECT_EQ(qeld::bench::StreamOf(*events, '<').bytes, fromConsole);
    EXPECT_EQ(qeld::bench::StreamOf(*events, '=').bytes, fromConsole);
    EXPECT_EQ(qeld::bench::StreamOf(*events, '>').bytes, kSequenceAnswer);

    // When the module had each byte of the query, and when it wrote its last byte.
    const auto handed = qeld::bench::StreamOf(*events, '=');
    const auto read = qeld::bench::StreamOf(*events, '<');
    const auto written = qeld::bench::StreamOf(*events, '>');
    auto at = [&](const qeld::bench::Stream& s, size_t i) { return (*events)[s.event[i]].ns; };
    const int64_t queryRead = at(read, 0);
    const int64_t queryHanded = (*events)[handed.event[5]].ns;  // its check byte
    if (!pace) {
      EXPECT_EQ(queryHanded, at(read, 5));
      continue;
    }
    EXPECT_GE(queryHanded, queryRead + static_cast<int64_t>(6 * kByteNs));
    // The ACK and the answer, nine bytes, each written when its stop bit ends.
    EXPECT_GE(at(written, 8), queryHanded + static_cast<int64_t>(9 * kByteNs));
    EXPECT_GE(at(handed, 6), at(read, 6) + static_cast<int64_t>(kByteNs));
  }
}
