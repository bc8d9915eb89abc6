// Fuzz target: arbitrary file contents through the HEX and BIN loaders, the
// way Write Prog reads a technician's file. Every refusal must say why.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "download/ImageLoader.h"
#include "link/Protocol.h"

using namespace qeld;

namespace {

std::string g_dir, g_hex, g_bin;

bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  return done == size;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Shared memory when there is some: two files are written per input.
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string templ = std::string(base) + "/qeld-loader-fuzz-XXXXXX";
  if (!mkdtemp(templ.data())) std::abort();
  g_dir = templ;
  g_hex = g_dir + "/image.hex";
  g_bin = g_dir + "/image.bin";
  std::atexit([] {
    unlink(g_hex.c_str());
    unlink(g_bin.c_str());
    rmdir(g_dir.c_str());
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!WriteFile(g_hex, data, size) || !WriteFile(g_bin, data, size)) std::abort();
  // One buffer for every input, like the console's own: a fresh 224 KiB
  // allocation per input would cost more than the loading.
  static std::vector<uint8_t> image(kImageSize, 0xFF);

  const LoadResult hex = LoadHexFile(g_hex, image, kHexImageLength);
  if (!hex.ok && hex.error.empty()) std::abort();  // a refusal without a reason
  if (image.size() != static_cast<size_t>(kImageSize)) std::abort();

  const LoadResult bin = LoadBinFile(g_bin, image);
  if (bin.ok != (size > 0 && size <= static_cast<size_t>(kImageSize))) std::abort();
  if (bin.ok && (bin.length != size || !std::equal(data, data + size, image.begin()))) std::abort();
  if (!bin.ok && bin.error.empty()) std::abort();

  // The kind of a file comes from its name; any name must give an answer.
  (void)ImageKindOf(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
