#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "dns/object/DNSMessage.h"

namespace DnsObjects {

// Writes the message with header counts taken from the real section sizes;
// absent when a name or a record cannot be written.
class DNSMessageEncoder {
 public:
  static std::optional<std::vector<uint8_t>> encode(const DNSMessage& message);
};

}  // namespace DnsObjects
