#include "runner/Script.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>

#include "app/Controls.h"

namespace qeld::run {

namespace {

const std::vector<std::string> kCounts = {"request1", "request2", "request3", "request4"};

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> v;
  for (const auto& p : parts) v.insert(v.end(), p.begin(), p.end());
  return v;
}

std::vector<std::string> Four(const std::string& stem) {
  return {stem + "1", stem + "2", stem + "3", stem + "4"};
}

std::vector<FieldDef> BuildFields() {
  std::vector<FieldDef> f = {
      {"repeat", ctl::kRepeat, FieldKind::Number, 1, 2000, true},
      {"wait", ctl::kWait, FieldKind::Number, 1, 600, true},
      {"ignore-cashout", ctl::kIgnoreCashOut, FieldKind::Check, 0, 1, true},
      {"log-mode", ctl::kLogMode, FieldKind::Check, 0, 1, true},
      {"unit", -1, FieldKind::Unit, 0, 0, true},
      {"cassette", -1, FieldKind::Cassette, 1, 4, true},
      {"addr", ctl::kAddr, FieldKind::Number, 0, 25, true},
      {"value", ctl::kValue, FieldKind::Number, 0, 255, true},
      {"serial1", ctl::kSerial[0], FieldKind::Text, 2, 2, true},
      {"serial2", ctl::kSerial[1], FieldKind::Text, 4, 4, true},
      {"serial3", ctl::kSerial[2], FieldKind::Text, 4, 4, true},
      {"file", -1, FieldKind::File, 0, 0, true},
      {"total-requested", ctl::kTotalRequested, FieldKind::Number, 0, 0, false},
      {"total-dispensed", ctl::kTotalDispensed, FieldKind::Number, 0, 0, false},
      {"total-rejected", ctl::kTotalRejected, FieldKind::Number, 0, 0, false},
      {"sonar", ctl::kReason[0], FieldKind::Number, 0, 0, false},
      {"len", ctl::kReason[1], FieldKind::Number, 0, 0, false},
      {"fsnr", ctl::kReason[2], FieldKind::Number, 0, 0, false},
      {"flen", ctl::kReason[4], FieldKind::Number, 0, 0, false},
      {"fdst", ctl::kReason[5], FieldKind::Number, 0, 0, false},
      {"pick", ctl::kReason[6], FieldKind::Number, 0, 0, false},
      {"cal-opac", 1452, FieldKind::Number, 0, 0, false},
      {"cal-noise", 1453, FieldKind::Number, 0, 0, false},
      {"diag-opac", 1119, FieldKind::Number, 0, 0, false},
      {"diag-leng", 1120, FieldKind::Number, 0, 0, false},
      {"motor-speed", 1123, FieldKind::Number, 0, 0, false},
      {"sonar-value1", 1124, FieldKind::Number, 0, 0, false},
      {"sonar-value2", 1125, FieldKind::Number, 0, 0, false},
      {"rom-version", 1126, FieldKind::Text, 0, 0, false},
      {"loader-version", 1449, FieldKind::Text, 0, 0, false},
      {"firmware-version", 1450, FieldKind::Text, 0, 0, false},
      {"status", ctl::kStatusLine, FieldKind::Text, 0, 0, false},
      {"messages", ctl::kMessageArea, FieldKind::Text, 0, 0, false},
  };
  // Per cassette: request counts and settings (inputs), the statistics grid (read only).
  static const std::vector<std::string> names = [] {
    return Join({kCounts, Four("opacity"), Four("length"), Four("type"), Four("dispensed"), Four("rejected"),
                 Four("acc-dispensed"), Four("acc-rejected")});
  }();
  for (int i = 0; i < 4; ++i) {
    f.push_back({names[0 + i].c_str(), ctl::kRequest[i], FieldKind::Count, 0, 100, true});
    f.push_back({names[4 + i].c_str(), ctl::kOpacity[i], FieldKind::Setting, 0, 0, true});
    f.push_back({names[8 + i].c_str(), ctl::kLength[i], FieldKind::Setting, 0, 0, true});
    f.push_back({names[12 + i].c_str(), ctl::kType[i], FieldKind::Number, 0, 0, false});
    f.push_back({names[16 + i].c_str(), ctl::kLastDispensed[i], FieldKind::Number, 0, 0, false});
    f.push_back({names[20 + i].c_str(), ctl::kLastRejected[i], FieldKind::Number, 0, 0, false});
    f.push_back({names[24 + i].c_str(), ctl::kAccDispensed[i], FieldKind::Number, 0, 0, false});
    f.push_back({names[28 + i].c_str(), ctl::kAccRejected[i], FieldKind::Number, 0, 0, false});
  }
  return f;
}

// Every button of the page. The name comes from the button's caption unless
// the caption is shared (GET/SET, Read/Write) or empty.
struct ActionRow {
  int control;
  const char* name;  // nullptr: from the caption
  std::vector<std::string> fields, shows;
  bool run;
  const char* awaitBox;
  int limitSec;
};

constexpr int kAnswerLimit = 130;  // the response time-out and the ACK retries, with room

std::vector<ActionDef> BuildActions() {
  const std::vector<std::string> runFields = Join({kCounts, {"repeat", "wait", "log-mode"}});
  const std::vector<std::string> totals = {"total-requested", "total-dispensed", "total-rejected"};
  const std::vector<ActionRow> rows = {
      {1001, nullptr, Join({runFields, {"ignore-cashout"}}), totals, true, nullptr, kAnswerLimit},
      {1002, nullptr, {}, totals, false, nullptr, kAnswerLimit},
      {1003, nullptr, runFields, totals, true, nullptr, kAnswerLimit},
      {1004, nullptr, {}, Join({Four("dispensed"), Four("rejected"), {"pick"}}), false, nullptr, kAnswerLimit},
      {1005, nullptr, runFields, totals, true, nullptr, kAnswerLimit},
      {1006, nullptr, {}, {}, false, nullptr, kAnswerLimit},
      {1007, "get-opacity", {"unit"}, Four("opacity"), false, nullptr, kAnswerLimit},
      {1008, "set-opacity", Join({Four("opacity"), {"unit"}}), {}, false, nullptr, kAnswerLimit},
      {1011, nullptr, {"cassette", "unit"}, {"diag-opac", "diag-leng"}, false, nullptr, kAnswerLimit},
      {1012, nullptr, {}, {}, false, nullptr, kAnswerLimit},
      {1013, nullptr, {"cassette"}, {}, false, nullptr, kAnswerLimit},
      {1014, nullptr, {}, {"motor-speed"}, false, nullptr, kAnswerLimit},
      {1015, nullptr, {"cassette"}, {"sonar-value1", "sonar-value2"}, false, nullptr, kAnswerLimit},
      {1016, nullptr, {}, {"rom-version"}, false, nullptr, kAnswerLimit},
      {1017, "get-length", {"unit"}, Four("length"), false, nullptr, kAnswerLimit},
      {1018, "set-length", Join({Four("length"), {"unit"}}), {}, false, nullptr, kAnswerLimit},
      {1019, nullptr, {"log-mode"}, {"log-file"}, false, nullptr, kAnswerLimit},
      {7000, nullptr, {}, {}, false, nullptr, kAnswerLimit},
      {7001, nullptr, {}, {}, false, nullptr, kAnswerLimit},
      {7002, nullptr, {}, {}, false, nullptr, kAnswerLimit},
      {7003, "write-value", {"addr", "value"}, {}, false, nullptr, kAnswerLimit},
      {7004, "read-value", {"addr"}, {"addr", "value"}, false, nullptr, kAnswerLimit},
      {7027, "read-sensor", {"addr"}, {"addr", "value"}, false, nullptr, kAnswerLimit},
      {7028, "write-sensor", {"addr", "value"}, {}, false, nullptr, kAnswerLimit},
      {1170, nullptr, {}, {}, false, "Go Loader O.K.!", kAnswerLimit},
      {1171, nullptr, {"file"}, {"progress"}, false, nullptr, 1800},
      {1172, nullptr, {}, {}, false, nullptr, kAnswerLimit},
      {1173, nullptr, {}, {}, false, nullptr, kAnswerLimit},
      {1198, nullptr, {}, {"serial1", "serial2", "serial3"}, false, nullptr, kAnswerLimit},
      {1199, nullptr, {"serial1", "serial2", "serial3"}, {}, false, nullptr, kAnswerLimit},
      {1447, nullptr, {}, {"loader-version"}, false, nullptr, kAnswerLimit},
      {1448, nullptr, {}, {"firmware-version"}, false, nullptr, kAnswerLimit},
      {1451, nullptr, {"cassette"}, {"cal-opac", "cal-noise"}, false, nullptr, kAnswerLimit},
      {ctl::kClearFields, "clear", {}, {}, false, nullptr, kAnswerLimit},
  };
  std::vector<ActionDef> actions;
  for (const ActionRow& r : rows) {
    std::string caption;
    for (const PageLayoutEntry* e = PageLayoutTable; e->page != kEndPage; ++e)
      if (e->id == r.control) caption = e->caption;
    // Memory cells go up to 23, sensor values up to 25.
    const bool sensor = r.control == 7027 || r.control == 7028;
    actions.push_back(ActionDef{r.control, r.name ? r.name : StepName(caption), r.fields, r.shows,
                                IsAdminOnly(r.control), r.run, r.awaitBox, r.limitSec, sensor ? 25L : 23L});
  }
  return actions;
}

// The sensor indicators of the STATUS group; cassette ones whose caption
// carries no number get their cassette's.
std::vector<std::pair<std::string, int>> BuildSensors() {
  const struct {
    int id, cassette;
  } ids[] = {{1046, 0}, {1047, 0}, {1048, 0}, {1049, 0}, {1050, 0}, {1051, 0}, {1175, 0}, {1176, 0},
             {1166, 0}, {1052, 1}, {1053, 1}, {1054, 1}, {1055, 1}, {1183, 1}, {1056, 2}, {1066, 2},
             {1067, 2}, {1068, 2}, {1184, 2}, {1069, 3}, {1070, 3}, {1071, 3}, {1072, 3}, {1185, 3},
             {1073, 4}, {1074, 4}, {1075, 4}, {1077, 4}, {1186, 4}};
  std::vector<std::pair<std::string, int>> v;
  for (const auto& s : ids) {
    std::string caption;
    for (const PageLayoutEntry* e = PageLayoutTable; e->page != kEndPage; ++e)
      if (e->id == s.id) caption = e->caption;
    // "CST_IN 1" becomes cst-in1, "RJT_Tray" rjt-tray.
    std::string name = StepName(caption);
    std::replace(name.begin(), name.end(), '_', '-');
    for (size_t i = 0; i + 1 < name.size(); ++i)
      if (name[i] == '-' && std::isdigit(static_cast<unsigned char>(name[i + 1]))) name.erase(i, 1);
    if (s.cassette && !std::isdigit(static_cast<unsigned char>(name.back()))) name += std::to_string(s.cassette);
    v.emplace_back(name, s.id);
  }
  return v;
}

// --- the tokenizer ---

struct Token {
  std::string text;
  int column = 0;       // of the token's first character, 1-based
  int valueColumn = 0;  // of the value after "=" in key=value
  size_t eq = std::string::npos;  // position of "=" in text (unquoted), npos if none
  bool quoted = false;
};

std::optional<ScriptError> Tokenize(const std::string& line, int lineNo, std::vector<Token>* out,
                                    std::string* withoutComment) {
  size_t i = 0;
  size_t end = line.size();
  while (i < line.size()) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    if (c == '#') {
      end = i;
      break;
    }
    if (c == ' ' || c == '\t') {
      ++i;
      continue;
    }
    Token t;
    t.column = static_cast<int>(i) + 1;
    bool inQuote = false;
    while (i < line.size()) {
      const unsigned char ch = static_cast<unsigned char>(line[i]);
      if (ch < 0x20 && ch != '\t') {
        return ScriptError{lineNo, static_cast<int>(i) + 1, "control character in the script"};
      }
      if (inQuote) {
        if (ch == '"') {
          inQuote = false;
        } else {
          t.text.push_back(static_cast<char>(ch));
        }
        ++i;
        continue;
      }
      if (ch == ' ' || ch == '\t' || ch == '#') break;
      if (ch == '"') {
        inQuote = true;
        t.quoted = true;
        ++i;
        continue;
      }
      if (ch == '=' && t.eq == std::string::npos && !t.quoted && !t.text.empty()) {
        t.eq = t.text.size();
        t.valueColumn = static_cast<int>(i) + 2;
      }
      t.text.push_back(static_cast<char>(ch));
      ++i;
    }
    if (inQuote) return ScriptError{lineNo, t.column, "text in quotes is not closed by \""};
    out->push_back(t);
    if (i < line.size() && line[i] == '#') {
      end = i;
      break;
    }
  }
  *withoutComment = line.substr(0, end);
  while (!withoutComment->empty() && (withoutComment->back() == ' ' || withoutComment->back() == '\t'))
    withoutComment->pop_back();
  const size_t first = withoutComment->find_first_not_of(" \t");
  *withoutComment = first == std::string::npos ? "" : withoutComment->substr(first);
  return std::nullopt;
}

