#pragma once
// IPv6 address value of the value-type codec. Equality and hashing go by
// the presentation text.
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace DnsToolsSocket {

struct IPv6 {
  static constexpr uint16_t recordType = 28;

  in6_addr address{};

  IPv6() = default;
  explicit IPv6(in6_addr a) : address(a) {}

  // Exactly 16 bytes, in order.
  static std::optional<IPv6> fromNetworkBytes(std::span<const uint8_t> bytes);
  // What inet_pton(AF_INET6) accepts.
  static std::optional<IPv6> fromPresentation(std::string_view text);

  std::vector<uint8_t> bytes() const;
  std::optional<std::string> presentationString() const;
  std::string presentation() const;
  std::string debugDescription() const { return presentation(); }

  friend bool operator==(const IPv6& a, const IPv6& b) { return a.presentation() == b.presentation(); }
};

}  // namespace DnsToolsSocket

template <>
struct std::hash<DnsToolsSocket::IPv6> {
  std::size_t operator()(const DnsToolsSocket::IPv6& ip) const noexcept {
    return std::hash<std::string>{}(ip.presentation());
  }
};
