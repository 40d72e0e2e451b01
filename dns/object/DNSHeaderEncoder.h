#pragma once
#include <cstdint>
#include <vector>

#include "dns/object/DNSHeader.h"

namespace DnsObjects {

class DNSHeaderEncoder {
 public:
  static std::vector<uint8_t> encode(const DNSHeader& header);
};

}  // namespace DnsObjects
