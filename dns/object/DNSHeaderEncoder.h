#pragma once
#include <cstdint>
#include <vector>

#include "dns/object/DNSHeader.h"
#include "dns/value/WireWriter.h"

namespace DnsObjects {

class DNSHeaderEncoder {
 public:
  static std::vector<uint8_t> encode(const DNSHeader& header);
  // The same twelve bytes, appended to `out`.
  static void write(const DNSHeader& header, dnswire::WireWriter& out);
};

}  // namespace DnsObjects
