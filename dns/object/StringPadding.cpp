#include "dns/object/IPBaseAddress.h"

namespace DnsObjects {

std::string stringByPaddingLeftToLength(const std::string& text, size_t length, const std::string& pad) {
  if (text.size() >= length || pad.empty()) return text;
  std::string out;
  const size_t missing = length - text.size();
  out.reserve(length);
  for (size_t i = 0; i < missing; ++i) out.push_back(pad[i % pad.size()]);
  return out + text;
}

}  // namespace DnsObjects
