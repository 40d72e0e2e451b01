#pragma once
#include <cstdint>
#include <memory>

#include "dns/object/DNSQuestion.h"

namespace DnsObjects {

// Reads one question; no `question` when the name or the 4 fixed bytes are cut off.
class DNSQuestionDecoder {
 public:
  std::shared_ptr<DNSQuestion> question;

  void decodeQuestionInBuffer(const uint8_t* bytes, uint32_t& offset, uint32_t length);
};

}  // namespace DnsObjects
