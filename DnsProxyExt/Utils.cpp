#include "DnsProxyExt/Utils.h"

#include <limits>
#include <stdexcept>

#include "dns/value/Hex.h"

namespace dnsproxyext {

Utils::DNSHost::DNSHost(std::string_view text) {
  size_t colon = text.find(':');
  address = std::string(text.substr(0, colon));
  if (colon == std::string_view::npos) return;
  std::string_view rest = text.substr(colon + 1);
  std::string_view second = rest.substr(0, rest.find(':'));
  if (auto value = parseDecimalInt64(second)) port = *value;
}

std::string Utils::DNSHost::debugDescription() const { return address + ":" + std::to_string(port); }

std::optional<int64_t> parseDecimalInt64(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  // Accumulate as a negative number so that INT64_MIN fits.
  int64_t value = 0;
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    int digit = c - '0';
    if (value < (kMin + digit) / 10) return std::nullopt;
    value = value * 10 - digit;
  }
  if (!negative) {
    if (value == kMin) return std::nullopt;
    value = -value;
  }
  return value;
}

std::vector<std::string> parseCommaDelimitedArr(std::string_view text) {
  std::vector<std::string> pieces;
  if (text.empty()) return pieces;
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    pieces.emplace_back(text.substr(start, comma - start));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return pieces;
}

std::string hexEncodedString(std::span<const uint8_t> data, HexEncodingOptions options) {
  const char* digits = options.contains(HexEncodingOptions::upperCase) ? dnswire::kHexUpper : dnswire::kHexLower;
  std::string out;
  out.reserve(data.size() * 3);
  for (uint8_t b : data) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 0x0F]);
    out.push_back(' ');
  }
  return out;
}

std::string hexDescription(std::span<const uint8_t> data) {
  std::string out = " ";
  out.reserve(1 + data.size() * 3);
  for (uint8_t b : data) {
    out.push_back(' ');
    out.push_back(dnswire::kHexLower[b >> 4]);
    out.push_back(dnswire::kHexLower[b & 0x0F]);
  }
  return out;
}

std::vector<uint8_t> subdata(std::span<const uint8_t> data, int64_t lower, int64_t upper) {
  // Checked before upper + 1 so that nothing overflows.
  if (lower < 0 || upper == std::numeric_limits<int64_t>::max() || upper < lower - 1 ||
      static_cast<uint64_t>(upper + 1) > data.size()) {
    throw std::out_of_range("subdata: range " + std::to_string(lower) + "..." + std::to_string(upper) +
                            " outside a buffer of " + std::to_string(data.size()) + " bytes");
  }
  return std::vector<uint8_t>(data.begin() + lower, data.begin() + (upper + 1));
}

std::vector<uint8_t> bytes(std::span<const uint8_t> data) { return {data.begin(), data.end()}; }

std::string decodeUtf8Lossy(std::span<const uint8_t> data) {
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(data.size());
  size_t i = 0;
  while (i < data.size()) {
    uint8_t lead = data[i];
    size_t length = 0;
    uint8_t low = 0x80, high = 0xBF;
    if (lead < 0x80) {
      out.push_back(static_cast<char>(lead));
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    // Take the longest valid prefix; replace it (or the lone byte) when short.
    size_t taken = 1;
    if (length) {
      while (taken < length && i + taken < data.size()) {
        uint8_t b = data[i + taken];
        uint8_t lo = taken == 1 ? low : 0x80, hi = taken == 1 ? high : 0xBF;
        if (b < lo || b > hi) break;
        ++taken;
      }
    }
    if (length && taken == length) {
      out.append(reinterpret_cast<const char*>(data.data() + i), length);
    } else {
      out += kReplacement;
    }
    i += taken;
  }
  return out;
}

std::vector<std::any> datagramsToObjects(const std::vector<std::vector<uint8_t>>& datagrams) {
  return std::vector<std::any>(datagrams.begin(), datagrams.end());
}

std::vector<std::vector<uint8_t>> objectsToDatagrams(const std::vector<std::any>& objects) {
  std::vector<std::vector<uint8_t>> out;
  out.reserve(objects.size());
  for (const auto& object : objects) {
    if (const auto* datagram = std::any_cast<std::vector<uint8_t>>(&object)) out.push_back(*datagram);
  }
  return out;
}

}  // namespace dnsproxyext
