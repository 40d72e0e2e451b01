#pragma once
// Thrown by the value-type encoder instead of writing bytes the format cannot carry.
#include <cstdint>
#include <exception>

namespace DnsToolsSocket {

class EncodeError : public std::exception {
 public:
  enum Case : uint8_t {
    tooManyEntries,   // a section with more than 65,535 entries
    labelTooLong,     // a label of more than 191 bytes (its length byte would read as a pointer)
    dataTooLong,      // record data of more than 65,535 bytes
    textTooLong,      // a TXT string of more than 255 bytes
    messageTooLong,   // a TCP-framed message of 65,536 bytes or more
  };

  EncodeError(Case c) : case_(c) {}  // NOLINT: thrown as `throw EncodeError(EncodeError::dataTooLong)`
  Case value() const { return case_; }
  const char* what() const noexcept override;

  friend bool operator==(const EncodeError& a, const EncodeError& b) { return a.case_ == b.case_; }
  friend bool operator==(const EncodeError& a, Case b) { return a.case_ == b; }

 private:
  Case case_;
};

}  // namespace DnsToolsSocket
