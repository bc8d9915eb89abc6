// UTF-8 <-> UTF-16 at the Win32 wide API (Windows build only).
#pragma once
#include <string>

namespace qeld {

std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& utf16);
std::string Narrow(const wchar_t* utf16, int len);

// The system's text for a Win32 error code, in UTF-8, without the trailing
// line break; "error N" when the system has none.
std::string SystemMessage(unsigned long code);

}  // namespace qeld
