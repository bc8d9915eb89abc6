// Opening a file for reading on POSIX systems: checked with stat before the
// open (opening a device can have effects of its own: a serial port raises
// DTR), opened non-blocking so that a FIFO swapped in meanwhile cannot hold
// the open, and checked again with fstat on what was really opened.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "os/FileOpen.h"

namespace qeld {

namespace {

// Why a file of this mode is not read, or "" for a regular file.
std::string Refusal(mode_t mode) {
  if (S_ISREG(mode)) return "";
  const char* kind = S_ISDIR(mode)    ? "a folder"
                     : S_ISFIFO(mode) ? "a FIFO (named pipe)"
                     : S_ISSOCK(mode) ? "a socket"
                     : S_ISCHR(mode)  ? "a character device"
                     : S_ISBLK(mode)  ? "a block device"
                                      : "no file";
  return std::string("not a regular file: it is ") + kind;
}

}  // namespace

int CInputFile::Open(const std::string& path, std::string& error) {
  Close();
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    error = std::string("cannot open: ") + std::strerror(errno);
    return 0;
  }
  if (const std::string why = Refusal(st.st_mode); !why.empty()) {
    error = why;
    return 0;
  }
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    error = std::string("cannot open: ") + std::strerror(errno);
    return 0;
  }
  if (fstat(fd, &st) != 0) {
    error = std::string("cannot open: ") + std::strerror(errno);
    close(fd);
    return 0;
  }
  if (const std::string why = Refusal(st.st_mode); !why.empty()) {
    error = why;  // something else was put in the file's place
    close(fd);
    return 0;
  }
  m_hFile = fd;
  m_nSize = static_cast<uint64_t>(st.st_size);
  m_nRead = 0;
  return 1;
}

long long CInputFile::Read(void* buffer, size_t n, std::string& error) {
  if (m_hFile < 0) {
    error = "cannot read: the file is not open";
    return -1;
  }
  if (n > m_nSize - m_nRead) n = static_cast<size_t>(m_nSize - m_nRead);
  if (n == 0) return 0;
  ssize_t got;
  do {
    got = read(static_cast<int>(m_hFile), buffer, n);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    error = std::string("cannot read: ") + std::strerror(errno);
    return -1;
  }
  m_nRead += static_cast<uint64_t>(got);
  return got;
}

void CInputFile::Close() {
  if (m_hFile >= 0) close(static_cast<int>(m_hFile));
  m_hFile = -1;
  m_nSize = m_nRead = 0;
}

}  // namespace qeld
