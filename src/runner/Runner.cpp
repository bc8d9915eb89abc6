#include "runner/Runner.h"

#include <algorithm>
#include <cstdlib>

#include "app/ConsoleDialog.h"
#include "window/HeadlessWindow.h"

namespace qeld::run {

namespace {

// Room for the ACK retries and the response time-out of the answer in flight
// when a run is stopped.
constexpr int64_t kSettleMs = 130000;
// The unit switch is taken over by the window's poll (every 100 ms, and the
// fields are converted one poll after the switch): let three polls pass.
constexpr int64_t kUnitSettleMs = 350;
constexpr int64_t kProgressEveryMs = 200;

std::string Trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return "";
  const size_t b = s.find_last_not_of(" \t\r\n");
  return s.substr(a, b - a + 1);
}

bool ToNumber(const std::string& text, long long* v) {
  const std::string t = Trim(text);
  if (t.empty()) return false;
  char* end = nullptr;
  const bool hex = t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
  *v = std::strtoll(t.c_str(), &end, hex ? 16 : 10);
  return end && *end == '\0';
}

bool IsDeviceError(const HeadlessWindow::BoxRecord& b) { return b.caption.rfind("Error = ", 0) == 0; }

// Boxes that tell of a failure without a device error code.
bool IsFailureBox(const HeadlessWindow::BoxRecord& b) {
  return (b.flags & 0xF0) == MB_ICONSTOP || b.text.find("Wrong password") != std::string::npos ||
         b.text.find("Repeat is stopped") != std::string::npos;
}

}  // namespace

bool Compare(const std::string& actual, Op op, const std::string& expected, std::string* why) {
  long long a = 0, e = 0;
  const bool numbers = ToNumber(actual, &a) && ToNumber(expected, &e);
  switch (op) {
    case Op::None:
      if (actual.empty()) return true;
      *why = "got " + actual;
      return false;
    case Op::Contains:
      if (actual.find(expected) != std::string::npos) return true;
      *why = "\"" + actual + "\" does not contain \"" + expected + "\"";
      return false;
    case Op::Eq:
      if (numbers ? a == e : Trim(actual) == expected) return true;
      *why = "is \"" + actual + "\", expected \"" + expected + "\"";
      return false;
    case Op::Le:
    case Op::Ge:
      if (!numbers) {
        *why = "is \"" + actual + "\", not a number";
        return false;
      }
      if (op == Op::Le ? a <= e : a >= e) return true;
      *why = "is " + std::to_string(a) + ", expected " + OpText(op) + " " + expected;
      return false;
  }
  return false;
}

Runner::Runner(HeadlessWindow& w, ConsoleDialog& d, RunOptions options, RunObserver& observer)
    : w_(w), d_(d), options_(std::move(options)), observer_(observer) {}

bool Runner::Idle() const {
  // After the ACK failure or a lost port the console has given up on the
  // line: nothing of ours is in flight, whatever timer is still armed.
  if (d_.m_bConnected == 0) return d_.m_bBusy == 0;
  for (int t : {kTimerAck, kTimerResponse, kTimerRepeat, kTimerLogRequest})
    if (w_.TimerRunning(t)) return false;
  return d_.m_bBusy == 0 && d_.m_bDownloading == 0 && d_.m_nRxState == 0;
}

int Runner::Run(const Script& script, std::vector<StepResult>* results) {
  int status = kExitPass;
  bool stopped = false;
  for (const Step& s : script.steps) {
    if (stopped) {
      StepResult r;
      r.step = &s;
      r.outcome = Outcome::Skipped;
      results->push_back(r);
      observer_.StepDone(r);
      continue;
    }
    observer_.StepStarted(s);
    StepResult r = RunStep(s);
    FollowLoader(r);
    results->push_back(r);
    observer_.StepDone(r);
    if (Interrupted()) {
      status = kExitFail;
      LeaveIdle();
      stopped = true;
      continue;
    }
    if (r.outcome == Outcome::Fail) {
      if (r.failureType == "Port") {
        status = kExitPort;
        stopped = true;  // nothing after it can reach the module
        continue;
      }
      status = kExitFail;
      if (!options_.keepGoing) {
        LeaveIdle();
        stopped = true;
      }
    }
  }
  LeaveIdle();
  status_ = status;
  return status;
}

