#include "DnsProxyExt/WhitelistedDomains.h"

#include <nlohmann/json.hpp>

#include "platform/foundation/Describe.h"
#include "platform/foundation/JsonNesting.h"

namespace dnsproxyext {

std::string policyRequestText(std::string_view organizationId) {
  // The id is escaped as a JSON string; ordinary ids give the same bytes as plain text.
  return "{\"function\": \"localDNSMap\",\"companyId\": " + platform::jsonText(std::string(organizationId)) + "}";
}

namespace {

const nlohmann::json& member(const nlohmann::json& object, const char* key, nlohmann::json::value_t type,
                             const char* typeName) {
  auto it = object.find(key);
  if (it == object.end()) throw std::runtime_error(std::string("keyNotFound(\"") + key + "\")");
  if (it->type() != type) throw std::runtime_error(std::string("typeMismatch(") + typeName + ", \"" + key + "\")");
  return *it;
}

}  // namespace

std::variant<WhitelistedDomains, std::string> decodeWhitelistedDomains(std::span<const uint8_t> reply) {
  using value_t = nlohmann::json::value_t;
  try {
    if (!platform::jsonNestingWithin(reply.data(), reply.size()))
      return std::string("dataCorrupted(nesting deeper than ") + std::to_string(platform::kMaxJsonNesting) + ")";
    nlohmann::json root = nlohmann::json::parse(reply.begin(), reply.end());
    if (!root.is_object()) return std::string("typeMismatch(WhitelistedDomains, top level is not an object)");
    WhitelistedDomains out;
    out.status = member(root, "status", value_t::boolean, "Bool").get<bool>();
    for (const auto& entry : member(root, "dnsServerSettings", value_t::array, "Array")) {
      if (!entry.is_object()) throw std::runtime_error("typeMismatch(WhitelistedDNS, \"dnsServerSettings\")");
      WhitelistedDNS dns;
      for (const auto& domain : member(entry, "assignedDomains", value_t::array, "Array")) {
        if (!domain.is_string()) throw std::runtime_error("typeMismatch(String, \"assignedDomains\")");
        dns.assignedDomains.push_back(domain.get<std::string>());
      }
      dns.dnsServerIP = member(entry, "dnsServerIP", value_t::string, "String").get<std::string>();
      out.dnsServerSettings.push_back(std::move(dns));
    }
    return out;
  } catch (const std::exception& e) {
    return std::string(e.what());
  }
}

}  // namespace dnsproxyext
