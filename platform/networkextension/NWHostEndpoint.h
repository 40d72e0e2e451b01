#pragma once
// Host endpoint of a flow: an address text and a port text.
#include <cstddef>
#include <functional>
#include <string>

namespace platform {

struct NWHostEndpoint {
  std::string hostname;
  std::string port;

  // "127.0.0.1:53", "[::1]:53"
  std::string description() const {
    if (hostname.find(':') != std::string::npos) return "[" + hostname + "]:" + port;
    return hostname + ":" + port;
  }
  friend bool operator==(const NWHostEndpoint&, const NWHostEndpoint&) = default;
};

}  // namespace platform

template <>
struct std::hash<platform::NWHostEndpoint> {
  std::size_t operator()(const platform::NWHostEndpoint& e) const noexcept {
    std::size_t h = std::hash<std::string>{}(e.hostname);
    return h ^ (std::hash<std::string>{}(e.port) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
  }
};
