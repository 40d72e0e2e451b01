#pragma once
// A (or AAAA) record: the data is 4 or 16 address bytes in network order.
#include <memory>

#include "dns/object/DNSResourceRecord.h"
#include "dns/object/IPAddress.h"

namespace DnsObjects {

class DNSAResourceRecord : public DNSResourceRecord {
 public:
  std::shared_ptr<IPAddress> ip;

  // Raises "ipInvalidLength" for data that is neither 4 nor 16 bytes.
  void decodeFromResource(const DNSResourceRecord& other) override;
  std::vector<uint8_t> encodeData() override;
  std::shared_ptr<DNSResourceRecord> copyWithZone() const override;

  static std::shared_ptr<DNSAResourceRecord> fromResource(const DNSResourceRecord& other);
};

}  // namespace DnsObjects
