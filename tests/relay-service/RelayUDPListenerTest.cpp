#include "relay-service/UDPListener.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <random>

#include <gtest/gtest.h>

#include "platform/foundation/Log.h"
#include "tests/relay-service/LoopbackClient.h"

using platform::waitUntil;
using relay::UDPListener;
using testsupport::LoopbackClient;

namespace {

class RelayListener : public ::testing::Test {
 protected:
  void SetUp() override {
    // The flush may run on the relay's thread after the test: it holds its counter.
    relay_ = std::make_shared<UDPListener>([flushes = flushes_] {
      ++*flushes;
      return std::string("flushed");
    });
    relay_->start(0);
    ASSERT_TRUE(waitUntil([&] { return relay_->isReady(); }));
    port_ = relay_->port();
  }

  // Sends and waits until the relay has logged `expected`.
  void sendAndWait(LoopbackClient& client, std::string_view datagram, std::string_view expected) {
    ASSERT_TRUE(client.sendTo(port_, datagram));
    ASSERT_TRUE(log_.waitFor(expected)) << expected;
  }

  platform::LogCapture log_;
  std::shared_ptr<std::atomic<int>> flushes_ = std::make_shared<std::atomic<int>>(0);
  std::shared_ptr<UDPListener> relay_;
  uint16_t port_ = 0;
};

}  // namespace

TEST_F(RelayListener, UpdateThenRequestRepliesTheBareName) {
  LoopbackClient agent;
  sendAndWait(agent, "&*updateCUjdoe", " CU updated: jdoe");
  EXPECT_TRUE(log_.contains("update CU received, message: &*updateCUjdoe"));
  ASSERT_TRUE(agent.sendTo(port_, "&*requestCU"));
  EXPECT_EQ(agent.receive(), "jdoe");
  EXPECT_TRUE(log_.waitFor("request CU received, cu: jdoe"));
  EXPECT_TRUE(log_.waitFor("Data was sent to UDP"));
  EXPECT_EQ(relay_->xpcUser(), "jdoe");
}

TEST_F(RelayListener, RequestBeforeAnyUpdateGetsAnEmptyDatagram) {
  LoopbackClient agent;
  ASSERT_TRUE(agent.sendTo(port_, "&*requestCU"));
  EXPECT_EQ(agent.receive(), "");
}

TEST_F(RelayListener, PrefixesAreTriedInOrderAndRemovedEverywhere) {
  struct Case {
    std::string datagram;
    std::string logLine;
  };
  LoopbackClient agent;
  for (const Case& c : std::vector<Case>{
           {"&*ALhello &*ALworld", "Agent log: hello world"},
           {"&*AL&*requestCU", "Agent log: &*requestCU"},
           {"&*AL&*updateCUmallory", "Agent log: &*updateCUmallory"},
           {"&*updateCUj&*updateCUdoe&*updateCU", " CU updated: jdoe"},
           {"&*updateCU", " CU updated: "},
           {"&*updateCU&*requestCU", " CU updated: &*requestCU"},
       }) {
    sendAndWait(agent, c.datagram, c.logLine);
  }
  // Lower case is not a prefix; nothing above sent a reply.
  sendAndWait(agent, "&*al not a prefix", "Listener ignored a datagram that is no relay message, bytes: 17");
  EXPECT_EQ(agent.receive(std::chrono::milliseconds(0)), std::nullopt);
  ASSERT_TRUE(agent.sendTo(port_, "&*requestCU trailing"));
  EXPECT_EQ(agent.receive(), "&*requestCU");
}

TEST_F(RelayListener, CommandsAreLoggedAndNotificationSetsTheStatus) {
  LoopbackClient ext;
  EXPECT_EQ(relay_->proxyStatus(), "stopped");
  sendAndWait(ext, R"({"cmdType":"printToLog","payload":"say \"hi\" \\ there"})",
              R"(got printToLog from Ext: say "hi" \ there)");
  sendAndWait(ext, R"({"cmdType":"command","payload":"bypassAllOn"})", "got command from Ext: bypassAllOn");
  EXPECT_EQ(relay_->proxyStatus(), "stopped");
  sendAndWait(ext, R"({"payload":"started","cmdType":"notification"})", "got notification from Ext: started");
  EXPECT_EQ(relay_->proxyStatus(), "started");
  sendAndWait(ext, R"({"cmdType":"Notification","payload":"stopped"})", "Listener ignored a datagram");
  EXPECT_EQ(relay_->proxyStatus(), "started");
}

