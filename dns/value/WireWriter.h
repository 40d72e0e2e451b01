#pragma once
// Big-endian writer appending to a byte vector.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace dnswire {

class WireWriter {
 public:
  WireWriter() = default;
  explicit WireWriter(size_t reserve) { out_.reserve(reserve); }

  void u8(uint8_t v) { out_.push_back(v); }
  void u16(uint16_t v) {
    out_.push_back(static_cast<uint8_t>(v >> 8));
    out_.push_back(static_cast<uint8_t>(v));
  }
  void u32(uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out_.push_back(static_cast<uint8_t>(v >> shift));
  }
  void bytes(std::span<const uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }

  // Overwrites two bytes written earlier; false when the offset is not inside the output.
  bool patchU16(size_t offset, uint16_t v) {
    if (offset > out_.size() || out_.size() - offset < 2) return false;
    out_[offset] = static_cast<uint8_t>(v >> 8);
    out_[offset + 1] = static_cast<uint8_t>(v);
    return true;
  }

  size_t size() const { return out_.size(); }
  const std::vector<uint8_t>& data() const { return out_; }
  std::vector<uint8_t> take() { return std::move(out_); }

 private:
  std::vector<uint8_t> out_;
};

}  // namespace dnswire
