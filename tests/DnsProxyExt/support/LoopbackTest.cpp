// The relay channel, the policy client and the portal registration against
// real UDP sockets on 127.0.0.1, ports bound to 0.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <atomic>

#include "DnsProxyExt/CapPortalHelper.h"
#include "DnsProxyExt/PolicyUDPClient.h"
#include "DnsProxyExt/XpcUdpHelper.h"
#include "platform/dispatch/Dispatch.h"
#include "support/LoopbackUdpServer.h"

using namespace dnsproxyext;

namespace {

// A loopback socket that answers whoever sent it the last datagram.
class UdpServer {
 public:
  uint16_t port() const { return socket_.local().port(); }

  // One datagram within the timeout, remembering its sender.
  std::optional<std::vector<uint8_t>> receive(int timeoutMs = 5000) {
    return socket_.receive(std::chrono::milliseconds(timeoutMs), &peer_);
  }
  void reply(std::string_view text) { socket_.sendTo(peer_, testing_support::Bytes(text.begin(), text.end())); }

 private:
  testing_support::UdpSocket socket_;
  platform::SocketAddress peer_;
};

std::string text(const std::optional<std::vector<uint8_t>>& b) { return b ? std::string(b->begin(), b->end()) : "<none>"; }

size_t openDescriptors() {
  size_t n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d)) ++n;
    ::closedir(d);
  }
  return n;
}

struct Delegate : AppToExtDelegate {
  void cfReceivedNewMessage(const std::string&) override {}
  void receivedCommandFromApp(const XpcUdpCommand& msg) override {
    payload = msg.payload;
    ++count;
  }
  std::string payload;
  std::atomic<int> count{0};
};

}  // namespace

TEST(Loopback, RelayChannelSendsStartedAndTakesOneCommand) {
  UdpServer relay;
  auto delegate = std::make_shared<Delegate>();
  XpcUdpHelper helper;
  helper.connectToUDP(delegate, relay.port(), std::nullopt, nullptr);
  helper.proxyStateWasUpdated("started");
  EXPECT_EQ(text(relay.receive()), R"({"cmdType":"notification","payload":"started"})");
  helper.printLogToFile("quote \" backslash \\");
  EXPECT_EQ(text(relay.receive()), R"({"cmdType":"printToLog","payload":"quote \" backslash \\"})");
  relay.reply(R"({"cmdType":"command","payload":"bypassAllOn"})");
  ASSERT_TRUE(platform::waitUntil([&] { return delegate->count.load() == 1; }, std::chrono::seconds(10)));
  EXPECT_EQ(delegate->payload, "bypassAllOn");
  EXPECT_TRUE(platform::waitUntil(
      [&] { return helper.connection()->state().kind == platform::NWConnectionState::cancelled; },
      std::chrono::seconds(10)));
}

TEST(Loopback, RelayRequestGetsItsReply) {
  UdpServer relay;
  std::mutex mutex;
  std::optional<std::string> reply;
  XpcUdpHelper helper;
  helper.sendUdpRequest(relay.port(), "&*requestCU", [&](std::optional<std::string> t, std::optional<platform::NWError>) {
    std::lock_guard lock(mutex);
    reply = t;
  });
  EXPECT_EQ(text(relay.receive()), "&*requestCU");
  relay.reply("alice");
  ASSERT_TRUE(platform::waitUntil([&] { std::lock_guard lock(mutex); return reply.has_value(); }));
  std::lock_guard lock(mutex);
  EXPECT_EQ(*reply, "alice");
}

