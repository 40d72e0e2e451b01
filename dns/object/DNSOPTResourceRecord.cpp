#include "dns/object/DNSOPTResourceRecord.h"

namespace DnsObjects {

void DNSOPTResourceRecord::decodeFromResource(const DNSResourceRecord&) {
  // CLASS and TTL were already copied into this record.
  udpPayloadSize = resourceClass;
  extendedRCode = static_cast<uint8_t>(ttl >> 24);
  version = static_cast<uint8_t>(ttl >> 16);
  dnssecOK = (ttl & 0x8000u) != 0;
}

std::optional<std::vector<uint8_t>> DNSOPTResourceRecord::encode() {
  resourceClass = udpPayloadSize;
  ttl = (uint32_t{extendedRCode} << 24) | (uint32_t{version} << 16) | (dnssecOK ? 0x8000u : 0u);
  return DNSResourceRecord::encode();
}

std::shared_ptr<DNSResourceRecord> DNSOPTResourceRecord::copyWithZone() const {
  return std::make_shared<DNSOPTResourceRecord>(*this);
}

std::shared_ptr<DNSOPTResourceRecord> DNSOPTResourceRecord::fromResource(const DNSResourceRecord& other) {
  auto record = std::make_shared<DNSOPTResourceRecord>();
  record->copyFromResource(other);
  return record;
}

}  // namespace DnsObjects
