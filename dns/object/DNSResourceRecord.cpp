#include "dns/object/DNSResourceRecord.h"

#include "dns/value/WireWriter.h"
#include "dns/object/DNSLabelEncoder.h"

namespace DnsObjects {

void DNSResourceRecord::copyFromResource(const DNSResourceRecord& other) {
  name = other.name;
  wireName = other.wireName;
  type = other.type;
  resourceClass = other.resourceClass;
  ttl = other.ttl;
  decodeFromResource(other);
}

void DNSResourceRecord::decodeFromResource(const DNSResourceRecord&) {}

std::vector<uint8_t> DNSResourceRecord::encodeData() { return data; }

std::optional<std::vector<uint8_t>> DNSResourceRecord::encode() {
  const std::vector<uint8_t> rdata = encodeData();
  if (rdata.size() > 0xFFFF) return std::nullopt;  // RDLENGTH cannot hold it
  dnswire::WireWriter out(name.size() + 2 + 10 + rdata.size());
  if (!DNSLabelEncoder::write(name, wireName, out)) return std::nullopt;
  out.u16(type);
  out.u16(resourceClass);
  out.u32(ttl);
  out.u16(static_cast<uint16_t>(rdata.size()));
  out.bytes(rdata);
  return out.take();
}

std::shared_ptr<DNSResourceRecord> DNSResourceRecord::copyWithZone() const {
  return std::make_shared<DNSResourceRecord>(*this);
}

std::shared_ptr<DNSResourceRecord> DNSResourceRecord::fromResource(const DNSResourceRecord& other) {
  auto record = std::make_shared<DNSResourceRecord>();
  record->copyFromResource(other);
  return record;
}

}  // namespace DnsObjects