bool ParseInt(const std::string& s, long* v) {
  if (s.empty() || s.size() > 18) return false;
  size_t i = 0;
  bool neg = false;
  if (s[0] == '-' || s[0] == '+') {
    neg = s[0] == '-';
    i = 1;
  }
  if (i >= s.size()) return false;
  long r = 0;
  for (; i < s.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
    r = r * 10 + (s[i] - '0');
  }
  *v = neg ? -r : r;
  return true;
}

std::string Names(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& n : v) s += (s.empty() ? "" : ", ") + n;
  return s;
}

}  // namespace

std::string StepName(const std::string& caption) {
  std::string s;
  for (unsigned char c : caption) {
    if (c >= 0x80 || c == '*' || c == '(' || c == ')') continue;
    s.push_back(c == ' ' ? '-' : static_cast<char>(std::tolower(c)));
  }
  while (!s.empty() && (s.back() == '.' || s.back() == '-')) s.pop_back();
  return s;
}

const std::vector<FieldDef>& Fields() {
  static const std::vector<FieldDef> f = BuildFields();
  return f;
}
const std::vector<ActionDef>& Actions() {
  static const std::vector<ActionDef> a = BuildActions();
  return a;
}
const std::vector<std::pair<std::string, int>>& Sensors() {
  static const auto s = BuildSensors();
  return s;
}

