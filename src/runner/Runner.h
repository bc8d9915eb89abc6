// Runs a checked service script on the console itself: the real ConsoleDialog
// on the headless window in real-clock mode, clicking and typing as a
// technician would, so every request, retry and time-out is the window's.
#pragma once
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "runner/Script.h"

namespace qeld {
class ConsoleDialog;
class HeadlessWindow;
}  // namespace qeld

namespace qeld::run {

enum class Outcome { Pass, Fail, Skipped };

struct StepResult {
  const Step* step = nullptr;
  Outcome outcome = Outcome::Skipped;
  double seconds = 0;
  std::vector<std::pair<std::string, std::string>> values;  // values read
  std::string failure;      // what went wrong, for the operator
  std::string failureType;  // DeviceError, Expectation, TimeLimit, Link, Port, Operator
};

// What the run tells the outside while it goes.
class RunObserver {
 public:
  virtual ~RunObserver() = default;
  virtual void StepStarted(const Step&) {}
  // fraction 0..1 of a long step (repeat run, download, pause); elapsed seconds.
  virtual void StepProgress(const Step&, double /*fraction*/, double /*elapsed*/) {}
  virtual void StepDone(const StepResult&) = 0;
};

struct RunOptions {
  bool keepGoing = false;
  // The admin password, asked when an admin step runs; nothing: none to give.
  std::function<std::optional<std::string>()> password;
  // True once the operator asked to stop (Ctrl+C): the step in flight fails,
  // the module is left idle and the rest is not run.
  std::function<bool()> interrupted;
};

// Exit status of a run.
enum : int { kExitPass = 0, kExitFail = 1, kExitScript = 2, kExitPort = 3 };

class Runner {
 public:
  // The window must be in real-clock mode and the console initialised.
  Runner(HeadlessWindow& w, ConsoleDialog& d, RunOptions options, RunObserver& observer);
  // Runs every step (or up to the first failure); results has one entry per step.
  int Run(const Script& script, std::vector<StepResult>* results);

  // No request in flight, no run or download going, no answer awaited.
  bool Idle() const;

  // After a run that failed between Go Loader and Reset: that the module is
  // still in its loader and what brings it back; otherwise "".
  std::string LoaderNote() const;

 private:
  StepResult RunStep(const Step& s);
  bool Apply(const Assignment& a, std::string* why);
  int LimitSec(const Step& s) const;
  void Wait(const Step& s, const std::function<bool()>& done, int64_t untilMs, bool* timedOut);
  std::string ValueOf(const Expectation& e, size_t firstBox) const;
  std::string FieldValue(const std::string& name, size_t firstBox) const;
  void LeaveIdle();
  bool Interrupted() const { return options_.interrupted && options_.interrupted(); }
  void FollowLoader(const StepResult& r);

  HeadlessWindow& w_;
  ConsoleDialog& d_;
  RunOptions options_;
  RunObserver& observer_;
  int status_ = kExitPass;
  // Between Go Loader and Reset; whether blocks of an image went out since,
  // and whether a whole image then passed Verify.
  bool inLoader_ = false;
  bool imageWritten_ = false;
  bool imageVerified_ = false;
};

// Compares as the script says: numbers as numbers, text as text.
bool Compare(const std::string& actual, Op op, const std::string& expected, std::string* why);

}  // namespace qeld::run
