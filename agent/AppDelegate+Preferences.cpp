#include "DefaultAddresses.h"
#include "agent/AppDelegate.h"
#include "platform/foundation/Log.h"

namespace agent {

using platform::boolText;
using platform::NSLog;

void AppDelegate::configureDnsProxy(bool enabled, bool terminate) {
  std::string line = std::string("configure proxy, enabled = ") + boolText(enabled) + ", terminate = " +
                     boolText(terminate);
  NSLog(line);
  relayLog(line);
  if (!manager) return;
  // One load-then-save cycle at a time, in call order: a slow disable
  // cannot land after the enable that follows it.
  proxyCycles_.push_back({enabled, terminate});
  if (!proxyCycleRunning_) startNextProxyCycle();
}

void AppDelegate::startNextProxyCycle() {
  if (proxyCycles_.empty() || !manager) {
    proxyCycles_.clear();
    proxyCycleRunning_ = false;
    if (exitWanted_ && pendingProxyCycles() == 0) exitProcess(0);
    return;
  }
  ProxyCycle cycle = proxyCycles_.front();
  proxyCycles_.pop_front();
  proxyCycleRunning_ = true;
  auto target = manager;
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  target->loadFromPreferences([weak, target, cycle](std::optional<platform::NEError> error) {
    if (auto self = weak.lock()) self->applyDnsProxyConfiguration(error, target, cycle.enabled, cycle.terminate);
  });
}

void AppDelegate::finishProxyCycle() {
  proxyCycleRunning_ = false;
  startNextProxyCycle();
}

std::size_t AppDelegate::pendingProxyCycles() const {
  return proxyCycles_.size() + (proxyCycleRunning_ ? 1 : 0) + pendingRestartHalves_;
}

void AppDelegate::applyDnsProxyConfiguration(const std::optional<platform::NEError>& error,
                                             const std::shared_ptr<platform::NEDNSProxyManager>& target, bool enabled,
                                             bool terminate) {
  if (error) {
    std::string line = "nsError: " + platform::optionalDescription(error);
    NSLog(line);
    relayLog(line);
    finishProxyCycle();
    return;
  }
  platform::NEDNSProxyProviderProtocol protocol;
  protocol.serverAddress = vardeno::defaults::kFixedServerAddress;
  protocol.providerBundleIdentifier = kDNSProxyExtBundleId;

  std::optional<StringMap> old;
  if (target->providerProtocol && target->providerProtocol->providerConfiguration)
    old = stringMap(*target->providerProtocol->providerConfiguration);

  std::string oldLine = "old dns proxy config = " + optionalDescription(old);
  NSLog(oldLine);
  relayLog(oldLine);
  NSLog("parsedConfig  = " + optionalDescription(parsedConfArgs));
  relayLog("parsedConfig = " + optionalDescription(parsedConfArgs));

  std::optional<StringMap> merged = old;
  if (parsedConfArgs) {
    if (!merged) merged = StringMap{};
    for (const auto& [k, v] : *parsedConfArgs) (*merged)[k] = v;
  } else if (!old) {
    merged.reset();
  }
  bool hasUser = parsedConfArgs && !parsedConfArgs->empty() && parsedConfArgs->count("userEmail");
  if (!hasUser && merged) {
    (*merged)["userEmail"] = "";
    (*merged)["orgUnitId"] = "";
  }

  std::string newLine = "*old dns proxy config = " + optionalDescription(merged);
  NSLog(newLine);
  relayLog(newLine);
  NSLog("*parsedConfig  = " + optionalDescription(parsedConfArgs));
  relayLog("*parsedConfig = " + optionalDescription(parsedConfArgs));

  if (merged) protocol.providerConfiguration = toJson(*merged);
  protocol.includeAllNetworks = true;
  protocol.excludeLocalNetworks = true;
  target->providerProtocol = protocol;
  target->isEnabled = enabled;
  target->localizedDescription = "Vardeno Filter";

  std::weak_ptr<AppDelegate> weak = weak_from_this();
  target->saveToPreferences([weak, enabled, terminate](std::optional<platform::NEError> saveError) {
    if (auto self = weak.lock()) self->handleProxySaved(saveError, enabled, terminate);
  });
}

void AppDelegate::handleProxySaved(const std::optional<platform::NEError>& error, bool enabled, bool terminate) {
  if (error) {
    std::string line = "nsError, dnsManager.saveToPreferences: " + platform::errorDebugDescription(*error);
    NSLog(line);
    relayLog(line);
    finishProxyCycle();
    return;
  }
  NSLog(std::string("dnsManager conf is saved, isRootSession: ") + boolText(isRootSession));
  relayLog(std::string("dnsManager conf is saved,isRootSession: ") + boolText(isRootSession));
  if (isRootSession) {
    relayLog("Agent will not be terminated with  - 0, isRootSession: true");
    scheduleRootExit();
  } else if (!enabled && terminate) {
    relayLog("Agent will be terminated with  - 0");
    dnsProxyStopped = true;
    exitProcess(0);
    return;
  }
  finishProxyCycle();
}

void AppDelegate::scheduleRootExit() {
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  env_.mainQueue->asyncAfter(std::chrono::milliseconds(3000), [weak] {
    auto self = weak.lock();
    if (!self) return;
    // Leave once the preferences cycles still pending have run.
    if (self->pendingProxyCycles() > 0) {
      self->exitWanted_ = true;
      return;
    }
    self->exitProcess(0);
  });
}

void AppDelegate::restartProxy() {
  NSLog("restart proxy");
  relayLog("restart proxy");
  configureDnsProxy(false, false);
  ++pendingRestartHalves_;
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  env_.mainQueue->asyncAfter(std::chrono::milliseconds(1000), [weak] {
    auto self = weak.lock();
    if (!self) return;
    --self->pendingRestartHalves_;
    self->configureDnsProxy(true, false);
    if (self->exitWanted_ && self->pendingProxyCycles() == 0) self->exitProcess(0);
  });
}

void AppDelegate::applyContentFilterConfiguration(bool enabled) {
  auto filter = env_.filterManager ? env_.filterManager() : nullptr;
  if (!filter) return;
  filter->localizedDescription = "Vardeno Content";
  filter->isEnabled = enabled;
  platform::NEFilterProviderConfiguration config;
  config.username = "TestUser";
  config.organization = "Acme Inc.";
  config.filterBrowsers = true;
  config.filterSockets = true;
  config.filterPackets = true;
  config.filterDataProviderBundleIdentifier = kContentFilterProviderExtBundleId;
  config.filterPacketProviderBundleIdentifier = kContentFilterProviderExtBundleId;
  if (parsedConfArgs) config.vendorConfiguration = toJson(*parsedConfArgs);
  filter->providerConfiguration = config;

  filter->loadFromPreferences([filter](std::optional<platform::NEError> error) {
    if (error) {
      NSLog("Failed to load the content filter configuration: " + platform::optionalDescription(error));
    } else {
      NSLog("config = " + (filter->providerConfiguration
                               ? "Optional(" + filter->providerConfiguration->description() + ")"
                               : std::string("nil")));
    }
  });
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  filter->saveToPreferences([weak](std::optional<platform::NEError> error) {
    if (error) {
      NSLog("Failed to save the content filter configuration: " + platform::optionalDescription(error));
      return;
    }
    if (auto self = weak.lock()) self->requestSysExtProperties(self->kDNSProxyExtBundleId);
  });
}

}  // namespace agent
