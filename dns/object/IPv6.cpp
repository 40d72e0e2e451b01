#include "dns/object/IPv6.h"

#include <algorithm>

#include "dns/object/AddressText.h"
#include "dns/object/IPv4.h"

namespace DnsObjects {

using namespace addresstext;

namespace {

constexpr int kBits = 128;
constexpr char kMarker[] = "compact";

// First "/" followed by one to three digits and then "%" or the end.
std::optional<std::pair<size_t, size_t>> findSuffix(const std::string& text) {
  for (size_t slash = text.find('/'); slash != std::string::npos; slash = text.find('/', slash + 1)) {
    size_t end = slash + 1;
    while (end < text.size() && isDigit(text[end])) ++end;
    const size_t digits = end - slash - 1;
    if (digits >= 1 && digits <= 3 && (end == text.size() || text[end] == '%')) return std::pair{slash, end};
  }
  return std::nullopt;
}

// Length of the UTF-8 sequence starting with this byte (1 for a stray byte).
size_t utf8Length(unsigned char lead) {
  if (lead >= 0xF0 && lead < 0xF8) return 4;
  if (lead >= 0xE0) return lead < 0xF0 ? 3 : 1;
  if (lead >= 0xC0) return 2;
  return 1;
}

// Matches of ([0-9a-f]{5,}|:{3,}|[^:]:$|^:[^:]|\/$), scanned left to right.
std::vector<std::string> badShapes(const std::string& text) {
  std::vector<std::string> matches;
  const size_t n = text.size();
  size_t pos = 0;
  while (pos < n) {
    size_t run = pos;
    while (run < n && isHexDigit(text[run])) ++run;
    if (run - pos >= 5) {
      matches.push_back(text.substr(pos, run - pos));
      pos = run;
      continue;
    }
    run = pos;
    while (run < n && text[run] == ':') ++run;
    if (run - pos >= 3) {
      matches.push_back(text.substr(pos, run - pos));
      pos = run;
      continue;
    }
    if (text[pos] != ':' && pos + 2 == n && text[pos + 1] == ':') {
      matches.push_back(text.substr(pos, 2));
      pos += 2;
      continue;
    }
    if (pos == 0 && n >= 2 && text[0] == ':' && text[1] != ':') {
      matches.push_back(text.substr(0, 2));
      pos += 2;
      continue;
    }
    if (text[pos] == '/' && pos + 1 == n) {
      matches.push_back("/");
      ++pos;
      continue;
    }
    ++pos;
  }
  return matches;
}

}  // namespace

IPv6::IPv6(const std::string& address, uint8_t groups) : address_(address), groups_(groups) {
  std::string text = address;
  if (auto suffix = findSuffix(address)) {
    parsedSubnet_ = address.substr(suffix->first + 1, suffix->second - suffix->first - 1);
    const uint32_t value = leadingDecimal(*parsedSubnet_);
    if (value > 128) {
      error_ = "Invalid subnet mask";
      return;
    }
    subnetMask_ = static_cast<uint8_t>(value);
    subnet_ = "/" + std::to_string(value);
    text = address.substr(0, suffix->first);
  }
  // Any other "/" is not a suffix we understand.
  if (text.find('/') != std::string::npos) {
    error_ = "Invalid subnet mask";
    return;
  }
  if (const size_t percent = text.find('%'); percent != std::string::npos) {
    zone_ = text.substr(percent);
    text.erase(percent);
  }
  addressMinusSuffix_ = text;
  parsedAddress_ = parse(text);
}

void IPv6::fail(std::string error) {
  valid_ = false;
  error_ = std::move(error);
}

std::string IPv6::parsev4inv6(const std::string& text) {
  auto parts = split(text, ":");
  const std::string& last = parts.back();
  if (!IPv4::isDottedQuad(last)) return text;
  const IPv4 quad(last);
  for (const auto& part : split(last, ".")) {
    if (part.size() >= 2 && part[0] == '0') {
      fail("IPv4 addresses cannot have leading zeroes");
      return text;
    }
  }
  v4_ = true;
  parts.back() = quad.v6Group();
  return join(parts, ":");
}

std::optional<std::vector<std::string>> IPv6::parse(const std::string& input) {
  const std::string text = parsev4inv6(input);
  if (error_) return std::nullopt;

  std::vector<std::string> badCharacters;
  for (size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (isHexDigit(c) || c == ':' || c == '/' || c == '%') {
      ++i;
      continue;
    }
    const size_t length = std::min(utf8Length(static_cast<unsigned char>(c)), text.size() - i);
    badCharacters.push_back(text.substr(i, length));
    i += length;
  }
  if (!badCharacters.empty()) {
    fail("Bad character" + std::string(badCharacters.size() == 1 ? "" : "s") +
         " detected in address: " + join(badCharacters, ""));
    return std::nullopt;
  }
  if (auto shapes = badShapes(text); !shapes.empty()) {
    fail("Address failed regex: " + join(shapes, " "));
    return std::nullopt;
  }

  std::vector<std::string> groups;
  const auto halves = split(text, "::");
  if (halves.size() == 2) {
    auto first = halves[0].empty() ? std::vector<std::string>{} : split(halves[0], ":");
    auto last = halves[1].empty() ? std::vector<std::string>{} : split(halves[1], ":");
    const int64_t remaining = int64_t{groups_} - static_cast<int64_t>(first.size() + last.size());
    if (remaining <= 0) {
      fail("Error parsing groups");
      return std::nullopt;
    }
    elidedGroups_ = static_cast<uint8_t>(remaining);
    elisionBegin_ = static_cast<uint8_t>(first.size());
    elisionEnd_ = static_cast<uint8_t>(elidedGroups_ + elisionBegin_);
    groups = std::move(first);
    groups.insert(groups.end(), static_cast<size_t>(remaining), "0");
    groups.insert(groups.end(), last.begin(), last.end());
  } else if (halves.size() == 1) {
    groups = split(text, ":");
    elidedGroups_ = 0;
  } else {
    fail("Too many :: groups found");
    return std::nullopt;
  }

  // An empty group (the empty text has one) reads as 0; the count below rejects it.
  for (auto& group : groups) {
    if (group.size() > 4) {
      fail("Error parsing groups");
      return std::nullopt;
    }
    group = hexText(leadingHex(group));
  }
  if (groups.size() != groups_) {
    fail("Incorrect number of groups found");
    return std::nullopt;
  }
  valid_ = true;
  return groups;
}

std::vector<uint32_t> IPv6::groupValues() const {
  std::vector<uint32_t> values;
  if (parsedAddress_)
    for (const auto& group : *parsedAddress_) values.push_back(leadingHex(group));
  return values;
}

std::vector<std::string> IPv6::compact(const std::vector<std::string>& groups, size_t first, size_t last) {
  std::vector<std::string> out;
  for (size_t i = 0; i < first && i < groups.size(); ++i) out.push_back(groups[i]);
  out.push_back(kMarker);
  for (size_t i = last + 1; i < groups.size(); ++i) out.push_back(groups[i]);
  return out;
}

std::optional<std::string> IPv6::correctForm() const {
  if (!parsedAddress_) return std::nullopt;
  const auto values = groupValues();
  // Longest run of two or more zero groups; the first wins a tie.
  size_t bestStart = 0, bestLength = 0;
  for (size_t i = 0; i < values.size();) {
    if (values[i] != 0) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < values.size() && values[j] == 0) ++j;
    if (j - i >= 2 && j - i > bestLength) {
      bestStart = i;
      bestLength = j - i;
    }
    i = j;
  }
  std::vector<std::string> parts;
  for (uint32_t value : values) parts.push_back(hexText(value));
  if (bestLength == 0) return join(parts, ":");
  parts = compact(parts, bestStart, bestStart + bestLength - 1);
  std::string text = join(parts, ":");
  const std::string marker = kMarker;
  if (text == marker) return std::string("::");
  if (text.compare(0, marker.size(), marker) == 0) text.replace(0, marker.size(), ":");
  else if (text.size() >= marker.size() && text.compare(text.size() - marker.size(), marker.size(), marker) == 0)
    text.replace(text.size() - marker.size(), marker.size(), ":");
  else if (const size_t at = text.find(marker); at != std::string::npos)
    text.erase(at, marker.size());
  return text;
}

