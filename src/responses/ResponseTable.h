// What each response letter carries, and where its device error byte sits:
// the dispatch of the response decoding as data, for readers of the line
// (the line monitor) that name a response without decoding it.
#pragma once
#include <cstdint>

namespace qeld {

struct ResponseDef {
  uint8_t letter;
  const char* answers;  // what the response carries, e.g. "dispense counts"
  int errorPos;         // frame position of the device error byte; 0 when it has none
};

// The entry of a response letter, or nullptr for a letter the console does not decode.
const ResponseDef* FindResponse(uint8_t letter);

// What a "q" response carries, by its sub-letter at position 5.
const char* DiagnosticsAnswer(uint8_t sub);

}  // namespace qeld
