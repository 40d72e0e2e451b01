#pragma once
// A provider that sends every query unchanged to one fixed resolver (which
// enforces safe search itself) and never fetches policy.
#include <memory>
#include <set>
#include <string>

#include "DnsProxyExt/DnsProxyExt.h"

namespace dnsproxyext {

class SafeSearchDNSProxyProvider : public DnsProxyExt {
 public:
  // The maker's filtering server on port 53.
  static std::string defaultResolverText();

  SafeSearchDNSProxyProvider();
  // `resolverText` ("address:port") replaces the fixed resolver in tests.
  explicit SafeSearchDNSProxyProvider(Environment environment, std::string resolverText = defaultResolverText());

  void startFetchingPolicy() override {}
  void fetchPolicy() override {}
  void connectToDNS(const FlowPtr& flow, std::optional<std::vector<Datagram>> data,
                    std::optional<std::vector<platform::NWHostEndpoint>> endpoints,
                    std::optional<platform::NEError> error) override;

  const std::set<std::string> ytSafeSearchDomains{"www.youtube.com", "m.youtube.com", "youtubei.googleapis.com",
                                                  "youtube.googleapis.com", "www.youtube-nocookie.com"};
  const std::set<std::string> googleSafeSearchDomains{"www.google.com"};
  const std::string googleSafeSearchCanonicalName = "forcesafesearch.google.com";

 protected:
  const char* className() const override { return "SafeSearchDNSProxyProvider"; }
  void onResolverAnswer(const FlowPtr& flow, std::optional<Datagram> datagram,
                        std::optional<platform::NWHostEndpoint> endpoint, bool isFinished,
                        std::optional<platform::NWError> error) override;

 private:
  std::string resolverText_;
};

}  // namespace dnsproxyext
