// Device error codes the module reports, and their texts.
#pragma once
#include <cstdint>

namespace qeld {

constexpr int kDeviceErrorCount = 141;  // codes 0..140 have texts of their own

// The text of a device error code; "Unknown Error Code" from 141 on.
const char* DeviceErrorText(uint8_t code);

// The code carried by an error byte: byte - 0x20, modulo 256 (a space is no error).
inline uint8_t ErrorCode(uint8_t errorByte) { return static_cast<uint8_t>(errorByte - 0x20); }

}  // namespace qeld
