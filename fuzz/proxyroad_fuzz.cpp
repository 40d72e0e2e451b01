// fuzz-libs: vardeno_dnsproxyext vardeno_dns vardeno_platform
// Hostile bytes through the proxy road's offline steps: the policy reply,
// the query domain and resolver choice, the report parameters, the option
// injection and the decode of an answer for the log.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "DnsProxyExt/ReportSettings.h"
#include "DnsProxyExt/ResolverChoice.h"
#include "DnsProxyExt/WhitelistedDomains.h"
#include "dns/value/Message.h"
#include "dns/object/DNSParser.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("VARDENO_LOG", "off", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dnsproxyext;
  const std::span<const uint8_t> bytes(data, size);
  const std::string text(reinterpret_cast<const char*>(data), size);

  static const ResolverConfig config = [] {
    ResolverConfig c;
    c.secondDNS = std::make_shared<Utils::DNSHost>("10.0.0.2:53");
    c.filteringDNS = std::make_shared<Utils::DNSHost>("10.0.0.1:81");
    c.allowedApps = {"com.allowed", ""};
    c.localDomainsMap = {{"corp.example", std::make_shared<Utils::DNSHost>("10.1.0.1")}, {"", nullptr}};
    return c;
  }();

  DomainMap whitelisted;
  auto reply = decodeWhitelistedDomains(bytes);
  if (auto* decoded = std::get_if<WhitelistedDomains>(&reply)) {
    for (const auto& entry : decoded->dnsServerSettings) {
      auto host = std::make_shared<Utils::DNSHost>(entry.dnsServerIP);
      for (const auto& domain : entry.assignedDomains) whitelisted[domain] = host;
    }
  }

  std::string domain;
  try {
    auto message = DnsToolsSocket::Message::deserialize(bytes);
    (void)message.debugDescription();
    if (!message.questions.empty()) domain = queryDomainFromName(message.questions.front().name);
    if (!message.answers.empty()) (void)message.answers.front().name();
  } catch (const std::exception&) {
  }
  // Whatever the value codec reads as the first name, the road reads the same.
  auto lenient = queryDomainOfDatagram(bytes);
  if (!domain.empty() && lenient != domain) __builtin_trap();
  ResolverChoice choice = chooseResolver(config, whitelisted, text.substr(0, 64), lenient.value_or(""));
  if (!choice.host) __builtin_trap();
  (void)lookupDomainMap(whitelisted, text);

  (void)parseReportSettings(text.size() < 4096 ? text : text.substr(0, 4096));

  std::map<std::string, std::string> options{{"65001", "org"}, {"65015", "1700000000000"}};
  auto injected = DnsObjects::DNSParser::injectFlagsToDatagrams({std::vector<uint8_t>(data, data + size)}, options);
  if (injected.size() != 1) __builtin_trap();
  return 0;
}
