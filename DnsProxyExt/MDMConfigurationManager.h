#pragma once
// EDNS(0) option values for queries to the filtering resolver, from the
// provider configuration and the application-group switches "send_ip",
// "send_timezone" and the text "ip".
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "DnsProxyExt/ProviderConfig.h"

namespace platform {
class UserDefaults;
}

namespace dnsproxyext {

class XpcUdpHelper;

class MDMConfigurationManager {
 public:
  using OptionValues = std::map<std::string, std::string>;

  // Sources that tests replace.
  struct Environment {
    // The application-group suite; null when it cannot be opened.
    std::function<std::shared_ptr<platform::UserDefaults>()> groupDefaults;
    // The extension's own suite, holding the managed configuration.
    std::function<std::shared_ptr<platform::UserDefaults>()> standardDefaults;
    std::function<std::string()> timeZone;
    static Environment system();
  };

  static constexpr const char* kGroupId = "group.com.vardeno.ruzadevirozo";
  static constexpr const char* kBundleId = "com.vardeno.ruzadevirozo.proxyext";
  const std::string kFeedbackKey = "com.apple.feedback.managed";
  const std::string kConfigurationKey = "com.apple.configuration.managed";

  // Created once, on first use.
  static MDMConfigurationManager& shared();

  // Tests make their own instances; the extension uses shared().
  explicit MDMConfigurationManager(Environment environment = Environment::system());
  ~MDMConfigurationManager();
  MDMConfigurationManager(const MDMConfigurationManager&) = delete;
  MDMConfigurationManager& operator=(const MDMConfigurationManager&) = delete;

  static ConfDictionary buildConfDictionary(const nlohmann::json& vendorData) {
    return dnsproxyext::buildConfDictionary(vendorData);
  }

  void initConfigurationForMacOs(const ConfDictionary& confData);
  // A copy of the option values for one read; safe from any thread.
  std::optional<OptionValues> getValuesForInject(const std::string& appSenderId);
  std::optional<std::string> checkMDMValues() const;
  std::optional<std::string> getAdminPassword() const;
  bool isTestMode() const;
  void didChange() const;

  OptionValues valuesForInject() const;
  std::optional<ConfDictionary> configuration() const;

 private:
  void initValues(const std::optional<ConfDictionary>& confData);
  OptionValues getHardcodedMDMConf() const;
  std::shared_ptr<const ConfDictionary> configurationSnapshot() const;

  // The application-group switches, parsed once per version of the suite.
  struct Switches {
    std::optional<bool> sendIp;
    int64_t sendTimezone = 2;
    std::optional<std::string> ipText;
  };
  std::shared_ptr<const Switches> currentSwitches() const;

  Environment environment_;
  mutable std::mutex mutex_;
  std::shared_ptr<const OptionValues> valuesForInject_ = std::make_shared<const OptionValues>();  // replaced, never changed
  std::shared_ptr<const ConfDictionary> configuration_;
  mutable std::shared_ptr<const Switches> switches_;
  mutable std::shared_ptr<platform::UserDefaults> switchesSuite_;
  mutable std::shared_ptr<const nlohmann::json> switchesSource_;
  std::unique_ptr<XpcUdpHelper> xpcUdpHelper_;
};

}  // namespace dnsproxyext
