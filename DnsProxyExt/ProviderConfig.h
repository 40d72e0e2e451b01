#pragma once
// Provider configuration: how the "VendorData" start option becomes the
// text configuration and the resolver settings. The proxy core's
// DnsProxyExt calls these from startProxy:
//   macOSconfig      = MDMConfigurationManager::buildConfDictionary(vendorData)
//   localDomainsMap  = initLocalDomainsMap(macOSconfig)
//   initVendorSettings(settings, vendorData, macOSconfig)   (calls useVardenoDNS)
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "DnsProxyExt/Utils.h"
#include "platform/foundation/Describe.h"

namespace dnsproxyext {

using ConfDictionary = std::map<std::string, std::string>;
using DomainHostMap = std::map<std::string, std::shared_ptr<Utils::DNSHost>>;

// The provider's settings that initVendorSettings reads and writes; a null
// host is "none".
struct VendorSettings {
  bool shouldAllowAll = false;
  std::shared_ptr<Utils::DNSHost> filteringDNS;
  std::shared_ptr<Utils::DNSHost> secondDNS;
  std::shared_ptr<Utils::DNSHost> localNetworkDNS;
  std::shared_ptr<Utils::DNSHost> policyUDPServer;
  std::vector<std::string> allowedApps;
  std::vector<std::string> captivePortalIps;
};

// Text values of `vendorData` under their keys with every "--" removed;
// other values are logged and dropped. A non-object gives an empty map.
ConfDictionary buildConfDictionary(const nlohmann::json& vendorData);

// "mappedDomains" ("[domain:address:port,...]") as a domain-to-host map.
DomainHostMap initLocalDomainsMap(const ConfDictionary& macOSconfig);

// False only when "allowAll" is exactly "true".
bool useVardenoDNS(const ConfDictionary& macOSconfig);

// Applies the configuration to `settings`, which holds the current values.
// Without `vendorData` only shouldAllowAll changes.
void initVendorSettings(VendorSettings& settings, const std::optional<nlohmann::json>& vendorData,
                        const ConfDictionary& macOSconfig);

// A host from configuration text, or null (logged) when its port lies
// outside 0-65535.
std::shared_ptr<Utils::DNSHost> configuredHost(const std::string& what, const std::string& text);

// Log renderings in the platform's description style.
using platform::describe;
std::string describe(const DomainHostMap& map);
std::string describeOptional(const std::optional<nlohmann::json>& value);
using platform::jsonText;

}  // namespace dnsproxyext
