#pragma once
#include <cstdint>
#include <memory>

#include "dns/object/DNSMessage.h"

namespace DnsObjects {

// Decodes a whole message; `message` stays absent when any part is short.
class DNSMessageDecoder {
 public:
  std::shared_ptr<DNSMessage> message;

  void decodeMessageInBuffer(const uint8_t* bytes, uint32_t length);

  std::shared_ptr<DNSHeader> decodeHeaderWithBuffer(const uint8_t* bytes, uint32_t& offset, uint32_t length);
  DNSQuestionArray decodeQuestionsWithCount(int32_t count, const uint8_t* bytes, uint32_t& offset, uint32_t length);
  DNSRecordArray decodeResourceRecordWithCount(int32_t count, const uint8_t* bytes, uint32_t& offset,
                                               uint32_t length);
};

}  // namespace DnsObjects
