// fuzz-libs: vardeno_dns
// Decodes hostile datagrams as value-type messages; only DecodeError may
// escape. What decodes is printed and re-encoded, and the re-encoding must
// decode again.
#include <cstddef>
#include <cstdint>
#include <span>

#include "dns/value/Message.h"

using namespace DnsToolsSocket;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> input(data, size);
  Message message;
  try {
    message = Message::deserialize(input);
  } catch (const DecodeError&) {
    return 0;
  }
  (void)message.debugDescription();
  std::vector<uint8_t> wire;
  try {
    wire = message.serialize();
  } catch (const EncodeError&) {
    return 0;
  }
  try {
    (void)Message::deserialize(wire);
  } catch (const DecodeError&) {
    // Re-encoding keeps raw record data with the offsets of the original
    // message, so a pointer inside it may no longer aim backwards.
  }
  try {
    (void)Message::deserializeTCP(input);
  } catch (const DecodeError&) {
  }
  return 0;
}
