#include <gtest/gtest.h>

#include <fstream>
#include <mutex>

#include "DnsProxyExt/XpcUdpCommandParser.h"
#include "ProviderFixture.h"

namespace dnsproxyext::testing {
namespace {

// A relay connection that records what is sent and when it is cancelled.
class RecordingConnection : public platform::UdpConnection {
 public:
  explicit RecordingConnection(platform::NWEndpoint remote) : remote_(std::move(remote)) {}

  void setStateUpdateHandler(StateHandler handler) override { handler_ = std::move(handler); }
  void start(std::shared_ptr<platform::DispatchQueue>) override {
    if (handler_) handler_(platform::NWConnectionState{platform::NWConnectionState::ready, std::nullopt});
  }
  void send(std::vector<uint8_t> datagram, SendCompletion completion) override {
    {
      std::lock_guard lock(mutex_);
      events_.push_back("send " + std::string(datagram.begin(), datagram.end()));
    }
    if (completion) completion(std::nullopt);
  }
  void receiveMessage(ReceiveCompletion completion) override {
    std::lock_guard lock(mutex_);
    receive_ = std::move(completion);
  }
  void cancel() override {
    std::lock_guard lock(mutex_);
    events_.push_back("cancel");
    cancelled_ = true;
  }
  platform::NWConnectionState state() const override {
    std::lock_guard lock(mutex_);
    return {cancelled_ ? platform::NWConnectionState::cancelled : platform::NWConnectionState::ready, std::nullopt};
  }
  const platform::NWEndpoint& endpoint() const override { return remote_; }
  std::optional<std::string> currentPath() const override { return std::nullopt; }

  // Delivers one incoming datagram to the armed receive.
  bool deliver(const std::string& text) {
    ReceiveCompletion receive;
    {
      std::lock_guard lock(mutex_);
      receive = std::exchange(receive_, nullptr);
    }
    if (!receive) return false;
    receive(std::vector<uint8_t>(text.begin(), text.end()), true, std::nullopt);
    return true;
  }
  std::vector<std::string> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  platform::NWEndpoint remote_;
  StateHandler handler_;
  mutable std::mutex mutex_;
  ReceiveCompletion receive_;
  std::vector<std::string> events_;
  bool cancelled_ = false;
};

class ProviderLifecycle : public ProviderFixture {
 protected:
  std::shared_ptr<DnsProxyExt> startWithRecordedRelay(std::optional<nlohmann::json> options) {
    auto relay = std::make_shared<XpcUdpHelper>(
        [this](const platform::NWEndpoint& e) {
          connection_ = std::make_shared<RecordingConnection>(e);
          return connection_;
        },
        delayed_);
    DnsProxyExt::Environment env;
    env.clock = clock_;
    env.globalQueue = delayed_;
    env.defaults = platform::UserDefaults::suite(DnsProxyExt::kGroupId);
    env.mdm = mdm_.get();
    env.relay = relay;
    auto provider = std::make_shared<DNSProxyProvider>(env);
    bool done = false;
    provider->startProxy(std::move(options), [&](std::optional<platform::NEError> error) {
      EXPECT_FALSE(error);
      done = true;
    });
    EXPECT_TRUE(done);
    return provider;
  }

