#include "logging/FileAttributes.h"

#include <errno.h>
#include <linux/limits.h>
#include <string.h>
#include <sys/xattr.h>

namespace qmlogger {

PosixError posixError(int errorNumber) {
  char buffer[256];
  const char* text = strerror_r(errorNumber, buffer, sizeof buffer);
  return PosixError(errorNumber, text ? text : "Unknown error");
}

std::string systemAttributeName(std::string_view name) {
  for (std::string_view space : {"user.", "trusted.", "security.", "system."}) {
    if (name.substr(0, space.size()) == space) return std::string(name);
  }
  return "user." + std::string(name);
}

std::optional<std::vector<uint8_t>> extendedAttributeData(const FileURL& url, std::string_view name) {
  const std::string path = url.path.string();
  const std::string attribute = systemAttributeName(name);
  // The value may grow between the query and the read; then read into a
  // buffer of the largest size an attribute can have.
  const ssize_t size = ::getxattr(path.c_str(), attribute.c_str(), nullptr, 0);
  if (size < 0) return std::nullopt;
  std::vector<uint8_t> data(static_cast<size_t>(size));
  ssize_t read = ::getxattr(path.c_str(), attribute.c_str(), data.data(), data.size());
  if (read < 0 && errno == ERANGE) {
    data.resize(XATTR_SIZE_MAX);
    read = ::getxattr(path.c_str(), attribute.c_str(), data.data(), data.size());
  }
  if (read < 0) {
    if (errno == ENODATA) return std::nullopt;  // removed meanwhile
    throw posixError(errno);
  }
  data.resize(static_cast<size_t>(read));
  return data;
}

void setExtendedAttribute(const FileURL& url, const std::vector<uint8_t>& data, std::string_view name) {
  const std::string path = url.path.string();
  const std::string attribute = systemAttributeName(name);
  if (::setxattr(path.c_str(), attribute.c_str(), data.data(), data.size(), 0) < 0) throw posixError(errno);
}

}  // namespace qmlogger
