#pragma once
// Building datagrams for the object codec tests out of parts.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace objecttest {

using Bytes = std::vector<uint8_t>;

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

}  // namespace objecttest
