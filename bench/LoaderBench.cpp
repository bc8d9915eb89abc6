// qeld-loader-bench: how long Write Prog's loaders take, and how much memory
// they use, on the worst files a technician can choose: huge sparse files, a
// megabyte on one line, and the biggest HEX file that is still read. Each
// file is loaded a number of times; the median time and the process's peak
// resident memory before and after all loads are printed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "download/ImageLoader.h"
#include "link/Frame.h"
#include "link/Protocol.h"

using namespace qeld;

namespace {

// The process's peak resident memory in KiB (VmHWM), -1 if unknown.
long PeakKiB() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

// Resets the peak to the present resident size, so that what the files were
// made with does not count; false where the kernel does not offer it.
bool ResetPeak() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  out.close();
  return static_cast<bool>(out);
}

// count copies of ch, written in small pieces so that making the file does
// not itself raise the peak.
void WriteRepeated(std::ofstream& out, char ch, size_t count) {
  const std::string piece(4096, ch);
  for (; count >= piece.size(); count -= piece.size()) out << piece;
  out << piece.substr(0, count);
}

std::string Rec(unsigned addr, uint8_t byte) {
  const unsigned sum = 1 + (addr >> 8) + (addr & 0xFF) + byte;
  return Format(":01%04X00%02X%02X\r\n", addr, byte, (0x100 - (sum & 0xFF)) & 0xFF);
}

struct Case {
  std::string name, path;
  bool hex;
};

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  char templ[] = "/tmp/qeld-loader-bench-XXXXXX";
  if (!mkdtemp(templ)) return 1;
  const std::string dir = templ;
  std::vector<Case> cases;

  // 300 MB, sparse: costs no disk.
  for (const char* name : {"sparse-300MB.hex", "sparse-300MB.bin"}) {
    const std::string path = dir + "/" + name;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ftruncate(fd, 300LL << 20) != 0) return 1;
    close(fd);
    cases.push_back({name, path, std::string(name).ends_with(".hex")});
  }
  {
    const std::string path = dir + "/one-1MB-line.hex";
    std::ofstream out(path, std::ios::binary);
    out << ":";
    WriteRepeated(out, '0', 1 << 20);
    out << "\r\n:00000001FF\r\n";
    cases.push_back({"one-1MB-line.hex", path, true});
  }
  {
    // The most work an accepted HEX file makes: every byte of the HEX range
    // in its own record, then blank lines up to the size limit.
    const std::string path = dir + "/largest-accepted.hex";
    std::ofstream out(path, std::ios::binary);
    size_t size = 0;
    for (unsigned a = 0; a < static_cast<unsigned>(kHexImageLength); ++a) {
      const std::string rec = Rec(a, static_cast<uint8_t>(a * 7));
      out << rec;
      size += rec.size();
    }
    const std::string end = ":00000001FF\r\n";
    WriteRepeated(out, '\n', kHexFileLimit - size - end.size());
    out << end;
    cases.push_back({"largest-accepted.hex", path, true});
  }
  {
    const std::string path = dir + "/whole-flash.bin";
    std::ofstream out(path, std::ios::binary);
    WriteRepeated(out, '\x5A', kImageSize);
    cases.push_back({"whole-flash.bin", path, false});
  }

  std::vector<uint8_t> image(kImageSize, 0xFF);
  const bool reset = ResetPeak();
  const long peakBefore = PeakKiB();
  std::printf("%-22s %-10s %12s  %s\n", "file", "size", "median ms", "result");
  for (const Case& c : cases) {
    std::vector<double> ms;
    LoadResult r;
    for (int i = 0; i < runs; ++i) {
      const auto t0 = std::chrono::steady_clock::now();
      r = c.hex ? LoadHexFile(c.path, image, kHexImageLength) : LoadBinFile(c.path, image);
      ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%-22s %-10llu %12.3f  %s\n", c.name.c_str(),
                static_cast<unsigned long long>(std::filesystem::file_size(c.path)), ms[ms.size() / 2],
                r.ok ? "loaded" : ("refused: " + r.error).c_str());
  }
  const long peakAfter = PeakKiB();
  std::printf("peak resident memory: %ld KiB before the loads%s, %ld KiB after (%d loads of each file)\n",
              peakBefore, reset ? "" : " (peak not reset)", peakAfter, runs);
  std::filesystem::remove_all(dir);
  return 0;
}