void Runner::FollowLoader(const StepResult& r) {
  if (!r.step->action) return;
  const std::string& name = r.step->action->name;
  // A step that failed before its request went out changed nothing.
  const bool sent = r.outcome == Outcome::Pass || (r.failureType != "Operator" && r.failureType != "Port");
  if (name == "go-loader" && sent) {
    inLoader_ = true;
    imageWritten_ = imageVerified_ = false;
  } else if (name == "write-prog" && d_.m_nImageOffset > 0) {
    imageWritten_ = true;
    imageVerified_ = false;
  } else if (name == "verify" && r.outcome == Outcome::Pass) {
    imageVerified_ = imageWritten_;
  } else if (name == "reset" && r.outcome == Outcome::Pass) {
    inLoader_ = imageWritten_ = imageVerified_ = false;
  }
}

std::string Runner::LoaderNote() const {
  if (status_ == kExitPass || !inLoader_) return "";
  if (imageWritten_ && !imageVerified_)
    return "The module is still in its loader, its program not completely written: Go Loader, Write Prog "
           "with the whole image, Verify, then Reset bring it back.";
  return "The module is still in its loader: Reset brings it back to its program.";
}

void Runner::LeaveIdle() {
  if (Idle()) return;
  // Cancel rep. lets the cycle in flight end the run; a download sends no
  // block after the one in flight.
  w_.Click(ctl::kCancelRepeat);
  d_.m_bDownloading = 0;
  w_.RunUntil([&] { return Idle(); }, w_.Now() + kSettleMs);
}

int Runner::LimitSec(const Step& s) const {
  if (s.limitSec > 0) return s.limitSec;
  switch (s.kind) {
    case StepKind::Open:
    case StepKind::Admin:
      return 130;
    case StepKind::Pause:
      return s.seconds + 10;
    case StepKind::Action:
      break;
  }
  if (!s.action->run) return s.action->limitSec;
  // The window's own rules for the run's fields: out of range counts as 1.
  auto field = [&](const std::string& name, int id, long lo, long hi) {
    std::string text = w_.GetText(id);
    for (const auto& a : s.sets)
      if (a.field->name == name) text = a.value;
    const long v = std::strtol(text.c_str(), nullptr, 10);
    return v < lo || v > hi ? 1L : v;
  };
  const long repeat = field("repeat", ctl::kRepeat, 1, 2000);
  const long wait = field("wait", ctl::kWait, 1, 600);
  return static_cast<int>(repeat * (wait + s.action->limitSec));
}

bool Runner::Apply(const Assignment& a, std::string* why) {
  const FieldDef& f = *a.field;
  bool ok = true;
  switch (f.kind) {
    case FieldKind::File:
      w_.fileScript.push_back(a.value);
      return true;
    case FieldKind::Check:
      if (w_.GetCheck(f.control) != std::atoi(a.value.c_str())) ok = w_.Click(f.control);
      break;
    case FieldKind::Unit: {
      const int id = a.value == "hex" ? ctl::kUnitHex : ctl::kUnitDec;
      if (w_.GetCheck(id) == 1) return true;
      ok = w_.Click(id);
      if (ok) w_.RunUntil([] { return false; }, w_.Now() + kUnitSettleMs);
      break;
    }
    case FieldKind::Cassette:
      ok = w_.Click(ctl::kCst[std::atoi(a.value.c_str()) - 1]);
      break;
    default:
      ok = w_.Type(f.control, a.value);
      break;
  }
  if (!ok) *why = std::string("cannot set ") + f.name + ": the field is disabled";
  return ok;
}

