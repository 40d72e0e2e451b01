#include "platform/networkextension/ContentFilterManager.h"

#include "platform/foundation/Defaults.h"
#include "platform/foundation/Describe.h"
#include "platform/networkextension/DnsProxyManager.h"
#include "platform/foundation/JsonFields.h"

namespace platform {

nlohmann::json NEFilterProviderConfiguration::toJson() const {
  nlohmann::json out = {{"username", username},
                        {"organization", organization},
                        {"filterBrowsers", filterBrowsers},
                        {"filterSockets", filterSockets},
                        {"filterPackets", filterPackets},
                        {"filterDataProviderBundleIdentifier", filterDataProviderBundleIdentifier},
                        {"filterPacketProviderBundleIdentifier", filterPacketProviderBundleIdentifier}};
  if (vendorConfiguration) out["vendorConfiguration"] = *vendorConfiguration;
  return out;
}

std::optional<NEFilterProviderConfiguration> NEFilterProviderConfiguration::fromJson(const nlohmann::json& value) {
  if (!value.is_object()) return std::nullopt;
  NEFilterProviderConfiguration c;
  if (!takeField(value, "username", c.username) || !takeField(value, "organization", c.organization) ||
      !takeField(value, "filterBrowsers", c.filterBrowsers) || !takeField(value, "filterSockets", c.filterSockets) ||
      !takeField(value, "filterPackets", c.filterPackets) ||
      !takeField(value, "filterDataProviderBundleIdentifier", c.filterDataProviderBundleIdentifier) ||
      !takeField(value, "filterPacketProviderBundleIdentifier", c.filterPacketProviderBundleIdentifier))
    return std::nullopt;
  auto vendor = value.find("vendorConfiguration");
  if (vendor != value.end() && !vendor->is_null()) {
    if (!vendor->is_object()) return std::nullopt;
    c.vendorConfiguration = *vendor;
  }
  return c;
}

std::string NEFilterProviderConfiguration::description() const {
  return "<NEFilterProviderConfiguration: " + jsonText(toJson()) + ">";
}

NEFilterManager::NEFilterManager(std::string path, std::shared_ptr<DispatchQueue> completionQueue,
                                 std::shared_ptr<DispatchQueue> ioQueue)
    : path_(std::move(path)), completionQueue_(std::move(completionQueue)), ioQueue_(std::move(ioQueue)) {}

std::string NEFilterManager::defaultPath() { return machineStoreRoot() + "/networkextension/contentfilter.json"; }

std::shared_ptr<NEFilterManager> NEFilterManager::shared() {
  static auto manager = std::make_shared<NEFilterManager>(defaultPath(), DispatchQueue::main(),
                                                          DispatchQueue::makeSerial("NEFilterManager - preferences"));
  return manager;
}

void NEFilterManager::loadFromPreferences(Completion completion) {
  ioQueue_->async([self = shared_from_this(), this, completion = std::move(completion)] {
    PreferencesFileText file = readPreferencesFile(path_);
    std::optional<NEError> error = file.error;
    std::optional<NEFilterProviderConfiguration> config;
    bool enabled = false;
    std::string description;
    if (!error && file.text) {
      nlohmann::json root = nlohmann::json::parse(*file.text, nullptr, false);
      bool ok = root.is_object() && takeField(root, "enabled", enabled) &&
                takeField(root, "localizedDescription", description);
      if (ok) {
        auto it = root.find("providerConfiguration");
        if (it != root.end() && !it->is_null()) {
          config = NEFilterProviderConfiguration::fromJson(*it);
          ok = config.has_value();
        }
      }
      if (!ok) error = NEError{NEConfigurationErrorInvalid, kNEConfigurationErrorDomain, path_ + ": not valid filter preferences"};
    }
    completionQueue_->async([self, this, error, config, enabled, description, completion] {
      if (!error) {
        providerConfiguration = config;
        isEnabled = enabled;
        localizedDescription = description;
      }
      if (completion) completion(error);
    });
  });
}

void NEFilterManager::saveToPreferences(Completion completion) {
  nlohmann::json root = {{"enabled", isEnabled}, {"localizedDescription", localizedDescription}};
  if (providerConfiguration) root["providerConfiguration"] = providerConfiguration->toJson();
  ioQueue_->async([self = shared_from_this(), this, text = jsonText(root, 2) + "\n", completion = std::move(completion)] {
    std::optional<NEError> error = writePreferencesFile(path_, text);
    completionQueue_->async([self, error, completion] {
      if (completion) completion(error);
    });
  });
}

}  // namespace platform
