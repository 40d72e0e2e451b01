#pragma once
// Hex digit tables shared by the codecs and the host helpers.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace dnswire {

inline constexpr char kHexLower[] = "0123456789abcdef";
inline constexpr char kHexUpper[] = "0123456789ABCDEF";

inline std::string toHex(std::span<const uint8_t> bytes, bool upper = false) {
  const char* digits = upper ? kHexUpper : kHexLower;
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 0x0F]);
  }
  return out;
}

inline std::optional<uint8_t> hexValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

}  // namespace dnswire