const FieldDef* FindField(const std::string& name) {
  for (const auto& f : Fields())
    if (name == f.name) return &f;
  return nullptr;
}
const ActionDef* FindAction(const std::string& name) {
  for (const auto& a : Actions())
    if (name == a.name) return &a;
  return nullptr;
}
int FindSensor(const std::string& name) {
  for (const auto& [n, id] : Sensors())
    if (n == name) return id;
  return 0;
}

const char* OpText(Op op) {
  switch (op) {
    case Op::Eq: return "=";
    case Op::Le: return "<=";
    case Op::Ge: return ">=";
    case Op::Contains: return "contains";
    case Op::None: return "none";
  }
  return "?";
}

namespace {

// The value typed into an input field, checked as the window would want it.
std::optional<std::string> CheckValue(const FieldDef& f, const std::string& v, std::string* why) {
  long n = 0;
  switch (f.kind) {
    case FieldKind::Count:
    case FieldKind::Number:
      if (!ParseInt(v, &n) || n < f.min || n > f.max) {
        *why = std::string(f.name) + " takes a whole number from " + std::to_string(f.min) + " to " +
               std::to_string(f.max);
        return std::nullopt;
      }
      return std::to_string(n);
    case FieldKind::Setting:
      if (v.empty() || v.size() > 3 ||
          !std::all_of(v.begin(), v.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); })) {
        *why = std::string(f.name) + " takes 1 to 3 digits (hexadecimal with unit=hex, decimal mm with unit=mm)";
        return std::nullopt;
      }
      return v;
    case FieldKind::Text:
      if (static_cast<long>(v.size()) != f.max ||
          !std::all_of(v.begin(), v.end(), [](char c) { return c > 0x20 && c < 0x7F; })) {
        *why = std::string(f.name) + " takes exactly " + std::to_string(f.max) + " printable characters";
        return std::nullopt;
      }
      return v;
    case FieldKind::Check:
      if (v == "on" || v == "1") return std::string("1");
      if (v == "off" || v == "0") return std::string("0");
      *why = std::string(f.name) + " is on or off";
      return std::nullopt;
    case FieldKind::Unit:
      if (v == "hex" || v == "mm") return v;
      *why = "unit is hex (slits, hexadecimal) or mm (decimal millimetres)";
      return std::nullopt;
    case FieldKind::Cassette:
      if (!ParseInt(v, &n) || n < 1 || n > 4) {
        *why = "cassette is 1, 2, 3 or 4";
        return std::nullopt;
      }
      return std::to_string(n);
    case FieldKind::File:
      if (v.empty()) {
        *why = "file needs a path";
        return std::nullopt;
      }
      return v;
  }
  return std::nullopt;
}

