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

std::optional<std::vector<uint8_t>> DNSLabelEncoder::encode(std::string_view name,
                                                            std::span<const uint8_t> wireName) {
  if (spells(wireName, name)) return std::vector<uint8_t>(wireName.begin(), wireName.end());
  return encode(name);
}

bool DNSLabelEncoder::write(std::string_view name, std::span<const uint8_t> wireName, dnswire::WireWriter& out) {
  if (spells(wireName, name)) {
    out.bytes(wireName);  // as read, no copy on the way
    return true;
  }
  auto labels = encode(name);
  if (!labels) return false;
  out.bytes(*labels);
  return true;
}

bool DNSLabelEncoder::spells(std::span<const uint8_t> wireName, std::string_view name) {
  if (wireName.empty()) return false;
  if (wireName.size() == 1) return wireName[0] == 0 && name == ".";
  size_t at = 0;    // in wireName
  size_t text = 0;  // in name
  for (;;) {
    const uint8_t length = wireName[at++];
    if (length == 0) return at == wireName.size() && text == name.size();
    if (length > kMaxLabelLength || wireName.size() - at < length) return false;
    if (text != 0) {
      if (text >= name.size() || name[text] != '.') return false;
      ++text;
    }
    if (name.size() - text < length ||
        name.compare(text, length, reinterpret_cast<const char*>(wireName.data() + at), length) != 0)
      return false;
    at += length;
    text += length;
    if (at >= wireName.size()) return false;
  }
}

}  // namespace DnsObjects
