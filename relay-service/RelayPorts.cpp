#include "relay-service/RelayPorts.h"

#include <charconv>
#include <cstring>

namespace relay {

std::optional<uint16_t> portSetting(const char* value, uint16_t fallback) {
  if (!value || !*value) return fallback;
  std::string_view text(value);
  unsigned port = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (error != std::errc() || end != text.data() + text.size() || port > 65535) return std::nullopt;
  return static_cast<uint16_t>(port);
}

}  // namespace relay
