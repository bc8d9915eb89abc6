#include "download/ImageLoader.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "link/Frame.h"
#include "platform/Os.h"

namespace qeld {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Opens a regular file for reading; a folder, a device or a pipe is refused
// (reading one could block the console or never end).
File OpenRegular(const std::string& path, std::string& error) {
  File f(OpenFile(path, "rb"));
  if (!f) {
    error = Format("cannot open: %s", std::strerror(errno));
    return f;
  }
  struct stat st {};
  if (fstat(fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode)) {
    error = "not a regular file";
    f.reset();
  }
  return f;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

ImageKind ImageKindOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  const auto dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return ImageKind::None;
  const std::string ext = path.substr(dot + 1);
  if (ext == "HEX" || ext == "hex") return ImageKind::Hex;
  if (ext == "BIN" || ext == "bin") return ImageKind::Bin;
  return ImageKind::None;
}

std::string ParseHexRecord(const std::string& text, HexRecord& rec) {
  std::vector<uint8_t> bytes;
  if (text.size() % 2 != 0) return "odd number of hex digits";
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0)
      return Format("'%c' is not a hex digit (column %zu)", hi < 0 ? text[i] : text[i + 1], hi < 0 ? i + 2 : i + 3);
    bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  if (bytes.size() < 5) return "record too short";
  rec.length = bytes[0];
  rec.address = bytes[1] * 256u + bytes[2];
  rec.type = bytes[3];
  if (bytes.size() != rec.length + 5u)
    return Format("record length %u does not match its %zu data bytes", rec.length, bytes.size() - 5);
  uint8_t sum = 0;
  for (size_t i = 0; i + 1 < bytes.size(); ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  const uint8_t expected = static_cast<uint8_t>(-sum);
  if (expected != bytes.back())
    return Format("checksum mismatch: computed 0x%02X, found 0x%02X", expected, bytes.back());
  rec.data.assign(bytes.begin() + 4, bytes.end() - 1);
  return "";
}

LoadResult LoadHexFile(const std::string& path, std::vector<uint8_t>& image, unsigned fillLength) {
  LoadResult r;
  File f = OpenRegular(path, r.error);
  if (!f) return r;
  std::fill(image.begin(), image.begin() + std::min<size_t>(fillLength, image.size()), 0xFF);
  std::string line;
  int lineNo = 0;
  bool more = true;
  while (more) {
    line.clear();
    int c;
    while ((c = std::fgetc(f.get())) != EOF && c != '\n') line.push_back(static_cast<char>(c));
    more = c != EOF;
    ++lineNo;
    if (std::ferror(f.get())) {
      r.error = Format("read error at line %d: %s", lineNo, std::strerror(errno));
      return r;
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    const auto colon = line.find(':');
    if (colon == std::string::npos) {
      if (line.find_first_not_of(" \t") == std::string::npos) continue;  // blank line
      r.error = Format("line %d: no record (missing ':')", lineNo);
      return r;
    }
    if (line.find_first_not_of(" \t") != colon) {
      r.error = Format("line %d: text before the record", lineNo);
      return r;
    }
    HexRecord rec;
    const std::string fault = ParseHexRecord(line.substr(colon + 1), rec);
    if (!fault.empty()) {
      r.error = Format("line %d: %s", lineNo, fault.c_str());
      return r;
    }
    if (rec.type == 1 || rec.length == 0) {  // end of file
      r.ok = true;
      return r;
    }
    // Every other record type is data at its 16-bit address (an extended
    // address record's two bytes included), as the module's loader expects.
    for (unsigned i = 0; i < rec.length; ++i) image[rec.address + i] = rec.data[i];
  }
  r.error = Format("line %d: the file ends before its end record", lineNo);
  return r;
}

LoadResult LoadBinFile(const std::string& path, std::vector<uint8_t>& image) {
  LoadResult r;
  File f = OpenRegular(path, r.error);
  if (!f) return r;
  if (std::fseek(f.get(), 0, SEEK_END) != 0) {
    r.error = Format("cannot read: %s", std::strerror(errno));
    return r;
  }
  const long size = std::ftell(f.get());
  if (size < 0) {
    r.error = Format("cannot read: %s", std::strerror(errno));
    return r;
  }
  if (size == 0) {
    r.error = "the file is empty";
    return r;
  }
  if (static_cast<unsigned long>(size) > image.size()) {
    r.error = Format("the file has %ld bytes; the module's flash takes at most %zu", size, image.size());
    return r;
  }
  std::rewind(f.get());
  std::fill(image.begin(), image.end(), 0xFF);
  if (std::fread(image.data(), 1, static_cast<size_t>(size), f.get()) != static_cast<size_t>(size)) {
    r.error = Format("cannot read: %s", std::ferror(f.get()) ? std::strerror(errno) : "the file got shorter");
    return r;
  }
  r.ok = true;
  r.length = static_cast<unsigned>(size);
  return r;
}

}  // namespace qeld
