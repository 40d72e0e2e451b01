#pragma once
// Dotted-quad address with an optional "/n" suffix; keeps the text it was
// given, its parts as written, a validity flag and an error text.
#include "dns/object/IPBaseAddress.h"

namespace DnsObjects {

class IPv4 : public IPBaseAddress {
 public:
  explicit IPv4(const std::string& address);  // initWithAddress:

  std::vector<std::string> parse(const std::string& text);

  bool valid() const override { return valid_; }
  const std::optional<std::string>& error() const override { return error_; }
  bool correct() const override;
  const std::string& address() const override { return address_; }
  uint8_t groups() const override { return 4; }
  bool v4() const override { return true; }
  const std::string& subnet() const override { return subnet_; }
  uint8_t subnetMask() const override { return subnetMask_; }
  const std::optional<std::string>& parsedSubnet() const override { return parsedSubnet_; }
  const std::optional<std::vector<std::string>>& parsedAddress() const override { return parsedAddress_; }
  const std::string& addressMinusSufix() const { return addressMinusSufix_; }
  std::string mask() const override { return maskWith(subnetMask_); }

  std::optional<std::string> correctForm() const override;
  bool isInSubnet(const IPBaseAddress& other) const override;
  std::string maskWith(uint8_t bits) const override;
  std::string bitsBase2WithStart(int32_t start, int32_t end) const override;
  std::string binaryZeroPad() const override;
  BigInt bigInteger() const override;
  std::shared_ptr<IPBaseAddress> startAddress() const override;
  std::shared_ptr<IPBaseAddress> endAddress() const override;
  std::string hex() const;
  std::string v6Group() const;
  std::string reversedForm() const override;
  std::vector<uint8_t> data() const override;

  static std::shared_ptr<IPv4> ipv4FromInteger(uint32_t value);
  static std::shared_ptr<IPv4> ipv4FromHex(const std::string& hex);
  // An invalid address for a negative value or one over 32 bits.
  static std::shared_ptr<IPv4> fromBigInteger(const BigInt& value);

  // Whole text is four decimal parts of 0-255 (leading zeros allowed).
  static bool isDottedQuad(const std::string& text);

 private:
  std::vector<uint32_t> partValues() const;

  bool valid_ = false;
  std::string address_;
  std::string subnet_ = "/32";
  uint8_t subnetMask_ = 32;
  std::optional<std::string> parsedSubnet_;
  std::optional<std::string> error_;
  std::string addressMinusSufix_;
  std::optional<std::vector<std::string>> parsedAddress_;
};

}  // namespace DnsObjects
