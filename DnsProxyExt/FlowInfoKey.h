#pragma once
// Keys of flow information; carried by the extension, used by nothing.
#include <optional>
#include <string_view>

namespace dnsproxyext {

enum class FlowInfoKey { localPort, remoteAddress };

inline std::string_view rawValue(FlowInfoKey key) {
  return key == FlowInfoKey::localPort ? "localPort" : "remoteAddress";
}

inline std::optional<FlowInfoKey> flowInfoKey(std::string_view raw) {
  if (raw == "localPort") return FlowInfoKey::localPort;
  if (raw == "remoteAddress") return FlowInfoKey::remoteAddress;
  return std::nullopt;
}

}  // namespace dnsproxyext
