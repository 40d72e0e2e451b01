#pragma once
// Wrapper that picks IPv4 or IPv6 for a text or for raw address bytes and
// forwards the address interface to it.
#include <span>

#include "dns/object/IPBaseAddress.h"

namespace DnsObjects {

class IPAddress : public IPBaseAddress {
 public:
  explicit IPAddress(const std::string& address);  // initWithAddress:
  explicit IPAddress(std::shared_ptr<IPBaseAddress> ip);  // initWithIP:

  static std::shared_ptr<IPAddress> addressFromString(const std::string& address);
  // 4 or 16 bytes in network order; any other length raises "ipInvalidLength".
  static std::shared_ptr<IPAddress> addressWithData(std::span<const uint8_t> bytes);

  const std::shared_ptr<IPBaseAddress>& underlyingAddress() const { return ip_; }

  bool valid() const override { return ip_->valid(); }
  bool correct() const override { return ip_->correct(); }
  const std::optional<std::string>& error() const override { return ip_->error(); }
  const std::string& address() const override { return ip_->address(); }
  uint8_t groups() const override { return ip_->groups(); }
  bool v4() const override { return ip_->v4(); }
  const std::string& subnet() const override { return ip_->subnet(); }
  uint8_t subnetMask() const override { return ip_->subnetMask(); }
  const std::optional<std::string>& parsedSubnet() const override { return ip_->parsedSubnet(); }
  const std::optional<std::vector<std::string>>& parsedAddress() const override { return ip_->parsedAddress(); }
  std::string mask() const override { return ip_->mask(); }
  std::optional<std::string> correctForm() const override { return ip_->correctForm(); }
  BigInt bigInteger() const override { return ip_->bigInteger(); }
  std::shared_ptr<IPBaseAddress> startAddress() const override { return ip_->startAddress(); }
  std::shared_ptr<IPBaseAddress> endAddress() const override { return ip_->endAddress(); }
  std::string maskWith(uint8_t bits) const override { return ip_->maskWith(bits); }
  std::string bitsBase2WithStart(int32_t start, int32_t end) const override {
    return ip_->bitsBase2WithStart(start, end);
  }
  bool isInSubnet(const IPBaseAddress& other) const override;
  std::string binaryZeroPad() const override { return ip_->binaryZeroPad(); }
  std::string reversedForm() const override { return ip_->reversedForm(); }
  std::vector<uint8_t> data() const override { return ip_->data(); }

 private:
  std::shared_ptr<IPBaseAddress> ip_;
};

}  // namespace DnsObjects
