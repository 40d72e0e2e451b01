#include <gtest/gtest.h>

#include "DefaultAddresses.h"
#include "DnsProxyExt/ProviderConfig.h"
#include "platform/foundation/Log.h"

using namespace dnsproxyext;
using nlohmann::json;
using Strings = std::vector<std::string>;

namespace {

std::string hostText(const std::shared_ptr<Utils::DNSHost>& host) { return host ? host->debugDescription() : "none"; }

std::map<std::string, std::string> hostTexts(const DomainHostMap& map) {
  std::map<std::string, std::string> out;
  for (const auto& [key, host] : map) out[key] = hostText(host);
  return out;
}

VendorSettings defaults() {
  VendorSettings s;
  s.filteringDNS = std::make_shared<Utils::DNSHost>("192.0.2.1:81");
  s.secondDNS = std::make_shared<Utils::DNSHost>("192.0.2.2:53");
  s.localNetworkDNS = std::make_shared<Utils::DNSHost>("192.0.2.10:53");
  return s;
}

VendorSettings apply(const json& vendorData) {
  VendorSettings s = defaults();
  initVendorSettings(s, vendorData, buildConfDictionary(vendorData));
  return s;
}

}  // namespace

TEST(BuildConfDictionary, RemovesEveryDoubleDashAndDropsNonText) {
  platform::LogCapture capture;
  json vendor = {{"--organizationId", "org-1"}, {"--user--Email", "a@b.c"}, {"--ttl", 5},
                 {"--allowAll", true},        {"--x", json::array({"a"})},  {"----", "empty key"},
                 {"---dash", "odd"},          {"orgUnitId", "unit"}};
  ConfDictionary conf = buildConfDictionary(vendor);
  ConfDictionary expected{{"organizationId", "org-1"}, {"userEmail", "a@b.c"}, {"", "empty key"},
                          {"-dash", "odd"},            {"orgUnitId", "unit"}};
  EXPECT_EQ(conf, expected);
  EXPECT_TRUE(capture.contains("key:--ttl: 5"));
  EXPECT_TRUE(capture.contains("key:--organizationId: org-1"));
}

TEST(BuildConfDictionary, DashedAndPlainKeysCollapseToOne) {
  ConfDictionary conf = buildConfDictionary(json{{"--organizationId", "dashed"}, {"organizationId", "plain"}});
  ASSERT_EQ(conf.size(), 1u);
  EXPECT_TRUE(conf.count("organizationId"));
  EXPECT_TRUE(buildConfDictionary(json::array({"a"})).empty());
  EXPECT_TRUE(buildConfDictionary(json("text")).empty());
}

TEST(BuildConfDictionary, InvalidUtf8ValueIsLoggedWithoutThrowing) {
  json vendor = {{"--n", json::array({std::string("\xFF\xFE")})}};
  EXPECT_NO_THROW(buildConfDictionary(vendor));
}

TEST(InitLocalDomainsMap, EntriesTable) {
  using M = std::map<std::string, std::string>;
  struct Case {
    std::optional<std::string> value;
    M expected;
  } cases[] = {
      {std::nullopt, M{}},
      {"[corp.example:192.0.2.7:5353]", M{{"corp.example", "192.0.2.7:5353"}}},
      {"[corp.example:192.0.2.7]", M{{"corp.example", "192.0.2.7:53"}}},
      {"[corp.example:192.0.2.7:5353:9]", M{{"corp.example", "192.0.2.7:53"}}},
      {"[a.example:192.0.2.1,b.example:192.0.2.2:54]", M{{"a.example", "192.0.2.1:53"}, {"b.example", "192.0.2.2:54"}}},
      {"[a:192.0.2.1,a:192.0.2.2]", M{{"a", "192.0.2.2:53"}}},
      {"{a:192.0.2.1}", M{{"a", "192.0.2.1:53"}}},
      {"xa:192.0.2.1y", M{{"a", "192.0.2.1:53"}}},
      {"[a:192.0.2.1, b:192.0.2.2]", M{{"a", "192.0.2.1:53"}, {" b", "192.0.2.2:53"}}},
      {"", M{}},
      {"[", M{}},
      {"[]", M{}},
      {"[,,]", M{}},
      {"[ , a:192.0.2.1]", M{{" a", "192.0.2.1:53"}}},
      {"[nocolon]", M{}},
      {"[:192.0.2.1]", M{}},
      {"[ :192.0.2.1]", M{}},
      {"[a:192.0.2.1:70000,b:192.0.2.2:-1,c:192.0.2.3:65535]", M{{"c", "192.0.2.3:65535"}}},
      {"\xC2\xAB" "a:192.0.2.1" "\xC2\xBB", M{{"a", "192.0.2.1:53"}}},
  };
  for (const auto& c : cases) {
    ConfDictionary conf;
    if (c.value) conf["mappedDomains"] = *c.value;
    EXPECT_EQ(hostTexts(initLocalDomainsMap(conf)), c.expected) << c.value.value_or("<absent>");
  }
}

