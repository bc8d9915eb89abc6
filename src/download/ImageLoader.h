// Firmware image loaders: BIN files of raw bytes and Intel HEX files of text
// records. Both fill a caller's buffer and say exactly what is wrong with a file.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qeld {

enum class ImageKind { None, Bin, Hex };

// The image kind from a file name's extension, compared exactly: "HEX"/"hex",
// "BIN"/"bin"; anything else (mixed case included) gives None.
ImageKind ImageKindOf(const std::string& path);

struct LoadResult {
  bool ok = false;
  unsigned length = 0;  // bytes of a BIN file
  std::string error;    // what is wrong, naming the line for HEX files
};

// One HEX record parsed from the characters after its ':'.
struct HexRecord {
  unsigned length = 0, address = 0, type = 0;
  std::vector<uint8_t> data;
};
// Parses one record line (without the ':' and the line end). Returns "" or the fault.
std::string ParseHexRecord(const std::string& text, HexRecord& rec);

// Loads a HEX file into image (the first fillLength bytes set to 0xFF first).
// Data records land at their 16-bit address; a type-1 record or an empty
// record ends the file.
LoadResult LoadHexFile(const std::string& path, std::vector<uint8_t>& image, unsigned fillLength);
// Loads a BIN file into image (all of it set to 0xFF first); refuses an empty
// file and one longer than the image.
LoadResult LoadBinFile(const std::string& path, std::vector<uint8_t>& image);

}  // namespace qeld
