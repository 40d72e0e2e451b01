#include "relay-service/Utf8Text.h"

namespace relay {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the valid sequence at `i`, or 0 with `bad` set to how many bytes
// form the invalid maximal subpart (at least 1).
std::size_t validSequenceAt(const uint8_t* p, std::size_t size, std::size_t i, std::size_t& bad) {
  uint8_t b = p[i];
  if (b < 0x80) return 1;
  std::size_t need;
  uint8_t lo = 0x80, hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    need = 1;
  } else if (b >= 0xE0 && b <= 0xEF) {
    need = 2;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    need = 3;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    bad = 1;
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    uint8_t c = i + k < size ? p[i + k] : 0;
    uint8_t min = k == 1 ? lo : 0x80;
    uint8_t max = k == 1 ? hi : 0xBF;
    if (i + k >= size || c < min || c > max) {
      bad = k;
      return 0;
    }
  }
  return need + 1;
}

}  // namespace

std::string repairedUtf8(std::span<const uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t bad = 0;
    std::size_t n = validSequenceAt(bytes.data(), bytes.size(), i, bad);
    if (n) {
      out.append(reinterpret_cast<const char*>(bytes.data() + i), n);
      i += n;
    } else {
      out.append(kReplacement);
      i += bad;
    }
  }
  return out;
}

std::string repairedUtf8(std::string_view bytes) {
  return repairedUtf8(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

bool isValidUtf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t bad = 0;
    std::size_t n = validSequenceAt(p, bytes.size(), i, bad);
    if (!n) return false;
    i += n;
  }
  return true;
}

std::string removingOccurrences(std::string_view text, std::string_view what) {
  if (what.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  std::size_t from = 0;
  for (;;) {
    std::size_t at = text.find(what, from);
    if (at == std::string_view::npos) break;
    out.append(text.substr(from, at - from));
    from = at + what.size();
  }
  out.append(text.substr(from));
  return out;
}

std::string trimmedWhitespace(std::string_view text) {
  auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
  std::size_t begin = 0, end = text.size();
  while (begin < end && isSpace(text[begin])) ++begin;
  while (end > begin && isSpace(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

}  // namespace relay
