#pragma once
// System probes of the agent's start-up. Commands are argv vectors, never
// shell text.
#include <map>
#include <string>
#include <vector>

#include "platform/foundation/SystemProbes.h"

namespace agent {

// Standard output and standard error of the command, as UTF-8 text.
std::string runShellCommand(platform::SystemProbes& probes, const std::vector<std::string>& argv);
std::string readSerialNumber(platform::SystemProbes& probes);
// Network-service name to its DNS servers (IPv4 or IPv6 lines only).
std::map<std::string, std::vector<std::string>> probeDnsServers(platform::SystemProbes& probes);
std::vector<platform::RunningApplication> countRunningInstances(
    const std::vector<platform::RunningApplication>& applications, const std::string& bundleId);

}  // namespace agent
