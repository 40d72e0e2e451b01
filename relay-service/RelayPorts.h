#pragma once
// The relay's two UDP ports, overridable from the environment.
#include <cstdint>
#include <optional>
#include <string_view>

namespace relay {

inline constexpr uint16_t kExtensionPort = 9898;
inline constexpr uint16_t kAgentPort = 9899;
inline constexpr const char* kExtensionPortVariable = "VARDENO_RELAY_EXT_PORT";
inline constexpr const char* kAgentPortVariable = "VARDENO_RELAY_AGENT_PORT";

// `fallback` when unset or empty; none when the text is not a port number.
std::optional<uint16_t> portSetting(const char* value, uint16_t fallback);

}  // namespace relay
