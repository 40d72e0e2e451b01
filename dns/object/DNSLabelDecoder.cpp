#include "dns/object/DNSLabelDecoder.h"

#include <span>

#include "dns/value/WireReader.h"

namespace DnsObjects {

namespace {

std::string joinLabels(const std::vector<std::string>& labels) {
  if (labels.empty()) return ".";
  std::string out;
  for (size_t i = 0; i < labels.size(); ++i) {
    if (i) out.push_back('.');
    out += labels[i];
  }
  return out;
}

}  // namespace

void DNSLabelDecoder::resetBufferToSize(uint32_t size) {
  bufferSize = size < buffer.size() ? size : static_cast<uint32_t>(buffer.size());
  bufferOffset = 0;
}

bool DNSLabelDecoder::appendToBuffer(uint8_t byte) {
  if (bufferOffset < bufferSize) buffer[bufferOffset++] = byte;
  return bufferOffset >= bufferSize;
}

void DNSLabelDecoder::compileNameAndReset() {
  name = joinLabels(labels);
  labels.clear();
  resetBufferToSize(0);
  state = 0;
}

void DNSLabelDecoder::decodeLabelInBuffer(const uint8_t* bytes, uint32_t& offset, uint32_t length) {
  if (bytes == nullptr || offset >= length) return;
  const dnswire::WireReader reader(std::span<const uint8_t>(bytes, length));
  // Label lists of the names waiting for a pointer's target, outermost first.
  std::vector<std::vector<std::string>> waiting;
  uint32_t cursor = offset;
  bool followingPointer = false;
  int hops = 0;
  uint32_t wireLength = 1;  // the root's byte
  // Room for the usual name at once, instead of a growth step per label.
  std::vector<uint8_t> wire;
  wire.reserve(64);
  if (labels.capacity() == 0) labels.reserve(4);
  auto fail = [&] {
    name.reset();
    wireName.clear();
    labels.clear();
    resetBufferToSize(0);
    state = 0;
  };

  for (;;) {
    auto byte = reader.u8At(cursor);
    if (!byte) {  // ran off the end
      if (followingPointer) fail();
      else offset = cursor;
      return;
    }
    ++cursor;
    switch (state) {
      case 0:
        if (*byte >= 0xC0) {
          resetBufferToSize(2);
          appendToBuffer(*byte & 0x3F);
          state = 2;
        } else if (*byte == 0) {
          std::string compiled = joinLabels(labels);
          while (!waiting.empty()) {
            labels = std::move(waiting.back());
            waiting.pop_back();
            labels.push_back(std::move(compiled));
            compiled = joinLabels(labels);
          }
          labels.clear();
          compileNameAndReset();
          name = std::move(compiled);
          wire.push_back(0);
          wireName = std::move(wire);
          if (!followingPointer) offset = cursor;
          return;
        } else {
          wireLength += 1 + *byte;
          if (wireLength > kMaxNameWireLength) {
            if (!followingPointer) offset = cursor;
            fail();
            return;
          }
          resetBufferToSize(*byte);
          state = 1;
        }
        break;
      case 1:
        if (appendToBuffer(*byte)) {
          labels.emplace_back(reinterpret_cast<const char*>(buffer.data()), bufferSize);
          wire.push_back(static_cast<uint8_t>(bufferSize));
          wire.insert(wire.end(), buffer.begin(), buffer.begin() + bufferSize);
          resetBufferToSize(0);
          state = 0;
        }
        break;
      default: {
        appendToBuffer(*byte);
        const uint32_t target = (uint32_t{buffer[0]} << 8) | buffer[1];
        if (!followingPointer) {
          offset = cursor;  // the caller continues after the two pointer bytes
          followingPointer = true;
        }
        if (++hops > kMaxPointerHops) {
          fail();
          return;
        }
        waiting.push_back(std::move(labels));
        labels.clear();
        resetBufferToSize(0);
        state = 0;
        cursor = target;
        if (cursor >= length) {
          fail();
          return;
        }
        continue;
      }
    }
    if (cursor >= length) {
      if (followingPointer) fail();
      else offset = cursor;
      return;
    }
  }
}

}  // namespace DnsObjects
