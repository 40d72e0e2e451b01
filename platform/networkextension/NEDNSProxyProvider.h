#pragma once
// DNS proxy provider base class and the system-extension entry.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/networkextension/NEAppProxyUDPFlow.h"
#include "platform/networkextension/NEError.h"
#include "platform/networkextension/NWHostEndpoint.h"

namespace platform {

enum class NEProviderStopReason : int {
  none = 0,
  userInitiated = 1,
  providerFailed = 2,
  noNetworkAvailable = 3,
  unrecoverableNetworkChange = 4,
  providerDisabled = 5,
  authenticationCanceled = 6,
  configurationFailed = 7,
  idleTimeout = 8,
  configurationDisabled = 9,
  configurationRemoved = 10,
  superceded = 11,
  userLogout = 12,
  userSwitch = 13,
  connectionFailed = 14,
  sleep = 15,
  appUpdate = 16,
};

// "NEProviderStopReason(rawValue: 9)", as the platform prints the enum.
std::string description(NEProviderStopReason reason);

struct NEDNSSettings {
  std::vector<std::string> servers;
  std::string description() const;
};

class NEDNSProxyProvider : public std::enable_shared_from_this<NEDNSProxyProvider> {
 public:
  virtual ~NEDNSProxyProvider() = default;

  virtual void startProxy(std::optional<nlohmann::json> options,
                          std::function<void(std::optional<NEError>)> completionHandler) = 0;
  virtual void stopProxy(NEProviderStopReason reason, std::function<void()> completionHandler) = 0;
  virtual void sleep(std::function<void()> completionHandler) { completionHandler(); }
  virtual void wake() {}
  // true keeps the flow in the provider; false hands it back to the system.
  virtual bool handleNewUDPFlow(std::shared_ptr<NEAppProxyUDPFlow> flow, NWHostEndpoint initialRemoteEndpoint) = 0;
  // Whether flows need their source application's identity; when not, the
  // host skips the look-up of the socket's owner and leaves it empty.
  virtual bool needsSourceAppIdentity() const { return true; }

  // The resolvers the system would use; set by the host before start.
  std::optional<std::vector<NEDNSSettings>> systemDNSSettings() const;
  void setSystemDNSSettings(std::optional<std::vector<NEDNSSettings>> settings);

 private:
  std::optional<std::vector<NEDNSSettings>> systemDNSSettings_;
};

class NEProvider {
 public:
  using ProviderFactory = std::function<std::shared_ptr<NEDNSProxyProvider>()>;
  // The provider class of the extension (what the bundle would name).
  static void setProviderFactory(ProviderFactory factory);
  // Starts the host (listeners, preference watcher, signals) with the
  // settings given to ExtensionHost::configure; returns at once.
  // Call dispatchMain() afterwards.
  static void startSystemExtensionMode();
};

}  // namespace platform
