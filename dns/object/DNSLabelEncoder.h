#pragma once
// Writes a name in full (never compressed). Empty parts are dropped, so "",
// "." and a trailing dot never put a zero byte inside the name.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "dns/value/WireWriter.h"

namespace DnsObjects {

class DNSLabelEncoder {
 public:
  static constexpr size_t kMaxLabelLength = 191;  // 192 and above read back as a pointer

  // Absent when a part is too long to be written as a label.
  static std::optional<std::vector<uint8_t>> encode(std::string_view name);
  // The labels as read (`wireName`, uncompressed) while they still spell
  // `name`, so a '.' inside a label is never taken for a separator; else
  // `name` split at every '.'.
  static std::optional<std::vector<uint8_t>> encode(std::string_view name, std::span<const uint8_t> wireName);
  // The same bytes, appended to `out`; false (and nothing written) when a
  // part is too long.
  static bool write(std::string_view name, std::span<const uint8_t> wireName, dnswire::WireWriter& out);
  // True when `wireName` is one whole uncompressed name whose labels, joined
  // by '.', are `name` ("." for the root).
  static bool spells(std::span<const uint8_t> wireName, std::string_view name);
};

}  // namespace DnsObjects
