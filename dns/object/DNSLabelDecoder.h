#pragma once
// Reads one domain name byte by byte. Compression pointers are followed in a
// loop with a hop limit; a loop, a pointer whose target yields no name or a
// name longer than 255 wire bytes makes the whole name fail (no `name`).
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace DnsObjects {

class DNSLabelDecoder {
 public:
  static constexpr int kMaxPointerHops = 128;
  // Labels with their length bytes, plus the root, across every pointer followed.
  static constexpr uint32_t kMaxNameWireLength = 255;

  // 0: expecting a length or pointer byte, 1: in a label, 2: second pointer byte.
  uint64_t state = 0;
  std::array<uint8_t, 256> buffer{};
  uint32_t bufferSize = 0;
  uint32_t bufferOffset = 0;
  std::vector<std::string> labels;
  std::optional<std::string> name;
  // The name's labels as read, in uncompressed wire form (set with `name`):
  // a label may hold '.', a zero byte or any other byte, which the dotted
  // `name` cannot tell apart.
  std::vector<uint8_t> wireName;

  void resetBufferToSize(uint32_t size);
  void compileNameAndReset();
  void decodeLabelInBuffer(const uint8_t* bytes, uint32_t& offset, uint32_t length);

 private:
  bool appendToBuffer(uint8_t byte);
};

}  // namespace DnsObjects
