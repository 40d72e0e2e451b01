#pragma once
// Bounds-checked big-endian cursor over a datagram. Every read either
// succeeds or returns an empty result and leaves the cursor where it was,
// so no decoder can step past the buffer.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace dnswire {

class WireReader {
 public:
  WireReader(std::span<const uint8_t> data, size_t offset = 0) : data_(data), pos_(offset <= data.size() ? offset : data.size()) {}

  size_t offset() const { return pos_; }
  size_t size() const { return data_.size(); }
  size_t remaining() const { return data_.size() - pos_; }
  bool atEnd() const { return pos_ == data_.size(); }
  std::span<const uint8_t> data() const { return data_; }

  bool seek(size_t offset) {
    if (offset > data_.size()) return false;
    pos_ = offset;
    return true;
  }
  bool skip(size_t n) {
    if (n > remaining()) return false;
    pos_ += n;
    return true;
  }

  std::optional<uint8_t> u8() {
    if (remaining() < 1) return std::nullopt;
    return data_[pos_++];
  }
  std::optional<uint16_t> u16() {
    if (remaining() < 2) return std::nullopt;
    uint16_t v = static_cast<uint16_t>((data_[pos_] << 8) | data_[pos_ + 1]);
    pos_ += 2;
    return v;
  }
  std::optional<uint32_t> u32() {
    if (remaining() < 4) return std::nullopt;
    uint32_t v = (uint32_t{data_[pos_]} << 24) | (uint32_t{data_[pos_ + 1]} << 16) |
                 (uint32_t{data_[pos_ + 2]} << 8) | uint32_t{data_[pos_ + 3]};
    pos_ += 4;
    return v;
  }
  std::optional<std::span<const uint8_t>> bytes(size_t n) {
    if (n > remaining()) return std::nullopt;
    auto out = data_.subspan(pos_, n);
    pos_ += n;
    return out;
  }

  // Reads at an absolute offset without moving the cursor.
  std::optional<uint8_t> u8At(size_t offset) const {
    if (offset >= data_.size()) return std::nullopt;
    return data_[offset];
  }
  std::optional<uint16_t> u16At(size_t offset) const {
    if (offset > data_.size() || data_.size() - offset < 2) return std::nullopt;
    return static_cast<uint16_t>((data_[offset] << 8) | data_[offset + 1]);
  }

 private:
  std::span<const uint8_t> data_;
  size_t pos_;
};

}  // namespace dnswire