bool IPv6::correct() const {
  if (addressMinusSuffix_ != correctForm()) return false;
  if (subnetMask_ != 128) return parsedSubnet_ && *parsedSubnet_ == subnet_.substr(1);
  return true;
}

std::string IPv6::canonicalForm() const {
  std::vector<std::string> parts;
  for (uint32_t value : groupValues()) parts.push_back(hexText(value, 4));
  return join(parts, ":");
}

BigInt IPv6::bigInteger() const {
  if (!valid_) return BigInt();
  std::string digits;
  for (uint32_t value : groupValues()) digits += hexText(value, 4);
  return BigInt(digits, 16);
}

std::string IPv6::binaryZeroPad() const {
  return stringByPaddingLeftToLength(bigInteger().toStringWithRadix(2), kBits, "0");
}

std::string IPv6::bitsBase2WithStart(int32_t start, int32_t end) const {
  return clampedSlice(binaryZeroPad(), start, end);
}

std::string IPv6::maskWith(uint8_t bits) const { return bitsBase2WithStart(0, bits); }

bool IPv6::isInSubnet(const IPBaseAddress& other) const {
  if (other.groups() == 4) return false;  // an IPv4 address
  if (subnetMask_ < other.subnetMask()) return false;
  return maskWith(other.subnetMask()) == other.mask();
}

