// qeld-run: runs a service script against a module through the console's own
// logic and reports every step. See "Service scripts" in README.md.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/ConsoleDialog.h"
#include "window/HeadlessWindow.h"
#include "os/RunHelp.h"
#include "os/Terminal.h"
#include "runner/Report.h"
#include "runner/Runner.h"
#include "runner/Script.h"
#include "runner/ScriptFiles.h"

using namespace qeld;
using namespace qeld::run;

namespace {

constexpr uintmax_t kMaxScriptBytes = 1 << 20;

void Usage(std::FILE* f) {
  std::fprintf(f,
               "Usage: qeld-run [--check] [--keep-going] [--junit FILE] SCRIPT\n"
               "       qeld-run --help | --version\n"
               "\n"
               "Runs a service script against a QELD module through the console's own\n"
               "logic, one step a line, and reports each step with its time and result.\n"
               "The whole script is checked first, and every firmware image it names is\n"
               "loaded, before the port is opened.\n"
               "\n"
               "  --check        check the script and its images only; the port is not\n"
               "                 opened\n"
               "  --keep-going   run on after a failed step (otherwise stop there,\n"
               "                 leaving the module idle)\n"
               "  --junit FILE   also write a JUnit XML report to FILE\n"
               "  --help         this text\n"
               "  --version      print \"qeld-run\" and the console's version\n"
               "\n");
  std::fputs(RunPasswordHelp(), f);
  std::fputs("\n", f);
  std::fputs(RunPortsHelp(), f);
  std::fputs("\n", f);
  std::fputs(RunGuideHelp(), f);
  std::fprintf(f,
               "\n"
               "Exit status: 0 every step passed, 1 a step failed, 2 the script is wrong\n"
               "(or bad usage), 3 the port cannot be opened.\n");
}

bool ReadScript(const std::string& path, std::string* text, std::string* why) {
  std::error_code ec;
  const auto st = std::filesystem::status(path, ec);
  if (ec || !std::filesystem::exists(st)) {
    *why = "no such file";
    return false;
  }
  // A FIFO or a device would block or never end.
  if (!std::filesystem::is_regular_file(st)) {
    *why = "not a regular file";
    return false;
  }
  if (std::filesystem::file_size(path, ec) > kMaxScriptBytes) {
    *why = "larger than 1 MiB: not a script";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *why = std::strerror(errno);
    return false;
  }
  std::ostringstream s;
  s << in.rdbuf();
  *text = s.str();
  return true;
}

std::string LineOf(const std::string& text, int lineNo) {
  std::istringstream in(text);
  std::string line;
  for (int i = 0; i < lineNo && std::getline(in, line); ++i) {
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::string Timestamp() {
  const std::time_t now = std::time(nullptr);
  const std::tm* tm = std::localtime(&now);  // one thread here
  char buf[32] = "1970-01-01T00:00:00";
  if (tm) std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", tm);
  return buf;
}

}  // namespace

int main(int argc, char** argv) {
  bool check = false, keepGoing = false;
  std::string junit, scriptPath;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--check") {
      check = true;
    } else if (a == "--keep-going") {
      keepGoing = true;
    } else if (a == "--junit") {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "qeld-run: --junit needs a file name\n");
        return kExitScript;
      }
      junit = argv[++i];
    } else if (a == "--help" || a == "-h") {
      Usage(stdout);
      return kExitPass;
    } else if (a == "--version") {
      std::printf("qeld-run %s\n", QELD_VERSION_STRING);
      return kExitPass;
    } else if (a.rfind("-", 0) == 0 && a != "-") {
      std::fprintf(stderr, "qeld-run: unknown option %s\n", a.c_str());
      Usage(stderr);
      return kExitScript;
    } else if (scriptPath.empty()) {
      scriptPath = a;
    } else {
      std::fprintf(stderr, "qeld-run: one script at a time (%s)\n", a.c_str());
      return kExitScript;
    }
  }
  if (scriptPath.empty()) {
    Usage(stderr);
    return kExitScript;
  }

  std::string text, why;
  if (!ReadScript(scriptPath, &text, &why)) {
    std::fprintf(stderr, "qeld-run: %s: %s\n", scriptPath.c_str(), why.c_str());
    return kExitScript;
  }
  Script script;
  std::optional<ScriptError> e = ParseScript(text, &script);
  if (!e) e = CheckScriptFiles(script);
  if (e) {
    std::fprintf(stderr, "%s:%d:%d: error: %s\n", scriptPath.c_str(), e->line, e->column, e->message.c_str());
    const std::string line = LineOf(text, e->line);
    if (!line.empty()) {
      std::string caret(static_cast<size_t>(std::max(0, e->column - 1)), ' ');
      for (size_t i = 0; i < caret.size() && i < line.size(); ++i)
        if (line[i] == '\t') caret[i] = '\t';
      std::fprintf(stderr, "  %s\n  %s^\n", line.c_str(), caret.c_str());
    }
    return kExitScript;
  }
  if (check) {
    std::printf("%s: %zu steps, OK\n", scriptPath.c_str(), script.steps.size());
    return kExitPass;
  }

  HeadlessWindow window;
  window.UseRealClock();
  ConsoleDialog console(window);
  console.m_strProgramName = "qeld-run";  // its note on a port that does not open is ours
  console.InitConsole();

  RunOptions options;
  options.keepGoing = keepGoing;
  options.password = []() -> std::optional<std::string> {
    if (const char* p = std::getenv("QELD_ADMIN_PASSWORD")) return std::string(p);
    if (!IsTerminal(stdin)) return std::nullopt;
    std::fflush(stdout);
    return ReadSecret("Admin password: ");
  };
  options.interrupted = [] { return InterruptRequested(); };
  WatchInterrupt();
  LineReporter reporter(stdout, IsTerminal(stdout), TerminalColumns());
  Runner runner(window, console, options, reporter);

  const auto started = std::chrono::steady_clock::now();
  std::vector<StepResult> results;
  const int status = runner.Run(script, &results);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  reporter.Summary(results, seconds);
  if (const std::string note = runner.LoaderNote(); !note.empty()) std::printf("%s\n", note.c_str());

  if (!junit.empty()) {
    const std::string name = std::filesystem::path(scriptPath).stem().string();
    std::ofstream out(junit, std::ios::binary | std::ios::trunc);
    out << JUnitXml(name, results, seconds, Timestamp());
    out.close();
    if (!out) {
      std::fprintf(stderr, "qeld-run: cannot write %s: %s\n", junit.c_str(), std::strerror(errno));
      if (status == kExitPass) return kExitFail;
    }
  }
  return status;
}
