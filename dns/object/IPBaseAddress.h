#pragma once
// Common interface of the object-codec address classes IPv4 and IPv6.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dns/object/BigInt.h"

namespace DnsObjects {

class IPBaseAddress {
 public:
  virtual ~IPBaseAddress() = default;

  virtual bool valid() const = 0;
  virtual const std::optional<std::string>& error() const = 0;
  virtual bool correct() const = 0;
  virtual const std::string& address() const = 0;
  virtual uint8_t groups() const = 0;
  virtual bool v4() const = 0;
  virtual const std::string& subnet() const = 0;
  virtual uint8_t subnetMask() const = 0;
  virtual const std::optional<std::string>& parsedSubnet() const = 0;
  virtual const std::optional<std::vector<std::string>>& parsedAddress() const = 0;
  virtual std::string mask() const = 0;

  virtual std::optional<std::string> correctForm() const = 0;
  virtual BigInt bigInteger() const = 0;
  virtual std::shared_ptr<IPBaseAddress> startAddress() const = 0;
  virtual std::shared_ptr<IPBaseAddress> endAddress() const = 0;
  virtual std::string maskWith(uint8_t bits) const = 0;
  virtual std::string bitsBase2WithStart(int32_t start, int32_t end) const = 0;
  // False across address families.
  virtual bool isInSubnet(const IPBaseAddress& other) const = 0;
  virtual std::string binaryZeroPad() const = 0;
  virtual std::string reversedForm() const = 0;
  virtual std::vector<uint8_t> data() const = 0;
};

// Left-pads `text` with repetitions of `pad` up to `length` characters.
std::string stringByPaddingLeftToLength(const std::string& text, size_t length, const std::string& pad);

}  // namespace DnsObjects
