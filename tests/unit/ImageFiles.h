// Firmware files for the Write Prog tests: HEX records, a scratch folder, and
// a connected console that has downloaded a small image, so that what a
// refused file leaves behind can be seen.
#pragma once
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "ConsoleHarness.h"
#include "TempDir.h"

namespace qeld::test::files {

// One Intel HEX record, without a line end.
inline std::string Rec(unsigned addr, const Bytes& data, unsigned type = 0) {
  std::string s = Format(":%02X%04X%02X", static_cast<unsigned>(data.size()), addr, type);
  unsigned sum = data.size() + (addr >> 8) + (addr & 0xFF) + type;
  for (uint8_t b : data) {
    s += Format("%02X", b);
    sum += b;
  }
  return s + Format("%02X", (0x100 - (sum & 0xFF)) & 0xFF);
}
inline const std::string kEnd = ":00000001FF";

inline Bytes Data(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 11 + seed);
  return b;
}

// What Write Prog made of a file: the one message box, if any.
inline std::string Box(const Console& c) { return c.w.boxes.empty() ? "" : c.w.boxes.back().text; }

// The message as one clean text: no control character but its line breaks.
inline bool Clean(const std::string& text) {
  for (char ch : text)
    if ((static_cast<unsigned char>(ch) < 0x20 && ch != '\n') || ch == 0x7F) return false;
  return true;
}

// A connected console that has downloaded a small BIN, so that what a refused
// file leaves behind can be seen.
struct Loaded {
  Console c;
  Bytes image;
  explicit Loaded(const TempDir& tmp) {
    c.Connect();
    std::string bin(130, '\x5A');
    c.w.fileScript.push_back(tmp.Write("good.bin", bin));
    c.w.Click(ctl::kWriteProg);
    for (int guard = 0; guard < 10 && c.d.m_bDownloading; ++guard) {
      c.Answer('s', " ");
      c.w.Advance(0);
    }
    image = c.d.m_Image;
    c.line.writes.clear();
    c.w.boxes.clear();
  }
  // Write Prog with this file; the message box text ("" if none).
  std::string Choose(const std::string& path) {
    c.w.boxes.clear();
    c.w.fileScript.push_back(path);
    c.w.Click(ctl::kWriteProg);
    return Box(c);
  }
  // Nothing sent, nothing started, the earlier image and its kind in place.
  void ExpectUntouched(const std::string& what) {
    EXPECT_TRUE(c.line.writes.empty()) << what;
    EXPECT_EQ(c.d.m_bDownloading, 0) << what;
    EXPECT_EQ(c.d.m_bBinImage, 1) << what;
    EXPECT_EQ(c.d.m_nImageLength, 130u) << what;
    EXPECT_TRUE(c.d.m_Image == image) << what << ": the earlier image was changed";
    ASSERT_FALSE(c.w.boxes.empty()) << what;
    EXPECT_EQ(c.w.boxes.back().flags & MB_ICONSTOP, unsigned{MB_ICONSTOP}) << what;
  }
};

}  // namespace qeld::test::files
