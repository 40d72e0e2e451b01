#include "DnsProxyExt/WhitelistedDomains.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace dnsproxyext {
namespace {

std::vector<uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

TEST(WhitelistedDomains, RequestTextIsWrittenExactly) {
  EXPECT_EQ(policyRequestText("org-1"), R"({"function": "localDNSMap","companyId": "org-1"})");
  // Quotes, backslashes and control bytes cannot break out of the JSON string.
  EXPECT_EQ(policyRequestText(R"(a"b)"), R"({"function": "localDNSMap","companyId": "a\"b"})");
  EXPECT_EQ(policyRequestText("a\\b\n"), R"({"function": "localDNSMap","companyId": "a\\b\n"})");
  EXPECT_TRUE(nlohmann::json::accept(policyRequestText("x\"}, {\"function\": \"other")));
}

TEST(WhitelistedDomains, DecodesAValidReply) {
  auto r = decodeWhitelistedDomains(bytes(
      R"({"status": true, "extra": 1, "dnsServerSettings": [{"assignedDomains": ["a.example", "b.example"], "dnsServerIP": "10.0.0.5:5353"}]})"));
  ASSERT_TRUE(std::holds_alternative<WhitelistedDomains>(r));
  const auto& w = std::get<WhitelistedDomains>(r);
  EXPECT_TRUE(w.status);
  ASSERT_EQ(w.dnsServerSettings.size(), 1u);
  EXPECT_EQ(w.dnsServerSettings[0].assignedDomains, (std::vector<std::string>{"a.example", "b.example"}));
  EXPECT_EQ(w.dnsServerSettings[0].dnsServerIP, "10.0.0.5:5353");
}

TEST(WhitelistedDomains, RejectsMissingOrMistypedMembers) {
  const std::string deep = R"({"status": true, "dnsServerSettings": )" + std::string(60000, '[');
  const std::string bad[] = {
      R"({"status": 1, "dnsServerSettings": []})",
      R"({"dnsServerSettings": []})",
      R"({"status": true})",
      R"({"status": true, "dnsServerSettings": [{"assignedDomains": ["a"]}]})",
      R"({"status": true, "dnsServerSettings": [{"assignedDomains": [1], "dnsServerIP": "x"}]})",
      R"({"status": true, "dnsServerSettings": [{"assignedDomains": "a", "dnsServerIP": "x"}]})",
      R"({"status": true, "dnsServerSettings": [7]})",
      R"([true])",
      "not json",
      "",
      deep,
  };
  for (const std::string& text : bad) {
    auto r = decodeWhitelistedDomains(bytes(text));
    ASSERT_TRUE(std::holds_alternative<std::string>(r)) << text.substr(0, 80);
    EXPECT_FALSE(std::get<std::string>(r).empty()) << text.substr(0, 80);
  }
}

}  // namespace
}  // namespace dnsproxyext
