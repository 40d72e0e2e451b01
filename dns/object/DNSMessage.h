#pragma once
// Object-model DNS message. A section that was empty on the wire is absent;
// readers treat an absent section as empty.
#include <memory>
#include <optional>
#include <vector>

#include "dns/object/DNSHeader.h"
#include "dns/object/DNSQuestion.h"
#include "dns/object/DNSResourceRecord.h"

namespace DnsObjects {

using DNSQuestionArray = std::vector<std::shared_ptr<DNSQuestion>>;
using DNSRecordArray = std::vector<std::shared_ptr<DNSResourceRecord>>;

class DNSMessage {
 public:
  std::shared_ptr<DNSHeader> header;
  std::optional<DNSQuestionArray> questions;
  std::optional<DNSRecordArray> answers;
  std::optional<DNSRecordArray> authorityRecords;
  std::optional<DNSRecordArray> additionalRecords;

  // New header copy and new arrays; the questions and records are shared.
  std::shared_ptr<DNSMessage> copyWithZone() const;
};

}  // namespace DnsObjects