std::shared_ptr<IPBaseAddress> IPv6::startAddress() const {
  const std::string bits = clampedSlice(binaryZeroPad(), 0, subnetMask_);
  return fromBigInteger(BigInt(bits + std::string(kBits - bits.size(), '0'), 2));
}

std::shared_ptr<IPBaseAddress> IPv6::endAddress() const {
  const std::string bits = clampedSlice(binaryZeroPad(), 0, subnetMask_);
  return fromBigInteger(BigInt(bits + std::string(kBits - bits.size(), '1'), 2));
}

BigInt IPv6::bitsWithStart(int32_t start, int32_t end) const { return BigInt(bitsBase2WithStart(start, end), 2); }

std::optional<std::string> IPv6::bitsBase16WithStart(int32_t start, int32_t end) const {
  start = std::clamp(start, 0, kBits);
  end = std::clamp(end, start, kBits);
  if ((end - start) % 4 != 0) return std::nullopt;
  const size_t width = static_cast<size_t>((end - start) / 4);
  return stringByPaddingLeftToLength(bitsWithStart(start, end).toStringWithRadix(16), width, "0");
}

std::optional<std::string> IPv6::v4inv6() const {
  if (!valid_ || !parsedAddress_ || parsedAddress_->size() < 6) return std::nullopt;
  const std::vector<std::string> firstSix(parsedAddress_->begin(), parsedAddress_->begin() + 6);
  const IPv6 head(join(firstSix, ":"), 6);
  const std::string prefix = head.correctForm().value_or("");
  const auto quad = IPv4::ipv4FromHex(bitsBase16WithStart(96, 128).value_or(""));
  const std::string separator = !prefix.empty() && prefix.back() == ':' ? "" : ":";
  return prefix + separator + quad->address();
}

std::optional<std::string> IPv6::decimal() const {
  if (!valid_) return std::nullopt;
  std::vector<std::string> parts;
  for (uint32_t value : groupValues()) parts.push_back(decimalText(value, 5));
  return join(parts, ":");
}

std::string IPv6::reversedForm() const {
  std::string digits;
  for (char c : canonicalForm())
    if (c != ':') digits.push_back(c);
  digits = clampedSlice(digits, 0, subnetMask_ / 4);
  std::string out;
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
    out.push_back(*it);
    out.push_back('.');
  }
  if (out.empty() || out.back() != '.') out.push_back('.');
  return out + "ip6.arpa.";
}

std::vector<uint8_t> IPv6::data() const {
  std::vector<uint8_t> out(16, 0);
  const auto values = groupValues();
  if (!valid_ || values.size() != 8) return out;
  for (size_t i = 0; i < 8; ++i) {
    out[2 * i] = static_cast<uint8_t>(values[i] >> 8);
    out[2 * i + 1] = static_cast<uint8_t>(values[i]);
  }
  return out;
}

std::shared_ptr<IPv6> IPv6::fromBigInteger(const BigInt& value) {
  BigInt copy = value;
  if (value.isNegative() || copy.bitCount() > kBits) {
    auto invalid = std::make_shared<IPv6>("");
    invalid->error_ = "Value out of range for an IPv6 address";
    invalid->valid_ = false;
    invalid->parsedAddress_.reset();
    return invalid;
  }
  std::string digits = stringByPaddingLeftToLength(value.toStringWithRadix(16), 32, "0");
  for (char& c : digits)
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  std::vector<std::string> groups;
  for (size_t i = 0; i < 32; i += 4) groups.push_back(digits.substr(i, 4));
  return std::make_shared<IPv6>(join(groups, ":"));
}

}  // namespace DnsObjects
