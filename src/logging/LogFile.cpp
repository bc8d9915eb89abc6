// Recording the module's log data to dated text files.
#include <cerrno>
#include <cstring>
#include <ctime>

#include "app/ConsoleDialog.h"
#include "link/Frame.h"
#include "os/Os.h"

namespace qeld {

namespace {
constexpr int kGroupSize = 8;        // log bytes per group
constexpr int kGroupsPerLine = 9;    // a CR LF after every 9 groups
constexpr char kEndMarker[] = "\r\n---END\r\n";
}  // namespace

std::string ConsoleDialog::LogFileName() const { return LogFileIn(m_fnLogFolder()); }

std::string ConsoleDialog::LogFileIn(const OutputFolder& where) const {
  // When no folder will do, the file is tried in the working folder all the
  // same, so that the failure names it; a working folder that has been
  // removed has no name, and a relative name fails there.
  std::string dir = !where.path.empty() ? where.path : CurrentFolder();
  if (dir.empty()) dir.push_back('.');
  const std::time_t now = m_fnClock(nullptr);
  std::tm tm{};
  LocalTime(now, tm);
  char name[32];
  std::strftime(name, sizeof name, "%y%m%d_%H%M%S.txt", &tm);
  return dir + PathSeparator() + name;
}

void ConsoleDialog::CloseLogFile() {
  if (m_hLogFile) std::fclose(m_hLogFile);
  m_hLogFile = nullptr;
  m_strLogPath.clear();
  m_bLogFailReported = false;
}

void ConsoleDialog::OnLogData() {
  ReadFields();
  if (m_bBusy && m_bLogMode == 0) return;
  const OutputFolder where = m_fnLogFolder();
  NoteLogFolder(where);
  const std::string path = LogFileIn(where);
  CloseLogFile();
  m_hLogFile = OpenFile(path, "wb");
  if (!m_hLogFile) {
    // Told once, here, with the path and the reason; the answer to the
    // request finds no file and adds nothing.
    ReportLogFailure(path, errno);
    m_bLogFailReported = true;
  } else {
    m_strLogPath = path;
    m_bStrayLogNoted = false;
  }
  // With log mode on, the runs send the log requests; here only the file is made.
  if (m_bLogMode == 0) SendCommand(19);
}

void ConsoleDialog::NoteLogFolder(const OutputFolder& where) {
  std::string text;
  if (!where.why.empty()) text = "Log files go to " + where.path + ": " + where.why + ".";
  if (where.path.empty() && !where.problem.empty()) text = "Log files have no folder: " + where.problem + ".";
  if (text == m_strLogFolderNoted) return;
  m_strLogFolderNoted = text;
  if (!text.empty()) AppendMessage("\r\n " + text + " \r\n ");
}

void ConsoleDialog::ReportLogFailure(const std::string& path, int err) {
  ReportLogProblem(Format("Log data is NOT written: %s: %s", path.c_str(), std::strerror(err)));
}

void ConsoleDialog::ReportLogProblem(const std::string& text) {
  if (m_bLogMode == 1)
    AppendMessage("\r\n " + text + " \r\n ");
  else
    m_wnd.MessageBox(text, kAppName, MB_OK | MB_ICONSTOP);
}

void ConsoleDialog::WriteLogResponse() {
  const auto* f = reinterpret_cast<const uint8_t*>(m_strFrame.data());
  const int L = m_nFrameLength;
  const int dataEnd = L - 2;  // the ETX; data runs from position 4 up to it
  if (!m_hLogFile) {
    if (m_bLogFailReported) {
      m_bLogFailReported = false;  // the file's failure was reported when it was made
    } else if (m_bBusy && m_cLastCommand == '~') {
      ReportLogProblem("Log data is NOT written: no log file is open");
    } else if (!m_bStrayLogNoted) {
      // Log data nobody asked for (noise, a stray answer): acknowledged by the
      // receiver, noted once, and no box, which would stop the line being read.
      m_bStrayLogNoted = true;
      AppendMessage("\r\n Log data is NOT written: it was not asked for and no log file is open. \r\n ");
    }
    return;
  }
  bool ok = true;
  int groups = 0;
  errno = 0;  // a failed write below names its own reason
  // Every data byte is written: a last group of fewer than 8 data bytes, even
  // of 1 to 4, writes only those bytes, never the ETX or the BCC behind them.
  for (int j = 4; j < dataEnd; j += kGroupSize) {
    const int n = std::min(kGroupSize, dataEnd - j);
    ok = ok && std::fwrite(f + j, 1, n, m_hLogFile) == static_cast<size_t>(n);
    if (++groups > kGroupsPerLine - 1) {
      ok = ok && std::fwrite("\r\n", 1, 2, m_hLogFile) == 2;
      groups = 0;
    }
  }
  ok = ok && std::fwrite(kEndMarker, 1, sizeof kEndMarker - 1, m_hLogFile) == sizeof kEndMarker - 1;
  ok = ok && std::fflush(m_hLogFile) == 0;
  if (!ok) {
    ReportLogFailure(m_strLogPath, errno ? errno : EIO);
    return;
  }
  if (m_bLogMode == 1)
    AppendMessage("\r\n Log data is written. \r\n ");
  else
    m_wnd.MessageBox("Log data is written.", kAppName, MB_OK);
}

}  // namespace qeld
