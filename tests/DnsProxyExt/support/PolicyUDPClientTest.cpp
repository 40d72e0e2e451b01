#include <gtest/gtest.h>

#include "DnsProxyExt/PolicyUDPClient.h"
#include "FakeUdpConnection.h"
#include "platform/foundation/Log.h"

using namespace dnsproxyext;
using platform::NWConnectionState;
using platform::NWError;

namespace {

std::vector<uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

struct Call {
  std::optional<std::vector<uint8_t>> data;
  std::optional<bool> complete;
  std::optional<NWError> error;
};

class PolicyUDPClientTest : public ::testing::Test {
 protected:
  // Every exchange ends by its deadline at the latest.
  void TearDown() override { queue->advance(PolicyUDPClient::kReceiveDeadline); }

  std::shared_ptr<platform::ManualQueue> queue = std::make_shared<platform::ManualQueue>();
  testsupport::FakeConnections connections;
  std::vector<Call> calls;
  std::weak_ptr<PolicyUDPClient> weakClient;

  // Starts an exchange that nobody but the connection holds.
  testsupport::FakeUdpConnection& start(const std::string& ip = "192.0.2.3", int64_t port = 2800) {
    auto client = std::make_shared<PolicyUDPClient>(bytes("request"), PolicyUDPClient::Environment{connections.factory(), queue});
    client->setOnPolicyDataReceived([this](auto data, auto complete, auto error) {
      calls.push_back({std::move(data), complete, std::move(error)});
    });
    client->connectWithUDP(ip, port);
    weakClient = client;
    return *connections.made.back();
  }

  void ready(testsupport::FakeUdpConnection& c) {
    c.moveTo({NWConnectionState::ready, std::nullopt});
    queue->runPending();
  }
};

}  // namespace

TEST_F(PolicyUDPClientTest, SendsOnReadyAndReportsTheOneAnswer) {
  platform::LogCapture capture;
  auto& c = start();
  EXPECT_EQ(connections.endpoints[0].host, "192.0.2.3");
  EXPECT_EQ(connections.endpoints[0].port, 2800);
  EXPECT_TRUE(capture.contains("init new PolicyUDPClient"));
  EXPECT_TRUE(capture.contains("PolicyUDPClient: Connecting to  udp, flowHash "));
  ready(c);
  ASSERT_EQ(c.sentDatagrams().size(), 1u);
  EXPECT_EQ(c.sent[0], bytes("request"));
  EXPECT_EQ(c.armedReceives(), 0u);
  c.completeSend(0);
  queue->runPending();
  EXPECT_EQ(c.armedReceives(), 1u);
  c.deliver(bytes("answer"));
  queue->runPending();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].data, bytes("answer"));
  EXPECT_EQ(calls[0].complete, true);
  EXPECT_FALSE(calls[0].error);
  EXPECT_EQ(c.cancelCount, 1);
  EXPECT_TRUE(capture.contains("PolicyUDPClient - State: Ready,192.0.2.3:2800 \n"));
  EXPECT_TRUE(capture.contains("PolicyUDPClient Data was sent to  UDP, nil, to ip - 192.0.2.3, port - 2800,"));
  EXPECT_TRUE(capture.contains("PolicyUDPClient Udp received,nil, to ip - 192.0.2.3, port - 2800, arr.count = 1, content.count = 1"));
  EXPECT_TRUE(capture.contains(" PolicyUDPClientself.connection?.cancel(), arr.count = 1, content count = 1, nil"));
  // Nothing more fires: no deadline callback, no second call.
  queue->advance(PolicyUDPClient::kReceiveDeadline * 2);
  EXPECT_EQ(calls.size(), 1u);
  EXPECT_EQ(queue->pendingCount(), 0u);
}

TEST_F(PolicyUDPClientTest, RouteTextShowsTheCurrentPath) {
  platform::LogCapture capture;
  auto& c = start();
  c.path = "satisfied (Path is satisfied), interface: lo";
  ready(c);
  EXPECT_TRUE(capture.contains(
      "PolicyUDPClient sendUDP, req to  UDP  "));
  c.completeSend(0);
  queue->runPending();
  EXPECT_TRUE(capture.contains(
      "Data was sent to  UDP, Optional(satisfied (Path is satisfied), interface: lo), to ip - 192.0.2.3, port - 2800,"));
}

