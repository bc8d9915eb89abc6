#include "responses/ResponseTable.h"

namespace qeld {

namespace {

// Kept in step with the decoder's dispatch; a test feeds every letter to the
// console and checks that exactly these positions raise a device error.
constexpr ResponseDef kResponses[] = {
    {'P', "sensor status", 4},
    {'Q', "purge counts", 4},
    {'R', "dispense counts", 4},
    {'S', "dispense counts", 4},
    {'T', "dispense counts", 4},
    {'p', "dispense counts", 4},
    {'U', "last dispense", 5},
    {'W', "sonar calibration", 4},
    {'X', "sensor diagnosis", 4},
    {'Z', "opacities set", 4},
    {'\\', "error byte only", 4},
    {'^', "lengths set", 4},
    {'`', "types set", 4},
    {'[', "four opacities", 0},
    {']', "four cassette types", 0},
    {'a', "four cassette types", 0},
    {'_', "four note lengths", 0},
    {'b', "serial number set", 0},
    {'D', "reset done", 0},
    {'c', "serial number", 0},
    {'d', "tally", 0},
    {'e', "tally", 0},
    {'f', "tally", 0},
    {'g', "sequence number", 0},
    {'q', "diagnostics", 4},
    {'r', "loader started", 0},
    {'s', "firmware block written", 4},
    {'t', "firmware verified", 4},
    {'u', "loader version", 0},
    {'v', "firmware version", 0},
    {'w', "memory dump", 0},
    {'~', "log data", 0},
};

struct DiagnosticsDef {
  uint8_t sub;
  const char* answers;
};
constexpr DiagnosticsDef kDiagnostics[] = {
    {' ', "diverter test done"},      {'!', "pick-up test done"},
    {'"', "motor speed"},             {'#', "sonar values"},
    {'$', "box type"},                {'0', "ROM version"},
    {'1', "value read"},              {'2', "value written"},
    {'5', "sensor value read"},       {'6', "sensor value written"},
    {'@', "all values initialised"},  {'P', "self test done"},
};

}  // namespace

const ResponseDef* FindResponse(uint8_t letter) {
  for (const auto& r : kResponses)
    if (r.letter == letter) return &r;
  return nullptr;
}

const char* DiagnosticsAnswer(uint8_t sub) {
  for (const auto& d : kDiagnostics)
    if (d.sub == sub) return d.answers;
  return "diagnostics";
}

}  // namespace qeld
