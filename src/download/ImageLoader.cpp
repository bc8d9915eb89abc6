#include "download/ImageLoader.h"

#include <algorithm>

#include "link/Frame.h"
#include "link/Protocol.h"
#include "os/FileOpen.h"

namespace qeld {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// One byte of a file as a message quotes it: printable ASCII as it is, any
// other byte escaped (a lone byte above 0x7F is no UTF-8 character either).
std::string ShownChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u >= 0x20 && u < 0x7F) return std::string(1, c);
  if (u >= 0x80) return Format("\\x%02X", u);
  return EscapeControls(std::string(1, c));
}

// Walks a HEX file's characters, fed in pieces of any size, and puts the data
// records into the image. It holds at most one record's text, so memory stays
// flat however long a line or a file is.
class HexScanner {
 public:
  HexScanner(std::vector<uint8_t>& image, unsigned limit) : m_Image(image), m_nLimit(limit) {
    m_strRecord.reserve(kLongestHexRecord);
  }

  // Takes the next piece of the file; false once the load has ended, by its
  // end record or by a refusal.
  bool Feed(const char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      const char c = p[i];
      if (m_bAfterCr) {
        m_bAfterCr = false;
        if (c == '\n') continue;  // the second half of CR LF
      }
      if (c == '\n' || c == '\r') {
        if (!EndLine()) return false;
        m_bAfterCr = c == '\r';
        continue;
      }
      ++m_nColumn;
      if (!Take(c)) return false;
    }
    return true;
  }

  // The file has ended (a last line without a line end is taken as a line).
  void Finish() {
    if (!CloseLine()) return;
    Fail(Format("line %u: the file ends before its end record", m_nLine));
  }

  unsigned Line() const { return m_nLine; }
  bool Ended() const { return m_bEnded; }
  const std::string& Error() const { return m_strError; }

 private:
  enum class State { Between, Stray, Record };

  bool Fail(std::string error) {
    m_strError = std::move(error);
    return false;
  }

  std::string TooLong() const {
    return Format("line %u: more than %u characters without a new record or a line end "
                  "(the longest valid record, with 255 data bytes, has %u)",
                  m_nLine, kLongestHexRecord, kLongestHexRecord);
  }

  bool Take(char c) {
    const bool blank = c == ' ' || c == '\t';
    switch (m_state) {
      case State::Between:
        if (c == ':') {
          StartRecord();
        } else if (!blank) {
          m_state = State::Stray;  // refused below once it is known how
          m_nStray = 1;
        }
        return true;
      case State::Stray:
        // Other text on a line may be a damaged record: it is refused, not skipped.
        if (c == ':') return Fail(Format("line %u: text before the record", m_nLine));
        if (++m_nStray > kLongestHexRecord) return Fail(TooLong());
        return true;
      case State::Record:
        if (c == ':') {  // the next record on the same line
          if (!EndRecord()) return false;
          StartRecord();
        } else if (blank) {
          // Blanks after a record are dropped; blanks inside one are kept
          // (and refused as no hex digit). Only as many are held as could fit.
          ++m_nBlanks;
          if (m_strBlanks.size() < kLongestHexRecord) m_strBlanks.push_back(c);
        } else {
          if (1 + m_strRecord.size() + m_nBlanks + 1 > kLongestHexRecord) return Fail(TooLong());
          m_strRecord += m_strBlanks;
          m_strBlanks.clear();
          m_nBlanks = 0;
          m_strRecord.push_back(c);
        }
        return true;
    }
    return true;
  }

  void StartRecord() {
    m_state = State::Record;
    m_nRecordColumn = m_nColumn;
    m_strRecord.clear();
    m_strBlanks.clear();
    m_nBlanks = 0;
  }

  // The record or text on the line ends with the line.
  bool CloseLine() {
    if (m_state == State::Stray) return Fail(Format("line %u: no record (missing ':')", m_nLine));
    if (m_state == State::Record && !EndRecord()) return false;
    m_state = State::Between;
    return true;
  }

  bool EndLine() {
    if (!CloseLine()) return false;
    ++m_nLine;
    m_nColumn = 0;
    return true;
  }

  // Checks the record just collected and applies it; false ends the load.
  bool EndRecord() {
    const std::string fault = ParseHexRecord(m_strRecord, m_Rec, m_nRecordColumn);
    if (!fault.empty()) return Fail(Format("line %u: %s", m_nLine, fault.c_str()));
    m_state = State::Between;
    const HexRecord& r = m_Rec;
    if (r.type == 1) return End();
    if (r.type > 5) return Fail(Format("line %u: unknown record type %02X", m_nLine, r.type));
    if (r.length == 0) return End();  // an empty record ends the file too
    switch (r.type) {
      case 0:
        return PutData(r);
      case 2:  // extended segment address: base = value x 16
      case 4:  // extended linear address: base = value x 65536
        if (r.length != 2)
          return Fail(Format("line %u: an address record (type %02X) holds 2 bytes, not %u", m_nLine, r.type,
                             r.length));
        m_nBase = (r.data[0] * 256u + r.data[1]) << (r.type == 2 ? 4 : 16);
        return true;
      default:  // 3 and 5: start addresses, nothing to flash
        return true;
    }
  }

  bool PutData(const HexRecord& r) {
    const uint32_t full = m_nBase + r.address;
    if (!m_bHaveData) {
      m_bHaveData = true;
      m_nDataBase = m_nBase;
    } else if (m_nBase != m_nDataBase) {
      // The module is sent 16-bit offsets only: a second segment would land
      // on top of the first.
      return Fail(Format("line %u: data at 0x%08X lies in a second segment (the data before it is in the "
                         "segment at 0x%08X); a HEX image holds one",
                         m_nLine, full, m_nDataBase));
    }
    if (r.address + r.length > m_nLimit) {
      const unsigned first = std::max(r.address, m_nLimit);
      return Fail(Format("line %u: data at 0x%08X lies beyond the %u bytes a HEX download sends", m_nLine,
                         m_nBase + first, m_nLimit));
    }
    std::copy(r.data.begin(), r.data.end(), m_Image.begin() + r.address);
    return true;
  }

  bool End() {
    m_bEnded = true;
    return false;
  }

  std::vector<uint8_t>& m_Image;
  unsigned m_nLimit;
  State m_state = State::Between;
  bool m_bAfterCr = false;
  unsigned m_nLine = 1;
  unsigned m_nColumn = 0;        // characters of the current line so far
  unsigned m_nRecordColumn = 0;  // where the current record's ':' stands
  unsigned m_nStray = 0;         // characters of stray text so far
  unsigned m_nBlanks = 0;        // blanks after the record's last character
  std::string m_strRecord, m_strBlanks;
  HexRecord m_Rec;
  uint32_t m_nBase = 0;      // from the last type 02 or 04 record
  uint32_t m_nDataBase = 0;  // the segment of the first data record
  bool m_bHaveData = false;
  bool m_bEnded = false;
  std::string m_strError;
};

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

