#pragma once
// Policy server request and reply.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace dnsproxyext {

struct WhitelistedDNS {
  std::vector<std::string> assignedDomains;
  std::string dnsServerIP;  // "address:port"
};

struct WhitelistedDomains {
  bool status = false;
  std::vector<WhitelistedDNS> dnsServerSettings;
};

// {"function": "localDNSMap","companyId": "<orgId>"}, the id written unescaped.
std::string policyRequestText(std::string_view organizationId);

// Strict decode: every member present with its JSON type. The error
// alternative holds the decoder's description.
std::variant<WhitelistedDomains, std::string> decodeWhitelistedDomains(std::span<const uint8_t> reply);

}  // namespace dnsproxyext
