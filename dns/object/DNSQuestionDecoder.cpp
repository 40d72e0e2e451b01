#include "dns/object/DNSQuestionDecoder.h"

#include <span>

#include "dns/value/WireReader.h"
#include "dns/object/DNSLabelDecoder.h"

namespace DnsObjects {

void DNSQuestionDecoder::decodeQuestionInBuffer(const uint8_t* bytes, uint32_t& offset, uint32_t length) {
  question.reset();
  DNSLabelDecoder labelDecoder;
  labelDecoder.decodeLabelInBuffer(bytes, offset, length);
  if (!labelDecoder.name) return;
  dnswire::WireReader reader(std::span<const uint8_t>(bytes, length), offset);
  auto type = reader.u16();
  auto questionClass = reader.u16();
  if (!type || !questionClass) return;
  auto result = std::make_shared<DNSQuestion>();
  result->name = std::move(*labelDecoder.name);
  result->wireName = std::move(labelDecoder.wireName);
  result->type = *type;
  result->questionClass = *questionClass;
  offset = static_cast<uint32_t>(reader.offset());
  question = std::move(result);
}

}  // namespace DnsObjects
