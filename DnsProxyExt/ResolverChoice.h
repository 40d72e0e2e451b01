#pragma once
// The choice of one resolver for a read: a plain function of the
// configuration, the asking application and the query domain.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "DnsProxyExt/Utils.h"

namespace dnsproxyext {

using HostPtr = std::shared_ptr<Utils::DNSHost>;
using DomainMap = std::map<std::string, HostPtr>;

struct ResolverConfig {
  std::vector<std::string> localNetworkApps{"com.apple.opendirectoryd", "com.apple.nsupdate"};
  std::vector<std::string> allowedApps;
  bool shouldAllowAll = false;
  HostPtr localNetworkDNS;  // none: rule a never applies
  HostPtr secondDNS;
  HostPtr filteringDNS;
  DomainMap localDomainsMap;
};

enum class ResolverRule { localNetwork, secondDNS, localDomain, whitelistedDomain, filtering };

struct ResolverChoice {
  ResolverRule rule = ResolverRule::filtering;
  HostPtr host;
  bool useSecondDNS = false;  // the allowed-applications match
};

// Non-empty entries of `list` whose lowercased text is contained in the
// lowercased app id.
std::vector<std::string> matchingApps(const std::vector<std::string>& list, std::string_view appId);

// The host of the longest key contained in `domain`, ignoring ASCII case;
// an empty key never matches.
HostPtr lookupDomainMap(const DomainMap& map, std::string_view domain);

// A question name without any "www." and without one trailing ".".
std::string queryDomainFromName(std::string_view name);

// The query domain of one datagram: its first question's name as the value
// codec reads it or, where that codec refuses it (a label that is not
// UTF-8, say), its wire labels read as bytes; none without a question.
std::optional<std::string> queryDomainOfDatagram(std::span<const uint8_t> datagram);

// Rules in order: a local network app (with a local resolver), b allowed app
// or allow-all, c configured domain map, d policy domain map, e filtering.
ResolverChoice chooseResolver(const ResolverConfig& config, const DomainMap& whitelistedDomainsMap,
                              std::string_view appId, std::string_view domain);

}  // namespace dnsproxyext
