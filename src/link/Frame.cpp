#include "link/Frame.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace qeld {

uint8_t Bcc(const uint8_t* p, int n) {
  uint8_t x = 0;
  for (int i = 0; i < n; ++i) x ^= p[i];
  return x;
}

int32_t ParseLong(const std::string& text, int base) {
  // The module's console was built where long is 32 bits; saturate like that.
  long long v = std::strtoll(text.c_str(), nullptr, base);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

std::string Format(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n < 0) return std::string();
  if (n < static_cast<int>(sizeof buf)) return std::string(buf, n);
  std::string s(n + 1, '\0');
  va_start(ap, fmt);
  std::vsnprintf(s.data(), s.size(), fmt, ap);
  va_end(ap);
  s.resize(n);
  return s;
}

std::string BytesToText(const uint8_t* p, int n) {
  std::string s;
  s.reserve(n);
  for (int i = 0; i < n; ++i) {
    uint8_t b = p[i];
    if (b < 0x80) {
      s.push_back(static_cast<char>(b));
    } else {
      s.push_back(static_cast<char>(0xC0 | (b >> 6)));
      s.push_back(static_cast<char>(0x80 | (b & 0x3F)));
    }
  }
  return s;
}

std::string TextToBytes(const std::string& text, int maxChars) {
  std::string out;
  size_t i = 0;
  for (int c = 0; c < maxChars && i < text.size(); ++c) {
    auto b = static_cast<uint8_t>(text[i]);
    uint32_t cp;
    int len;
    if (b < 0x80) { cp = b; len = 1; }
    else if ((b & 0xE0) == 0xC0) { cp = b & 0x1F; len = 2; }
    else if ((b & 0xF0) == 0xE0) { cp = b & 0x0F; len = 3; }
    else if ((b & 0xF8) == 0xF0) { cp = b & 0x07; len = 4; }
    else { cp = '?'; len = 1; }
    if (i + len > text.size()) len = 1, cp = '?';
    for (int k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<uint8_t>(text[i + k]) & 0x3F);
    i += len;
    out.push_back(cp <= 0xFF ? static_cast<char>(cp) : '?');
  }
  return out;
}

}  // namespace qeld
