#pragma once
// Byte vectors for the codec tests, written as hex text ("12 34 c0 0c").
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "dns/value/Hex.h"

namespace wiretest {

inline std::vector<uint8_t> hex(std::string_view text) {
  std::vector<uint8_t> out;
  int high = -1;
  for (char c : text) {
    auto v = dnswire::hexValue(c);
    if (!v) continue;
    if (high < 0) {
      high = *v;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | *v));
      high = -1;
    }
  }
  return out;
}

inline std::vector<uint8_t> header(uint16_t id, uint16_t flags, uint16_t qd, uint16_t an, uint16_t ns = 0,
                                   uint16_t ar = 0) {
  std::vector<uint8_t> out;
  for (uint16_t v : {id, flags, qd, an, ns, ar}) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
  }
  return out;
}

inline std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace wiretest
