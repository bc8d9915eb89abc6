// Log data files, byte for byte.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "ConsoleHarness.h"
#include "TempDir.h"
#include "platform/Os.h"

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

TEST_F(Logging, FourDataBytesWriteOnlyTheEndMarker) { EXPECT_EQ(Log(Data(4)), "\r\n---END\r\n"); }

TEST_F(Logging, ALastShortGroupWritesOnlyItsDataBytes) {
  // 13 data bytes: a whole group, then 5 bytes; never the ETX, the BCC or beyond.
  const std::string d = Data(13);
  EXPECT_EQ(Log(d), d + "\r\n---END\r\n");
  // 20 data bytes: two groups are written, the last 4 bytes are not.
  c.w.boxes.clear();
  std::string all;
  for (const auto& f : Files()) unlink((dir + "/" + f).c_str());
  EXPECT_EQ(Log(Data(20)), Data(16) + "\r\n---END\r\n");
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

TEST_F(Logging, AFileThatCannotBeCreatedIsReportedEvenToRoot) {
  // A path that cannot be a file for anyone: the working folder is removed.
  ASSERT_EQ(chdir("/"), 0);
  ASSERT_EQ(rmdir(dir.c_str()), 0);
  ASSERT_TRUE(std::filesystem::create_directory(dir));
  const std::string gone = dir + "/gone";
  ASSERT_TRUE(std::filesystem::create_directory(gone));
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
