#pragma once
// One question: name without the final dot ("." for the root), QTYPE, QCLASS.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace DnsObjects {

class DNSQuestion {
 public:
  std::string name;
  // The name as read, uncompressed; written while it still spells `name`.
  std::vector<uint8_t> wireName;
  uint16_t type = 0;
  uint16_t questionClass = 0;

  std::shared_ptr<DNSQuestion> copyWithZone() const { return std::make_shared<DNSQuestion>(*this); }
};

}  // namespace DnsObjects
