#include <cerrno>
#include <system_error>
#include <cwchar>

#include "os/Os.h"
#include "os/Utf16.h"
#include "os/Win32.h"
#include <objbase.h>
#include <shlobj.h>

namespace qeld {

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
  return w;
}

std::string Narrow(const wchar_t* utf16, int len) {
  if (len <= 0) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, utf16, len, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, utf16, len, s.data(), n, nullptr, nullptr);
  return s;
}

std::string Narrow(const std::wstring& utf16) { return Narrow(utf16.data(), static_cast<int>(utf16.size())); }

std::string SystemMessage(unsigned long code) {
  wchar_t* buf = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  std::string text = n ? Narrow(buf, static_cast<int>(n)) : std::string();
  if (buf) LocalFree(buf);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  return text.empty() ? "error " + std::to_string(code) : text;
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
  // The narrow fopen would take the path in the ANSI code page: a Korean
  // folder name could not be opened on a western system.
  const std::wstring wmode = Widen(mode);
  const std::wstring wpath = Widen(path);
  std::FILE* f = _wfopen(wpath.c_str(), wmode.c_str());
  // The system says "access denied" for a folder; say what it is.
  if (!f) {
    const DWORD attrs = GetFileAttributesW(wpath.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)) errno = EISDIR;
  }
  return f;
}

std::string CurrentFolder() {
  const DWORD n = GetCurrentDirectoryW(0, nullptr);
  if (n == 0) return "";
  std::wstring w(n, L'\0');
  const DWORD got = GetCurrentDirectoryW(n, w.data());
  if (got == 0 || got >= n) return "";
  w.resize(got);
  std::string s = Narrow(w);
  // A drive's root comes as "C:\"; callers add the separator themselves.
  if (!s.empty() && (s.back() == '\\' || s.back() == '/')) s.pop_back();
  return s;
}

char PathSeparator() { return '\\'; }

std::string DocumentsFolder() {
  wchar_t* path = nullptr;
  std::string folder;
  if (SHGetKnownFolderPath(FOLDERID_Documents, KF_FLAG_DEFAULT, nullptr, &path) == S_OK && path)
    folder = Narrow(path, static_cast<int>(wcslen(path)));
  CoTaskMemFree(path);
  return folder;
}

std::string CannotWriteIn(const std::string& folder) {
  if (folder.empty()) return "the folder has no name";
  // Windows' rights are lists that only the file system itself can judge:
  // a file is made there and goes again when its handle closes.
  const std::wstring probe =
      Widen(folder) + L"\\.qeld-write-check-" + std::to_wstring(GetCurrentProcessId());
  const HANDLE h = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) return SystemMessage(GetLastError());
  CloseHandle(h);
  return "";
}

std::string MakeFolders(const std::string& folder) {
  std::error_code ec;
  std::filesystem::create_directories(FsPath(folder), ec);
  if (ec) return ec.message();
  return std::filesystem::is_directory(FsPath(folder), ec) ? "" : "not a folder";
}

bool LocalTime(std::time_t t, std::tm& out) { return localtime_s(&out, &t) == 0; }

void RaiseProcessPriority() { (void)SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS); }

}  // namespace qeld