class Parser {
 public:
  explicit Parser(Script* out) : out_(out) {}

  std::optional<ScriptError> Line(const std::string& raw, int lineNo) {
    lineNo_ = lineNo;
    std::vector<Token> t;
    std::string text;
    if (auto e = Tokenize(raw, lineNo, &t, &text)) return e;
    if (t.empty()) return std::nullopt;
    const std::string& word = t[0].text;
    if (t[0].quoted || t[0].eq != std::string::npos) return Error(t[0], "a line starts with a step name");

    if (word == "port") {
      long n = 0;
      if (t.size() != 2) return Error(t[0], "port takes one number: port N (1 to 10)");
      if (!ParseInt(t[1].text, &n) || n < 1 || n > 10) return Error(t[1], "port is a number from 1 to 10");
      port_ = static_cast<int>(n);
      return std::nullopt;
    }
    if (word == "timeout") {
      long n = 0;
      if (t.size() != 2) return Error(t[0], "timeout takes seconds or default: timeout 300");
      if (t[1].text == "default") {
        limit_ = 0;
      } else if (!ParseInt(t[1].text, &n) || n < 1 || n > 864000) {
        return Error(t[1], "timeout is a number of seconds from 1 to 864000, or default");
      } else {
        limit_ = static_cast<int>(n);
      }
      return std::nullopt;
    }
    if (word == "answer") {
      if (t.size() != 2 || (t[1].text != "yes" && t[1].text != "no"))
        return Error(t.size() > 1 ? t[1] : t[0], "answer is yes or no: the answer to the next question box");
      answers_.push_back(t[1].text == "yes" ? 1 : 0);
      return std::nullopt;
    }
    if (word == "expect") return Expect(t, text);

    Step s;
    s.line = lineNo;
    s.column = t[0].column;
    s.text = text;
    s.limitSec = limit_;
    if (word == "open") {
      if (t.size() != 1) return Error(t[1], "open takes nothing; the port comes from the port line");
      if (port_ == 0) return Error(t[0], "open needs a port: put \"port N\" before it");
      s.kind = StepKind::Open;
      s.port = port_;
      open_ = true;
    } else if (word == "admin") {
      if (t.size() != 1)
        return Error(t[1], "admin takes nothing; the password comes from QELD_ADMIN_PASSWORD or a prompt");
      if (!open_) return Error(t[0], "admin needs an open port: put \"open\" before it");
      s.kind = StepKind::Admin;
      admin_ = true;
    } else if (word == "pause") {
      long n = 0;
      if (t.size() != 2) return Error(t[0], "pause takes seconds: pause 5");
      if (!ParseInt(t[1].text, &n) || n < 0 || n > 86400) return Error(t[1], "pause is 0 to 86400 seconds");
      s.kind = StepKind::Pause;
      s.seconds = static_cast<int>(n);
    } else if (const ActionDef* a = FindAction(word)) {
      if (!open_) return Error(t[0], word + " needs an open port: put \"open\" before it");
      if (a->admin && !admin_) return Error(t[0], word + " is for admin mode: put \"admin\" before it");
      s.kind = StepKind::Action;
      s.action = a;
      for (size_t i = 1; i < t.size(); ++i) {
        if (t[i].eq == std::string::npos)
          return Error(t[i], "expected name=value after " + word +
                                 (a->fields.empty() ? " (it takes none)" : " (it takes " + Names(a->fields) + ")"));
        const std::string name = t[i].text.substr(0, t[i].eq);
        const std::string value = t[i].text.substr(t[i].eq + 1);
        if (std::find(a->fields.begin(), a->fields.end(), name) == a->fields.end())
          return Error(t[i], word + " does not take " + name +
                                 (a->fields.empty() ? " (it takes nothing)" : " (it takes " + Names(a->fields) + ")"));
        const FieldDef* f = FindField(name);
        for (const auto& prior : s.sets)
          if (prior.field == f) return Error(t[i], name + " is given twice");
        std::string why;
        auto v = CheckValue(*f, value, &why);
        if (!v) return ScriptError{lineNo, t[i].valueColumn, why};
        if (name == "addr" && std::stol(*v) > a->addrMax)
          return ScriptError{lineNo, t[i].valueColumn, word + " takes addr from 0 to " + std::to_string(a->addrMax)};
        s.sets.push_back(Assignment{f, *v, t[i].valueColumn});
      }
    } else {
      return Error(t[0], "unknown step \"" + word + "\"" + Suggest(word));
    }
    s.answers = std::move(answers_);
    answers_.clear();
    out_->steps.push_back(std::move(s));
    return std::nullopt;
  }

