#pragma once
// Where a file destination writes: a path text, a file location, or a URL text.
// Only paths and "file:" URLs give a location; anything else gives none.
#include <filesystem>
#include <optional>
#include <string>

namespace qmlogger {

// An absolute file location.
struct FileURL {
  std::filesystem::path path;
  // "file://" and the percent-encoded absolute path.
  std::string absoluteString() const;
  bool operator==(const FileURL& other) const { return path == other.path; }
};

class WriteTarget {
 public:
  WriteTarget(const char* path) : kind_(Kind::pathText), text_(path ? path : "") {}
  WriteTarget(std::string path) : kind_(Kind::pathText), text_(std::move(path)) {}
  WriteTarget(const std::filesystem::path& path) : kind_(Kind::pathText), text_(path.string()) {}
  WriteTarget(FileURL url) : kind_(Kind::pathText), text_(url.path.string()) {}
  // A URL text such as "file:///var/log/app.log"; other schemes give no location.
  static WriteTarget url(std::string text) { return WriteTarget(Kind::urlText, std::move(text)); }

  std::optional<FileURL> fileURL() const;

 private:
  enum class Kind { pathText, urlText };
  WriteTarget(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind_;
  std::string text_;
};

}  // namespace qmlogger
