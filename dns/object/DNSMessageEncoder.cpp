#include "dns/object/DNSMessageEncoder.h"

#include "dns/value/WireWriter.h"
#include "dns/object/DNSHeaderEncoder.h"
#include "dns/object/DNSQuestionEncoder.h"

namespace DnsObjects {

namespace {

template <class Array>
uint16_t countOf(const std::optional<Array>& section) {
  return section ? static_cast<uint16_t>(section->size()) : 0;
}

}  // namespace

std::optional<std::vector<uint8_t>> DNSMessageEncoder::encode(const DNSMessage& message) {
  for (size_t size : {message.questions ? message.questions->size() : 0, message.answers ? message.answers->size() : 0,
                      message.authorityRecords ? message.authorityRecords->size() : 0,
                      message.additionalRecords ? message.additionalRecords->size() : 0}) {
    if (size > 0xFFFF) return std::nullopt;  // a count cannot hold it
  }
  // The counts are the sections' own; the message is left as it is.
  DNSHeader header = message.header ? *message.header : DNSHeader();
  header.questionCount = countOf(message.questions);
  header.answerRecordCount = countOf(message.answers);
  header.authorityRecordCount = countOf(message.authorityRecords);
  header.additionalRecordCount = countOf(message.additionalRecords);

  dnswire::WireWriter out(512);
  DNSHeaderEncoder::write(header, out);
  if (message.questions) {
    for (const auto& question : *message.questions) {
      if (!question || !DNSQuestionEncoder::write(*question, out)) return std::nullopt;
      if (out.size() > kMaxMessageSize) return std::nullopt;
    }
  }
  for (const auto* section : {&message.answers, &message.authorityRecords, &message.additionalRecords}) {
    if (!*section) continue;
    for (const auto& record : **section) {
      if (!record) return std::nullopt;
      auto bytes = record->encode();
      if (!bytes) return std::nullopt;
      out.bytes(*bytes);
      if (out.size() > kMaxMessageSize) return std::nullopt;
    }
  }
  return out.take();
}

}  // namespace DnsObjects