TEST(InitLocalDomainsMap, LogsTheMap) {
  platform::LogCapture capture;
  initLocalDomainsMap({{"mappedDomains", "[a:192.0.2.1:54]"}});
  EXPECT_TRUE(capture.contains("initLocalDomainsMap - got map: [\"a\": 192.0.2.1:54]"));
}

TEST(UseVardenoDNS, OnlyExactTrueAllowsAll) {
  struct Case {
    std::optional<std::string> allowAll;
    bool useVardeno;
  } cases[] = {{std::nullopt, true}, {"true", false}, {"TRUE", true}, {"True", true}, {"1", true}, {"true ", true}, {"", true}};
  for (const auto& c : cases) {
    ConfDictionary conf;
    if (c.allowAll) conf["allowAll"] = *c.allowAll;
    EXPECT_EQ(useVardenoDNS(conf), c.useVardeno) << c.allowAll.value_or("<absent>");
  }
}

TEST(InitVendorSettings, WithoutVendorDataOnlyAllowAllIsRead) {
  platform::LogCapture capture;
  VendorSettings s = defaults();
  initVendorSettings(s, std::nullopt, {});
  EXPECT_FALSE(s.shouldAllowAll);
  EXPECT_EQ(hostText(s.filteringDNS), "192.0.2.1:81");
  EXPECT_EQ(hostText(s.localNetworkDNS), "192.0.2.10:53");
  EXPECT_EQ(s.policyUDPServer, nullptr);
  EXPECT_TRUE(s.allowedApps.empty());
  EXPECT_TRUE(s.captivePortalIps.empty());
  EXPECT_TRUE(capture.contains("initVendorSettings, vendorData: nil, macosConfig: [:]"));
  EXPECT_FALSE(capture.contains("initVendorSettings1"));
  EXPECT_TRUE(capture.contains("shouldAllowAll: false, secondDNS = 192.0.2.2:53, allowedApps = [], captivePortalIps = []"));
}

TEST(InitVendorSettings, HostsTable) {
  const std::string defaultPolicy = std::string(vardeno::defaults::kPolicyServer) + ":2800";
  struct Case {
    json vendor;
    std::string filtering, second, local, policy;
  } cases[] = {
      {json::object(), "192.0.2.1:81", "192.0.2.2:53", "none", defaultPolicy},
      {{{"--filteringDNS", "198.51.100.1:8081"}, {"--secondDNS", "198.51.100.2"}, {"--localNetworkDNS", "10.0.0.1:5353"},
        {"--policyServer", "198.51.100.3:2900"}},
       "198.51.100.1:8081", "198.51.100.2:53", "10.0.0.1:5353", "198.51.100.3:2900"},
      {{{"--filteringDNS", "198.51.100.1:70000"}, {"--secondDNS", "198.51.100.2:-5"}, {"--localNetworkDNS", "10.0.0.1:65536"},
        {"--policyServer", "198.51.100.3:99999"}},
       "192.0.2.1:81", "192.0.2.2:53", "none", defaultPolicy},
      {{{"--secondDNS", "198.51.100.2:port"}, {"--policyServer", "198.51.100.3"}}, "192.0.2.1:81", "198.51.100.2:53", "none",
       "198.51.100.3:53"},
      {{{"--secondDNS", 5}}, "192.0.2.1:81", "192.0.2.2:53", "none", defaultPolicy},
  };
  for (const auto& c : cases) {
    VendorSettings s = apply(c.vendor);
    EXPECT_EQ(hostText(s.filteringDNS), c.filtering) << c.vendor.dump();
    EXPECT_EQ(hostText(s.secondDNS), c.second) << c.vendor.dump();
    EXPECT_EQ(hostText(s.localNetworkDNS), c.local) << c.vendor.dump();
    EXPECT_EQ(hostText(s.policyUDPServer), c.policy) << c.vendor.dump();
  }
}

