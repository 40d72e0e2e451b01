#pragma once
// A fresh folder under the build tree for one test, removed afterwards.
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

class TempFolder {
 public:
  TempFolder() {
    std::filesystem::path base = std::filesystem::path(VARDENO_BINARY_DIR) / "test-tmp";
    std::filesystem::create_directories(base);
    std::string pattern = (base / "logging-XXXXXX").string();
    if (char* made = ::mkdtemp(pattern.data())) path_ = made;
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  // True when files here can carry user extended attributes.
  bool supportsUserAttributes() const {
    const auto probe = path_ / ".xattr-probe";
    std::ofstream(probe) << "x";
    const bool ok = ::setxattr(probe.c_str(), "user.probe", "1", 1, 0) == 0;
    std::filesystem::remove(probe);
    return ok;
  }

 private:
  std::filesystem::path path_;
};

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}
