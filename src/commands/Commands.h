// The command table: what each CommandNumber sends.
#pragma once

namespace qeld {

// Shapes of request bodies after the letter (and the "q" sub-command).
enum class Body {
  None,
  LogRequest,     // "0"
  Dispense,       // four counts, two spaces, the sequence byte
  Opacities,      // four digit nibble pairs from the opacity fields
  Lengths,        // four digit nibble pairs of slits from the length fields
  CassetteDigit,  // "1".."4"
  QPlain,         // three spaces
  QCassette,      // cassette offset, two spaces
  QRead,          // memory address, two spaces
  QWrite,         // memory address, value as two space nibbles
  QSensorRead,
  QSensorWrite,
  Block,          // firmware block: 5 offset nibbles, 128 bytes as nibble pairs
  Verify,         // 16-bit image sum as 4 nibbles
  Serial,         // "xx-xxxx-xxxx"
};

struct CommandDef {
  int number;
  char letter;
  char sub;  // sub-command of the "q" family, 0 for others
  Body body;
  const char* name;  // what the request asks for, as the line monitor names it
};

// The definition of a CommandNumber, or nullptr when it has no request.
const CommandDef* FindCommand(int n);
// The definition whose request carries this letter (and, for "q", this
// sub-command), or nullptr for a letter the console never sends.
const CommandDef* FindCommandByLetter(char letter, char sub);
bool IsDispenseCommand(int n);

}  // namespace qeld
