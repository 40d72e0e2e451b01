#include "dns/value/IPv6.h"

#include <arpa/inet.h>

#include <cstring>

namespace DnsToolsSocket {

std::optional<IPv6> IPv6::fromNetworkBytes(std::span<const uint8_t> bytes) {
  if (bytes.size() != 16) return std::nullopt;
  IPv6 ip;
  std::memcpy(&ip.address, bytes.data(), 16);
  return ip;
}

std::optional<IPv6> IPv6::fromPresentation(std::string_view text) {
  std::string terminated(text);  // inet_pton needs a C string
  if (terminated.find('\0') != std::string::npos) return std::nullopt;
  IPv6 ip;
  if (inet_pton(AF_INET6, terminated.c_str(), &ip.address) != 1) return std::nullopt;
  return ip;
}

std::vector<uint8_t> IPv6::bytes() const {
  std::vector<uint8_t> out(16);
  std::memcpy(out.data(), &address, 16);
  return out;
}

std::optional<std::string> IPv6::presentationString() const {
  char buffer[INET6_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET6, &address, buffer, sizeof buffer) == nullptr) return std::nullopt;
  return std::string(buffer);
}

std::string IPv6::presentation() const { return presentationString().value_or("Invalid IPv6 address"); }

}  // namespace DnsToolsSocket
