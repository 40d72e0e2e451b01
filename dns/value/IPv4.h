#pragma once
// IPv4 address value of the value-type codec (network byte order inside).
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

struct IPv4 {
  static constexpr uint16_t recordType = 1;

  in_addr address{};

  IPv4() = default;
  explicit IPv4(in_addr a) : address(a) {}
  // Host-order integer: the most significant byte is the first address byte.
  IPv4(uint32_t value);  // NOLINT: also built from integer literals

  // Exactly 4 bytes, first byte first.
  static std::optional<IPv4> fromNetworkBytes(std::span<const uint8_t> bytes);
  // What inet_pton(AF_INET) accepts.
  static std::optional<IPv4> fromPresentation(std::string_view text);

  std::vector<uint8_t> bytes() const;
  std::optional<std::string> presentationString() const;
  std::string presentation() const;
  std::string debugDescription() const { return presentation(); }

  friend bool operator==(const IPv4& a, const IPv4& b) { return a.address.s_addr == b.address.s_addr; }
};

}  // namespace DnsToolsSocket

template <>
struct std::hash<DnsToolsSocket::IPv4> {
  std::size_t operator()(const DnsToolsSocket::IPv4& ip) const noexcept {
    return std::hash<uint32_t>{}(ip.address.s_addr);
  }
};
