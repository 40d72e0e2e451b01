#include "dns/object/DNSAResourceRecord.h"

namespace DnsObjects {

void DNSAResourceRecord::decodeFromResource(const DNSResourceRecord& other) {
  ip = IPAddress::addressWithData(other.data);
}

std::vector<uint8_t> DNSAResourceRecord::encodeData() { return ip ? ip->data() : std::vector<uint8_t>{}; }

std::shared_ptr<DNSResourceRecord> DNSAResourceRecord::copyWithZone() const {
  auto copy = std::make_shared<DNSAResourceRecord>(*this);
  if (ip) copy->ip = IPAddress::addressWithData(ip->data());
  return copy;
}

std::shared_ptr<DNSAResourceRecord> DNSAResourceRecord::fromResource(const DNSResourceRecord& other) {
  auto record = std::make_shared<DNSAResourceRecord>();
  record->copyFromResource(other);
  return record;
}

}  // namespace DnsObjects
