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
  auto copy = message.copyWithZone();
  if (!copy->header) copy->header = std::make_shared<DNSHeader>();
  DNSHeader& header = *copy->header;
  header.questionCount = countOf(copy->questions);
  header.answerRecordCount = countOf(copy->answers);
  header.authorityRecordCount = countOf(copy->authorityRecords);
  header.additionalRecordCount = countOf(copy->additionalRecords);

  dnswire::WireWriter out(512);
  out.bytes(DNSHeaderEncoder::encode(header));
  if (copy->questions) {
    for (const auto& question : *copy->questions) {
      if (!question) return std::nullopt;
      auto bytes = DNSQuestionEncoder::encode(*question);
      if (!bytes) return std::nullopt;
      out.bytes(*bytes);
      if (out.size() > kMaxMessageSize) return std::nullopt;
    }
  }
  for (const auto* section : {&copy->answers, &copy->authorityRecords, &copy->additionalRecords}) {
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