TEST_F(PolicyUDPClientTest, SilentServerEndsAtTheDeadlineWithoutCallback) {
  auto& c = start();
  ready(c);
  c.completeSend(0);
  queue->runPending();
  queue->advance(PolicyUDPClient::kReceiveDeadline - std::chrono::seconds(1));
  EXPECT_EQ(c.cancelCount, 0);
  platform::LogCapture capture;
  queue->advance(std::chrono::seconds(1));
  EXPECT_EQ(c.cancelCount, 1);
  EXPECT_TRUE(calls.empty());
  EXPECT_TRUE(capture.contains("PolicyUDPClient no answer within 30 s, closing"));
  EXPECT_EQ(c.armedReceives(), 1u);
  c.deliver(bytes("late"));
  queue->runPending();
  EXPECT_TRUE(calls.empty());
}

TEST_F(PolicyUDPClientTest, NeverReadyEndsAtTheDeadline) {
  auto& c = start();
  c.moveTo({NWConnectionState::waiting, NWError{50, "Network is down"}});
  queue->runPending();
  queue->advance(PolicyUDPClient::kReceiveDeadline);
  EXPECT_EQ(c.cancelCount, 1);
  EXPECT_TRUE(calls.empty());
  EXPECT_TRUE(c.sentDatagrams().empty());
}

TEST_F(PolicyUDPClientTest, SendErrorAndFailedStateCancelWithoutCallback) {
  {
    platform::LogCapture capture;
    auto& c = start();
    ready(c);
    c.completeSend(0, NWError{111, "POSIXErrorCode(rawValue: 111): Connection refused"});
    queue->runPending();
    EXPECT_EQ(c.cancelCount, 1);
    EXPECT_EQ(c.armedReceives(), 0u);
    EXPECT_TRUE(capture.contains("PolicyUDPClient  ERROR! Error when data (Type: Data) sending to  UDP.nil, to ip - "
                                 "192.0.2.3, port - 2800 NWError: \n POSIXErrorCode(rawValue: 111): Connection refused"));
  }
  {
    platform::LogCapture capture;
    auto& c = start();
    c.moveTo({NWConnectionState::failed, NWError{65, "No route to host"}});
    queue->runPending();
    EXPECT_EQ(c.cancelCount, 1);
    EXPECT_TRUE(capture.contains("PolicyUDPClient  -State: Failed,192.0.2.3:2800 failed: No route to host"));
  }
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(queue->pendingCount(), 0u);
}

TEST_F(PolicyUDPClientTest, EmptyOrIncompleteReceiveTable) {
  struct Case {
    std::optional<std::vector<uint8_t>> data;
    bool complete;
    std::optional<NWError> error;
    bool cancelled;
  } cases[] = {
      {std::nullopt, true, std::nullopt, false},
      {bytes("partial"), false, std::nullopt, false},
      {std::nullopt, true, NWError{111, "Connection refused"}, true},
  };
  for (const auto& cs : cases) {
    calls.clear();
    platform::LogCapture capture;
    auto& c = start();
    ready(c);
    c.completeSend(0);
    queue->runPending();
    c.deliver(cs.data, cs.complete, cs.error);
    queue->runPending();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].data, cs.data);
    EXPECT_EQ(calls[0].complete, false);
    EXPECT_EQ(calls[0].error.has_value(), cs.error.has_value());
    EXPECT_EQ(c.cancelCount, cs.cancelled ? 1 : 0);
    EXPECT_TRUE(capture.contains("PolicyUDPClient dns session is not completed,"));
    if (cs.error) {
      EXPECT_TRUE(capture.contains("PolicyUDPClient udp socket error: Optional(Connection refused),nil"));
    }
    queue->advance(PolicyUDPClient::kReceiveDeadline);
    EXPECT_EQ(c.cancelCount, 1);
    EXPECT_EQ(calls.size(), 1u);
  }
}

TEST_F(PolicyUDPClientTest, PortOutsideRangeOpensNothing) {
  for (int64_t port : {int64_t{-1}, int64_t{65536}, int64_t{70000}}) {
    platform::LogCapture capture;
    auto client = std::make_shared<PolicyUDPClient>(bytes("r"), PolicyUDPClient::Environment{connections.factory(), queue});
    client->connectWithUDP("192.0.2.3", port);
    EXPECT_EQ(client->port(), port);
    EXPECT_TRUE(capture.contains("refusing to connect, port outside 0-65535"));
  }
  EXPECT_TRUE(connections.made.empty());
  EXPECT_EQ(queue->pendingCount(), 0u);
}

TEST_F(PolicyUDPClientTest, ClientIsReleasedWhenTheExchangeEnds) {
  auto& c = start();
  EXPECT_FALSE(weakClient.expired());
  ready(c);
  c.completeSend(0);
  queue->runPending();
  c.deliver(bytes("answer"));
  queue->runPending();
  // Only the fake's stored handler still refers to the client.
  c.setStateUpdateHandler(nullptr);
  EXPECT_TRUE(weakClient.expired());
}
