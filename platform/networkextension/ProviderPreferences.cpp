#include "platform/networkextension/ProviderPreferences.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/foundation/Defaults.h"
#include "platform/foundation/Describe.h"
#include "platform/foundation/JsonFields.h"
#include "platform/networkextension/PreferencesFiles.h"

namespace platform {

std::optional<ProviderPreferences> ProviderPreferences::parse(std::string_view text, std::string* error) {
  nlohmann::json root = nlohmann::json::parse(text, nullptr, false);
  if (root.is_discarded() || !root.is_object()) {
    if (error) *error = "not a JSON object";
    return std::nullopt;
  }
  ProviderPreferences p;
  if (!takeField(root, "enabled", p.enabled, error) || !takeField(root, "localizedDescription", p.localizedDescription, error))
    return std::nullopt;
  auto protocol = root.find("providerProtocol");
  if (protocol != root.end() && !protocol->is_null()) {
    if (!protocol->is_object()) {
      if (error) *error = "\"providerProtocol\" is not an object";
      return std::nullopt;
    }
    if (!takeField(*protocol, "providerBundleIdentifier", p.providerBundleIdentifier, error) ||
        !takeField(*protocol, "serverAddress", p.serverAddress, error) ||
        !takeField(*protocol, "includeAllNetworks", p.includeAllNetworks, error) ||
        !takeField(*protocol, "excludeLocalNetworks", p.excludeLocalNetworks, error))
      return std::nullopt;
    auto config = protocol->find("providerConfiguration");
    if (config != protocol->end() && !config->is_null()) {
      if (!config->is_object()) {
        if (error) *error = "\"providerConfiguration\" is not an object";
        return std::nullopt;
      }
      p.providerConfiguration = *config;
    }
  }
  return p;
}

nlohmann::json ProviderPreferences::toJson() const {
  nlohmann::json protocol = {{"providerBundleIdentifier", providerBundleIdentifier},
                             {"serverAddress", serverAddress},
                             {"includeAllNetworks", includeAllNetworks},
                             {"excludeLocalNetworks", excludeLocalNetworks}};
  if (providerConfiguration) protocol["providerConfiguration"] = *providerConfiguration;
  return {{"enabled", enabled}, {"localizedDescription", localizedDescription}, {"providerProtocol", protocol}};
}

std::optional<nlohmann::json> ProviderPreferences::startOptions() const {
  if (!providerConfiguration) return std::nullopt;
  return nlohmann::json{{"VendorData", *providerConfiguration}};
}

std::string ProviderPreferences::defaultPath() { return machineStoreRoot() + "/networkextension/dnsproxy.json"; }

std::optional<ProviderPreferences> ProviderPreferences::load(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream text;
  text << in.rdbuf();
  return parse(text.str(), error);
}

bool ProviderPreferences::save(const std::string& path, std::string* error) const {
  auto failure = writePreferencesFile(path, jsonText(toJson(), 2) + "\n");
  if (failure && error) *error = failure->description;
  return !failure;
}

}  // namespace platform
