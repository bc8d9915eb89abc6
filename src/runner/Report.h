// qeld-run's reports: one line per step on standard output (with a progress
// bar on a terminal), and the JUnit XML file that CI systems read.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "runner/Runner.h"

namespace qeld::run {

class LineReporter : public RunObserver {
 public:
  LineReporter(std::FILE* out, bool terminal, int columns) : out_(out), terminal_(terminal), columns_(columns) {}
  void StepStarted(const Step& s) override;
  void StepProgress(const Step& s, double fraction, double elapsed) override;
  void StepDone(const StepResult& r) override;
  // The closing line: counts and the overall result.
  void Summary(const std::vector<StepResult>& results, double seconds);

 private:
  std::FILE* out_;
  bool terminal_;
  int columns_;
  bool barShown_ = false;
};

// One step's line as it is printed (without the newline).
std::string StepLine(const StepResult& r);

// The JUnit XML report: one testsuite for the script, one testcase per step.
std::string JUnitXml(const std::string& suiteName, const std::vector<StepResult>& results, double seconds,
                     const std::string& timestamp);
// Text made safe for XML: markup escaped, control characters and broken
// UTF-8 replaced.
std::string XmlEscape(const std::string& text);

}  // namespace qeld::run