TEST_F(RelayListener, FlushesOncePerNewPeer) {
  LoopbackClient a, b;
  sendAndWait(a, "&*ALa1", "Agent log: a1");
  sendAndWait(a, "&*ALa2", "Agent log: a2");
  ASSERT_TRUE(waitUntil([&] { return log_.count("clearDNSCacheCmd result - flushed") == 1; }));
  EXPECT_EQ(flushes_->load(), 1);
  sendAndWait(b, "&*ALb1", "Agent log: b1");
  ASSERT_TRUE(waitUntil([&] { return log_.count("clearDNSCacheCmd result - flushed") == 2; }));
  EXPECT_EQ(flushes_->load(), 2);
  EXPECT_EQ(log_.count("Listener receiving new message"), 2u);
}

TEST_F(RelayListener, ReplyGoesToThePeerThatAsked) {
  LoopbackClient first, second;
  sendAndWait(first, "&*updateCUjdoe", " CU updated: jdoe");
  sendAndWait(second, "&*ALhere", "Agent log: here");  // now the most recent peer
  ASSERT_TRUE(first.sendTo(port_, "&*requestCU"));
  EXPECT_EQ(first.receive(), "jdoe");
  // The first peer keeps its own receive loop.
  ASSERT_TRUE(first.sendTo(port_, "&*requestCU"));
  EXPECT_EQ(first.receive(), "jdoe");
  ASSERT_TRUE(second.sendTo(port_, "&*requestCU"));
  EXPECT_EQ(second.receive(), "jdoe");
  EXPECT_EQ(second.receive(std::chrono::milliseconds(0)), std::nullopt);
}

TEST_F(RelayListener, EachListenerKeepsItsOwnUser) {
  auto other = std::make_shared<UDPListener>([] { return std::string(); });
  other->start(0);
  ASSERT_TRUE(waitUntil([&] { return other->isReady(); }));
  LoopbackClient agent;
  sendAndWait(agent, "&*updateCUjdoe", " CU updated: jdoe");
  ASSERT_TRUE(agent.sendTo(other->port(), "&*requestCU"));
  EXPECT_EQ(agent.receive(), "");
  EXPECT_EQ(other->xpcUser(), "");
}

TEST_F(RelayListener, HostileDatagramsAreLoggedAndTheLoopGoesOn) {
  std::mt19937 random(7);
  std::string noise(512, '\0');
  for (auto& ch : noise) ch = static_cast<char>(random());
  std::vector<std::string> hostile{
      noise,
      "\xFF\xFE\xC0\xAF",
      std::string(65507, 'A'),
      std::string(65507, '['),
      std::string(30000, '[') + std::string(30000, ']'),
      R"({"cmdType":"printToLog","payload":{"nested":[1,2,3]}})",
      R"({"cmdType":"printToLog"})",
      "{\"cmdType\":\"printToLog\",\"payload\":\"\xFF\"}",
      "null",
      "",
  };
  LoopbackClient peer;
  for (const auto& datagram : hostile) ASSERT_TRUE(peer.sendTo(port_, datagram));
  ASSERT_TRUE(peer.sendTo(port_, "&*updateCU\xFFjdoe"));
  ASSERT_TRUE(peer.sendTo(port_, "&*requestCU"));
  EXPECT_EQ(peer.receive(), "\xEF\xBF\xBDjdoe");
  EXPECT_TRUE(relay_->isReady());
}

TEST_F(RelayListener, PeerThatClosesBeforeItsReplyLeavesThePortWorking) {
  {
    LoopbackClient gone;
    ASSERT_TRUE(gone.sendTo(port_, "&*requestCU"));
    gone.close();
    EXPECT_TRUE(log_.waitFor("request CU received, cu: "));
  }
  LoopbackClient next;
  sendAndWait(next, "&*updateCUjdoe", " CU updated: jdoe");
  ASSERT_TRUE(next.sendTo(port_, "&*requestCU"));
  EXPECT_EQ(next.receive(), "jdoe");
  EXPECT_TRUE(relay_->listening());
}

