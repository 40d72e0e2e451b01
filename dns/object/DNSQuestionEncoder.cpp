#include "dns/object/DNSQuestionEncoder.h"

#include "dns/value/WireWriter.h"
#include "dns/object/DNSLabelEncoder.h"

namespace DnsObjects {

std::optional<std::vector<uint8_t>> DNSQuestionEncoder::encode(const DNSQuestion& question) {
  dnswire::WireWriter out(64);
  if (!write(question, out)) return std::nullopt;
  return out.take();
}

bool DNSQuestionEncoder::write(const DNSQuestion& question, dnswire::WireWriter& out) {
  if (!DNSLabelEncoder::write(question.name, question.wireName, out)) return false;
  out.u16(question.type);
  out.u16(question.questionClass);
  return true;
}

}  // namespace DnsObjects
