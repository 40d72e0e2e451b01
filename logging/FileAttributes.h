#pragma once
// Extended attributes of a file, and error values made from errno.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "logging/WriteTarget.h"

namespace qmlogger {

// An error in the POSIX domain: the error number and the system's text for it.
class PosixError : public std::runtime_error {
 public:
  PosixError(int code, std::string localizedDescription)
      : std::runtime_error(localizedDescription), code_(code), localizedDescription_(std::move(localizedDescription)) {}
  int code() const { return code_; }
  const std::string& localizedDescription() const { return localizedDescription_; }

 private:
  int code_;
  std::string localizedDescription_;
};

PosixError posixError(int errorNumber);

// Unprivileged processes may only use the "user." namespace; names without one get it.
std::string systemAttributeName(std::string_view name);

// The attribute's bytes, or nothing when the file has no such attribute. Throws PosixError.
std::optional<std::vector<uint8_t>> extendedAttributeData(const FileURL& url, std::string_view name);
// Throws PosixError.
void setExtendedAttribute(const FileURL& url, const std::vector<uint8_t>& data, std::string_view name);

}  // namespace qmlogger
