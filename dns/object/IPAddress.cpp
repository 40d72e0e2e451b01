#include "dns/object/IPAddress.h"

#include "dns/value/Hex.h"
#include "dns/object/IPv4.h"
#include "dns/object/IPv6.h"
#include "platform/foundation/NamedException.h"

namespace DnsObjects {

IPAddress::IPAddress(const std::string& address) {
  auto v4 = std::make_shared<IPv4>(address);
  if (v4->valid()) ip_ = std::move(v4);
  else ip_ = std::make_shared<IPv6>(address);
}

IPAddress::IPAddress(std::shared_ptr<IPBaseAddress> ip) : ip_(std::move(ip)) {
  if (!ip_) ip_ = std::make_shared<IPv6>("");
}

std::shared_ptr<IPAddress> IPAddress::addressFromString(const std::string& address) {
  return std::make_shared<IPAddress>(address);
}

std::shared_ptr<IPAddress> IPAddress::addressWithData(std::span<const uint8_t> bytes) {
  if (bytes.size() == 4) {
    const uint32_t value = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
    return std::make_shared<IPAddress>(IPv4::ipv4FromInteger(value));
  }
  if (bytes.size() == 16) return std::make_shared<IPAddress>(IPv6::fromBigInteger(BigInt(dnswire::toHex(bytes), 16)));
  throw platform::NamedException("ipInvalidLength",
                                 "The provided data length does not correspond to neighter a IPv4 nor a IPv6 address");
}

bool IPAddress::isInSubnet(const IPBaseAddress& other) const {
  if (const auto* wrapper = dynamic_cast<const IPAddress*>(&other)) return ip_->isInSubnet(*wrapper->underlyingAddress());
  return ip_->isInSubnet(other);
}

}  // namespace DnsObjects
