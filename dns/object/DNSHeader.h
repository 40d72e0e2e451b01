#pragma once
// Header of an object-model DNS message. The counts of a decoded message are
// the wire values; the encoder writes the real section sizes instead.
#include <cstdint>
#include <memory>

namespace DnsObjects {

class DNSHeader {
 public:
  uint16_t id = 0;
  bool isQuery = false;  // inverse of the QR bit
  uint16_t opCode = 0;
  bool authoritativeAnswer = false;
  bool truncated = false;
  bool recursionDesired = false;
  bool recursionAvailable = false;
  bool authenticatedData = false;
  bool checkingDisabled = false;
  uint8_t responseCode = 0;
  uint16_t questionCount = 0;
  uint16_t answerRecordCount = 0;
  uint16_t authorityRecordCount = 0;
  uint16_t additionalRecordCount = 0;

  std::shared_ptr<DNSHeader> copyWithZone() const { return std::make_shared<DNSHeader>(*this); }
};

}  // namespace DnsObjects
