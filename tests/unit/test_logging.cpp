// Log data files, byte for byte.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "ConsoleHarness.h"

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
    char tmpl[] = "/tmp/qeld-log-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    ASSERT_EQ(chdir(dir.c_str()), 0);
    c.Connect();
  }
  void TearDown() override {
    if (chdir(old.c_str()) != 0) ADD_FAILURE();
    std::string cmd = "rm -rf '" + dir + "'";
    if (std::system(cmd.c_str()) != 0) ADD_FAILURE();
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
    for (const auto& f : Files()) unlink((dir + "/" + f).c_str());
    c.w.boxes.clear();
    const std::string d = Data(n);
    const std::string lineEnds = n > 64 ? "\r\n" : "";  // after the ninth group
    EXPECT_EQ(Log(d), d + lineEnds + "\r\n---END\r\n");
  }
}

TEST_F(Logging, FileNameIsTheLocalDateAndTime) {
  const std::string name = c.d.LogFileName();
  ASSERT_EQ(name.substr(0, dir.size() + 1), dir + "/");
  const std::string base = name.substr(dir.size() + 1);
  ASSERT_EQ(base.size(), 17u) << base;
  EXPECT_EQ(base[6], '_');
  EXPECT_EQ(base.substr(13), ".txt");
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
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

TEST_F(Logging, AFileThatCannotBeCreatedIsReportedEvenToRoot) {
  // A path that cannot be a file for anyone: the working folder is removed.
  ASSERT_EQ(chdir("/"), 0);
  ASSERT_EQ(rmdir(dir.c_str()), 0);
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  const std::string gone = dir + "/gone";
  ASSERT_EQ(mkdir(gone.c_str(), 0700), 0);
  ASSERT_EQ(chdir(gone.c_str()), 0);
  ASSERT_EQ(rmdir(gone.c_str()), 0);
  c.w.Click(ctl::kLogData);
  c.Answer('~', Data(16));
  ASSERT_GE(c.w.boxes.size(), 1u);
  EXPECT_NE(c.w.boxes[0].text.find("Log data is NOT written"), std::string::npos);
  for (const auto& b : c.w.boxes) EXPECT_NE(b.text, "Log data is written.");
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
