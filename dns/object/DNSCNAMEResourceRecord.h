#pragma once
// CNAME record: the data is one encoded domain name.
#include <optional>
#include <string>

#include "dns/object/DNSResourceRecord.h"

namespace DnsObjects {

class DNSCNAMEResourceRecord : public DNSResourceRecord {
 public:
  std::optional<std::string> canonicalName;

  void decodeFromResource(const DNSResourceRecord& other) override;
  std::vector<uint8_t> encodeData() override;
  std::optional<std::vector<uint8_t>> encode() override;
  std::shared_ptr<DNSResourceRecord> copyWithZone() const override;

  static std::shared_ptr<DNSCNAMEResourceRecord> fromResource(const DNSResourceRecord& other);
};

}  // namespace DnsObjects
