#pragma once
// The DNS proxy preferences the agent saves and the extension host obeys:
// $VARDENO_ROOT/networkextension/dnsproxy.json.
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace platform {

inline constexpr const char* kProxyExtBundleIdentifier = "com.vardeno.ruzadevirozo.proxyext";

struct ProviderPreferences {
  bool enabled = false;
  std::string localizedDescription;
  std::string providerBundleIdentifier;
  std::string serverAddress;
  std::optional<nlohmann::json> providerConfiguration;  // any JSON object
  bool includeAllNetworks = false;
  bool excludeLocalNetworks = false;

  // None (with `error`) when the text is not such a JSON object.
  static std::optional<ProviderPreferences> parse(std::string_view text, std::string* error = nullptr);
  nlohmann::json toJson() const;

  // True when the extension's provider should run with these.
  bool runsProvider() const { return enabled && providerBundleIdentifier == kProxyExtBundleIdentifier; }
  // {"VendorData": providerConfiguration}, none without a configuration.
  std::optional<nlohmann::json> startOptions() const;

  static std::string defaultPath();
  // None when missing or unreadable; a bad file also sets `error`.
  static std::optional<ProviderPreferences> load(const std::string& path, std::string* error = nullptr);
  // Atomic (temp file and rename), mode 0600, folders made as needed.
  bool save(const std::string& path, std::string* error = nullptr) const;

  friend bool operator==(const ProviderPreferences&, const ProviderPreferences&) = default;
};

}  // namespace platform
