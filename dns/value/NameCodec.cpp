#include "dns/value/NameCodec.h"

#include "dns/value/DecodeError.h"
#include "dns/value/EncodeError.h"

namespace DnsToolsSocket {

bool isValidUtf8(std::string_view s) {
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    const auto c = static_cast<uint8_t>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      const auto cc = static_cast<uint8_t>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

namespace {

// Labels read through a pointer come from the target's text split at ".":
// empty pieces are dropped.
void appendSplit(std::string& out, std::string_view label) {
  size_t start = 0;
  while (start <= label.size()) {
    size_t dot = label.find('.', start);
    if (dot == std::string_view::npos) dot = label.size();
    if (dot > start) {
      out.append(label.substr(start, dot - start));
      out.push_back('.');
    }
    start = dot + 1;
  }
}

}  // namespace

std::string deserializeName(dnswire::WireReader& reader) {
  const auto buffer = reader.data();
  size_t pos = reader.offset();
  size_t start = pos;   // a pointer must aim before the start of the name being read
  size_t resume = 0;    // where the outer cursor ends once a pointer was followed
  bool followed = false;
  int hops = 0;
  size_t wireLength = 1;
  std::string out;

  for (;;) {
    const auto b = reader.u8At(pos);
    if (!b) throw DecodeError(DecodeError::invalidLabelOffset);
    if (*b >= 0xC0) {
      const auto value = reader.u16At(pos);
      if (!value) throw DecodeError(DecodeError::invalidIntegerSize);
      const size_t target = *value & 0x3FFF;
      if (target >= start) throw DecodeError(DecodeError::invalidLabelOffset);
      if (++hops > kMaxPointerHops) throw DecodeError(DecodeError::invalidLabelOffset);
      if (!followed) {
        resume = pos + 2;
        followed = true;
      }
      start = pos = target;
      continue;
    }
    if (*b == 0) {
      ++pos;
      break;
    }
    const size_t length = *b;
    if (buffer.size() - pos - 1 < length) throw DecodeError(DecodeError::invalidLabelSize);
    const std::string_view label(reinterpret_cast<const char*>(buffer.data() + pos + 1), length);
    if (!isValidUtf8(label)) throw DecodeError(DecodeError::unicodeDecodingError);
    wireLength += 1 + length;
    if (wireLength > kMaxNameWireLength) throw DecodeError(DecodeError::invalidLabelSize);
    if (followed) {
      appendSplit(out, label);
    } else {
      out.append(label);
      out.push_back('.');
    }
    pos += 1 + length;
  }
  reader.seek(followed ? resume : pos);
  if (out.empty()) out.push_back('.');
  return out;
}

void serializeName(dnswire::WireWriter& onto, Labels& labels, std::string_view name) {
  std::string key(name);
  for (;;) {
    if (auto it = labels.find(key); it != labels.end()) {
      onto.u16(static_cast<uint16_t>(0xC000 | it->second));
      return;
    }
    // Offsets past 14 bits cannot be pointed at: such names are written in full.
    if (onto.size() <= 0x3FFF) labels.emplace(key, onto.size());

    std::string_view rest(key);
    while (!rest.empty() && rest.front() == '.') rest.remove_prefix(1);
    if (rest.empty()) {
      onto.u8(0);
      return;
    }
    const size_t dot = rest.find('.');
    const std::string_view first = rest.substr(0, dot);
    if (first.size() > kMaxLabelLength) throw EncodeError(EncodeError::labelTooLong);
    onto.u8(static_cast<uint8_t>(first.size()));
    onto.bytes({reinterpret_cast<const uint8_t*>(first.data()), first.size()});
    if (dot == std::string_view::npos) {
      onto.u8(0);
      return;
    }

    // The remaining pieces, joined with "." and without a final dot.
    std::string next;
    std::string_view tail = rest.substr(dot + 1);
    size_t s = 0;
    while (s <= tail.size()) {
      size_t d = tail.find('.', s);
      if (d == std::string_view::npos) d = tail.size();
      if (d > s) {
        if (!next.empty()) next.push_back('.');
        next.append(tail.substr(s, d - s));
      }
      s = d + 1;
    }
    if (next.empty()) {
      onto.u8(0);
      return;
    }
    key = std::move(next);
  }
}

}  // namespace DnsToolsSocket
