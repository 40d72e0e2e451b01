#include <gtest/gtest.h>

#include <cstdlib>

#include "DnsProxyExt/XpcUdpHelper.h"
#include "FakeUdpConnection.h"
#include "platform/foundation/Log.h"

using namespace dnsproxyext;
using platform::NWConnectionState;
using testsupport::FakeConnections;

namespace {

std::vector<uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }
std::string text(const std::vector<uint8_t>& b) { return {b.begin(), b.end()}; }

struct RecordingDelegate : AppToExtDelegate {
  void cfReceivedNewMessage(const std::string&) override {}
  void receivedCommandFromApp(const XpcUdpCommand& msg) override { commands.push_back(msg); }
  std::vector<XpcUdpCommand> commands;
};

struct PlainDelegate : DNSProxyToContentFilter {
  void cfReceivedNewMessage(const std::string&) override {}
};

class XpcUdpHelperTest : public ::testing::Test {
 protected:
  std::shared_ptr<platform::ManualQueue> queue = std::make_shared<platform::ManualQueue>();
  FakeConnections connections;
  XpcUdpHelper helper{connections.factory(), queue};
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();

  testsupport::FakeUdpConnection& connectReady(XpcUdpHelper::RespCallback callback = nullptr) {
    helper.connectToUDP(delegate, std::nullopt, std::nullopt, std::move(callback));
    auto& c = *connections.made.back();
    c.moveTo({NWConnectionState::ready, std::nullopt});
    queue->runPending();
    return c;
  }
};

}  // namespace

TEST_F(XpcUdpHelperTest, NothingIsSentOrLoggedBeforeConnecting) {
  platform::LogCapture capture;
  helper.printLogToFile("early line");
  helper.proxyStateWasUpdated("started");
  helper.sendUDP(bytes("x"));
  helper.receiveUDP(nullptr);
  helper.closeConnection();
  EXPECT_TRUE(connections.made.empty());
  EXPECT_TRUE(capture.lines().empty());
}

TEST_F(XpcUdpHelperTest, ConnectsToLocalhostOnTheRelayPort) {
  ::unsetenv("VARDENO_RELAY_EXT_PORT");
  helper.connectToUDP(delegate, std::nullopt, std::nullopt, nullptr);
  ::setenv("VARDENO_RELAY_EXT_PORT", "40123", 1);
  helper.connectToUDP(std::nullopt);
  ::setenv("VARDENO_RELAY_EXT_PORT", "70000", 1);
  helper.connectToUDP(std::nullopt);
  helper.connectToUDP(uint16_t{5555});
  helper.sendUdpRequest(6666, "&*requestCU", nullptr);
  ::unsetenv("VARDENO_RELAY_EXT_PORT");
  ASSERT_EQ(connections.endpoints.size(), 5u);
  EXPECT_EQ(connections.endpoints[0].host, "localhost");
  EXPECT_EQ(connections.endpoints[0].port, 9898);
  EXPECT_EQ(connections.endpoints[1].port, 40123);
  EXPECT_EQ(connections.endpoints[2].port, 9898);
  EXPECT_EQ(connections.endpoints[3].port, 5555);
  EXPECT_EQ(connections.endpoints[4].port, 6666);
  EXPECT_TRUE(connections.made[0]->started);
  // A replaced connection is cancelled so that its socket is not kept.
  EXPECT_EQ(connections.made[0]->cancelCount, 1);
  EXPECT_EQ(helper.connection(), connections.made.back());
}

TEST_F(XpcUdpHelperTest, StartedIsSentBeforeReadyAndLogLinesAsJson) {
  helper.connectToUDP(delegate, std::nullopt, std::nullopt, nullptr);
  helper.proxyStateWasUpdated("started");
  helper.printLogToFile("line \"with\" \\ quotes");
  auto& c = *connections.made[0];
  ASSERT_EQ(c.sentDatagrams().size(), 2u);
  EXPECT_EQ(text(c.sent[0]), R"({"cmdType":"notification","payload":"started"})");
  EXPECT_EQ(text(c.sent[1]), R"({"cmdType":"printToLog","payload":"line \"with\" \\ quotes"})");
  EXPECT_EQ(c.armedReceives(), 0u);

  platform::LogCapture capture;
  c.completeSend(0);
  c.completeSend(1, platform::NWError{61, "POSIXErrorCode(rawValue: 61): Connection refused"});
  queue->runPending();
  EXPECT_TRUE(capture.contains("*Xpc Udp Data was sent to UDP*"));
  EXPECT_TRUE(capture.contains(
      "Xpc Udp ERROR! Error when data (Type: Data) sending. NWError: \n POSIXErrorCode(rawValue: 61): Connection refused"));
}

TEST_F(XpcUdpHelperTest, StateLogLines) {
  helper.connectToUDP(delegate, std::nullopt, std::nullopt, nullptr);
  auto& c = *connections.made[0];
  platform::NWError error{50, "POSIXErrorCode(rawValue: 50): Network is down"};
  struct Case {
    NWConnectionState state;
    std::string line;
  } cases[] = {
      {{NWConnectionState::setup, std::nullopt}, "Xpc Udp State: Setup\n"},
      {{NWConnectionState::preparing, std::nullopt}, "Xpc Udp State: Preparing\n"},
      {{NWConnectionState::waiting, error}, "Xpc Udp State: Waiting, error: " + error.description},
      {{NWConnectionState::failed, error}, "Xpc Udp State: Failed,, failed: " + error.description},
      {{NWConnectionState::cancelled, std::nullopt}, "Xpc Udp State: Cancelled\n"},
  };
  for (const auto& cs : cases) {
    platform::LogCapture capture;
    c.moveTo(cs.state);
    queue->runPending();
    EXPECT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(capture.contains(cs.line)) << cs.line;
  }
  EXPECT_EQ(c.armedReceives(), 0u);
  EXPECT_EQ(c.cancelCount, 0);
}

