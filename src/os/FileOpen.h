// Opening a technician's file for reading, one file per target
// (FileOpenPosix.cpp, FileOpenWin32.cpp).
//
// Only a regular file is ever read: a folder, a FIFO, a socket or a device is
// refused with its kind before a byte is read, and opening never waits on
// one, so choosing such a file cannot block the window's thread. A file is
// read at most up to the size it had when it was opened, so one that grows
// meanwhile still ends. (On Windows the same holds for what GetFileType does
// not call FILE_TYPE_DISK, and for folders.)
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace qeld {

class CInputFile {
 public:
  CInputFile() = default;
  ~CInputFile() { Close(); }
  CInputFile(const CInputFile&) = delete;
  CInputFile& operator=(const CInputFile&) = delete;

  // Opens path (UTF-8) for reading. Returns 1, or 0 with error saying why
  // ("cannot open: ...", "not a regular file: it is a FIFO (named pipe)").
  int Open(const std::string& path, std::string& error);
  // The file's size in bytes when it was opened.
  uint64_t Size() const { return m_nSize; }
  // Reads up to n bytes into buffer: the count, 0 once Size() bytes have been
  // read (or the file got shorter), -1 with error on a read fault.
  long long Read(void* buffer, size_t n, std::string& error);
  void Close();

 private:
  intptr_t m_hFile = -1;  // a file descriptor, or a Win32 HANDLE
  uint64_t m_nSize = 0;
  uint64_t m_nRead = 0;
};

}  // namespace qeld