TEST(InitVendorSettings, AllowedAppsTable) {
  struct Case {
    json vendor;
    Strings apps;
  } cases[] = {
      {json::object(), Strings{}},
      {{{"--allowPackages", "com.a,com.b"}}, Strings{"com.a", "com.b"}},
      {{{"--allowPackages", "com.a, com.b"}}, Strings{"com.a", " com.b"}},
      {{{"--allowPackages", "com.a,,  ,com.b,"}}, Strings{"com.a", "com.b"}},
      {{{"--allowPackages", ","}}, Strings{}},
      {{{"--allowPackages", "top"}, {"--jsonVars", R"({"allowPackages":["j.one","j.two"]})"}}, Strings{"j.one", "j.two"}},
      {{{"--allowPackages", "top"}, {"--jsonVars", R"({"allowPackages":["j.one",""," ",7]})"}}, Strings{"j.one", "7"}},
      {{{"--allowPackages", "top"}, {"--jsonVars", "not json"}}, Strings{"top"}},
      {{{"--allowPackages", "top"}, {"--jsonVars", "42"}}, Strings{"top"}},
      {{{"--allowPackages", "top"}, {"--jsonVars", R"("text")"}}, Strings{"top"}},
      {{{"--allowPackages", "top"}, {"--jsonVars", R"(["x"])"}}, Strings{}},
      {{{"--allowPackages", "top"}, {"--jsonVars", ""}}, Strings{"top"}},
      {{{"--allowPackages", "top"}, {"--jsonVars", R"({"other":1})"}}, Strings{}},
      {{{"--allowPackages", "top"}, {"--jsonVars", R"({"allowPackages":"a,b"})"}}, Strings{}},
  };
  for (const auto& c : cases) EXPECT_EQ(apply(c.vendor).allowedApps, c.apps) << c.vendor.dump();
}

TEST(InitVendorSettings, CaptivePortalsAndAllowAll) {
  struct Case {
    json vendor;
    Strings portals;
    bool allowAll;
  } cases[] = {
      {{{"--captivePortalIp", "192.0.2.50,192.0.2.51"}}, Strings{"192.0.2.50", "192.0.2.51"}, false},
      {{{"--captivePortalIp", ""}}, Strings{}, false},
      {{{"--captivePortalIp", "192.0.2.50,,"}, {"--allowAll", "true"}}, Strings{"192.0.2.50"}, true},
      {{{"--jsonVars", R"({"captivePortalIp":"192.0.2.9"})"}, {"--allowAll", "TRUE"}}, Strings{}, false},
  };
  for (const auto& c : cases) {
    VendorSettings s = apply(c.vendor);
    EXPECT_EQ(s.captivePortalIps, c.portals) << c.vendor.dump();
    EXPECT_EQ(s.shouldAllowAll, c.allowAll) << c.vendor.dump();
  }
}

TEST(InitVendorSettings, LogLines) {
  platform::LogCapture capture;
  apply({{"--jsonVars", R"({"allowPackages":["j"]})"}, {"--allowAll", "true"}});
  EXPECT_TRUE(capture.contains("useVardenoDNS: false"));
  EXPECT_TRUE(capture.contains("initVendorSettings1"));
  EXPECT_TRUE(capture.contains(R"(initVendorSettings2, jsonVars = {"allowPackages":["j"]})"));
  EXPECT_TRUE(capture.contains(R"(initVendorSettings3, jsonDict = ["allowPackages": ["j"]])"));
  EXPECT_TRUE(capture.contains("shouldAllowAll: true, secondDNS = 192.0.2.2:53, allowedApps = [\"j\"], captivePortalIps = []"));
}