TEST(Loopback, PolicyClientGetsTheAnswer) {
  UdpServer server;
  std::mutex mutex;
  std::optional<std::vector<uint8_t>> answer;
  std::optional<bool> complete;
  auto client = std::make_shared<PolicyUDPClient>(std::vector<uint8_t>{'q'});
  client->setOnPolicyDataReceived([&](auto data, auto isComplete, auto) {
    std::lock_guard lock(mutex);
    answer = data;
    complete = isComplete;
  });
  client->connectWithUDP("127.0.0.1", server.port());
  client.reset();  // the connection keeps it
  EXPECT_EQ(text(server.receive()), "q");
  server.reply(R"({"status":true,"dnsServerSettings":[]})");
  ASSERT_TRUE(platform::waitUntil([&] { std::lock_guard lock(mutex); return answer.has_value(); }));
  std::lock_guard lock(mutex);
  EXPECT_EQ(text(answer), R"({"status":true,"dnsServerSettings":[]})");
  EXPECT_EQ(complete, true);
}

TEST(Loopback, PortalRegistrationReachesEveryPortalAndTheReplyCounts) {
  UdpServer portal;
  auto clock = std::make_shared<platform::FakeClock>(1'800'000'000.0);
  CapPortalHelper::Environment env;
  env.clock = clock;
  env.monitor = std::make_shared<platform::FakePathMonitor>();
  env.portalPort = portal.port();
  CapPortalHelper helper({"127.0.0.1", "127.0.0.1"}, env);
  helper.checkRegistration();
  auto first = portal.receive();
  auto second = portal.receive();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(*first, *second);
  clock->setWall(1'800'000'100.0);
  portal.reply("ok");
  EXPECT_TRUE(platform::waitUntil([&] { return helper.lastRegistrationTime() == 1'800'000'100; }));
}

TEST(Loopback, UnansweredExchangesReleaseTheirSockets) {
  UdpServer silent;
  auto clock = std::make_shared<platform::FakeClock>();
  auto queue = std::make_shared<platform::ManualQueue>(clock);
  {
    // The I/O pool opens descriptors of its own on first use: one exchange runs to its end first.
    auto warm = std::make_shared<PolicyUDPClient>(std::vector<uint8_t>{'w'}, PolicyUDPClient::Environment{{}, queue});
    warm->connectWithUDP("127.0.0.1", silent.port());
    bool sent = false;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         !sent && std::chrono::steady_clock::now() < end;) {
      queue->runPending();
      sent = silent.receive(10).has_value();
    }
    ASSERT_TRUE(sent);
    const size_t withWarm = openDescriptors();
    queue->advance(PolicyUDPClient::kReceiveDeadline);
    ASSERT_TRUE(platform::waitUntil([&] {
      queue->runPending();
      return openDescriptors() < withWarm;
    }, std::chrono::seconds(10)));
  }
  const size_t baseline = openDescriptors();
  constexpr int kExchanges = 20;
  for (int i = 0; i < kExchanges; ++i) {
    auto client = std::make_shared<PolicyUDPClient>(std::vector<uint8_t>{'q'}, PolicyUDPClient::Environment{{}, queue});
    client->setOnPolicyDataReceived([](auto, auto, auto) { ADD_FAILURE() << "no answer was sent"; });
    client->connectWithUDP("127.0.0.1", silent.port());
  }
  CapPortalHelper::Environment env;
  env.clock = clock;
  env.monitor = std::make_shared<platform::FakePathMonitor>();
  env.udp = PolicyUDPClient::Environment{{}, queue};
  env.portalPort = silent.port();
  auto helper = std::make_unique<CapPortalHelper>(std::vector<std::string>{"127.0.0.1", "127.0.0.1"}, env);
  helper->checkRegistration();

  int received = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (received < kExchanges + 2 && std::chrono::steady_clock::now() < deadline) {
    queue->runPending();
    if (silent.receive(10)) ++received;
  }
  EXPECT_EQ(received, kExchanges + 2);
  EXPECT_GE(openDescriptors(), baseline + kExchanges);
  queue->advance(PolicyUDPClient::kReceiveDeadline);
  // The cancelled states come back through the queue: run them too, or the
  // queue and the exchanges it holds keep each other alive.
  EXPECT_TRUE(platform::waitUntil([&] {
    queue->runPending();
    return openDescriptors() <= baseline && queue->pendingCount() == 0;
  }, std::chrono::seconds(10)));
}
