#include "DnsProxyExt/ResolverChoice.h"

#include <algorithm>

#include "dns/object/DNSLabelDecoder.h"
#include "dns/value/NameCodec.h"
#include "dns/value/WireReader.h"

namespace dnsproxyext {

namespace {

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool containsIgnoringCase(std::string_view haystack, std::string_view needle) {
  if (needle.size() > haystack.size()) return false;
  auto it = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                        [](char a, char b) { return lowerAscii(a) == lowerAscii(b); });
  return it != haystack.end();
}

// An empty entry (from "a,b,") would match every application.
bool appMatches(const std::string& entry, std::string_view appId) {
  return !entry.empty() && containsIgnoringCase(appId, entry);
}

bool anyAppMatches(const std::vector<std::string>& list, std::string_view appId) {
  return std::any_of(list.begin(), list.end(), [&](const std::string& entry) { return appMatches(entry, appId); });
}

}  // namespace

std::vector<std::string> matchingApps(const std::vector<std::string>& list, std::string_view appId) {
  std::vector<std::string> out;
  for (const auto& entry : list) {
    if (appMatches(entry, appId)) out.push_back(entry);
  }
  return out;
}

HostPtr lookupDomainMap(const DomainMap& map, std::string_view domain) {
  const HostPtr* best = nullptr;
  size_t bestLength = 0;
  for (const auto& [key, host] : map) {
    if (key.empty() || key.size() <= bestLength) continue;
    if (containsIgnoringCase(domain, key)) {
      best = &host;
      bestLength = key.size();
    }
  }
  return best ? *best : nullptr;
}

std::string queryDomainFromName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size();) {
    if (name.compare(i, 4, "www.") == 0) {
      i += 4;
    } else {
      out.push_back(name[i++]);
    }
  }
  if (!out.empty() && out.back() == '.') out.pop_back();
  return out;
}

std::optional<std::string> queryDomainOfDatagram(std::span<const uint8_t> datagram) {
  constexpr size_t kHeaderSize = 12;
  const dnswire::WireReader reader(datagram);
  auto questionCount = reader.u16At(4);
  if (!questionCount || *questionCount == 0 || datagram.size() <= kHeaderSize) return std::nullopt;
  try {
    dnswire::WireReader at(datagram, kHeaderSize);
    return queryDomainFromName(DnsToolsSocket::deserializeName(at));
  } catch (const std::exception&) {
  }
  DnsObjects::DNSLabelDecoder lenient;
  uint32_t offset = kHeaderSize;
  lenient.decodeLabelInBuffer(datagram.data(), offset, static_cast<uint32_t>(std::min<size_t>(datagram.size(), UINT32_MAX)));
  if (!lenient.name) return std::nullopt;
  return queryDomainFromName(*lenient.name);
}

ResolverChoice chooseResolver(const ResolverConfig& config, const DomainMap& whitelistedDomainsMap,
                              std::string_view appId, std::string_view domain) {
  ResolverChoice choice;
  bool localNetworkMatch = anyAppMatches(config.localNetworkApps, appId);
  choice.useSecondDNS = anyAppMatches(config.allowedApps, appId);
  if (localNetworkMatch && config.localNetworkDNS) {
    choice.rule = ResolverRule::localNetwork;
    choice.host = config.localNetworkDNS;
  } else if (choice.useSecondDNS || config.shouldAllowAll) {
    choice.rule = ResolverRule::secondDNS;
    choice.host = config.secondDNS;
  } else if (auto local = lookupDomainMap(config.localDomainsMap, domain)) {
    choice.rule = ResolverRule::localDomain;
    choice.host = local;
  } else if (auto listed = lookupDomainMap(whitelistedDomainsMap, domain)) {
    choice.rule = ResolverRule::whitelistedDomain;
    choice.host = listed;
  } else {
    choice.rule = ResolverRule::filtering;
    choice.host = config.filteringDNS;
  }
  return choice;
}

}  // namespace dnsproxyext
