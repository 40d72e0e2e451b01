#include "logging/WriteTarget.h"

#include <cctype>

namespace qmlogger {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> percentDecoded(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size() + 0 || hexValue(text[i + 1]) < 0 || hexValue(text[i + 2]) < 0) return std::nullopt;
    const char byte = static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
    if (byte == '\0') return std::nullopt;
    out += byte;
    i += 2;
  }
  return out;
}

}  // namespace

std::string FileURL::absoluteString() const {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out = "file://";
  for (unsigned char c : path.string()) {
    if (std::isalnum(c) || std::string_view("-._~/!$&'()*+,;=:@").find(static_cast<char>(c)) != std::string_view::npos) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::optional<FileURL> WriteTarget::fileURL() const {
  if (kind_ == Kind::pathText) {
    if (text_.empty() || text_.find('\0') != std::string::npos) return std::nullopt;
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(text_, error);
    if (error) return std::nullopt;
    return FileURL{absolute.lexically_normal()};
  }
  // file:///path or file://localhost/path
  static constexpr std::string_view scheme = "file://";
  if (text_.size() < scheme.size()) return std::nullopt;
  for (size_t i = 0; i < scheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text_[i])) != scheme[i]) return std::nullopt;
  }
  std::string rest = text_.substr(scheme.size());
  if (rest.rfind("localhost/", 0) == 0) rest.erase(0, 9);
  if (rest.empty() || rest[0] != '/') return std::nullopt;
  auto decoded = percentDecoded(rest);
  if (!decoded) return std::nullopt;
  return FileURL{std::filesystem::path(*decoded).lexically_normal()};
}

}  // namespace qmlogger
