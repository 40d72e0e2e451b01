#pragma once
// NEFilterManager stand-in: the content-filter preferences in
// $VARDENO_ROOT/networkextension/contentfilter.json, loaded and saved like
// the DNS proxy preferences (worker queue, completions on the main queue).
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/dispatch/Dispatch.h"
#include "platform/networkextension/NEError.h"

namespace platform {

struct NEFilterProviderConfiguration {
  std::string username;
  std::string organization;
  bool filterBrowsers = false;
  bool filterSockets = false;
  bool filterPackets = false;
  std::string filterDataProviderBundleIdentifier;
  std::string filterPacketProviderBundleIdentifier;
  std::optional<nlohmann::json> vendorConfiguration;  // a JSON object

  nlohmann::json toJson() const;
  // None when the value is not such an object.
  static std::optional<NEFilterProviderConfiguration> fromJson(const nlohmann::json& value);
  // The platform's printed form, for log lines.
  std::string description() const;
};

class NEFilterManager : public std::enable_shared_from_this<NEFilterManager> {
 public:
  using Completion = std::function<void(std::optional<NEError>)>;

  NEFilterManager(std::string path, std::shared_ptr<DispatchQueue> completionQueue,
                  std::shared_ptr<DispatchQueue> ioQueue);
  static std::shared_ptr<NEFilterManager> shared();
  static std::string defaultPath();

  void loadFromPreferences(Completion completion);
  void saveToPreferences(Completion completion);

  std::optional<NEFilterProviderConfiguration> providerConfiguration;
  bool isEnabled = false;
  std::string localizedDescription;

 private:
  std::string path_;
  std::shared_ptr<DispatchQueue> completionQueue_;
  std::shared_ptr<DispatchQueue> ioQueue_;
};

}  // namespace platform
