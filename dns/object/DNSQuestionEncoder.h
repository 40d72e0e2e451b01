#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "dns/object/DNSQuestion.h"
#include "dns/value/WireWriter.h"

namespace DnsObjects {

class DNSQuestionEncoder {
 public:
  // Absent when the name cannot be written.
  static std::optional<std::vector<uint8_t>> encode(const DNSQuestion& question);
  // The same bytes, appended to `out`; false (and nothing written) when the
  // name cannot be written.
  static bool write(const DNSQuestion& question, dnswire::WireWriter& out);
};

}  // namespace DnsObjects
