// The line monitor's recording survives the console being killed: a console
// in a child process records a repeat run and is killed with SIGKILL in the
// middle of it; the file holds every row it had finished.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "SimModule.h"
#include "unit/ConsoleHarness.h"

using namespace qeld;
using namespace qeld::test;
namespace fs = std::filesystem;

namespace {
std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
}  // namespace

TEST(MonitorRecording, EveryRowIsOnDiskWhenTheConsoleIsKilledMidRun) {
  const fs::path dir = fs::temp_directory_path() / ("qeld-record-kill-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const fs::path record = dir / "record.txt", expected = dir / "expected.txt";
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready[0]);
    {
      Console c;
      sim::SimModule module;
      c.line.sim = &module;
      c.d.m_Monitor.SetEnabled(true);
      if (!c.d.m_Monitor.StartRecording(record.string()).empty()) _exit(2);
      c.w.Click(ctl::kOpen);
      c.w.Advance(3000);
      c.Type(ctl::kRequest[0], "3");
      c.Type(ctl::kRepeat, "10");
      c.Type(ctl::kWait, "2");
      c.w.Click(1001);
      c.w.Advance(7000);  // some dispenses done, the run goes on
      if (!c.d.m_bBusy) _exit(3);
      // What the monitor holds (nothing was cleared or capped), written the
      // ordinary way for the parent to compare.
      std::vector<MonitorRow> rows;
      for (size_t i = 0; i < c.d.m_Monitor.RowCount(); ++i) rows.push_back(c.d.m_Monitor.Row(i));
      if (!LineMonitor::SaveRows(rows, expected.string()).empty()) _exit(4);
      const char byte = 'k';
      if (write(ready[1], &byte, 1) != 1) _exit(5);
      for (;;) pause();  // killed here, the recording still open
    }
  }
  close(ready[1]);
  char byte = 0;
  const ssize_t n = read(ready[0], &byte, 1);
  close(ready[0]);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_EQ(n, 1) << "the child ended early, status " << status;
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  const std::string want = ReadAll(expected);
  EXPECT_GT(std::count(want.begin(), want.end(), '\n'), 12) << "OPEN, the sequence query and dispenses";
  EXPECT_EQ(ReadAll(record), want);
  fs::remove_all(dir);
}

TEST(MonitorRecording, AFullDiskIsToldAndEndsTheRecording) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
  LineMonitor m;
  m.SetEnabled(true);
  EXPECT_EQ(m.StartRecording("/dev/full"), "cannot write /dev/full: No space left on device");
  EXPECT_FALSE(m.Recording());
}
