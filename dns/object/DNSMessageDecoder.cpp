#include "dns/object/DNSMessageDecoder.h"

#include "dns/object/DNSHeaderDecoder.h"
#include "dns/object/DNSQuestionDecoder.h"
#include "dns/object/DNSResourceRecordDecoder.h"

namespace DnsObjects {

std::shared_ptr<DNSHeader> DNSMessageDecoder::decodeHeaderWithBuffer(const uint8_t* bytes, uint32_t& offset,
                                                                     uint32_t length) {
  DNSHeaderDecoder decoder;
  decoder.decodeHeaderInBuffer(bytes, offset, length);
  return decoder.header;
}

DNSQuestionArray DNSMessageDecoder::decodeQuestionsWithCount(int32_t count, const uint8_t* bytes, uint32_t& offset,
                                                             uint32_t length) {
  DNSQuestionArray out;
  DNSQuestionDecoder decoder;
  for (int32_t i = 0; i < count; ++i) {
    decoder.decodeQuestionInBuffer(bytes, offset, length);
    if (!decoder.question) break;  // the section is short; the message fails
    out.push_back(decoder.question);
  }
  return out;
}

DNSRecordArray DNSMessageDecoder::decodeResourceRecordWithCount(int32_t count, const uint8_t* bytes,
                                                                uint32_t& offset, uint32_t length) {
  DNSRecordArray out;
  DNSResourceRecordDecoder decoder;
  for (int32_t i = 0; i < count; ++i) {
    decoder.decodeResourceInBuffer(bytes, offset, length);
    if (!decoder.resource) break;
    out.push_back(decoder.resource);
  }
  return out;
}

void DNSMessageDecoder::decodeMessageInBuffer(const uint8_t* bytes, uint32_t length) {
  message.reset();
  auto result = std::make_shared<DNSMessage>();
  uint32_t offset = 0;
  result->header = decodeHeaderWithBuffer(bytes, offset, length);
  if (!result->header) return;
  const DNSHeader& header = *result->header;

  if (header.questionCount != 0) {
    result->questions = decodeQuestionsWithCount(header.questionCount, bytes, offset, length);
    if (result->questions->size() < header.questionCount) return;
  }
  struct Section {
    uint16_t count;
    std::optional<DNSRecordArray>* records;
  } sections[] = {{header.answerRecordCount, &result->answers},
                  {header.authorityRecordCount, &result->authorityRecords},
                  {header.additionalRecordCount, &result->additionalRecords}};
  for (auto& section : sections) {
    if (section.count == 0) continue;
    *section.records = decodeResourceRecordWithCount(section.count, bytes, offset, length);
    if ((*section.records)->size() < section.count) return;
  }
  message = std::move(result);
}

}  // namespace DnsObjects
