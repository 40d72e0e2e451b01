#pragma once
// Small text helpers shared by the address classes.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace DnsObjects::addresstext {

inline bool isDigit(char c) { return c >= '0' && c <= '9'; }

inline bool isHexDigit(char c) {
  return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

inline std::vector<std::string> split(std::string_view text, std::string_view separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t at = text.find(separator, start);
    if (at == std::string_view::npos) {
      parts.emplace_back(text.substr(start));
      return parts;
    }
    parts.emplace_back(text.substr(start, at - start));
    start = at + separator.size();
  }
}

inline std::string join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += separator;
    out += parts[i];
  }
  return out;
}

// Leading decimal digits as a number (saturating), 0 without digits.
inline uint32_t leadingDecimal(std::string_view text) {
  uint64_t value = 0;
  for (char c : text) {
    if (!isDigit(c)) break;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > 0xFFFFFFFFu) return 0xFFFFFFFFu;
  }
  return static_cast<uint32_t>(value);
}

// Leading hexadecimal digits as a number (saturating), 0 without digits.
inline uint32_t leadingHex(std::string_view text) {
  uint64_t value = 0;
  for (char c : text) {
    if (!isHexDigit(c)) break;
    const int digit = isDigit(c) ? c - '0' : (c | 0x20) - 'a' + 10;
    value = value * 16 + static_cast<uint64_t>(digit);
    if (value > 0xFFFFFFFFu) return 0xFFFFFFFFu;
  }
  return static_cast<uint32_t>(value);
}

// printf-style "%x" / "%02x" / "%04x" / "%05d" without a format string.
inline std::string hexText(uint32_t value, size_t width = 0) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  if (out.size() < width) out.insert(0, width - out.size(), '0');
  return out;
}

inline std::string decimalText(uint32_t value, size_t width = 0) {
  std::string out = std::to_string(value);
  if (out.size() < width) out.insert(0, width - out.size(), '0');
  return out;
}

// Characters [start, end) of text with both ends clamped into the text.
inline std::string clampedSlice(const std::string& text, int64_t start, int64_t end) {
  const int64_t size = static_cast<int64_t>(text.size());
  if (start < 0) start = 0;
  if (start > size) start = size;
  if (end > size) end = size;
  if (end < start) end = start;
  return text.substr(static_cast<size_t>(start), static_cast<size_t>(end - start));
}

}  // namespace DnsObjects::addresstext
