// Service scripts: the grammar of qeld-run and its parser. A script is plain
// text, one step a line; the whole of it is checked before anything is sent.
#pragma once
#include <optional>
#include <string>
#include <vector>

namespace qeld::run {

// --- the vocabulary ---------------------------------------------------------

enum class FieldKind {
  Count,     // a note count 0..100
  Number,    // a decimal number within min..max
  Setting,   // opacity or length: 1..3 digits, hexadecimal or decimal by the unit switch
  Text,      // exactly maxLen printable characters (serial number parts)
  Check,     // a check box: on or off
  Unit,      // the unit switch: hex or mm
  Cassette,  // the cassette selector: 1..4
  File,      // a firmware image path, the file dialog's answer
};

// A field of the window a script can type into (input) or read (expect).
struct FieldDef {
  const char* name;
  int control;  // -1 for the ones that are no single control
  FieldKind kind;
  long min, max;
  bool input;   // a step may set it
};

// Values a script can read that are no edit field.
enum class Reading { None, Box, Error, Progress, LogFile, Sensor };

struct ActionDef {
  int control;
  std::string name;                 // derived from the button's caption, or given
  std::vector<std::string> fields;  // the fields it reads, by name
  std::vector<std::string> shows;   // fields its answer fills: reported as values read
  bool admin;                       // the button is enabled only in admin mode
  bool run;                         // a repeat run: its limit grows with repeat x (wait + answer)
  const char* awaitBox;             // ends only when this box shows (answers without a timer)
  int limitSec;                     // default time limit (per cycle for runs)
  long addrMax;                     // highest address it sends as typed (the window sends 0 above it)
};

const std::vector<FieldDef>& Fields();
const std::vector<ActionDef>& Actions();
const FieldDef* FindField(const std::string& name);
const ActionDef* FindAction(const std::string& name);
// The sensor indicators by name ("dvt", "cst-in1", "nearend3", ...) and control id.
const std::vector<std::pair<std::string, int>>& Sensors();
int FindSensor(const std::string& name);  // control id, or 0
// A button caption as a step name: symbols, "*" and brackets dropped,
// lower case, blanks to "-", no trailing ".".
std::string StepName(const std::string& caption);

// --- a parsed script --------------------------------------------------------

enum class Op { Eq, Le, Ge, Contains, None };  // None: "expect error none"
const char* OpText(Op op);

struct Expectation {
  int line = 0;
  std::string text;    // as written
  std::string target;  // field name, "sensor NAME", "box", "error", "progress", "log-file"
  int control = -1;    // field or sensor control
  Reading reading = Reading::None;
  Op op = Op::Eq;
  std::string value;
};

struct Assignment {
  const FieldDef* field = nullptr;
  std::string value;   // normalised: "1"/"0" for checks, "hex"/"mm" for the unit
  int column = 0;      // of the value on its line
};

enum class StepKind { Open, Admin, Pause, Action };

struct Step {
  StepKind kind = StepKind::Action;
  int line = 0;
  int column = 0;    // of the step's name on its line
  std::string text;  // the line as written, without its comment
  int port = 0;      // Open: the port of the last "port" line
  int seconds = 0;   // Pause
  const ActionDef* action = nullptr;
  std::vector<Assignment> sets;
  std::vector<Expectation> expects;
  bool errorExpected = false;  // an "expect error" other than none: a device error is what is tested
  int limitSec = 0;            // 0: the action's default
  std::vector<int> answers;    // "answer yes|no" lines before it, for its message boxes
};

struct Script {
  std::vector<Step> steps;
};

struct ScriptError {
  int line = 0, column = 0;
  std::string message;
};

// Parses and checks the whole script. Nothing is returned on success.
std::optional<ScriptError> ParseScript(const std::string& text, Script* out);

}  // namespace qeld::run
