#include "DnsProxyExt/ProviderConfig.h"

#include "DefaultAddresses.h"
#include "platform/foundation/Log.h"

namespace dnsproxyext {

namespace {

constexpr int64_t kMaxPort = 65535;

std::string removeDoubleDashes(std::string key) {
  for (size_t at = key.find("--"); at != std::string::npos; at = key.find("--", at)) key.erase(at, 2);
  return key;
}

bool isBlank(std::string_view text) { return text.find_first_not_of(" \t\r\n") == std::string_view::npos; }

// Empty entries would match every application or domain as substrings.
std::vector<std::string> withoutEmptyEntries(std::vector<std::string> list, std::string_view what) {
  std::vector<std::string> kept;
  kept.reserve(list.size());
  for (auto& entry : list) {
    if (isBlank(entry)) {
      platform::NSLog(std::string("ignoring an empty entry of ") + std::string(what));
      continue;
    }
    kept.push_back(std::move(entry));
  }
  return kept;
}

std::vector<std::string> split(std::string_view text, char separator) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (true) {
    size_t at = text.find(separator, start);
    pieces.emplace_back(text.substr(start, at - start));
    if (at == std::string_view::npos) return pieces;
    start = at + 1;
  }
}

// Drops one whole UTF-8 character at each end.
std::optional<std::string_view> unwrap(std::string_view text) {
  if (text.empty()) return std::nullopt;
  size_t front = 1;
  while (front < text.size() && (static_cast<uint8_t>(text[front]) & 0xC0) == 0x80) ++front;
  size_t back = text.size() - 1;
  while (back > 0 && (static_cast<uint8_t>(text[back]) & 0xC0) == 0x80) --back;
  if (back < front) return std::nullopt;
  return text.substr(front, back - front);
}

const std::string* find(const ConfDictionary& map, const std::string& key) {
  auto it = map.find(key);
  return it == map.end() ? nullptr : &it->second;
}

std::string valueText(const nlohmann::json& value) {
  if (value.is_string()) return value.get<std::string>();
  return jsonText(value);
}

}  // namespace

std::string describe(const DomainHostMap& map) {
  if (map.empty()) return "[:]";
  std::string out = "[";
  for (const auto& [key, host] : map) {
    if (out.size() > 1) out += ", ";
    out += platform::quotedText(key) + ": " + (host ? host->debugDescription() : "nil");
  }
  return out + "]";
}

std::string describeOptional(const std::optional<nlohmann::json>& value) {
  return platform::optionalJsonDescription(value);
}

ConfDictionary buildConfDictionary(const nlohmann::json& vendorData) {
  ConfDictionary conf;
  if (!vendorData.is_object()) return conf;
  for (auto it = vendorData.begin(); it != vendorData.end(); ++it) {
    platform::NSLog("key:" + it.key() + ": " + valueText(it.value()));
    if (!it.value().is_string()) continue;
    conf[removeDoubleDashes(it.key())] = it.value().get<std::string>();
  }
  return conf;
}

std::shared_ptr<Utils::DNSHost> configuredHost(const std::string& what, const std::string& text) {
  auto host = std::make_shared<Utils::DNSHost>(text);
  if (host->port < 0 || host->port > kMaxPort) {
    platform::NSLog("refusing " + what + " \"" + text + "\": port outside 0-65535");
    return nullptr;
  }
  return host;
}

DomainHostMap initLocalDomainsMap(const ConfDictionary& macOSconfig) {
  DomainHostMap map;
  const std::string* value = find(macOSconfig, "mappedDomains");
  if (value) {
    auto inner = unwrap(*value);
    if (!inner) {
      platform::NSLog("initLocalDomainsMap - mappedDomains too short: \"" + *value + "\"");
    } else {
      for (const auto& entry : split(*inner, ',')) {
        if (isBlank(entry)) {
          platform::NSLog("ignoring an empty entry of mappedDomains");
          continue;
        }
        auto pieces = split(entry, ':');
        if (pieces.size() < 2) {
          platform::NSLog("ignoring mappedDomains entry without a host: \"" + entry + "\"");
          continue;
        }
        if (isBlank(pieces[0])) {
          platform::NSLog("ignoring mappedDomains entry with an empty domain: \"" + entry + "\"");
          continue;
        }
        std::string hostText = pieces.size() == 3 ? pieces[1] + ":" + pieces[2] : pieces[1];
        if (auto host = configuredHost("mappedDomains entry " + pieces[0], hostText)) map[pieces[0]] = host;
      }
    }
  }
  platform::NSLog("initLocalDomainsMap - got map: " + describe(map));
  return map;
}

