#pragma once
// The runtime's named exceptions (a name such as "ArithmeticException" and
// a reason text) as one C++ exception type.
#include <stdexcept>
#include <string>

namespace platform {

class NamedException : public std::runtime_error {
 public:
  NamedException(std::string name, std::string reason)
      : std::runtime_error(name + ": " + reason), name_(std::move(name)), reason_(std::move(reason)) {}
  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }

 private:
  std::string name_;
  std::string reason_;
};

}  // namespace platform
