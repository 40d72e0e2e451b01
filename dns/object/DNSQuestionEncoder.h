#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "dns/object/DNSQuestion.h"

namespace DnsObjects {

class DNSQuestionEncoder {
 public:
  // Absent when the name cannot be written.
  static std::optional<std::vector<uint8_t>> encode(const DNSQuestion& question);
};

}  // namespace DnsObjects