TEST_F(XpcUdpHelperTest, ReadyArmsOneReceiveAndSendsTheRequest) {
  helper.connectToUDP(nullptr, std::nullopt, std::string("&*requestCU"), nullptr);
  auto& c = *connections.made[0];
  c.moveTo({NWConnectionState::ready, std::nullopt});
  queue->runPending();
  EXPECT_EQ(c.armedReceives(), 1u);
  ASSERT_EQ(c.sentDatagrams().size(), 1u);
  EXPECT_EQ(text(c.sent[0]), "&*requestCU");
}

TEST_F(XpcUdpHelperTest, CommandReachesTheDelegateThenTheChannelCloses) {
  std::vector<std::optional<std::string>> replies;
  auto& c = connectReady([&](std::optional<std::string> t, std::optional<platform::NWError> e) {
    EXPECT_FALSE(e);
    replies.push_back(t);
  });
  c.deliver(bytes(R"({"cmdType":"command","payload":"bypassAllOn"})"));
  queue->runPending();
  ASSERT_EQ(delegate->commands.size(), 1u);
  EXPECT_EQ(delegate->commands[0], (XpcUdpCommand{XpcUdpCommandParser::CmdType::command, "bypassAllOn"}));
  EXPECT_EQ(replies.size(), 1u);
  EXPECT_EQ(c.cancelCount, 1);
  EXPECT_EQ(c.armedReceives(), 0u);
}

TEST_F(XpcUdpHelperTest, IncomingDatagramTable) {
  struct Case {
    std::optional<std::string> data;
    bool complete;
    std::vector<std::string> lines;
    bool callback, cancelled;
  } cases[] = {
      {"&*requestCU", true, {"*Xpc Udp Received message: &*requestCU"}, true, true},
      {R"({"cmdType":"printToLog","payload":"x"})", true, {"default"}, true, true},
      {R"({"cmdType":"notification","payload":"stopped"})", true, {"default"}, true, true},
      {"garbage", true, {"Xpc Udp ERROR! Received datagram is not a command"}, true, true},
      {std::nullopt, true, {"*Xpc Udp Receive is complete*", "Xpc Udp Data == nil"}, false, false},
      {"ignored", false, {}, false, false},
      {std::string("bad \xFF utf8"), true, {"*Xpc Udp Received message: bad \xEF\xBF\xBD utf8"}, true, true},
  };
  for (const auto& cs : cases) {
    int callbacks = 0;
    auto& c = connectReady([&](std::optional<std::string>, std::optional<platform::NWError>) { ++callbacks; });
    platform::LogCapture capture;
    c.deliver(cs.data ? std::optional(bytes(*cs.data)) : std::nullopt, cs.complete);
    queue->runPending();
    for (const auto& line : cs.lines) EXPECT_TRUE(capture.contains(line)) << line;
    if (cs.lines.empty()) {
      EXPECT_TRUE(capture.lines().empty());
    }
    EXPECT_EQ(callbacks, cs.callback ? 1 : 0) << cs.data.value_or("<nil>");
    EXPECT_EQ(c.cancelCount, cs.cancelled ? 1 : 0) << cs.data.value_or("<nil>");
  }
  EXPECT_TRUE(delegate->commands.empty());
}

TEST_F(XpcUdpHelperTest, CommandWithoutAppDelegateIsIgnored) {
  auto plain = std::make_shared<PlainDelegate>();
  helper.connectToUDP(plain, std::nullopt, std::nullopt, nullptr);
  auto& c = *connections.made[0];
  c.moveTo({NWConnectionState::ready, std::nullopt});
  queue->runPending();
  c.deliver(bytes(R"({"cmdType":"command","payload":"bypassAllOn"})"));
  EXPECT_NO_FATAL_FAILURE(queue->runPending());
  EXPECT_EQ(c.cancelCount, 1);
}

TEST_F(XpcUdpHelperTest, DelegateIsNotKeptAlive) {
  auto& c = connectReady();
  std::weak_ptr<RecordingDelegate> weak = delegate;
  delegate.reset();
  EXPECT_TRUE(weak.expired());
  c.deliver(bytes(R"({"cmdType":"command","payload":"bypassAllOn"})"));
  queue->runPending();
  EXPECT_EQ(c.cancelCount, 1);
}

TEST_F(XpcUdpHelperTest, CloseCancelsAndLaterSendsGoToTheClosedConnection) {
  helper.connectToUDP(delegate, std::nullopt, std::nullopt, nullptr);
  helper.proxyStateWasUpdated("stopped");
  helper.closeConnection();
  helper.printLogToFile("after close");
  auto& c = *connections.made[0];
  EXPECT_EQ(c.cancelCount, 1);
  EXPECT_EQ(c.sentDatagrams().size(), 2u);
}

TEST_F(XpcUdpHelperTest, HandlersOutliveTheHelper) {
  auto local = std::make_unique<XpcUdpHelper>(connections.factory(), queue);
  local->connectToUDP(delegate, std::nullopt, std::nullopt, nullptr);
  auto c = connections.made.back();
  local.reset();
  EXPECT_EQ(c->cancelCount, 1);
  c->moveTo({NWConnectionState::ready, std::nullopt});
  EXPECT_NO_FATAL_FAILURE(queue->runPending());
}