bool useVardenoDNS(const ConfDictionary& macOSconfig) {
  const std::string* allowAll = find(macOSconfig, "allowAll");
  bool result = !(allowAll && *allowAll == "true");
  platform::NSLog(std::string("useVardenoDNS: ") + platform::boolText(result));
  return result;
}

void initVendorSettings(VendorSettings& settings, const std::optional<nlohmann::json>& vendorData,
                        const ConfDictionary& macOSconfig) {
  settings.shouldAllowAll = !useVardenoDNS(macOSconfig);
  platform::NSLog("initVendorSettings, vendorData: " + describeOptional(vendorData) +
                  ", macosConfig: " + describe(macOSconfig));
  if (vendorData) {
    if (const auto* text = find(macOSconfig, "secondDNS")) {
      if (auto host = configuredHost("secondDNS", *text)) settings.secondDNS = host;
    }
    if (const auto* text = find(macOSconfig, "filteringDNS")) {
      if (auto host = configuredHost("filteringDNS", *text)) settings.filteringDNS = host;
    }
    const auto* localText = find(macOSconfig, "localNetworkDNS");
    settings.localNetworkDNS = localText ? configuredHost("localNetworkDNS", *localText) : nullptr;
    const std::string defaultPolicyServer = std::string(vardeno::defaults::kPolicyServer) + ":2800";
    const auto* policyText = find(macOSconfig, "policyServer");
    settings.policyUDPServer = policyText ? configuredHost("policyServer", *policyText) : nullptr;
    if (!settings.policyUDPServer) settings.policyUDPServer = std::make_shared<Utils::DNSHost>(defaultPolicyServer);
    platform::NSLog("initVendorSettings1");

    const auto* jsonVars = find(macOSconfig, "jsonVars");
    const auto* allowPackages = find(macOSconfig, "allowPackages");
    const std::string topLevelApps = allowPackages ? *allowPackages : std::string();
    auto fromTopLevel = [&] {
      return withoutEmptyEntries(parseCommaDelimitedArr(topLevelApps), "allowPackages");
    };
    if (!jsonVars || jsonVars->empty()) {
      settings.allowedApps = fromTopLevel();
    } else {
      platform::NSLog("initVendorSettings2, jsonVars = " + *jsonVars);
      nlohmann::json parsed = nlohmann::json::parse(*jsonVars, nullptr, false);
      if (parsed.is_object()) {
        platform::NSLog("initVendorSettings3, jsonDict = " + describe(parsed));
        std::vector<std::string> apps;
        auto list = parsed.find("allowPackages");
        if (list != parsed.end() && list->is_array()) {
          for (const auto& element : *list) apps.push_back(valueText(element));
        } else {
          platform::NSLog("jsonVars has no allowPackages array");
        }
        settings.allowedApps = withoutEmptyEntries(std::move(apps), "jsonVars allowPackages");
      } else if (!parsed.is_array()) {
        settings.allowedApps = fromTopLevel();
      }
    }

    const auto* portals = find(macOSconfig, "captivePortalIp");
    if (portals && !portals->empty()) {
      settings.captivePortalIps = withoutEmptyEntries(parseCommaDelimitedArr(*portals), "captivePortalIp");
    }
  }
  platform::NSLog(std::string("shouldAllowAll: ") + platform::boolText(settings.shouldAllowAll) +
                  ", secondDNS = " + (settings.secondDNS ? settings.secondDNS->debugDescription() : "nil") +
                  ", allowedApps = " + describe(settings.allowedApps) +
                  ", captivePortalIps = " + describe(settings.captivePortalIps));
}

}  // namespace dnsproxyext
