#include "DnsProxyExt/ResolverChoice.h"

#include <gtest/gtest.h>

namespace dnsproxyext {
namespace {

HostPtr host(const char* text) { return std::make_shared<Utils::DNSHost>(text); }

struct Fixture {
  ResolverConfig config;
  DomainMap whitelisted;
  Fixture() {
    config.secondDNS = host("10.0.0.2:53");
    config.filteringDNS = host("10.0.0.1:81");
    config.localNetworkDNS = host("10.0.0.3:53");
    config.allowedApps = {"Allowed.App"};
    config.localDomainsMap = {{"corp.example", host("10.1.0.1:5300")}};
    whitelisted = {{"partner.example", host("10.2.0.1:53")}, {"corp.example", host("10.2.0.9:53")}};
  }
};

TEST(ResolverChoice, RulesAndPrecedence) {
  struct Case {
    const char* name;
    std::string app;
    std::string domain;
    bool allowAll;
    bool localResolver;
    ResolverRule rule;
    const char* address;
  };
  const Case cases[] = {
      {"a: directory service to local resolver", "com.apple.opendirectoryd", "corp.example", false, true,
       ResolverRule::localNetwork, "10.0.0.3"},
      {"a without local resolver falls through to c", "com.apple.nsupdate", "corp.example", false, false,
       ResolverRule::localDomain, "10.1.0.1"},
      {"a without local resolver falls through to e", "com.apple.nsupdate", "other.example", false, false,
       ResolverRule::filtering, "10.0.0.1"},
      {"a beats b (allow-all)", "com.apple.opendirectoryd", "x.example", true, true, ResolverRule::localNetwork,
       "10.0.0.3"},
      {"b: allowed app in other case beats c", "com.ALLOWED.app.helper", "corp.example", false, true,
       ResolverRule::secondDNS, "10.0.0.2"},
      {"b: allow-all beats maps", "curl", "partner.example", true, true, ResolverRule::secondDNS, "10.0.0.2"},
      {"c beats d for a name in both maps", "curl", "corp.example", false, true, ResolverRule::localDomain,
       "10.1.0.1"},
      {"c: key followed by a further label", "curl", "corp.example.net", false, true, ResolverRule::localDomain,
       "10.1.0.1"},
      {"d: policy map", "curl", "api.partner.example", false, true, ResolverRule::whitelistedDomain, "10.2.0.1"},
      {"d: key matches ignoring case", "curl", "API.PARTNER.EXAMPLE", false, true, ResolverRule::whitelistedDomain,
       "10.2.0.1"},
      {"e: anything else", "curl", "news.example", false, true, ResolverRule::filtering, "10.0.0.1"},
      {"e: no domain", "curl", "", false, true, ResolverRule::filtering, "10.0.0.1"},
  };
  for (const auto& c : cases) {
    Fixture f;
    f.config.shouldAllowAll = c.allowAll;
    if (!c.localResolver) f.config.localNetworkDNS = nullptr;
    ResolverChoice choice = chooseResolver(f.config, f.whitelisted, c.app, c.domain);
    EXPECT_EQ(choice.rule, c.rule) << c.name;
    ASSERT_TRUE(choice.host) << c.name;
    EXPECT_EQ(choice.host->address, c.address) << c.name;
  }
}

TEST(ResolverChoice, LongestKeyWinsAndEmptyKeyNeverMatches) {
  DomainMap map{{"", host("1.1.1.1")},
                {"example.com", host("2.2.2.2")},
                {"mail.example.com", host("3.3.3.3")},
                {"ample", host("4.4.4.4")}};
  EXPECT_EQ(lookupDomainMap(map, "smtp.mail.example.com")->address, "3.3.3.3");
  EXPECT_EQ(lookupDomainMap(map, "www2.Example.COM")->address, "2.2.2.2");
  EXPECT_EQ(lookupDomainMap(map, "sample.org")->address, "4.4.4.4");
  EXPECT_EQ(lookupDomainMap(map, "other.org"), nullptr);
  EXPECT_EQ(lookupDomainMap(map, ""), nullptr);
}

TEST(ResolverChoice, AppMatchIsCaseInsensitiveSubstringAndSkipsEmptyEntries) {
  std::vector<std::string> list{"", "Zoom", "com.tool"};
  EXPECT_EQ(matchingApps(list, "us.zoom.xos"), std::vector<std::string>{"Zoom"});
  EXPECT_EQ(matchingApps(list, "COM.TOOL.cli"), std::vector<std::string>{"com.tool"});
  EXPECT_TRUE(matchingApps(list, "curl").empty());
}

TEST(ResolverChoice, QueryDomain) {
  EXPECT_EQ(queryDomainFromName("www.corp.example."), "corp.example");
  EXPECT_EQ(queryDomainFromName("a.www.b.www.c."), "a.b.c");
  EXPECT_EQ(queryDomainFromName("example.com.."), "example.com.");
  EXPECT_EQ(queryDomainFromName("."), "");
  EXPECT_EQ(queryDomainFromName("wwwx.example"), "wwwx.example");
}

TEST(ResolverChoice, QueryDomainOfADatagram) {
  using Bytes = std::vector<uint8_t>;
  const Bytes header = {0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0};
  auto query = [&](const Bytes& name, const Bytes& tail = {0x00, 0x01, 0x00, 0x01}) {
    Bytes out = header;
    out.insert(out.end(), name.begin(), name.end());
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
  };
  const Bytes www = {3, 'w', 'w', 'w', 4, 'c', 'o', 'r', 'p', 0};
  const Bytes notUtf8 = {3, 'c', 0xE9, 0xFF, 8, 'i', 'n', 't', 'r', 'a', 'n', 'e', 't', 0};
  Bytes noQuestion = query(www);
  noQuestion[5] = 0;
  Bytes claimsAnAnswer = query(www);
  claimsAnAnswer[7] = 1;  // an answer the datagram does not hold
  struct Case {
    const char* label;
    Bytes datagram;
    std::optional<std::string> domain;
  } cases[] = {
      {"decodes", query(www), "corp"},
      {"a label that is not UTF-8", query(notUtf8), "c\xE9\xFF.intranet"},
      {"the rest does not decode", claimsAnAnswer, "corp"},
      {"type and class cut off", query(www, {}), "corp"},
      {"root", query({0}), ""},
      {"no question", noQuestion, std::nullopt},
      {"name cut off", query({5, 'a', 'b'}, {}), std::nullopt},
      {"pointer loop", query({0xC0, 0x0C}), std::nullopt},
      {"header only", header, std::nullopt},
      {"short header", Bytes{0x12, 0x34, 0x01}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(queryDomainOfDatagram(c.datagram), c.domain) << c.label;
}

}  // namespace
}  // namespace dnsproxyext
