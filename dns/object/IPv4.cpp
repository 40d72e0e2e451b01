#include "dns/object/IPv4.h"

#include "dns/object/AddressText.h"

namespace DnsObjects {

using namespace addresstext;

namespace {

constexpr int kBits = 32;

// "/" and one or two digits at the very end; position of the "/" or npos.
size_t suffixPosition(const std::string& text) {
  const size_t slash = text.rfind('/');
  if (slash == std::string::npos) return std::string::npos;
  const size_t digits = text.size() - slash - 1;
  if (digits < 1 || digits > 2) return std::string::npos;
  for (size_t i = slash + 1; i < text.size(); ++i)
    if (!isDigit(text[i])) return std::string::npos;
  return slash;
}

}  // namespace

bool IPv4::isDottedQuad(const std::string& text) {
  const auto parts = split(text, ".");
  if (parts.size() != 4) return false;
  for (const auto& part : parts) {
    if (part.empty() || part.size() > 3) return false;
    for (char c : part)
      if (!isDigit(c)) return false;
    if (leadingDecimal(part) > 255) return false;
  }
  return true;
}

IPv4::IPv4(const std::string& address) : address_(address) {
  std::string text = address;
  if (const size_t slash = suffixPosition(address); slash != std::string::npos) {
    parsedSubnet_ = address.substr(slash + 1);
    const uint32_t value = leadingDecimal(*parsedSubnet_);
    subnetMask_ = static_cast<uint8_t>(value);
    subnet_ = "/" + std::to_string(value);
    if (value > 32) {
      error_ = "Invalid subnet mask";
      return;
    }
    text = address.substr(0, slash);
  }
  addressMinusSufix_ = text;
  parsedAddress_ = parse(text);
}

std::vector<std::string> IPv4::parse(const std::string& text) {
  valid_ = isDottedQuad(text);
  if (!valid_) error_ = "Invalid IPv4 Address";
  return split(text, ".");
}

std::vector<uint32_t> IPv4::partValues() const {
  std::vector<uint32_t> values(4, 0);
  if (!parsedAddress_) return values;
  for (size_t i = 0; i < 4 && i < parsedAddress_->size(); ++i) values[i] = leadingDecimal((*parsedAddress_)[i]);
  return values;
}

std::optional<std::string> IPv4::correctForm() const {
  if (!parsedAddress_) return std::nullopt;
  std::vector<std::string> parts;
  for (const auto& part : *parsedAddress_) parts.push_back(std::to_string(leadingDecimal(part)));
  return join(parts, ".");
}

bool IPv4::correct() const {
  if (addressMinusSufix_ != correctForm()) return false;
  if (subnetMask_ != 32) return parsedSubnet_ && *parsedSubnet_ == subnet_.substr(1);
  return true;
}

std::string IPv4::binaryZeroPad() const {
  return stringByPaddingLeftToLength(bigInteger().toStringWithRadix(2), kBits, "0");
}

std::string IPv4::bitsBase2WithStart(int32_t start, int32_t end) const {
  return clampedSlice(binaryZeroPad(), start, end);
}

std::string IPv4::maskWith(uint8_t bits) const { return bitsBase2WithStart(0, bits); }

bool IPv4::isInSubnet(const IPBaseAddress& other) const {
  if (other.groups() != 4) return false;  // not an IPv4 address
  if (subnetMask_ < other.subnetMask()) return false;
  return maskWith(other.subnetMask()) == other.mask();
}

BigInt IPv4::bigInteger() const {
  if (!valid_) return BigInt();
  std::string hexDigits;
  for (uint32_t value : partValues()) hexDigits += hexText(value, 2);
  return BigInt(hexDigits, 16);
}

std::shared_ptr<IPBaseAddress> IPv4::startAddress() const {
  const std::string bits = clampedSlice(binaryZeroPad(), 0, subnetMask_);
  return fromBigInteger(BigInt(bits + std::string(kBits - bits.size(), '0'), 2));
}

std::shared_ptr<IPBaseAddress> IPv4::endAddress() const {
  const std::string bits = clampedSlice(binaryZeroPad(), 0, subnetMask_);
  return fromBigInteger(BigInt(bits + std::string(kBits - bits.size(), '1'), 2));
}

std::string IPv4::hex() const {
  std::vector<std::string> parts;
  if (parsedAddress_)
    for (const auto& part : *parsedAddress_) parts.push_back(hexText(leadingDecimal(part), 2));
  return join(parts, ":");
}

std::string IPv4::v6Group() const {
  const auto v = partValues();
  return hexText(((v[0] & 0xFF) << 8) | (v[1] & 0xFF)) + ":" + hexText(((v[2] & 0xFF) << 8) | (v[3] & 0xFF));
}

std::string IPv4::reversedForm() const {
  std::vector<std::string> parts = parsedAddress_.value_or(std::vector<std::string>{});
  std::vector<std::string> reversed(parts.rbegin(), parts.rend());
  return join(reversed, ".") + ".in-addr.arpa.";
}

std::vector<uint8_t> IPv4::data() const {
  std::vector<uint8_t> out;
  for (uint32_t value : partValues()) out.push_back(static_cast<uint8_t>(value));
  return out;
}

std::shared_ptr<IPv4> IPv4::ipv4FromInteger(uint32_t value) { return ipv4FromHex(hexText(value, 2)); }

std::shared_ptr<IPv4> IPv4::ipv4FromHex(const std::string& hex) {
  std::string digits;
  for (char c : hex)
    if (c != ':') digits.push_back(c);
  digits = stringByPaddingLeftToLength(digits, 8, "0");
  std::vector<std::string> parts;
  for (size_t i = 0; i < 8; i += 2) parts.push_back(std::to_string(leadingHex(digits.substr(i, 2))));
  return std::make_shared<IPv4>(join(parts, "."));
}

std::shared_ptr<IPv4> IPv4::fromBigInteger(const BigInt& value) {
  BigInt copy = value;
  if (value.isNegative() || copy.bitCount() > kBits) {
    auto invalid = std::make_shared<IPv4>("");
    invalid->error_ = "Value out of range for an IPv4 address";
    return invalid;
  }
  return ipv4FromInteger(static_cast<uint32_t>(value.intValue()));
}

}  // namespace DnsObjects
