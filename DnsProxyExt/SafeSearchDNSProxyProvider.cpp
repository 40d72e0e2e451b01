#include "DnsProxyExt/SafeSearchDNSProxyProvider.h"

#include "DefaultAddresses.h"
#include "platform/foundation/Log.h"

namespace dnsproxyext {

std::string SafeSearchDNSProxyProvider::defaultResolverText() {
  return std::string(vardeno::defaults::kFilteringDNS) + ":53";
}

SafeSearchDNSProxyProvider::SafeSearchDNSProxyProvider()
    : SafeSearchDNSProxyProvider(Environment::system()) {}

SafeSearchDNSProxyProvider::SafeSearchDNSProxyProvider(Environment environment, std::string resolverText)
    : DnsProxyExt(std::move(environment)), resolverText_(std::move(resolverText)) {}

void SafeSearchDNSProxyProvider::connectToDNS(const FlowPtr& flow, std::optional<std::vector<Datagram>> data,
                                              std::optional<std::vector<platform::NWHostEndpoint>> endpoints,
                                              std::optional<platform::NEError>) {
  auto resolver = std::make_shared<Utils::DNSHost>(resolverText_);
  const int64_t now = clock_->monotonicNanos();
  storeFlowReport(*flow, DNSFlowReport{now, now, now, std::nullopt, resolver->address});
  std::vector<Datagram> datagrams = data ? std::move(*data) : std::vector<Datagram>{};
  std::vector<platform::NWHostEndpoint> eps = endpoints ? std::move(*endpoints) : std::vector<platform::NWHostEndpoint>{};
  sendToResolver(flow, resolver, std::move(datagrams), std::move(eps));
}

void SafeSearchDNSProxyProvider::onResolverAnswer(const FlowPtr& flow, std::optional<Datagram> datagram,
                                                  std::optional<platform::NWHostEndpoint> endpoint, bool isFinished,
                                                  std::optional<platform::NWError> error) {
  if (!datagram) {
    platform::NSLog("[SafeSearchDNSProxyProvider]: datagram data is nil");
    // A read that ended without an answer still ends its flow.
    if (isFinished) DnsProxyExt::onResolverAnswer(flow, std::nullopt, std::move(endpoint), true, std::move(error));
    return;
  }
  decodeDNSRequest(*datagram, flow->hash());
  DnsProxyExt::onResolverAnswer(flow, std::move(datagram), std::move(endpoint), isFinished, std::move(error));
}

}  // namespace dnsproxyext
