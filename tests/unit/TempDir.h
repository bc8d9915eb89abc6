// A new folder under the system's temporary folder, removed with everything
// in it at the end; the same on every target.
#pragma once
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace qeld::test {

inline std::string MakeTempDir(const std::string& stem) {
  std::random_device rd;
  std::error_code ec;
  const auto base = std::filesystem::temp_directory_path(ec);
  for (int i = 0; i < 100; ++i) {
    const auto p = base / (stem + "-" + std::to_string(rd()));
    if (std::filesystem::create_directory(p, ec)) return p.string();
  }
  return "";
}

struct TempDir {
  std::string path;
  explicit TempDir(const std::string& stem = "qeld") : path(MakeTempDir(stem)) {}
  ~TempDir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
};

}  // namespace qeld::test
