// Frame layout helpers and the value encodings used inside frames.
#pragma once
#include <cstdint>
#include <string>

namespace qeld {

// Exclusive OR of n bytes: the BCC of a frame is that of every byte from the
// first through ETX; a good response XORs to 0 with its BCC included.
uint8_t Bcc(const uint8_t* p, int n);

// String-to-long conversion as the console's fields are read: leading white
// space, an optional sign, base 16 also takes "0x"; stops at the first
// non-digit; no digits give 0. Saturates to the 32-bit range.
int32_t ParseLong(const std::string& text, int base);

// Signed 32-bit arithmetic with two's-complement wrap, as the console's
// integer conversions are done.
inline int32_t Wrap32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }

// 1 slit = 0.785 mm, rounded to the nearest integer, halves up.
inline int32_t MmToSlits(int32_t mm) { return Wrap32(int64_t{mm} * 10000 + 3925) / 7850; }
inline int32_t SlitsToMm(int32_t slits) { return Wrap32(int64_t{slits} * 7850 + 5000) / 10000; }

// printf-style formatting into a std::string. The Windows build formats with
// MinGW's C99 printf and checks against it (gnu_printf, set by CMake), since
// GCC's "printf" there means the system's older one, which lacks %zu.
#ifndef QELD_PRINTF_FORMAT
#define QELD_PRINTF_FORMAT printf
#endif
std::string Format(const char* fmt, ...) __attribute__((format(QELD_PRINTF_FORMAT, 1, 2)));

// Raw frame bytes to display text (UTF-8: bytes above 0x7F as Latin-1) and back.
std::string BytesToText(const uint8_t* p, int n);
// The first maxChars characters of text as bytes (characters above 0xFF as "?").
std::string TextToBytes(const std::string& text, int maxChars);

}  // namespace qeld
