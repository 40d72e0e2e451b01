#include "DnsProxyExt/MDMConfigurationManager.h"

#include <time.h>

#include <cctype>
#include <cstdint>

#include "DnsProxyExt/XpcUdpHelper.h"
#include "platform/foundation/Defaults.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/TimeZone.h"

namespace dnsproxyext {

namespace {

constexpr const char* kLoopback = "127.0.0.1";
constexpr const char* kHardcodedOrganization = "vardeno-hardcoded-org";

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

const std::string* find(const ConfDictionary& map, const std::string& key) {
  auto it = map.find(key);
  return it == map.end() ? nullptr : &it->second;
}

std::string describeOptional(const ConfDictionary* conf) {
  return conf ? "Optional(" + describe(*conf) + ")" : "nil";
}

}  // namespace

MDMConfigurationManager::Environment MDMConfigurationManager::Environment::system() {
  Environment env;
  // One instance each, so their parsed contents are kept between reads.
  env.groupDefaults = [] {
    static const auto suite = platform::UserDefaults::suite(kGroupId);
    return suite;
  };
  env.standardDefaults = [] {
    static const auto suite = platform::UserDefaults::standard(kBundleId);
    return suite;
  };
  // Looked up at most once a second, not on every read.
  env.timeZone = [] {
    static std::mutex mutex;
    static std::string zone;
    static int64_t checkedAt = INT64_MIN;
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    {
      std::lock_guard lock(mutex);
      if (now.tv_sec == checkedAt) return zone;
    }
    std::string current = platform::currentTimeZoneIdentifier();
    std::lock_guard lock(mutex);
    zone = current;
    checkedAt = now.tv_sec;
    return current;
  };
  return env;
}

MDMConfigurationManager& MDMConfigurationManager::shared() {
  static MDMConfigurationManager instance;
  return instance;
}

MDMConfigurationManager::MDMConfigurationManager(Environment environment)
    : environment_(std::move(environment)), xpcUdpHelper_(std::make_unique<XpcUdpHelper>()) {
  platform::NSLog("init MDMConfigurationManager");
}

MDMConfigurationManager::~MDMConfigurationManager() = default;

MDMConfigurationManager::OptionValues MDMConfigurationManager::valuesForInject() const {
  std::lock_guard lock(mutex_);
  return *valuesForInject_;
}

std::optional<ConfDictionary> MDMConfigurationManager::configuration() const {
  auto conf = configurationSnapshot();
  if (!conf) return std::nullopt;
  return *conf;
}

std::shared_ptr<const ConfDictionary> MDMConfigurationManager::configurationSnapshot() const {
  std::lock_guard lock(mutex_);
  return configuration_;
}

void MDMConfigurationManager::initConfigurationForMacOs(const ConfDictionary& confData) {
  platform::NSLog("initConfigurationForMacOs, confData = " + describe(confData));
  initValues(confData);
}

MDMConfigurationManager::OptionValues MDMConfigurationManager::getHardcodedMDMConf() const {
  platform::NSLog("getHardcodedMDMConf");
  return {{"65005", "com.hardcoded.app"},
          {"65001", kHardcodedOrganization},
          {"65004", kLoopback},
          {"65006", "Europe/Ljubljana"},
          {"65003", kLoopback}};
}

void MDMConfigurationManager::initValues(const std::optional<ConfDictionary>& confData) {
  platform::NSLog("init edns values confData = " + describeOptional(confData ? &*confData : nullptr));
  if (!confData) {
    OptionValues fallback = getHardcodedMDMConf();
    {
      auto values = std::make_shared<const OptionValues>(std::move(fallback));
      std::lock_guard lock(mutex_);
      valuesForInject_ = std::move(values);
    }
    platform::NSLog("**Can not read MDM configuration. Will use hardcoded values**");
    return;
  }
  auto conf = std::make_shared<const ConfDictionary>(*confData);
  const std::string* userAuth = find(*conf, "userAuthEnabled");
  bool shortForm = userAuth && equalsIgnoringCase(*userAuth, "false");
  platform::NSLog(shortForm ? "userAuthEnabled = false" : "userAuthEnabled = true");

  std::vector<std::string> unknownKeys;
  {
    std::lock_guard lock(mutex_);
    configuration_ = conf;
    auto updated = std::make_shared<OptionValues>(*valuesForInject_);
    auto& values = *updated;
    if (shortForm) {
      if (const auto* org = find(*conf, "organizationId")) {
        values["65001"] = *org;
      } else {
        values.erase("65001");
      }
      const auto* ttl = find(*conf, "ttl");
      values["65010"] = ttl ? *ttl : "60";
      if (const auto* serial = find(*conf, "serialNumber")) values["65011"] = *serial;
    } else {
      // std::map visits "userEmail" before "userId", so "userId" wins.
      for (const auto& [key, value] : *conf) {
        if (key == "orgUnitId") {
          if (value.empty()) values.erase("65002"); else values["65002"] = value;
        } else if (key == "organizationId") {
          values["65001"] = value;
        } else if (key == "userId" || key == "userEmail") {
          if (value.empty()) values.erase("65003"); else values["65003"] = value;
        } else if (key == "ttl") {
          values["65010"] = value;
        } else if (key == "serialNumber") {
          values["65011"] = value;
        } else {
          unknownKeys.push_back(key);
        }
      }
    }
    valuesForInject_ = std::move(updated);
  }
  for (const auto& key : unknownKeys) platform::NSLog("conf key = " + key + " is not found");
}

std::optional<MDMConfigurationManager::OptionValues> MDMConfigurationManager::getValuesForInject(
    const std::string& appSenderId) {
  auto conf = configurationSnapshot();
  VARDENO_LOG_LINE("getValuesForInject, configuration = ", describeOptional(conf.get()));
  if (!conf) return getHardcodedMDMConf();

  const std::string* addSender = find(*conf, "addAppSenderId");
  bool addAppSender = addSender && equalsIgnoringCase(*addSender, "yes");

  // Defaults and the time zone are read before taking the lock.
  auto switches = currentSwitches();
  const std::optional<bool>& sendIp = switches->sendIp;
  const int64_t sendTimezone = switches->sendTimezone;
  const std::optional<std::string>& ipText = switches->ipText;
  VARDENO_LOG_LINE("sendIp = ", platform::optionalDescription(sendIp));
  VARDENO_LOG_LINE("sendTimezone = ", sendTimezone);
  bool keepTimezone = !(sendTimezone == 1 || sendTimezone < 0);
  std::string timeZone = keepTimezone && environment_.timeZone ? environment_.timeZone() : std::string();

  auto apply = [&](OptionValues& values) {
    if (addAppSender) values["65005"] = appSenderId;
    values["65007"] = "1";
    if (sendIp == false) {
      values.erase("65004");
    } else {
      values["65004"] = ipText ? *ipText : kLoopback;
    }
    if (keepTimezone) {
      values["65006"] = timeZone;
    } else {
      values.erase("65006");
    }
  };
  // The stored values change only when this read changes them; the copy
  // for the caller is made outside the lock.
  std::shared_ptr<const OptionValues> current;
  {
    std::lock_guard lock(mutex_);
    current = valuesForInject_;
  }
  OptionValues values = *current;
  apply(values);
  if (values == *current) return values;
  auto updated = std::make_shared<OptionValues>(values);
  std::lock_guard lock(mutex_);
  if (valuesForInject_ != current) {
    // Changed meanwhile: this read's values go onto the newer ones.
    *updated = *valuesForInject_;
    apply(*updated);
    values = *updated;
  }
  valuesForInject_ = std::move(updated);
  return values;
}

std::shared_ptr<const MDMConfigurationManager::Switches> MDMConfigurationManager::currentSwitches() const {
  auto suite = environment_.groupDefaults ? environment_.groupDefaults() : nullptr;
  auto contents = suite ? suite->snapshot() : nullptr;
  {
    std::lock_guard lock(mutex_);
    if (switches_ && switchesSuite_ == suite && switchesSource_ == contents) return switches_;
  }
  auto switches = std::make_shared<Switches>();
  if (suite) {
    if (auto object = suite->object("send_ip"); object && object->is_boolean()) switches->sendIp = object->get<bool>();
    switches->sendTimezone = suite->integer("send_timezone");
    switches->ipText = suite->string("ip");
  }
  std::lock_guard lock(mutex_);
  switches_ = switches;
  switchesSuite_ = std::move(suite);
  switchesSource_ = std::move(contents);
  return switches;
}

std::optional<std::string> MDMConfigurationManager::checkMDMValues() const {
  auto conf = configurationSnapshot();
  if (!conf || conf->empty()) return "The app has not received values from MDM";
  const auto* org = find(*conf, "organizationId");
  if (!org || org->empty()) return "OrganizationId value is not found.";
  const auto* userAuth = find(*conf, "userAuthEnabled");
  if (userAuth && equalsIgnoringCase(*userAuth, "false")) return std::nullopt;
  const auto* userId = find(*conf, "userId");
  if (!userId) return "UserId is not found.";
  if (userId->empty()) return "UserId is empty";
  return std::nullopt;
}

std::optional<std::string> MDMConfigurationManager::getAdminPassword() const {
  auto conf = configurationSnapshot();
  if (!conf) return std::nullopt;
  const auto* password = find(*conf, "adminPassword");
  if (!password) return std::nullopt;
  return *password;
}

bool MDMConfigurationManager::isTestMode() const {
  auto conf = configurationSnapshot();
  if (!conf) return false;
  const auto* testMode = find(*conf, "testModeEnabled");
  return testMode && equalsIgnoringCase(*testMode, "yes");
}

void MDMConfigurationManager::didChange() const {
  auto suite = environment_.standardDefaults ? environment_.standardDefaults() : nullptr;
  if (!suite) return;
  if (auto config = suite->dictionary(kConfigurationKey)) platform::NSLog("ex config dic " + describe(*config));
  if (auto feedback = suite->dictionary(kFeedbackKey)) platform::NSLog("ex feedbackDict  " + describe(*feedback));
}

}  // namespace dnsproxyext
