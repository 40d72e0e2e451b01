#include "dns/value/DecodeError.h"
#include "dns/value/EncodeError.h"

namespace DnsToolsSocket {

const char* DecodeError::what() const noexcept {
  switch (case_) {
    case invalidMessageSize: return "invalidMessageSize";
    case invalidLabelSize: return "invalidLabelSize";
    case invalidLabelOffset: return "invalidLabelOffset";
    case unicodeDecodingError: return "unicodeDecodingError";
    case invalidIntegerSize: return "invalidIntegerSize";
    case invalidIPAddress: return "invalidIPAddress";
    case invalidDataSize: return "invalidDataSize";
    case invalidQuestion: return "invalidQuestion";
  }
  return "DecodeError";
}

const char* EncodeError::what() const noexcept {
  switch (case_) {
    case tooManyEntries: return "tooManyEntries";
    case labelTooLong: return "labelTooLong";
    case dataTooLong: return "dataTooLong";
    case textTooLong: return "textTooLong";
    case messageTooLong: return "messageTooLong";
  }
  return "EncodeError";
}

}  // namespace DnsToolsSocket
