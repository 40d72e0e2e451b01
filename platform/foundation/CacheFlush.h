#pragma once
// The command that flushes the system's DNS cache (systemd-resolved here).
#include <string>
#include <vector>

namespace platform {

inline std::vector<std::string> cacheFlushCommand() { return {"resolvectl", "flush-caches"}; }

}  // namespace platform
