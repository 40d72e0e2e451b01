#pragma once
// Domain names on the wire: decompression (iterative, bounded) and
// compression against the message's dictionary.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "dns/value/WireReader.h"
#include "dns/value/WireWriter.h"

namespace DnsToolsSocket {

// Name text -> offset at which it was written in the message.
using Labels = std::unordered_map<std::string, size_t>;

// Longest label the encoder writes: a length byte of 192 or more is a pointer.
inline constexpr size_t kMaxLabelLength = 191;
// Pointer hops one decoded name may take. With the wire length below this
// bounds the work per name, and so per message, without refusing any valid one.
inline constexpr int kMaxPointerHops = 127;
// Longest decoded name in wire bytes (labels with their length bytes, plus the root).
inline constexpr size_t kMaxNameWireLength = 255;

// Reads one name at the cursor; the cursor ends after the name (after the
// first pointer when compressed). Throws DecodeError.
std::string deserializeName(dnswire::WireReader& reader);

// Writes `name`, as a pointer where the dictionary already holds it at an
// offset a pointer can reach. Throws EncodeError.
void serializeName(dnswire::WireWriter& onto, Labels& labels, std::string_view name);

// Strict UTF-8 check (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUtf8(std::string_view bytes);

}  // namespace DnsToolsSocket
