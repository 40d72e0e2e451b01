#pragma once
// The one error the value-type decoder throws; the case number is its order.
#include <cstdint>
#include <exception>

namespace DnsToolsSocket {

class DecodeError : public std::exception {
 public:
  enum Case : uint8_t {
    invalidMessageSize,
    invalidLabelSize,
    invalidLabelOffset,
    unicodeDecodingError,
    invalidIntegerSize,
    invalidIPAddress,
    invalidDataSize,
    invalidQuestion,
  };

  DecodeError(Case c) : case_(c) {}  // NOLINT: thrown as `throw DecodeError(DecodeError::invalidQuestion)`
  Case value() const { return case_; }
  // The case name, e.g. "invalidLabelSize".
  const char* what() const noexcept override;

  friend bool operator==(const DecodeError& a, const DecodeError& b) { return a.case_ == b.case_; }
  friend bool operator==(const DecodeError& a, Case b) { return a.case_ == b; }

 private:
  Case case_;
};

}  // namespace DnsToolsSocket
