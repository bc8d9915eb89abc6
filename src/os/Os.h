// Small services of the operating system that the console needs beside the
// window and the serial port. Paths and texts are UTF-8 on every target; the
// Windows build converts them at the system's wide (UTF-16) calls.
#pragma once
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>

namespace qeld {

// std::fopen for a UTF-8 path.
std::FILE* OpenFile(const std::string& path, const char* mode);

// A UTF-8 path for the standard library's streams and file system calls
// (wide on Windows).
inline std::filesystem::path FsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// The process's working folder, or "" when it has none (it was removed).
// Windows: without the separator after a drive's root ("C:").
std::string CurrentFolder();

// The separator the system's own paths use between folder and name.
char PathSeparator();

// The user's own folder for documents: Windows' "Documents" known folder,
// elsewhere $HOME/Documents. "" when the system cannot tell.
std::string DocumentsFolder();

// "" when this process can make files in folder; otherwise why not, in the
// system's words ("Permission denied", "Access is denied").
std::string CannotWriteIn(const std::string& folder);

// Makes folder, and the folders above it that are missing; "" when it
// exists afterwards, otherwise why not.
std::string MakeFolders(const std::string& folder);

// Local date and time of t; false when the system cannot tell.
bool LocalTime(std::time_t t, std::tm& out);

// Asks for a higher scheduling priority; without the right to raise it the
// process runs as it is.
void RaiseProcessPriority();

}  // namespace qeld
