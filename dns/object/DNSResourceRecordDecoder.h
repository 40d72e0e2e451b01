#pragma once
#include <cstdint>
#include <memory>

#include "dns/object/DNSResourceRecord.h"

namespace DnsObjects {

// Reads one record as a plain DNSResourceRecord whatever its TYPE; no
// `resource` when the name, the 10 fixed bytes or the RDATA are cut off.
class DNSResourceRecordDecoder {
 public:
  std::shared_ptr<DNSResourceRecord> resource;

  void decodeResourceInBuffer(const uint8_t* bytes, uint32_t& offset, uint32_t length);
};

}  // namespace DnsObjects