TEST_F(RelayListener, PortInUseIsLoggedAsDisconnected) {
  auto clash = std::make_shared<UDPListener>([] { return std::string(); });
  clash->start(port_);
  EXPECT_TRUE(log_.waitFor("Listener disconnected from port " + std::to_string(port_)));
  EXPECT_FALSE(clash->isReady());
  EXPECT_FALSE(clash->listening());
  EXPECT_TRUE(relay_->isReady());
}

TEST_F(RelayListener, CancelledPeerEndsOnlyItsOwnConnection) {
  // The listener cancels the quietest peer once too many are open.
  const std::size_t peers = platform::UdpListenerParameters{}.maxConnections + 1;
  std::vector<std::unique_ptr<LoopbackClient>> clients;
  for (std::size_t i = 0; i < peers; ++i) {
    clients.push_back(std::make_unique<LoopbackClient>());
    ASSERT_TRUE(clients.back()->sendTo(port_, "&*ALpeer" + std::to_string(i)));
    ASSERT_TRUE(log_.waitFor("Agent log: peer" + std::to_string(i)));
  }
  EXPECT_TRUE(log_.waitFor("Listener failed to receive message - "));
  EXPECT_TRUE(relay_->listening());
  EXPECT_TRUE(relay_->isReady());
  // The cancelled peer comes back as a new one; the others keep their loops.
  ASSERT_TRUE(clients.front()->sendTo(port_, "&*requestCU"));
  EXPECT_EQ(clients.front()->receive(), "");
  ASSERT_TRUE(clients.back()->sendTo(port_, "&*requestCU"));
  EXPECT_EQ(clients.back()->receive(), "");
  // Flushes for peers that came while one ran were coalesced.
  EXPECT_GE(flushes_->load(), 1);
  EXPECT_LE(flushes_->load(), static_cast<int>(peers) + 1);
}

namespace {

// A flush that hangs until released, counting its runs.
struct GatedFlush {
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  int started = 0;
  int running = 0;
  int mostAtOnce = 0;

  std::string run() {
    std::unique_lock lock(mutex);
    ++started;
    mostAtOnce = std::max(mostAtOnce, ++running);
    changed.notify_all();
    changed.wait(lock, [&] { return open; });
    --running;
    return std::string("released");
  }
  void release() {
    std::lock_guard lock(mutex);
    open = true;
    changed.notify_all();
  }
  int startedCount() {
    std::lock_guard lock(mutex);
    return started;
  }
};

}  // namespace

TEST(RelayListenerFlush, HangingFlushStallsNoPeerAndRequestsCoalesce) {
  platform::LogCapture log;
  auto gate = std::make_shared<GatedFlush>();
  {
    auto relay = std::make_shared<UDPListener>([gate] { return gate->run(); });
    // A failed assertion leaves no flush hanging for the listener's end to wait on.
    struct ReleaseAtEnd {
      GatedFlush& gate;
      ~ReleaseAtEnd() { gate.release(); }
    } releaseAtEnd{*gate};
    relay->start(0);
    ASSERT_TRUE(waitUntil([&] { return relay->isReady(); }));
    std::vector<std::unique_ptr<LoopbackClient>> peers;
    for (int i = 0; i < 40; ++i) {
      peers.push_back(std::make_unique<LoopbackClient>());
      ASSERT_TRUE(peers.back()->sendTo(relay->port(), "&*ALpeer" + std::to_string(i)));
      // The others come once the first flush hangs: requests made before it
      // started are served by it, and would make no second one.
      if (i == 0) ASSERT_TRUE(waitUntil([&] { return gate->startedCount() == 1; }));
    }
    // Every peer is served while the first flush hangs.
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(log.waitFor("Agent log: peer" + std::to_string(i))) << i;
    ASSERT_TRUE(peers.front()->sendTo(relay->port(), "&*updateCUjdoe"));
    ASSERT_TRUE(log.waitFor(" CU updated: jdoe"));
    EXPECT_EQ(gate->startedCount(), 1);
    gate->release();
    // The requests made while it hung make one more flush, no more.
    ASSERT_TRUE(waitUntil([&] { return log.count("clearDNSCacheCmd result - released") == 2; }));
    EXPECT_EQ(gate->startedCount(), 2);
    EXPECT_EQ(gate->mostAtOnce, 1);
  }
}
