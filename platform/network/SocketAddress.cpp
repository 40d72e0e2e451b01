#include "platform/network/SocketAddress.h"

#include <arpa/inet.h>

#include <charconv>

namespace platform {

std::optional<SocketAddress> SocketAddress::fromHostPort(std::string_view host, uint16_t port) {
  std::string text(host);
  SocketAddress a;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&a.storage_);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&a.storage_);
  if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    return a;
  }
  std::memset(&a.storage_, 0, sizeof a.storage_);
  if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    return a;
  }
  return std::nullopt;
}

std::optional<SocketAddress> SocketAddress::parse(std::string_view text) {
  std::string_view host, port;
  if (!text.empty() && text.front() == '[') {
    auto close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') return std::nullopt;
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    auto colon = text.rfind(':');
    if (colon == std::string_view::npos || text.find(':') != colon) return std::nullopt;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  unsigned value = 0;
  auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (port.empty() || ec != std::errc() || end != port.data() + port.size() || value > 65535) return std::nullopt;
  return fromHostPort(host, static_cast<uint16_t>(value));
}

std::optional<SocketAddress> SocketAddress::fromEndpoint(const NWHostEndpoint& endpoint) {
  unsigned value = 0;
  const auto& p = endpoint.port;
  auto [end, ec] = std::from_chars(p.data(), p.data() + p.size(), value);
  if (p.empty() || ec != std::errc() || end != p.data() + p.size() || value > 65535) return std::nullopt;
  return fromHostPort(endpoint.hostname, static_cast<uint16_t>(value));
}

SocketAddress SocketAddress::fromSockaddr(const sockaddr* address, socklen_t length) {
  SocketAddress a;
  if (address && length > 0 && length <= static_cast<socklen_t>(sizeof a.storage_))
    std::memcpy(&a.storage_, address, length);
  return a;
}

uint16_t SocketAddress::port() const {
  if (family() == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&storage_)->sin_port);
  if (family() == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_port);
  return 0;
}

void SocketAddress::setPort(uint16_t port) {
  if (family() == AF_INET) reinterpret_cast<sockaddr_in*>(&storage_)->sin_port = htons(port);
  if (family() == AF_INET6) reinterpret_cast<sockaddr_in6*>(&storage_)->sin6_port = htons(port);
}

std::string SocketAddress::host() const {
  char buffer[INET6_ADDRSTRLEN] = {0};
  if (family() == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&storage_)->sin_addr, buffer, sizeof buffer);
  else if (family() == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_addr, buffer, sizeof buffer);
  return buffer;
}

std::string SocketAddress::description() const {
  if (family() == AF_INET6) return "[" + host() + "]:" + std::to_string(port());
  return host() + ":" + std::to_string(port());
}

bool SocketAddress::isUnspecified() const {
  if (family() == AF_INET) return reinterpret_cast<const sockaddr_in*>(&storage_)->sin_addr.s_addr == INADDR_ANY;
  if (family() == AF_INET6) return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_addr);
  return true;
}

SocketAddress SocketAddress::unmapped() const {
  if (family() != AF_INET6) return *this;
  const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage_);
  if (!IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) return *this;
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = in6->sin6_port;
  std::memcpy(&in.sin_addr, in6->sin6_addr.s6_addr + 12, 4);
  return fromSockaddr(reinterpret_cast<const sockaddr*>(&in), sizeof in);
}

socklen_t SocketAddress::length() const {
  if (family() == AF_INET) return sizeof(sockaddr_in);
  if (family() == AF_INET6) return sizeof(sockaddr_in6);
  return 0;
}

bool operator==(const SocketAddress& a, const SocketAddress& b) {
  if (a.family() != b.family()) return false;
  if (a.family() == AF_INET) {
    auto* x = reinterpret_cast<const sockaddr_in*>(&a.storage_);
    auto* y = reinterpret_cast<const sockaddr_in*>(&b.storage_);
    return x->sin_port == y->sin_port && x->sin_addr.s_addr == y->sin_addr.s_addr;
  }
  if (a.family() == AF_INET6) {
    auto* x = reinterpret_cast<const sockaddr_in6*>(&a.storage_);
    auto* y = reinterpret_cast<const sockaddr_in6*>(&b.storage_);
    return x->sin6_port == y->sin6_port && std::memcmp(&x->sin6_addr, &y->sin6_addr, 16) == 0 &&
           x->sin6_scope_id == y->sin6_scope_id;
  }
  return true;
}

size_t SocketAddress::hashValue() const {
  uint64_t h = 1469598103934665603ULL;
  auto mix = [&h](const void* p, size_t n) {
    auto* b = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i) h = (h ^ b[i]) * 1099511628211ULL;
  };
  if (family() == AF_INET) {
    auto* x = reinterpret_cast<const sockaddr_in*>(&storage_);
    mix(&x->sin_addr, 4);
    mix(&x->sin_port, 2);
  } else if (family() == AF_INET6) {
    auto* x = reinterpret_cast<const sockaddr_in6*>(&storage_);
    mix(&x->sin6_addr, 16);
    mix(&x->sin6_port, 2);
  }
  return static_cast<size_t>(h);
}

}  // namespace platform
