// qeld-run against qeld-sim on a pseudo-terminal: the example scripts, run
// totals against the module's own counts, device errors and dropped ACKs,
// script errors and missing ports, and the JUnit report's structure.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>

#include "SimProcess.h"

namespace qeld::test {
namespace {

struct RunResult {
  int status = -1;
  std::string out, err;
};

// Runs qeld-run with these arguments in the folder dir; stdout and stderr
// apart. terminal: stdout is a pseudo-terminal, as when a technician watches.
// interruptAfterMs: a Ctrl+C (SIGINT) that long after the start.
RunResult RunQeldRun(const std::vector<std::string>& args, const std::string& dir, bool terminal = false,
                     int interruptAfterMs = -1) {
  RunResult r;
  int out[2], err[2];
  if (pipe2(err, O_CLOEXEC) != 0) return r;
  if (terminal) {
    out[0] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (out[0] < 0 || grantpt(out[0]) != 0 || unlockpt(out[0]) != 0) return r;
    out[1] = open(ptsname(out[0]), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (out[1] < 0) return r;
  } else if (pipe2(out, O_CLOEXEC) != 0) {
    return r;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (chdir(dir.c_str()) != 0) _exit(126);
    const int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    std::vector<std::string> all = {QELD_RUN_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  // Both pipes at once: a full stderr must not stall the child while we read stdout.
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  const auto started = std::chrono::steady_clock::now();
  const auto deadline = started + std::chrono::seconds(120);
  int open = 2;
  while (open > 0 && std::chrono::steady_clock::now() < deadline) {
    if (interruptAfterMs >= 0 && std::chrono::steady_clock::now() >= started + std::chrono::milliseconds(interruptAfterMs)) {
      kill(pid, SIGINT);
      interruptAfterMs = -1;
    }
    if (poll(fds, 2, 50) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {  // a pseudo-terminal's master reads EIO once the child is gone
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) close(f.fd);
  r.status = detail::WaitFor(pid);
  return r;
}

class QeldRun : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/qeld-run-test-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
    setenv("QELD_ADMIN_PASSWORD", "tuzf", 1);
  }
  void TearDown() override {
    unsetenv("QELD_ADMIN_PASSWORD");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path) << text;
    return path;
  }
  std::string Read(const std::string& name) {
    std::ifstream in(dir_ + "/" + name);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // The line printed for the step on this script line.
  static std::string StepLine(const std::string& out, int line) {
    std::istringstream in(out);
    const std::regex head("^ *" + std::to_string(line) + "  ");
    for (std::string l; std::getline(in, l);)
      if (std::regex_search(l, head)) return l;
    return "";
  }
  // name=value from a step line (values with blanks come in quotes).
  static std::string Value(const std::string& line, const std::string& name) {
    std::smatch m;
    if (std::regex_search(line, m, std::regex("(^| )" + name + "=(\"[^\"]*\"|\\S+)"))) {
      std::string v = m[2];
      if (!v.empty() && v[0] == '"') v = v.substr(1, v.size() - 2);
      return v;
    }
    return "";
  }
  std::string dir_;
};

constexpr const char* kHead = "port 1\nopen\n";

TEST_F(QeldRun, ServiceCheckExamplePasses) {
  SimProcess sim(1, {"--fast"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const RunResult r =
      RunQeldRun({"--junit", dir_ + "/report.xml", std::string(QELD_SOURCE_DIR) + "/examples/service-check.qeld"}, dir_);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("PASSED: 22 passed, 0 failed, 0 not run"), std::string::npos) << r.out;
  const std::string xml = Read("report.xml");
  EXPECT_NE(xml.find("tests=\"22\" failures=\"0\" errors=\"0\" skipped=\"0\""), std::string::npos) << xml;
  // Every box is on record with its step, the admin mode's notice too.
  EXPECT_NE(Value(StepLine(r.out, 44), "box").find("Admin mode started."), std::string::npos) << r.out;
  // The log step wrote its file into the working folder.
  const std::string log = Value(StepLine(r.out, 58), "log-file");
  EXPECT_EQ(std::filesystem::path(log).parent_path(), std::filesystem::path(dir_)) << r.out;
}

TEST_F(QeldRun, FirmwareUpdateExampleSendsItsTrainingImage) {
  SimProcess sim(1, {"--fast"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  // Run as the README says: in a folder holding the script and its image.
  for (const char* f : {"firmware-update.qeld", "training.hex"})
    std::filesystem::copy_file(std::string(QELD_SOURCE_DIR) + "/examples/" + f, dir_ + "/" + f);
  const RunResult r = RunQeldRun({"firmware-update.qeld"}, dir_);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(StepLine(r.out, 20).find("progress=200"), std::string::npos) << r.out;
  EXPECT_NE(Value(StepLine(r.out, 31), "firmware-version").find("TRN1"), std::string::npos) << r.out;
}

// The check before the port opens loads every image the script names: a
// missing, damaged or wrongly named one (or none at all) refuses the script
// with the loader's reason, and nothing reaches the module, so Go Loader
// cannot leave it in its loader waiting for an image that never comes.
TEST_F(QeldRun, AnImageThatCannotBeLoadedRefusesTheScriptBeforeThePortOpens) {
  SimProcess sim(1, {"--fast"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  Write("bad.hex", ":0400000001020304F3\n:00000001FF\n");  // its checksum is 0xF2
  Write("empty.bin", "");
  Write("image.txt", "not an image");
  const struct {
    std::string step, error;
  } cases[] = {
      {"write-prog file=missing.hex", ":4:17: error: missing.hex: cannot open: No such file or directory"},
      {"write-prog file=bad.hex", ":4:17: error: bad.hex: line 1: checksum mismatch: computed 0xF2, found 0xF3"},
      {"write-prog file=empty.bin", ":4:17: error: empty.bin: the file is empty"},
      {"write-prog file=image.txt", ":4:17: error: image.txt: a firmware image must end in .bin, .BIN, .hex or .HEX"},
      {"write-prog file=.", ":4:17: error: .: a firmware image must end in"},
      {"  write-prog", ":4:3: error: write-prog needs file=PATH"},
  };
  for (const auto& c : cases) {
    const std::string script = Write("update.qeld", std::string(kHead) + "go-loader\n" + c.step + "\nverify\nreset\n");
    for (const bool check : {true, false}) {
      const RunResult r = RunQeldRun(check ? std::vector<std::string>{"--check", script} : std::vector<std::string>{script},
                                     dir_);
      EXPECT_EQ(r.status, 2) << c.step << "\n" << r.out << r.err;
      EXPECT_NE(r.err.find(script + c.error), std::string::npos) << r.err;
      EXPECT_NE(r.err.find("  " + c.step + "\n"), std::string::npos) << r.err;  // the line, with a caret under it
      EXPECT_EQ(r.out, "");
    }
  }
  EXPECT_EQ(sim.Status().at("requests"), "0");
  EXPECT_EQ(sim.Status().at("loader"), "0");
  // The shipped example with its image beside it is fine.
  std::filesystem::copy_file(std::string(QELD_SOURCE_DIR) + "/examples/training.hex", dir_ + "/training.hex");
  const RunResult ok = RunQeldRun({"--check", std::string(QELD_SOURCE_DIR) + "/examples/firmware-update.qeld"}, dir_);
  EXPECT_EQ(ok.status, 0) << ok.err;
}

// A run that stops between Go Loader and Reset says, last, that the module
// is in its loader and what brings it back, which depends on whether blocks
// of an image went out.
TEST_F(QeldRun, ARunFailingInTheLoaderSaysLastWhatBringsTheModuleBack) {
  SimProcess sim(1, {"--fast"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  Write("new.hex", ":0400000001020304F2\n:00000001FF\n");
  auto lastLine = [](const std::string& out) {
    const size_t end = out.find_last_not_of('\n');
    return out.substr(out.rfind('\n', end) + 1, end - out.rfind('\n', end));
  };
  // The loader does not know the ROM version request: the run stops there.
  const std::string asked = Write("a.qeld", std::string(kHead) + "go-loader\nrom-version\nreset\n");
  RunResult r = RunQeldRun({asked}, dir_);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_EQ(lastLine(r.out), "The module is still in its loader: Reset brings it back to its program.") << r.out;
  EXPECT_EQ(sim.Status().at("loader"), "1");

  // Write Error at the first block: part of an image may be in its flash.
  EXPECT_EQ(sim.Command("fault error 0x19"), "ok");
  const std::string written = Write("w.qeld", std::string(kHead) + "go-loader\nwrite-prog file=new.hex\nverify\nreset\n");
  r = RunQeldRun({written}, dir_);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(lastLine(r.out).find("still in its loader, its program not completely written: Go Loader, Write Prog"),
            std::string::npos)
      << r.out;

  // Through to Reset: no such line.
  r = RunQeldRun({written}, dir_);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("loader:"), std::string::npos) << r.out;
  EXPECT_EQ(sim.Status().at("loader"), "0");
}

TEST_F(QeldRun, SoakTotalsEqualTheModulesOwnCounts) {
  SimProcess sim(1, {"--fast", "--reject-rate", "150", "--seed", "7"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const std::string script = Write("soak.qeld", std::string(kHead) +
                                                    "dispense request1=3 request2=2 request3=1 request4=4 repeat=4 wait=1\n"
                                                    "expect acc-dispensed1 >= 0\nexpect acc-dispensed2 >= 0\n"
                                                    "expect acc-dispensed3 >= 0\nexpect acc-dispensed4 >= 0\n"
                                                    "expect acc-rejected1 >= 0\nexpect acc-rejected2 >= 0\n"
                                                    "expect acc-rejected3 >= 0\nexpect acc-rejected4 >= 0\n");
  const RunResult r = RunQeldRun({script}, dir_);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::string line = StepLine(r.out, 3);
  auto status = sim.Status();
  int dispensed = 0, rejected = 0;
  for (int c = 1; c <= 4; ++c) {
    const std::string n = std::to_string(c);
    EXPECT_EQ(Value(line, "acc-dispensed" + n), status["dispensed" + n]) << line;
    EXPECT_EQ(Value(line, "acc-rejected" + n), status["rejected" + n]) << line;
    dispensed += std::stoi(status["dispensed" + n]);
    rejected += std::stoi(status["rejected" + n]);
  }
  EXPECT_EQ(Value(line, "total-requested"), "40");
  EXPECT_EQ(Value(line, "total-dispensed"), std::to_string(dispensed));
  EXPECT_EQ(Value(line, "total-rejected"), std::to_string(rejected));
  EXPECT_GT(rejected, 0) << "the reject rate should have rejected some notes";
}

TEST_F(QeldRun, DeviceErrorFailsItsStepStopsTheRunAndTheReportSaysWhy) {
  SimProcess sim(1, {"--fast", "--error", "0x54"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  // Line 4's answer is the first with an error byte.
  const std::string script =
      Write("err.qeld", std::string(kHead) + "loader-version\nrom-version\nget-serial\nmotor-speed\n");
  const RunResult r = RunQeldRun({"--junit", dir_ + "/err.xml", script}, dir_);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(StepLine(r.out, 3).find("PASS"), std::string::npos) << r.out;
  const std::string failed = StepLine(r.out, 4);
  EXPECT_NE(failed.find("FAIL"), std::string::npos) << r.out;
  EXPECT_NE(failed.find("Error = 54: CASSETTE1 JAM"), std::string::npos) << failed;
  EXPECT_NE(StepLine(r.out, 5).find("SKIP"), std::string::npos) << r.out;
  EXPECT_NE(StepLine(r.out, 6).find("SKIP"), std::string::npos) << r.out;
  // Nothing was sent after the failed step: g, u and q only.
  EXPECT_EQ(sim.Status()["requests"], "3");

  // The JUnit report: the common schema's elements and counts.
  const std::string xml = Read("err.xml");
  ASSERT_EQ(xml.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites ", 0), 0u) << xml;
  const std::regex suite("<testsuite name=\"err\" tests=\"(\\d+)\" failures=\"(\\d+)\" errors=\"0\" "
                         "skipped=\"(\\d+)\" time=\"[0-9.]+\" timestamp=\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\"");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(xml, m, suite)) << xml;
  EXPECT_EQ(m[1], "5");
  EXPECT_EQ(m[2], "1");
  EXPECT_EQ(m[3], "2");
  const std::regex testcase("<testcase name=\"[^\"]*\" classname=\"err\" time=\"[0-9.]+\"");
  EXPECT_EQ(std::distance(std::sregex_iterator(xml.begin(), xml.end(), testcase), std::sregex_iterator()), 5);
  const std::regex failure(
      "<testcase name=\"line 4: rom-version\"[^>]*>\\s*<failure message=\"Error = 54: CASSETTE1 JAM\" "
      "type=\"DeviceError\">Error = 54: CASSETTE1 JAM</failure>\\s*(<system-out>[^<]*</system-out>\\s*)?</testcase>");
  EXPECT_TRUE(std::regex_search(xml, failure)) << xml;
  const std::regex skipped("<skipped ");
  EXPECT_EQ(std::distance(std::sregex_iterator(xml.begin(), xml.end(), skipped), std::sregex_iterator()), 2);
  EXPECT_NE(xml.find("</testsuite>\n</testsuites>\n"), std::string::npos);
  // Well-formed XML, where an XML checker is at hand.
  if (std::system("command -v xmllint >/dev/null 2>&1") == 0) {
    EXPECT_EQ(std::system(("xmllint --noout " + dir_ + "/err.xml").c_str()), 0);
  }
}

TEST_F(QeldRun, KeepGoingRunsOnAfterADeviceError) {
  SimProcess sim(1, {"--fast", "--error", "0x54"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const std::string script = Write("err.qeld", std::string(kHead) + "rom-version\nget-serial\n");
  const RunResult r = RunQeldRun({"--keep-going", script}, dir_);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(StepLine(r.out, 3).find("FAIL"), std::string::npos) << r.out;
  EXPECT_NE(StepLine(r.out, 4).find("PASS"), std::string::npos) << r.out;
}

TEST_F(QeldRun, AnExpectedDeviceErrorPassesAndAMissingOneFails) {
  SimProcess sim(1, {"--fast", "--error", "0x54"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const std::string script = Write("exp.qeld", std::string(kHead) +
                                                   "rom-version\nexpect error contains JAM\n"
                                                   "get-serial\nexpect serial1 = XX\n");
  const RunResult r = RunQeldRun({"--keep-going", script}, dir_);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(StepLine(r.out, 3).find("PASS"), std::string::npos) << r.out;
  EXPECT_NE(StepLine(r.out, 5).find("line 6: serial1 is \"KR\", expected \"XX\""), std::string::npos) << r.out;
}

TEST_F(QeldRun, ADroppedAckIsRetriedAndTheStepPasses) {
  // The module ignores the first request, the open's sequence query; the
  // console sends it again after its ACK time.
  SimProcess sim(1, {"--fast", "--drop-ack", "1"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const std::string script = Write("ack.qeld", std::string(kHead) + "rom-version\nexpect rom-version contains QR12\n");
  const RunResult r = RunQeldRun({script}, dir_);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  // The open's sequence query was the dropped one: retried after the ACK time.
  const std::string open = StepLine(r.out, 2);
  EXPECT_NE(open.find("PASS"), std::string::npos) << r.out;
  const double seconds = std::stod(open.substr(open.find("PASS") + 4));
  EXPECT_GE(seconds, 0.9) << open;
  EXPECT_NE(StepLine(r.out, 3).find("PASS"), std::string::npos) << r.out;
}

TEST_F(QeldRun, AModuleThatNeverAcknowledgesFailsTheStepAtTheAckTimeout) {
  // The request and its three resends go unanswered. Silence rather than
  // "--drop-ack 4": that count is used up by every frame on the line, and a
  // root process elsewhere on the machine that opens this /dev/pts number by
  // a stale path (numbers are reused at once; root passes TIOCEXCL, and a
  // plain open ignores the advisory lock) puts its frames there too: two
  // stray frames and the module answers the console's third send.
  SimProcess sim(1, {"--fast", "--silent"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const std::string script = Write("silent.qeld", std::string(kHead) + "rom-version\n");
  const auto start = std::chrono::steady_clock::now();
  const RunResult r = RunQeldRun({"--keep-going", script}, dir_);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(StepLine(r.out, 2).find("FAIL"), std::string::npos) << r.out;
  EXPECT_NE(StepLine(r.out, 2).find("!!! Error ACK Timeout !!!"), std::string::npos) << r.out;
  // The console gave up on the line: the next button is disabled, and nobody
  // waits for the response timer the failed open left armed.
  EXPECT_NE(StepLine(r.out, 3).find("the rom-version button is disabled"), std::string::npos) << r.out;
  EXPECT_LT(took, std::chrono::seconds(30));
}

TEST_F(QeldRun, TheScriptAnswersTheQuestionBoxAndTheAnswerIsOnRecord) {
  SimProcess sim(1, {"--fast"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const std::string script =
      Write("init.qeld", std::string(kHead) + "admin\nanswer no\ninit\nexpect box contains \"[no]\"\n");
  const RunResult no = RunQeldRun({script}, dir_);
  EXPECT_EQ(no.status, 0) << no.out;
  EXPECT_NE(Value(StepLine(no.out, 5), "box").find("initialize all values? [no]"), std::string::npos) << no.out;
  EXPECT_EQ(sim.Status().at("requests"), "1");  // only the open's query: nothing initialised

  // Without an answer line the question gets yes, and the request goes out.
  const std::string yes = Write("init2.qeld", std::string(kHead) + "admin\ninit\nexpect box contains \"[yes]\"\n");
  const RunResult r = RunQeldRun({yes}, dir_);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(sim.Status().at("requests"), "3");
}

TEST_F(QeldRun, AScriptErrorGivesItsLineAndColumnAndSendsNothing) {
  SimProcess sim(1, {"--fast"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const std::string script =
      Write("bad.qeld", std::string(kHead) + "rom-version\n# fine so far\ndispense request1=5 repeat=9999\n");
  const RunResult r = RunQeldRun({script}, dir_);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find(script + ":5:28: error: repeat takes a whole number from 1 to 2000"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("\n" + std::string(2 + 27, ' ') + "^"), std::string::npos) << r.err;  // under the value
  EXPECT_EQ(r.out, "");
  const auto status = sim.Status();
  EXPECT_EQ(status.at("requests"), "0");
  EXPECT_EQ(status.at("bad_bcc"), "0");
  // --check alone: the same verdict, and a good script is OK without a port.
  EXPECT_EQ(RunQeldRun({"--check", script}, dir_).status, 2);
  const RunResult ok = RunQeldRun({"--check", std::string(QELD_SOURCE_DIR) + "/examples/soak-200.qeld"}, dir_);
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(sim.Status().at("requests"), "0");
}

TEST_F(QeldRun, APortThatCannotOpenGivesExit3WithTheReason) {
  SimProcess sim(1, {"--fast"});  // a private HOME; COM7 in it points nowhere
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const std::string link = sim.Home() + "/.qeld/dosdevices/com7";
  ASSERT_EQ(symlink((dir_ + "/no-such-device").c_str(), link.c_str()), 0);
  const std::string script = Write("p.qeld", "port 7\nopen\nrom-version\n");
  const RunResult r = RunQeldRun({"--junit", dir_ + "/p.xml", script}, dir_);
  EXPECT_EQ(r.status, 3) << r.out << r.err;
  EXPECT_EQ(r.err, "qeld-run: COM7 (" + link + " -> " + dir_ + "/no-such-device): no such device\n");
  EXPECT_NE(StepLine(r.out, 2).find("FAIL"), std::string::npos) << r.out;
  EXPECT_NE(StepLine(r.out, 3).find("SKIP"), std::string::npos) << r.out;
  EXPECT_NE(Read("p.xml").find("type=\"Port\""), std::string::npos);
}

TEST_F(QeldRun, ATerminalShowsAProgressBarAPipeDoesNot) {
  SimProcess sim(1, {"--fast"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const std::string script = Write("bar.qeld", std::string(kHead) + "pause 1\n");
  const RunResult tty = RunQeldRun({script}, dir_, true);
  EXPECT_EQ(tty.status, 0) << tty.out;
  EXPECT_TRUE(std::regex_search(tty.out, std::regex("\r +3  pause 1 +\\[#+\\.*\\] +[0-9]+%"))) << tty.out;
  // The bar is wiped before the step's own line.
  EXPECT_NE(tty.out.find("\r\033[K    3  pause 1"), std::string::npos) << tty.out;
  const RunResult pipe = RunQeldRun({script}, dir_);
  EXPECT_EQ(pipe.out.find('\r'), std::string::npos) << pipe.out;
  EXPECT_EQ(pipe.out.find('#'), std::string::npos) << pipe.out;
}

TEST_F(QeldRun, CtrlCStopsTheRunInFlightAndLeavesTheModuleIdle) {
  SimProcess sim(1, {"--fast"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const std::string script = Write("c.qeld", std::string(kHead) + "dispense request2=1 repeat=20 wait=1\nrom-version\n");
  const RunResult r = RunQeldRun({"--junit", dir_ + "/c.xml", script}, dir_, false, 1500);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(StepLine(r.out, 3).find("stopped by the operator"), std::string::npos) << r.out;
  EXPECT_NE(StepLine(r.out, 4).find("SKIP"), std::string::npos) << r.out;
  EXPECT_NE(Read("c.xml").find("type=\"Interrupted\""), std::string::npos);
  // g and two to four cycles; the run ended with the cycle after the cancel.
  const int requests = std::stoi(sim.Status().at("requests"));
  EXPECT_GE(requests, 3);
  EXPECT_LE(requests, 5);
}

TEST_F(QeldRun, AStepOverItsTimeLimitFailsAndLeavesTheModuleIdle) {
  SimProcess sim(1, {"--fast"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  // Five cycles one second apart cannot finish within 2 s; the run is
  // cancelled and the cycle in flight ends it.
  const std::string script =
      Write("t.qeld", std::string(kHead) + "timeout 2\ndispense request1=1 repeat=5 wait=1\nrom-version\n");
  const RunResult r = RunQeldRun({script}, dir_);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(StepLine(r.out, 4).find("time limit of 2 s passed"), std::string::npos) << r.out;
  EXPECT_NE(StepLine(r.out, 5).find("SKIP"), std::string::npos) << r.out;
  const auto status = sim.Status();
  // g, then two to four of the five cycles; no ROM version request.
  const int requests = std::stoi(status.at("requests"));
  EXPECT_GE(requests, 3);
  EXPECT_LE(requests, 5);
  EXPECT_LT(std::stoi(status.at("dispensed1")), 5);
}

}  // namespace
}  // namespace qeld::test