std::string EscapeControls(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7F) {
      out.push_back(c);
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += Format("\\x%02X", u);
    }
  }
  return out;
}

std::string ParseHexRecord(const std::string& text, HexRecord& rec, unsigned column) {
  std::vector<uint8_t> bytes;
  if (text.size() % 2 != 0) return "odd number of hex digits";
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) {
      const size_t at = hi < 0 ? i : i + 1;
      return Format("'%s' is not a hex digit (column %zu)", ShownChar(text[at]).c_str(), column + 1 + at);
    }
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
  CInputFile f;
  if (!f.Open(path, r.error)) return r;
  if (f.Size() > kHexFileLimit) {
    r.error = Format("the file has %llu bytes; a HEX file of the whole flash has at most %llu",
                     static_cast<unsigned long long>(f.Size()), static_cast<unsigned long long>(kHexFileLimit));
    return r;
  }
  fillLength = std::min<size_t>(fillLength, image.size());
  std::fill(image.begin(), image.begin() + fillLength, 0xFF);
  HexScanner scanner(image, fillLength);
  char buffer[16384];
  for (;;) {
    std::string error;
    const long long n = f.Read(buffer, sizeof buffer, error);
    if (n < 0) {
      r.error = Format("line %u: %s", scanner.Line(), error.c_str());
      return r;
    }
    if (n == 0) {
      scanner.Finish();
      break;
    }
    if (!scanner.Feed(buffer, static_cast<size_t>(n))) break;
  }
  r.ok = scanner.Ended();
  r.error = scanner.Error();
  return r;
}

LoadResult LoadBinFile(const std::string& path, std::vector<uint8_t>& image) {
  LoadResult r;
  CInputFile f;
  if (!f.Open(path, r.error)) return r;
  const uint64_t size = f.Size();
  if (size == 0) {
    r.error = "the file is empty";
    return r;
  }
  if (size > image.size()) {
    r.error = Format("the file has %llu bytes; the module's flash takes at most %zu",
                     static_cast<unsigned long long>(size), image.size());
    return r;
  }
  std::fill(image.begin(), image.end(), 0xFF);
  size_t done = 0;
  while (done < size) {
    const long long n = f.Read(image.data() + done, static_cast<size_t>(size) - done, r.error);
    if (n < 0) return r;
    if (n == 0) {
      r.error = "cannot read: the file got shorter";
      return r;
    }
    done += static_cast<size_t>(n);
  }
  r.ok = true;
  r.length = static_cast<unsigned>(size);
  return r;
}

LoadResult LoadImageFile(ImageKind kind, const std::string& path, std::vector<uint8_t>& image) {
  switch (kind) {
    case ImageKind::Hex: return LoadHexFile(path, image, kHexImageLength);
    case ImageKind::Bin: return LoadBinFile(path, image);
    case ImageKind::None: break;
  }
  LoadResult r;
  r.error = "a firmware image must end in .bin, .BIN, .hex or .HEX";
  return r;
}

}  // namespace qeld
