#pragma once
#include <cstdint>
#include <memory>

#include "dns/object/DNSHeader.h"

namespace DnsObjects {

// Reads the 12-byte header; no `header` when fewer than 12 bytes remain.
class DNSHeaderDecoder {
 public:
  std::shared_ptr<DNSHeader> header;

  void decodeHeaderInBuffer(const uint8_t* bytes, uint32_t& offset, uint32_t length);
};

}  // namespace DnsObjects
