#include "ProviderFixture.h"

#include <unistd.h>

#include "dns/value/WireReader.h"

namespace dnsproxyext::testing {

std::map<uint16_t, std::string> ednsOptions(const Bytes& query) {
  // Walk to the additional section by hand: skip the question and any records.
  std::map<uint16_t, std::string> out;
  auto skipName = [&](size_t& at) {
    while (at < query.size()) {
      uint8_t len = query[at];
      if (len == 0) { ++at; return; }
      if ((len & 0xC0) == 0xC0) { at += 2; return; }
      at += 1 + len;
    }
  };
  if (query.size() < 12) return out;
  auto be16 = [&](size_t at) { return static_cast<uint16_t>(query[at] << 8 | query[at + 1]); };
  size_t qd = be16(4), an = be16(6), ns = be16(8), ar = be16(10);
  size_t at = 12;
  for (size_t i = 0; i < qd; ++i) { skipName(at); at += 4; }
  for (size_t i = 0; i < an + ns + ar && at + 10 <= query.size(); ++i) {
    skipName(at);
    uint16_t type = be16(at);
    uint16_t rdlen = be16(at + 8);
    size_t data = at + 10;
    if (type == 41) {
      for (size_t o = data; o + 4 <= data + rdlen && o + 4 <= query.size();) {
        uint16_t code = be16(o), len = be16(o + 2);
        out[code] = std::string(query.begin() + o + 4, query.begin() + std::min(query.size(), o + 4 + len));
        o += 4 + len;
      }
    }
    at = data + rdlen;
  }
  return out;
}

void ProviderFixture::SetUp() {
  char pattern[] = "/tmp/proxycore-test-XXXXXX";
  root_ = ::mkdtemp(pattern);
  ::setenv("VARDENO_ROOT", root_.c_str(), 1);
  filtering_ = std::make_unique<FakeUdpServer>(answering());
  second_ = std::make_unique<FakeUdpServer>(answering());
  local_ = std::make_unique<FakeUdpServer>(answering());
  mapped_ = std::make_unique<FakeUdpServer>(answering());
  policy_ = std::make_unique<FakeUdpServer>();
  relay_ = std::make_unique<FakeUdpServer>();
  ::setenv("VARDENO_RELAY_EXT_PORT", std::to_string(relay_->port()).c_str(), 1);
  MDMConfigurationManager::Environment env;
  env.groupDefaults = [] { return std::shared_ptr<platform::UserDefaults>(); };
  env.standardDefaults = [] { return std::shared_ptr<platform::UserDefaults>(); };
  env.timeZone = [] { return std::string("Europe/Ljubljana"); };
  mdm_ = std::make_unique<MDMConfigurationManager>(env);
}

void ProviderFixture::TearDown() {
  if (provider_) provider_->stopProxy(platform::NEProviderStopReason::userInitiated, [] {});
  provider_.reset();
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

nlohmann::json ProviderFixture::vendorData() const {
  return nlohmann::json{
      {"--organizationId", "org-1"},
      {"orgUnitId", "unit-7"},
      {"userEmail", "user@example.com"},
      {"--filteringDNS", filtering_->hostText()},
      {"--secondDNS", second_->hostText()},
      {"--localNetworkDNS", local_->hostText()},
      {"--policyServer", policy_->hostText()},
      {"--allowPackages", "com.allowed.app"},
      {"--mappedDomains", "[corp.example:" + mapped_->hostText() + "]"},
  };
}

void ProviderFixture::start(std::optional<nlohmann::json> options) {
  DnsProxyExt::Environment env;
  env.clock = clock_;
  env.globalQueue = delayed_;
  env.defaults = platform::UserDefaults::suite(DnsProxyExt::kGroupId);
  env.mdm = mdm_.get();
  env.resolverClient.answerDeadline = answerDeadline_;
  provider_ = std::make_shared<DNSProxyProvider>(env);
  bool done = false;
  provider_->startProxy(std::move(options), [&](std::optional<platform::NEError> error) {
    EXPECT_FALSE(error);
    done = true;
  });
  ASSERT_TRUE(done);
}

std::shared_ptr<platform::MemoryUdpFlow> ProviderFixture::flowWith(const std::string& app,
                                                                   const std::vector<Bytes>& datagrams,
                                                                   std::shared_ptr<platform::DispatchQueue> queue) {
  auto flow = std::make_shared<platform::MemoryUdpFlow>(app, std::move(queue));
  std::vector<platform::NWHostEndpoint> endpoints;
  for (size_t i = 0; i < datagrams.size(); ++i) endpoints.push_back(endpoint(std::to_string(53 + i)));
  flow->addRead(datagrams, endpoints);
  return flow;
}

bool ProviderFixture::runFlow(const std::shared_ptr<platform::MemoryUdpFlow>& flow) {
  if (!provider_->handleNewUDPFlow(flow, endpoint())) return false;
  return platform::waitUntil([&] { return flow->writeClosed(); }, std::chrono::seconds(10));
}

}  // namespace dnsproxyext::testing
