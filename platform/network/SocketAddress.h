#pragma once
// IPv4/IPv6 socket address with parsing from "ADDR:PORT" / "[ADDR]:PORT".
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "platform/networkextension/NWHostEndpoint.h"

namespace platform {

class SocketAddress {
 public:
  SocketAddress() { std::memset(&storage_, 0, sizeof storage_); }
  // "127.0.0.1:53", "[::1]:53"; none on anything else (port 0-65535).
  static std::optional<SocketAddress> parse(std::string_view text);
  // A numeric address text and a port.
  static std::optional<SocketAddress> fromHostPort(std::string_view host, uint16_t port);
  static std::optional<SocketAddress> fromEndpoint(const NWHostEndpoint& endpoint);
  static SocketAddress fromSockaddr(const sockaddr* address, socklen_t length);

  int family() const { return storage_.ss_family; }
  uint16_t port() const;
  void setPort(uint16_t port);
  std::string host() const;
  // "1.2.3.4:53", "[::1]:53"
  std::string description() const;
  NWHostEndpoint endpoint() const { return NWHostEndpoint{host(), std::to_string(port())}; }
  bool isUnspecified() const;
  // ::ffff:a.b.c.d as the IPv4 address it carries; any other as it is.
  SocketAddress unmapped() const;

  const sockaddr* sockaddrPtr() const { return reinterpret_cast<const sockaddr*>(&storage_); }
  sockaddr* sockaddrPtr() { return reinterpret_cast<sockaddr*>(&storage_); }
  socklen_t length() const;

  friend bool operator==(const SocketAddress& a, const SocketAddress& b);
  size_t hashValue() const;

 private:
  sockaddr_storage storage_;
};

}  // namespace platform

template <>
struct std::hash<platform::SocketAddress> {
  std::size_t operator()(const platform::SocketAddress& a) const noexcept { return a.hashValue(); }
};
