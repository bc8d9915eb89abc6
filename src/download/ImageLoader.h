// Firmware image loaders: BIN files of raw bytes and Intel HEX files of text
// records. Both fill a caller's buffer and say exactly what is wrong with a file.
// Files are opened through CInputFile (os/FileOpen.h), so a FIFO or a
// device is refused before it is read, and both loaders bound their work by
// the file's size: memory stays flat whatever the file holds.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qeld {

enum class ImageKind { None, Bin, Hex };

// The image kind from a file name's extension, compared exactly: "HEX"/"hex",
// "BIN"/"bin"; anything else (mixed case included) gives None.
ImageKind ImageKindOf(const std::string& path);

// The longest valid HEX record: ':', then length, address, type, 255 data
// bytes and the checksum as hex digit pairs.
constexpr unsigned kLongestHexRecord = 1 + 2 * (1 + 2 + 1 + 255 + 1);  // 521 characters

// The largest HEX file the loader reads. A HEX of the whole flash (229376
// bytes) written as sparsely as any tool does, one data byte per record with
// CR LF line ends (15 characters a byte), plus its address records and end
// record, stays below 3.5 MB; 4 MiB leaves room for blank lines. Anything
// bigger cannot be a firmware image and is refused before it is read.
constexpr uint64_t kHexFileLimit = 4u << 20;

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
// Parses one record (the characters after its ':', without blanks or line
// end); column is where its ':' stands on the line, for the messages.
// Returns "" or the fault; control characters in it are shown escaped.
std::string ParseHexRecord(const std::string& text, HexRecord& rec, unsigned column = 1);

// Loads a HEX file into image (the first fillLength bytes set to 0xFF first).
// Type 00 records are data at their 16-bit offset below fillLength; 02 and 04
// set the segment, and all data must lie in one segment; 03 and 05 (start
// addresses) are skipped; a type-01 record or an empty record ends the file.
// Records end at a line end (LF, CR LF or CR) or at the ':' of the next
// record on the same line; blank lines are allowed, other text is refused.
LoadResult LoadHexFile(const std::string& path, std::vector<uint8_t>& image, unsigned fillLength);
// Loads a BIN file into image (all of it set to 0xFF first); refuses an empty
// file and one longer than the image.
LoadResult LoadBinFile(const std::string& path, std::vector<uint8_t>& image);
// Loads an image of that kind as Write Prog does (a HEX file into the HEX
// download's length); image must hold the whole flash. The one loader of the
// download and of qeld-run's check of a script's files.
LoadResult LoadImageFile(ImageKind kind, const std::string& path, std::vector<uint8_t>& image);

// text with every control character (and DEL) shown as \r, \n, \t or \xNN,
// so that a refusal quoting a file's bytes or name prints as one clean text.
std::string EscapeControls(const std::string& text);

}  // namespace qeld
