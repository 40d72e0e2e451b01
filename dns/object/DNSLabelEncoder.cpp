#include "dns/object/DNSLabelEncoder.h"

namespace DnsObjects {

std::optional<std::vector<uint8_t>> DNSLabelEncoder::encode(std::string_view name) {
  std::vector<uint8_t> out;
  out.reserve(name.size() + 2);
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('.', start);
    if (end == std::string_view::npos) end = name.size();
    const std::string_view part = name.substr(start, end - start);
    if (!part.empty()) {
      if (part.size() > kMaxLabelLength) return std::nullopt;
      out.push_back(static_cast<uint8_t>(part.size()));
      out.insert(out.end(), part.begin(), part.end());
    }
    start = end + 1;
  }
  out.push_back(0);
  return out;
}

}  // namespace DnsObjects
