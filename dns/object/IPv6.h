#pragma once
// IPv6 address text with an optional "/n" suffix and "%zone"; parses to
// eight groups (six when built for the IPv6 part of a v4-in-v6 form).
#include "dns/object/IPBaseAddress.h"

namespace DnsObjects {

class IPv6 : public IPBaseAddress {
 public:
  explicit IPv6(const std::string& address, uint8_t groups = 8);  // initWithAddress:andGroups:

  std::string parsev4inv6(const std::string& text);
  std::optional<std::vector<std::string>> parse(const std::string& text);

  bool valid() const override { return valid_; }
  const std::optional<std::string>& error() const override { return error_; }
  bool correct() const override;
  const std::string& address() const override { return address_; }
  uint8_t groups() const override { return groups_; }
  bool v4() const override { return v4_; }
  const std::string& subnet() const override { return subnet_; }
  uint8_t subnetMask() const override { return subnetMask_; }
  const std::optional<std::string>& parsedSubnet() const override { return parsedSubnet_; }
  const std::optional<std::vector<std::string>>& parsedAddress() const override { return parsedAddress_; }
  const std::string& addressMinusSuffix() const { return addressMinusSuffix_; }
  const std::string& zone() const { return zone_; }
  uint8_t elidedGroups() const { return elidedGroups_; }
  uint8_t elisionBegin() const { return elisionBegin_; }
  uint8_t elisionEnd() const { return elisionEnd_; }
  bool canonical() const { return addressMinusSuffix_ == canonicalForm(); }
  std::string mask() const override { return maskWith(subnetMask_); }

  std::optional<std::string> correctForm() const override;
  bool isInSubnet(const IPBaseAddress& other) const override;
  std::string maskWith(uint8_t bits) const override;
  std::string bitsBase2WithStart(int32_t start, int32_t end) const override;
  std::string binaryZeroPad() const override;
  BigInt bigInteger() const override;
  std::shared_ptr<IPBaseAddress> startAddress() const override;
  std::shared_ptr<IPBaseAddress> endAddress() const override;
  std::string canonicalForm() const;
  BigInt bitsWithStart(int32_t start, int32_t end) const;
  std::optional<std::string> bitsBase16WithStart(int32_t start, int32_t end) const;
  std::optional<std::string> v4inv6() const;
  std::optional<std::string> decimal() const;
  std::string reversedForm() const override;
  std::vector<uint8_t> data() const override;

  // Groups before first, the marker "compact", then the groups after last.
  static std::vector<std::string> compact(const std::vector<std::string>& groups, size_t first, size_t last);
  // An invalid address for a negative value or one over 128 bits.
  static std::shared_ptr<IPv6> fromBigInteger(const BigInt& value);

 private:
  std::vector<uint32_t> groupValues() const;
  void fail(std::string error);

  std::string subnet_ = "/128";
  uint8_t subnetMask_ = 128;
  std::string zone_;
  std::string address_;
  std::optional<std::string> parsedSubnet_;
  bool valid_ = false;
  bool v4_ = false;
  std::optional<std::string> error_;
  std::string addressMinusSuffix_;
  std::optional<std::vector<std::string>> parsedAddress_;
  uint8_t groups_ = 8;
  uint8_t elidedGroups_ = 0;
  uint8_t elisionBegin_ = 0;
  uint8_t elisionEnd_ = 0;
};

}  // namespace DnsObjects
