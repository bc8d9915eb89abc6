// The name of the lock a console holds on the port it has open (Windows
// build only): CComm takes it, the port list asks for it.
#pragma once
#include <string>

namespace qeld {

inline std::wstring PortLockName(unsigned port) { return L"Global\\qeld-console-COM" + std::to_wstring(port); }

}  // namespace qeld
