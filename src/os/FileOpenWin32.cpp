// Opening a file for reading on Windows: the path goes through the wide API
// (UTF-8 in, UTF-16 to the system) so Korean folder names work. A named pipe
// or a device is refused by its file type once opened; CreateFileW on a pipe
// name with no server fails at once rather than waiting, so the open itself
// cannot hold the window's thread.
#include <string>

#include "os/FileOpen.h"
#include "os/Utf16.h"
#include "os/Win32.h"

namespace qeld {


int CInputFile::Open(const std::string& path, std::string& error) {
  Close();
  const std::wstring wide = Widen(path);
  const DWORD attrs = GetFileAttributesW(wide.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) {
    error = "cannot open: " + SystemMessage(GetLastError());
    return 0;
  }
  if (attrs & FILE_ATTRIBUTE_DIRECTORY) {
    error = "not a regular file: it is a folder";
    return 0;
  }
  HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = "cannot open: " + SystemMessage(GetLastError());
    return 0;
  }
  const DWORD type = GetFileType(h);
  if (type != FILE_TYPE_DISK) {
    error = type == FILE_TYPE_PIPE   ? "not a regular file: it is a pipe"
            : type == FILE_TYPE_CHAR ? "not a regular file: it is a character device"
                                     : "not a regular file";
    CloseHandle(h);
    return 0;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(h, &size)) {
    error = "cannot open: " + SystemMessage(GetLastError());
    CloseHandle(h);
    return 0;
  }
  m_hFile = reinterpret_cast<intptr_t>(h);
  m_nSize = static_cast<uint64_t>(size.QuadPart);
  m_nRead = 0;
  return 1;
}

long long CInputFile::Read(void* buffer, size_t n, std::string& error) {
  if (m_hFile == -1) {
    error = "cannot read: the file is not open";
    return -1;
  }
  if (n > m_nSize - m_nRead) n = static_cast<size_t>(m_nSize - m_nRead);
  if (n == 0) return 0;
  if (n > 0x10000000) n = 0x10000000;  // ReadFile takes a 32-bit count
  DWORD got = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(m_hFile), buffer, static_cast<DWORD>(n), &got, nullptr)) {
    error = "cannot read: " + SystemMessage(GetLastError());
    return -1;
  }
  m_nRead += got;
  return static_cast<long long>(got);
}

void CInputFile::Close() {
  if (m_hFile != -1) {
    CloseHandle(reinterpret_cast<HANDLE>(m_hFile));
    m_hFile = -1;
  }
  m_nSize = m_nRead = 0;
}

}  // namespace qeld
