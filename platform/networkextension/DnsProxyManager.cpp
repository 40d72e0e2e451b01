#include "platform/networkextension/DnsProxyManager.h"

#include <cstring>

#include "platform/foundation/Defaults.h"
#include "platform/foundation/Describe.h"
#include "platform/foundation/Log.h"
#include "platform/networkextension/ProviderPreferences.h"

namespace platform {

std::string errorDebugDescription(const NEError& error) {
  return "Error Domain=" + error.domain + " Code=" + std::to_string(error.code) + " " + quotedText(error.description);
}

std::string optionalDescription(const std::optional<NEError>& error) {
  return error ? "Optional(" + errorDebugDescription(*error) + ")" : "nil";
}

NEDNSProxyManager::NEDNSProxyManager(std::string path, std::shared_ptr<DispatchQueue> completionQueue,
                                     std::shared_ptr<DispatchQueue> ioQueue)
    : path_(std::move(path)), completionQueue_(std::move(completionQueue)), ioQueue_(std::move(ioQueue)) {}

std::string NEDNSProxyManager::defaultPath() { return ProviderPreferences::defaultPath(); }

std::shared_ptr<NEDNSProxyManager> NEDNSProxyManager::shared() {
  static auto manager = std::make_shared<NEDNSProxyManager>(
      defaultPath(), DispatchQueue::main(), DispatchQueue::makeSerial("NEDNSProxyManager - preferences"));
  return manager;
}

void NEDNSProxyManager::loadFromPreferences(Completion completion) {
  ioQueue_->async([self = shared_from_this(), this, completion = std::move(completion)] {
    PreferencesFileText file = readPreferencesFile(path_);
    std::optional<ProviderPreferences> prefs;
    std::optional<NEError> error = file.error;
    if (!error && file.text) {
      std::string why;
      prefs = ProviderPreferences::parse(*file.text, &why);
      if (!prefs) {
        // Read as absent: kept aside for inspection, replaced by fresh ones.
        if (auto aside = setPreferencesFileAside(path_)) {
          NSLog("[NEDNSProxyManager] " + path_ + ": " + why + "; " + aside->description);
          error = aside;
        } else {
          NSLog("[NEDNSProxyManager] " + path_ + ": " + why + "; kept as " + path_ + ".corrupt, read as absent");
          if (auto fresh = writePreferencesFile(path_, jsonText(ProviderPreferences{}.toJson(), 2) + "\n"))
            NSLog("[NEDNSProxyManager] cannot save fresh preferences: " + fresh->description);
          file.text.reset();
        }
      }
    }
    bool missing = !error && !file.text;
    completionQueue_->async([self, this, prefs, error, missing, completion] {
      if (prefs) {
        isEnabled = prefs->enabled;
        localizedDescription = prefs->localizedDescription;
        bool hasProtocol = !prefs->providerBundleIdentifier.empty() || !prefs->serverAddress.empty() ||
                           prefs->providerConfiguration.has_value();
        if (hasProtocol) {
          providerProtocol = NEDNSProxyProviderProtocol{prefs->serverAddress, prefs->providerBundleIdentifier,
                                                        prefs->providerConfiguration, prefs->includeAllNetworks,
                                                        prefs->excludeLocalNetworks};
        } else {
          providerProtocol.reset();
        }
      } else if (missing) {
        providerProtocol.reset();
        isEnabled = false;
        localizedDescription.clear();
      }
      if (completion) completion(error);
    });
  });
}

void NEDNSProxyManager::saveToPreferences(Completion completion) {
  ProviderPreferences prefs;
  prefs.enabled = isEnabled;
  prefs.localizedDescription = localizedDescription;
  if (providerProtocol) {
    prefs.serverAddress = providerProtocol->serverAddress;
    prefs.providerBundleIdentifier = providerProtocol->providerBundleIdentifier;
    prefs.providerConfiguration = providerProtocol->providerConfiguration;
    prefs.includeAllNetworks = providerProtocol->includeAllNetworks;
    prefs.excludeLocalNetworks = providerProtocol->excludeLocalNetworks;
  }
  ioQueue_->async([self = shared_from_this(), this, prefs = std::move(prefs), completion = std::move(completion)] {
    std::optional<NEError> error = writePreferencesFile(path_, jsonText(prefs.toJson(), 2) + "\n");
    completionQueue_->async([self, error, completion] {
      if (completion) completion(error);
    });
  });
}

}  // namespace platform
