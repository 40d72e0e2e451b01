#include "dns/object/DNSCNAMEResourceRecord.h"

#include "dns/object/DNSLabelDecoder.h"
#include "dns/object/DNSLabelEncoder.h"

namespace DnsObjects {

void DNSCNAMEResourceRecord::decodeFromResource(const DNSResourceRecord& other) {
  if (other.data.empty()) return;
  // Pointers inside the data are offsets into the data itself.
  DNSLabelDecoder decoder;
  uint32_t offset = 0;
  decoder.decodeLabelInBuffer(other.data.data(), offset, static_cast<uint32_t>(other.data.size()));
  canonicalName = decoder.name;
}

std::vector<uint8_t> DNSCNAMEResourceRecord::encodeData() {
  auto bytes = DNSLabelEncoder::encode(canonicalName.value_or(""));
  return bytes ? std::move(*bytes) : std::vector<uint8_t>{};
}

std::optional<std::vector<uint8_t>> DNSCNAMEResourceRecord::encode() {
  // A canonical name that cannot be written fails the record, not just its data.
  if (canonicalName && !DNSLabelEncoder::encode(*canonicalName)) return std::nullopt;
  return DNSResourceRecord::encode();
}

std::shared_ptr<DNSResourceRecord> DNSCNAMEResourceRecord::copyWithZone() const {
  return std::make_shared<DNSCNAMEResourceRecord>(*this);
}

std::shared_ptr<DNSCNAMEResourceRecord> DNSCNAMEResourceRecord::fromResource(const DNSResourceRecord& other) {
  auto record = std::make_shared<DNSCNAMEResourceRecord>();
  record->copyFromResource(other);
  return record;
}

}  // namespace DnsObjects