void Runner::Wait(const Step& s, const std::function<bool()>& done, int64_t untilMs, bool* timedOut) {
  const int64_t start = w_.Now();
  int64_t nextReport = start + kProgressEveryMs;
  const int64_t pauseEnd = s.kind == StepKind::Pause ? start + s.seconds * 1000LL : 0;
  auto progress = [&]() -> double {
    if (s.kind == StepKind::Pause) return s.seconds ? double(w_.Now() - start) / (s.seconds * 1000.0) : 1.0;
    if (s.action && s.action->run && d_.m_nRepeatCount > 0)
      return std::clamp(double(d_.m_nRepeatCount - d_.m_nRepeatLeft) / d_.m_nRepeatCount, 0.0, 1.0);
    if (s.action && s.action->control == ctl::kWriteProg) return d_.m_nProgress / 200.0;
    return -1;
  };
  const bool finished = w_.RunUntil(
      [&] {
        if (done() || Interrupted()) return true;
        if (w_.Now() >= nextReport) {
          nextReport = w_.Now() + kProgressEveryMs;
          const double p = progress();
          if (p >= 0) observer_.StepProgress(s, std::min(p, 1.0), (w_.Now() - start) / 1000.0);
        }
        return false;
      },
      pauseEnd ? std::min(untilMs, pauseEnd) : untilMs);
  *timedOut = !finished && !(pauseEnd && pauseEnd <= untilMs);
}

StepResult Runner::RunStep(const Step& s) {
  StepResult r;
  r.step = &s;
  const int64_t start = w_.Now();
  const size_t firstBox = w_.boxes.size();
  const std::string statusBefore = w_.GetText(ctl::kStatusLine);
  const int limitSec = LimitSec(s);
  const int64_t until = start + int64_t{limitSec} * 1000;
  for (int a : s.answers) w_.boxScript.push_back(HeadlessWindow::BoxScript{a ? IDYES : IDNO, 0});
  auto fail = [&](const std::string& type, const std::string& text) {
    if (r.outcome != Outcome::Fail) {
      r.outcome = Outcome::Fail;
      r.failureType = type;
      r.failure = text;
    } else {
      r.failure += "; " + text;
    }
  };
  r.outcome = Outcome::Pass;
  bool timedOut = false;

  switch (s.kind) {
    case StepKind::Open:
      w_.Type(ctl::kPortCombo, std::to_string(s.port));
      w_.Click(ctl::kOpen);
      if (d_.m_bConnected != 1) {
        const std::string why = d_.m_Comm.LastError();
        fail("Port", why.empty() ? Trim(w_.GetText(ctl::kStatusLine)) : why);
        break;
      }
      Wait(s, [&] { return Idle(); }, until, &timedOut);
      break;
    case StepKind::Admin: {
      const auto password = options_.password ? options_.password() : std::nullopt;
      if (!password) {
        fail("Operator", "no admin password: set QELD_ADMIN_PASSWORD or run from a terminal");
        break;
      }
      w_.passwordScript.push_back(*password);
      if (!w_.Click(ctl::kAdminMode)) fail("Operator", "the admin button is disabled");
      else if (d_.m_bAdminMode != 1) fail("Operator", "the admin password was refused");
      w_.passwordScript.clear();
      break;
    }
    case StepKind::Pause:
      Wait(s, [] { return false; }, until, &timedOut);
      break;
    case StepKind::Action: {
      // The unit first: the window converts the setting fields when it switches.
      std::vector<Assignment> sets = s.sets;
      std::stable_partition(sets.begin(), sets.end(),
                            [](const Assignment& a) { return a.field->kind == FieldKind::Unit; });
      std::string why;
      for (const Assignment& a : sets)
        if (!Apply(a, &why)) {
          fail("Operator", why);
          break;
        }
      if (r.outcome == Outcome::Fail) break;
      if (!w_.Click(s.action->control)) {
        fail("Operator", "the " + s.action->name + " button is disabled" +
                             (d_.m_bConnected ? std::string() : " (not connected: " +
                                                                    Trim(w_.GetText(ctl::kStatusLine)) + ")"));
        break;
      }
      const char* awaitBox = s.action->awaitBox;
      auto seen = [&] {
        if (!awaitBox) return true;
        for (size_t i = firstBox; i < w_.boxes.size(); ++i)
          if (w_.boxes[i].text == awaitBox) return true;
        return false;
      };
      // A box that ends the step early (device error, refused file) ends the wait too.
      auto failed = [&] {
        for (size_t i = firstBox; i < w_.boxes.size(); ++i)
          if (IsDeviceError(w_.boxes[i]) || IsFailureBox(w_.boxes[i])) return true;
        return d_.m_bConnected == 0;
      };
      Wait(s, [&] { return Idle() && (seen() || failed()); }, until, &timedOut);
      break;
    }
  }
  if (Interrupted()) fail("Interrupted", "stopped by the operator (Ctrl+C)");
  if (timedOut) {
    fail("TimeLimit", "time limit of " + std::to_string(limitSec) + " s passed");
    LeaveIdle();
  }

  // What the window shows now: device errors, failure boxes, a lost line.
  for (size_t i = firstBox; i < w_.boxes.size(); ++i) {
    const auto& b = w_.boxes[i];
    if (IsDeviceError(b) && !s.errorExpected) fail("DeviceError", Trim(b.caption) + ": " + b.text);
    if (IsFailureBox(b)) fail("Operator", b.text);
  }
  const std::string statusNow = w_.GetText(ctl::kStatusLine);
  if (r.failureType != "Port" && statusNow != statusBefore && statusNow.find("!!!") != std::string::npos)
    fail("Link", Trim(statusNow));

  if (s.action)
    for (const std::string& name : s.action->shows) r.values.emplace_back(name, FieldValue(name, firstBox));
  // Every box of the step is on record, with the answer it was given.
  for (Reading k : {Reading::Box, Reading::Error}) {
    Expectation all;
    all.reading = k;
    const std::string text = ValueOf(all, firstBox);
    const char* name = k == Reading::Box ? "box" : "error";
    const bool known = std::any_of(r.values.begin(), r.values.end(), [&](const auto& v) { return v.first == name; });
    if (!text.empty() && !known) r.values.emplace_back(name, text);
  }
  for (const Expectation& e : s.expects) {
    const std::string actual = ValueOf(e, firstBox);
    const bool known = std::any_of(r.values.begin(), r.values.end(), [&](const auto& v) { return v.first == e.target; });
    if (!known) r.values.emplace_back(e.target, actual);
    std::string why;
    if (!Compare(actual, e.op, e.value, &why)) fail("Expectation", "line " + std::to_string(e.line) + ": " +
                                                                    e.target + " " + why);
  }
  r.seconds = (w_.Now() - start) / 1000.0;
  return r;
}