  std::optional<ScriptError> Finish(int lastLine) {
    if (!answers_.empty()) return ScriptError{lastLine, 1, "answer without a step after it"};
    return std::nullopt;
  }

 private:
  std::optional<ScriptError> Expect(const std::vector<Token>& t, const std::string& text) {
    if (out_->steps.empty()) return Error(t[0], "expect checks the step before it, and there is none");
    if (!answers_.empty()) return Error(t[0], "expect between answer and its step");
    Expectation e;
    e.line = lineNo_;
    e.text = text;
    size_t i = 1;
    if (t.size() < 2) return Error(t[0], "expect what? e.g. expect total-rejected <= 5");
    const Token& target = t[1];
    if (target.text == "sensor") {
      if (t.size() < 3) return Error(target, "expect sensor NAME = 0|1");
      e.control = FindSensor(t[2].text);
      if (!e.control) return Error(t[2], "unknown sensor \"" + t[2].text + "\" (" + SensorNames() + ")");
      e.reading = Reading::Sensor;
      e.target = "sensor " + t[2].text;
      i = 3;
    } else if (target.text == "error") {
      e.reading = Reading::Error;
      e.target = "error";
      i = 2;
      if (t.size() == 3 && t[2].text == "none") {
        e.op = Op::None;
        out_->steps.back().expects.push_back(e);
        return std::nullopt;
      }
    } else if (target.text == "box" || target.text == "progress" || target.text == "log-file") {
      e.reading = target.text == "box" ? Reading::Box : target.text == "progress" ? Reading::Progress : Reading::LogFile;
      e.target = target.text;
      i = 2;
    } else if (const FieldDef* f = FindField(target.text); f && f->control >= 0) {
      e.control = f->control;
      e.target = f->name;
      i = 2;
    } else {
      return Error(target, "cannot expect \"" + target.text + "\": not a field, sensor, box, error or progress");
    }
    if (t.size() <= i) return Error(t.back(), "expected = <= >= or contains after " + e.target);
    const Token& op = t[i];
    if (op.text == "=") e.op = Op::Eq;
    else if (op.text == "<=") e.op = Op::Le;
    else if (op.text == ">=") e.op = Op::Ge;
    else if (op.text == "contains") e.op = Op::Contains;
    else return Error(op, "expected = <= >= or contains, found \"" + op.text + "\"");
    if (t.size() != i + 2)
      return Error(t.size() > i + 2 ? t[i + 2] : op, "expected one value after " + op.text +
                                                            " (put text with blanks in \"quotes\")");
    const Token& v = t[i + 1];
    e.value = v.text;
    long n = 0;
    if ((e.op == Op::Le || e.op == Op::Ge) && !ParseInt(v.text, &n))
      return Error(v, op.text + " compares numbers; \"" + v.text + "\" is not one");
    if (e.reading == Reading::Sensor && (e.op != Op::Eq || (v.text != "0" && v.text != "1")))
      return Error(op, "a sensor is expected = 0 or = 1");
    if (e.reading == Reading::Error) out_->steps.back().errorExpected = true;
    out_->steps.back().expects.push_back(e);
    return std::nullopt;
  }

