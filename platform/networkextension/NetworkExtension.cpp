#include <atomic>
#include <mutex>

#include "platform/networkextension/NetworkExtension.h"

namespace platform {

uint64_t NEAppProxyUDPFlow::nextFlowHash() {
  static std::atomic<uint64_t> counter{0};
  return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::string description(NEProviderStopReason reason) {
  return "NEProviderStopReason(rawValue: " + std::to_string(static_cast<int>(reason)) + ")";
}

std::string NEDNSSettings::description() const {
  std::string text = "NEDNSSettings(servers: [";
  for (size_t i = 0; i < servers.size(); ++i) {
    if (i) text += ", ";
    text += "\"" + servers[i] + "\"";
  }
  return text + "])";
}

namespace {
std::mutex& settingsMutex() {
  static std::mutex m;
  return m;
}
}  // namespace

std::optional<std::vector<NEDNSSettings>> NEDNSProxyProvider::systemDNSSettings() const {
  std::lock_guard lock(settingsMutex());
  return systemDNSSettings_;
}

void NEDNSProxyProvider::setSystemDNSSettings(std::optional<std::vector<NEDNSSettings>> settings) {
  std::lock_guard lock(settingsMutex());
  systemDNSSettings_ = std::move(settings);
}

}  // namespace platform