std::string Runner::FieldValue(const std::string& name, size_t firstBox) const {
  if (name == "progress") return std::to_string(w_.GetProgressPos(ctl::kProgress));
  if (name == "log-file") return d_.m_strLogPath;
  const FieldDef* f = FindField(name);
  (void)firstBox;
  return f && f->control >= 0 ? Trim(w_.GetText(f->control)) : std::string();
}

std::string Runner::ValueOf(const Expectation& e, size_t firstBox) const {
  std::string joined;
  auto add = [&](const std::string& t) { joined += (joined.empty() ? "" : " | ") + t; };
  switch (e.reading) {
    case Reading::Box:
      for (size_t i = firstBox; i < w_.boxes.size(); ++i) {
        const auto& b = w_.boxes[i];
        if (IsDeviceError(b)) continue;
        add((b.flags & 0xF) == MB_YESNO ? b.text + (b.answer == IDYES ? " [yes]" : " [no]") : b.text);
      }
      return joined;
    case Reading::Error:
      for (size_t i = firstBox; i < w_.boxes.size(); ++i)
        if (IsDeviceError(w_.boxes[i])) add(Trim(w_.boxes[i].caption) + ": " + w_.boxes[i].text);
      return joined;
    case Reading::Progress: return std::to_string(w_.GetProgressPos(ctl::kProgress));
    case Reading::LogFile: return d_.m_strLogPath;
    case Reading::Sensor: return std::to_string(w_.GetCheck(e.control));
    case Reading::None: break;
  }
  return Trim(w_.GetText(e.control));
}

}  // namespace qeld::run
