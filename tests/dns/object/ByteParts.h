#pragma once
// Building datagrams for the object codec tests out of parts.
#include <cstddef>
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

// A query of up to 65,535 bytes: a question name of `labels` labels of
// `labelLength` bytes, then as many answers (type A, no data) as fit, each
// owner a pointer to that name.
inline Bytes compressedFlood(size_t labels, uint8_t labelLength) {
  Bytes q = {0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0, 0, 0x00, 0x00, 0x00, 0x00};
  for (size_t i = 0; i < labels; ++i) {
    q.push_back(labelLength);
    q.insert(q.end(), labelLength, 'a');
  }
  q.insert(q.end(), {0x00, 0x00, 0x01, 0x00, 0x01});
  const size_t answers = (0xFFFF - q.size()) / 12;
  for (size_t i = 0; i < answers; ++i) q.insert(q.end(), {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0});
  q[6] = static_cast<uint8_t>(answers >> 8);
  q[7] = static_cast<uint8_t>(answers);
  return q;
}

}  // namespace objecttest
