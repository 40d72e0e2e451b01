#pragma once
// A temporary VARDENO_ROOT for one test, removed afterwards.
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace testsupport {

class TempRoot {
 public:
  TempRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vardeno-relay-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
    ::setenv("VARDENO_ROOT", path_.c_str(), 1);
  }
  ~TempRoot() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
    ::unsetenv("VARDENO_ROOT");
  }
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace testsupport
