#pragma once
// The address protocol that HostRecord is generic over.
#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace DnsToolsSocket {

template <class T>
concept IP = requires(const T& ip, std::span<const uint8_t> bytes, std::string_view text) {
  { T::fromNetworkBytes(bytes) } -> std::same_as<std::optional<T>>;
  { T::fromPresentation(text) } -> std::same_as<std::optional<T>>;
  { ip.presentation() } -> std::same_as<std::string>;
  { ip.bytes() } -> std::same_as<std::vector<uint8_t>>;
  { ip.debugDescription() } -> std::same_as<std::string>;
  { T::recordType } -> std::convertible_to<uint16_t>;
};

}  // namespace DnsToolsSocket