  std::shared_ptr<RecordingConnection> connection_;
};

size_t indexOf(const std::vector<std::string>& events, const std::string& needle) {
  for (size_t i = 0; i < events.size(); ++i)
    if (events[i].find(needle) != std::string::npos) return i;
  return events.size();
}

TEST_F(ProviderLifecycle, StartSendsStartedAndStopSendsStoppedBeforeClosingTheChannel) {
  auto provider = startWithRecordedRelay(nlohmann::json{{"VendorData", vendorData()}});
  ASSERT_TRUE(connection_);
  EXPECT_EQ(connection_->endpoint().host, "localhost");
  provider->stopProxy(platform::NEProviderStopReason::userInitiated, [] {});
  delayed_->runPending();
  auto events = connection_->events();
  size_t started = indexOf(events, R"({"cmdType":"notification","payload":"started"})");
  size_t stopReason = indexOf(events, R"("payload":"stopProxy, reason: )");
  size_t stopped = indexOf(events, R"({"cmdType":"notification","payload":"stopped"})");
  size_t cancel = indexOf(events, "cancel");
  ASSERT_LT(started, events.size());
  ASSERT_LT(stopped, events.size());
  ASSERT_LT(cancel, events.size());
  EXPECT_LT(started, stopReason);
  EXPECT_LT(stopReason, stopped);
  EXPECT_LT(stopped, cancel);
}

TEST_F(ProviderLifecycle, RelayCommandReachesTheProvider) {
  auto provider = startWithRecordedRelay(std::nullopt);
  ASSERT_TRUE(connection_);
  ASSERT_TRUE(connection_->deliver(R"({"cmdType":"command","payload":"bypassAllOn"})"));
  delayed_->runPending();
  EXPECT_TRUE(provider->bypassAll());
  EXPECT_FALSE(provider->handleNewUDPFlow(flowWith("curl", {queryBytes("x.example.")}), endpoint()));
}

TEST_F(ProviderLifecycle, VendorDataIsStoredWithItsKeysUnchangedAndAppliedWithoutDashes) {
  start(nlohmann::json{{"VendorData", vendorData()}});
  auto stored = platform::UserDefaults::suite(DnsProxyExt::kGroupId)->dictionary("mdmConf");
  ASSERT_TRUE(stored);
  EXPECT_EQ((*stored)["--organizationId"], "org-1");
  EXPECT_EQ(provider_->macOSconfig().at("organizationId"), "org-1");
  auto config = provider_->resolverConfig();
  EXPECT_EQ(config.filteringDNS->port, filtering_->port());
  EXPECT_EQ(config.allowedApps, std::vector<std::string>{"com.allowed.app"});
  ASSERT_TRUE(provider_->policyUDPServer());
  EXPECT_EQ(provider_->policyUDPServer()->port, policy_->port());
}

TEST_F(ProviderLifecycle, StartWithoutVendorDataLogsTheStoredCopyAndKeepsTheDefaults) {
  start(nlohmann::json{{"VendorData", vendorData()}});
  provider_->stopProxy(platform::NEProviderStopReason::userInitiated, [] {});
  for (auto options : {std::optional<nlohmann::json>{}, std::optional<nlohmann::json>{nlohmann::json{{"other", 1}}},
                       std::optional<nlohmann::json>{nlohmann::json{{"VendorData", "not a dictionary"}}}}) {
    platform::LogCapture capture;
    start(options);
    EXPECT_TRUE(capture.contains("options(vendor data) are nil --> retrieving previous params from local storage"));
    EXPECT_TRUE(capture.contains("retrieved options: Optional("));
    EXPECT_TRUE(capture.contains("org-1"));
    EXPECT_TRUE(provider_->macOSconfig().empty());
    EXPECT_FALSE(provider_->policyUDPServer());
    auto config = provider_->resolverConfig();
    EXPECT_EQ(config.filteringDNS->port, 81);
    EXPECT_EQ(config.secondDNS->port, 53);
    ASSERT_TRUE(config.localNetworkDNS);
    EXPECT_EQ(config.localNetworkDNS->port, 53);
    EXPECT_FALSE(config.shouldAllowAll);
    provider_->stopProxy(platform::NEProviderStopReason::userInitiated, [] {});
  }
}

TEST_F(ProviderLifecycle, SleepAndWakeOnlyLog) {
  start(std::nullopt);
  platform::LogCapture capture;
  bool slept = false;
  provider_->sleep([&] { slept = true; });
  provider_->wake();
  EXPECT_TRUE(slept);
  EXPECT_TRUE(capture.contains("sleep proxy"));
  EXPECT_TRUE(capture.contains("wake proxy"));
  provider_->receivedCommandFromApp(XpcUdpCommand{XpcUdpCommandParser::CmdType::command, "other"});
  EXPECT_TRUE(capture.contains("unknown XpcUdp command"));
}

}  // namespace
}  // namespace dnsproxyext::testing
