#include "dns/object/DNSQuestionEncoder.h"

#include "dns/value/WireWriter.h"
#include "dns/object/DNSLabelEncoder.h"

namespace DnsObjects {

std::optional<std::vector<uint8_t>> DNSQuestionEncoder::encode(const DNSQuestion& question) {
  auto name = DNSLabelEncoder::encode(question.name, question.wireName);
  if (!name) return std::nullopt;
  dnswire::WireWriter out(name->size() + 4);
  out.bytes(*name);
  out.u16(question.type);
  out.u16(question.questionClass);
  return out.take();
}

}  // namespace DnsObjects
