// Log data files, byte for byte.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "ConsoleHarness.h"
#include "TempDir.h"
#include "os/Os.h"
#include "os/OutputFolder.h"

using namespace qeld;
using namespace qeld::test;

namespace {

struct Logging : ::testing::Test {
  Console c;
  std::string dir;
  std::string old;
  void SetUp() override {
    char buf[4096];
    old = getcwd(buf, sizeof buf) ? buf : "/";
    dir = MakeTempDir("qeld-log");
    ASSERT_FALSE(dir.empty());
    ASSERT_EQ(chdir(dir.c_str()), 0);
    // As the console names it (Windows may spell the same folder otherwise).
    dir = CurrentFolder();
    // The tests never reach the user's own Documents folder.
    c.d.m_fnLogFolder = [] { return ChooseOutputFolder(CurrentFolder(), ""); };
    c.Connect();
  }
  void TearDown() override {
    if (chdir(old.c_str()) != 0) ADD_FAILURE();
    c.d.CloseLogFile();  // Windows removes no open file
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    if (ec) ADD_FAILURE() << ec.message();
  }
  std::vector<std::string> Files() {
    std::vector<std::string> v;
    if (DIR* d = opendir(dir.c_str())) {
      while (auto* e = readdir(d))
        if (e->d_name[0] != '.') v.push_back(e->d_name);
      closedir(d);
    }
    return v;
  }
  std::string Content(const std::string& name) {
    std::ifstream in(dir + "/" + name, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static std::string Data(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s.push_back(static_cast<char>('A' + i % 26));
    return s;
  }
  // "Log data" pressed and the module's answer with these data bytes.
  std::string Log(const std::string& data) {
    EXPECT_TRUE(c.w.Click(ctl::kLogData));
    EXPECT_EQ(Hex(c.line.Last()), "04 30 02 7E 30 03 7B");
    c.Answer('~', data);
    auto files = Files();
    EXPECT_EQ(files.size(), 1u);
    return files.empty() ? "" : Content(files[0]);
  }
};

}  // namespace

TEST_F(Logging, SeventyTwoBytesAreNineGroupsAndALineEnd) {
  const std::string d = Data(72);
  EXPECT_EQ(Log(d), d + "\r\n" + "\r\n---END\r\n");
  ASSERT_EQ(c.w.boxes.size(), 1u);
  EXPECT_EQ(c.w.boxes[0].text, "Log data is written.");
}

TEST_F(Logging, SixteenBytesAndFourBytes) {
  const std::string d = Data(16);
  EXPECT_EQ(Log(d), d + "\r\n---END\r\n");
}

TEST_F(Logging, NoDataBytesWriteOnlyTheEndMarker) { EXPECT_EQ(Log(""), "\r\n---END\r\n"); }

TEST_F(Logging, ALastShortGroupWritesOnlyItsDataBytes) {
  // Every remainder after whole groups, 1 to 7 bytes, is written as a short
  // last group; never the ETX, the BCC or beyond. 3 and 4 bytes alone too.
  for (int n : {13, 20, 17, 9, 12, 3, 4, 1, 71}) {
    SCOPED_TRACE(n);
    c.d.CloseLogFile();  // Windows removes no open file
    for (const auto& f : Files()) unlink((dir + "/" + f).c_str());
    c.w.boxes.clear();
    const std::string d = Data(n);
    const std::string lineEnds = n > 64 ? "\r\n" : "";  // after the ninth group
    EXPECT_EQ(Log(d), d + lineEnds + "\r\n---END\r\n");
  }
}

TEST_F(Logging, ALongLogFrameInFullEightyByteDeliveriesIsWrittenByteExact) {
  // 360 data bytes of every value but ETX, control bytes and 0x80..0xFF among them.
  std::string d;
  for (int i = 0; d.size() < 360; ++i)
    if ((i & 0xFF) != ETX) d.push_back(static_cast<char>(i & 0xFF));
  c.w.Click(ctl::kLogData);
  c.Ack();
  const Bytes frame = Response('~', d);
  ASSERT_EQ(frame.size(), 366u);
  // Four full deliveries of 80 bytes and one of 46, as the reader hands them over.
  for (size_t off = 0; off < frame.size(); off += kRxDeliveryMax) {
    const size_t n = std::min<size_t>(kRxDeliveryMax, frame.size() - off);
    std::copy_n(frame.begin() + static_cast<std::ptrdiff_t>(off), n, c.d.m_Comm.m_RxBuffer);
    c.d.m_Comm.m_nRxLength = static_cast<uint16_t>(n);
    c.d.OnCommData();
  }
  EXPECT_EQ(Hex(c.line.Last()), "06");
  EXPECT_EQ(c.d.m_strFrame, std::string(frame.begin(), frame.end()));
  std::string expected;
  for (int line = 0; line < 5; ++line) expected += d.substr(72 * line, 72) + "\r\n";
  ASSERT_EQ(Files().size(), 1u);
  EXPECT_EQ(Content(Files()[0]), expected + "\r\n---END\r\n");
}

TEST_F(Logging, FileNameIsTheLocalDateAndTime) {
  const std::string name = c.d.LogFileName();
  ASSERT_EQ(name.substr(0, dir.size() + 1), dir + PathSeparator());
  const std::string base = name.substr(dir.size() + 1);
  ASSERT_EQ(base.size(), 17u) << base;
  EXPECT_EQ(base[6], '_');
  EXPECT_EQ(base.substr(13), ".txt");
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  LocalTime(now, tm);
  char day[8];
  std::strftime(day, sizeof day, "%y%m%d", &tm);
  EXPECT_EQ(base.substr(0, 6), day);
}

TEST_F(Logging, SuccessiveResponsesAppendAndASecondPressTruncates) {
  c.d.OnLogData();
  c.Answer('~', Data(8));
  c.Module(Response('~', Data(8)));  // a further "~" goes to the same file
  ASSERT_EQ(Files().size(), 1u);
  EXPECT_EQ(Content(Files()[0]), Data(8) + "\r\n---END\r\n" + Data(8) + "\r\n---END\r\n");
  // Two presses in one second give one file name; the second truncates it.
  c.d.m_fnClock = [](std::time_t* t) -> std::time_t {
    if (t) *t = 1700000000;
    return 1700000000;
  };
  c.d.OnLogData();
  c.Answer('~', Data(16));
  c.d.OnLogData();
  const auto files = Files();
  EXPECT_EQ(files.size(), 2u) << "the first file plus the one named by the fixed clock";
  EXPECT_EQ(Content(c.d.LogFileName().substr(dir.size() + 1)), "");
}

TEST_F(Logging, AFileThatCannotBeCreatedIsReported) {
  ASSERT_EQ(chmod(dir.c_str(), 0500), 0);
  if (access(dir.c_str(), W_OK) == 0) GTEST_SKIP() << "running as a user who may write anyway";
  c.w.Click(ctl::kLogData);
  c.Answer('~', Data(16));
  ASSERT_GE(c.w.boxes.size(), 1u);
  for (const auto& b : c.w.boxes) EXPECT_NE(b.text, "Log data is written.");
  EXPECT_NE(c.w.boxes[0].text.find("Log data is NOT written"), std::string::npos);
  chmod(dir.c_str(), 0700);
}

namespace {

// A working folder that has been removed: no file can be made there, for
// root either. Returns the folder's former path.
std::string LoseTheWorkingFolder(const std::string& dir) {
  EXPECT_EQ(chdir("/"), 0);
  EXPECT_EQ(rmdir(dir.c_str()), 0);
  EXPECT_TRUE(std::filesystem::create_directory(dir));
  const std::string gone = dir + "/gone";
  EXPECT_TRUE(std::filesystem::create_directory(gone));
  EXPECT_EQ(chdir(gone.c_str()), 0);
  EXPECT_EQ(rmdir(gone.c_str()), 0);
  return gone;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::time_t FixedClock(std::time_t* t) {
  if (t) *t = 1700000000;
  return 1700000000;
}

}  // namespace

// One press, one failure, one box: with the path and the system's reason, and
// no second box when the answer finds no file.
TEST_F(Logging, AFileThatCannotBeCreatedIsReportedOnceWithItsPathAndReason) {
  LoseTheWorkingFolder(dir);
  c.d.m_fnClock = FixedClock;
  const std::string path = c.d.LogFileName();
  c.w.Click(ctl::kLogData);
  EXPECT_EQ(Hex(c.line.Last()), "04 30 02 7E 30 03 7B");
  c.Answer('~', Data(16));
  ASSERT_EQ(c.w.boxes.size(), 1u);
  EXPECT_EQ(c.w.boxes[0].text, "Log data is NOT written: " + path + ": No such file or directory");
  EXPECT_EQ(c.w.boxes[0].flags, MB_OK | MB_ICONSTOP);
  EXPECT_EQ(c.line.Last(), Bytes{ACK});
}

// With log mode on the same failure goes to the MessageArea, once per file
// the run tries to make, and stays there when the fields are read again.
TEST_F(Logging, InLogModeAFailedFileIsNotedInTheMessageAreaWithItsPathAndReason) {
  LoseTheWorkingFolder(dir);
  c.d.m_fnClock = FixedClock;
  const std::string path = c.d.LogFileName();
  c.w.Click(ctl::kLogMode);
  c.Type(ctl::kRequest[0], "1");
  c.Type(ctl::kRepeat, "2");
  c.w.Click(1001);
  for (int rep = 0; rep < 2; ++rep) {
    c.Answer('R', std::string(23, ' '));
    c.w.Advance(2000);  // the log step: the file, then the log request
    EXPECT_EQ(Hex(c.line.Last()), "04 30 02 7E 30 03 7B");
    c.Answer('~', Data(16));
    c.w.Advance(1000);
  }
  EXPECT_TRUE(c.w.boxes.empty());
  const std::string area = c.Field(ctl::kMessageArea);
  EXPECT_EQ(Count(area, "Log data is NOT written: "), 2u) << area;
  EXPECT_EQ(Count(area, "Log data is NOT written: " + path + ": No such file or directory"), 2u) << area;
  EXPECT_EQ(area.find("Bad file descriptor"), std::string::npos) << area;
  EXPECT_EQ(area.find("Log data is written."), std::string::npos) << area;
}

// Where log files go when the working folder cannot take them.
TEST(OutputFolder, TheWorkingFolderWhenWritableElseDocumentsQeldMadeOnDemandElseNeither) {
  TempDir t("qeld-out");
  const std::string docs = t.path + PathSeparator() + "docs";
  const std::string mine = docs + PathSeparator() + kOutputSubfolder;
  // Below a plain file nothing can be made, for root too and on every target.
  const std::string blocked = t.Write("plain", "x") + PathSeparator() + "sub";

  OutputFolder here = ChooseOutputFolder(t.path, docs);
  EXPECT_EQ(here.path, t.path);
  EXPECT_EQ(here.why, "");
  EXPECT_FALSE(std::filesystem::exists(FsPath(docs)));

  for (const std::string& working : {blocked, std::string()}) {
    SCOPED_TRACE(working);
    const OutputFolder there = ChooseOutputFolder(working, docs);
    EXPECT_EQ(there.path, mine);
    EXPECT_TRUE(std::filesystem::is_directory(FsPath(mine)));
    const std::string named = working.empty() ? "the working folder cannot" : "the working folder " + working + " cannot";
    EXPECT_EQ(there.why.rfind(named + " be written (", 0), 0u) << there.why;
    EXPECT_EQ(there.problem, "");
  }

  const OutputFolder none = ChooseOutputFolder(blocked, blocked);
  EXPECT_EQ(none.path, "");
  EXPECT_NE(none.problem.find(blocked + PathSeparator() + kOutputSubfolder), std::string::npos) << none.problem;
  EXPECT_NE(ChooseOutputFolder(blocked, "").problem.find("no Documents folder"), std::string::npos);
}

// The log file goes to the folder chosen, and the MessageArea says where and
// why once, not at every file.
TEST_F(Logging, AFileOutsideTheWorkingFolderIsMadeThereAndTheMessageAreaSaysWhyOnce) {
  TempDir t("qeld-docs");
  const std::string why = "the working folder " + dir + " cannot be written (Permission denied)";
  c.d.m_fnLogFolder = [&] { return OutputFolder{t.path, why, ""}; };
  c.d.m_fnClock = FixedClock;
  for (int press = 0; press < 2; ++press) {
    c.w.Click(ctl::kLogData);
    c.Answer('~', Data(16));
  }
  EXPECT_TRUE(Files().empty());
  std::ifstream in(FsPath(c.d.LogFileName()), std::ios::binary);
  std::stringstream got;
  got << in.rdbuf();
  EXPECT_EQ(got.str(), Data(16) + "\r\n---END\r\n");
  EXPECT_EQ(c.d.LogFileName().rfind(t.path + PathSeparator(), 0), 0u);
  EXPECT_EQ(Count(c.Field(ctl::kMessageArea), "Log files go to " + t.path + ": " + why + "."), 1u)
      << c.Field(ctl::kMessageArea);
  c.d.CloseLogFile();
}

// Log data nobody asked for, with no file open (noise, a stray answer): each
// frame is acknowledged, it is noted once, and no box stops the line.
TEST_F(Logging, UnaskedLogDataIsAcknowledgedNotedOnceAndOpensNoBox) {
  for (int i = 0; i < 143; ++i) {
    c.line.writes.clear();
    c.Module(Response('~', Data(16)));
    ASSERT_EQ(c.line.Last(), Bytes{ACK}) << i;
  }
  EXPECT_TRUE(c.w.boxes.empty());
  EXPECT_TRUE(Files().empty());
  EXPECT_EQ(Count(c.Field(ctl::kMessageArea), "it was not asked for and no log file is open"), 1u);
  // The console goes on working: a query goes out and its answer is taken.
  c.line.writes.clear();
  c.Send(36);
  EXPECT_EQ(c.line.Frames().size(), 1u);
  c.Answer('g', "  ");
  EXPECT_EQ(c.line.Last(), Bytes{ACK});
}

TEST_F(Logging, OldFilesAreClosedSoALongRunLeaksNoHandles) {
  auto openFds = [] {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
      while (readdir(d)) ++n;
      closedir(d);
    }
    return n;
  };
  const int before = openFds();
  for (int i = 0; i < 50; ++i) {
    c.d.OnLogData();
    c.Answer('~', Data(8));
    c.Type(ctl::kRequest[0], "1");
    c.Send(1);  // a dispense run begins: the log file is closed
    c.Answer('R', std::string(23, ' '));
  }
  EXPECT_LE(openFds(), before + 1);
  EXPECT_EQ(c.d.m_hLogFile, nullptr);
}