  ScriptError Error(const Token& t, const std::string& message) const {
    return ScriptError{lineNo_, t.column, message};
  }

  static std::string SensorNames() {
    std::string s;
    for (const auto& [n, id] : Sensors()) s += (s.empty() ? "" : " ") + n;
    return s;
  }

  // A near name helps with typing slips: same start or the word inside a name.
  static std::string Suggest(const std::string& word) {
    for (const auto& a : Actions())
      if (word.size() >= 3 && (a.name.rfind(word, 0) == 0 || a.name.find(word) != std::string::npos))
        return "; did you mean " + a.name + "?";
    return "";
  }

  Script* out_;
  int lineNo_ = 0;
  int port_ = 0;
  int limit_ = 0;
  bool open_ = false;
  bool admin_ = false;
  std::vector<int> answers_;
};

}  // namespace

std::optional<ScriptError> ParseScript(const std::string& text, Script* out) {
  Parser p(out);
  int lineNo = 0;
  size_t pos = 0;
  if (text.find('\0') != std::string::npos) {
    const size_t at = text.find('\0');
    const int line = 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<long>(at), '\n'));
    return ScriptError{line, 1, "the script is not text (NUL byte)"};
  }
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    std::string line = text.substr(pos, eol - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ++lineNo;
    if (lineNo == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);  // a UTF-8 mark from an editor
    if (auto e = p.Line(line, lineNo)) return e;
    pos = eol + 1;
  }
  if (auto e = p.Finish(std::max(lineNo, 1))) return e;
  if (out->steps.empty()) return ScriptError{std::max(lineNo, 1), 1, "the script has no step"};
  return std::nullopt;
}

}  // namespace qeld::run
