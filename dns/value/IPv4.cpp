#include "dns/value/IPv4.h"

#include <arpa/inet.h>

#include <cstring>

namespace DnsToolsSocket {

IPv4::IPv4(uint32_t value) { address.s_addr = htonl(value); }

std::optional<IPv4> IPv4::fromNetworkBytes(std::span<const uint8_t> bytes) {
  if (bytes.size() != 4) return std::nullopt;
  IPv4 ip;
  std::memcpy(&ip.address, bytes.data(), 4);
  return ip;
}

std::optional<IPv4> IPv4::fromPresentation(std::string_view text) {
  std::string terminated(text);  // inet_pton needs a C string
  if (terminated.find('\0') != std::string::npos) return std::nullopt;
  IPv4 ip;
  if (inet_pton(AF_INET, terminated.c_str(), &ip.address) != 1) return std::nullopt;
  return ip;
}

std::vector<uint8_t> IPv4::bytes() const {
  std::vector<uint8_t> out(4);
  std::memcpy(out.data(), &address, 4);
  return out;
}

std::optional<std::string> IPv4::presentationString() const {
  char buffer[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &address, buffer, sizeof buffer) == nullptr) return std::nullopt;
  return std::string(buffer);
}

std::string IPv4::presentation() const { return presentationString().value_or("Invalid IPv4 address"); }

}  // namespace DnsToolsSocket
