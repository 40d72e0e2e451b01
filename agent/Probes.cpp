#include "agent/Probes.h"

#include <arpa/inet.h>

#include "DnsProxyExt/Utils.h"

namespace agent {
namespace {

std::vector<std::string> split(const std::string& text, char at) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  for (;;) {
    std::size_t next = text.find(at, start);
    pieces.push_back(text.substr(start, next == std::string::npos ? std::string::npos : next - start));
    if (next == std::string::npos) return pieces;
    start = next + 1;
  }
}

bool isAddress(const std::string& text) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, text.c_str(), buffer) == 1 || inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

std::string utf8(const std::string& bytes) {
  return dnsproxyext::decodeUtf8Lossy(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

}  // namespace

std::string runShellCommand(platform::SystemProbes& probes, const std::vector<std::string>& argv) {
  return utf8(probes.commandOutput(argv));
}

std::string readSerialNumber(platform::SystemProbes& probes) { return utf8(probes.serialNumber()); }

std::map<std::string, std::vector<std::string>> probeDnsServers(platform::SystemProbes& probes) {
  std::map<std::string, std::vector<std::string>> servers;
  auto services = split(utf8(probes.listAllNetworkServices()), '\n');
  if (services.size() == 1) return servers;
  for (std::size_t i = 1; i < services.size(); ++i) {
    const std::string& service = services[i];
    std::string output = utf8(probes.dnsServers(service));
    if (output.empty() || output.find("Error") != std::string::npos) continue;
    std::vector<std::string> kept;
    for (const auto& line : split(output, '\n')) {
      if (isAddress(line)) kept.push_back(line);
    }
    servers[service] = kept;
  }
  return servers;
}

std::vector<platform::RunningApplication> countRunningInstances(
    const std::vector<platform::RunningApplication>& applications, const std::string& bundleId) {
  std::vector<platform::RunningApplication> out;
  for (const auto& app : applications) {
    if (app.bundleIdentifier == bundleId) out.push_back(app);
  }
  return out;
}

}  // namespace agent
