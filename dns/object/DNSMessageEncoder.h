#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "dns/object/DNSMessage.h"

namespace DnsObjects {

// Writes the message with header counts taken from the real section sizes;
// absent when a name or a record cannot be written or the message would be
// longer than a DNS message can be.
class DNSMessageEncoder {
 public:
  static constexpr size_t kMaxMessageSize = 0xFFFF;

  static std::optional<std::vector<uint8_t>> encode(const DNSMessage& message);
};

}  // namespace DnsObjects
