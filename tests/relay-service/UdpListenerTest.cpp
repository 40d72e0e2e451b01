#include "platform/network/UdpListener.h"

#include <ifaddrs.h>
#include <netdb.h>

#include <atomic>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "platform/foundation/Log.h"
#include "tests/relay-service/LoopbackClient.h"

using platform::DispatchQueue;
using platform::NWConnectionState;
using platform::NWListenerState;
using platform::UdpConnection;
using platform::UdpListener;
using platform::UdpListenerParameters;
using platform::waitUntil;
using testsupport::LoopbackClient;

namespace {

std::string text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// A started listener that records its connections, states and datagrams.
// The records live in a shared block, since handlers may still run after
// the test is done with the listener.
struct Recorder {
  struct Records {
    std::mutex mutex;
    std::vector<std::shared_ptr<UdpConnection>> connections;
    std::vector<NWListenerState::Kind> states;
    std::vector<std::vector<NWConnectionState::Kind>> connectionStates;
  };
  std::shared_ptr<Records> rec = std::make_shared<Records>();
  std::shared_ptr<UdpListener> listener;

  explicit Recorder(UdpListenerParameters parameters = {}, uint16_t port = 0, bool startConnections = true) {
    listener = UdpListener::create(std::move(parameters), port);
    std::weak_ptr<Records> weak = rec;
    listener->setStateUpdateHandler([weak](NWListenerState s) {
      if (auto r = weak.lock()) {
        std::lock_guard lock(r->mutex);
        r->states.push_back(s.kind);
      }
    });
    listener->setNewConnectionHandler([weak, startConnections](std::shared_ptr<UdpConnection> c) {
      auto r = weak.lock();
      if (!r) return;
      std::size_t index;
      {
        std::lock_guard lock(r->mutex);
        index = r->connections.size();
        r->connections.push_back(c);
        r->connectionStates.emplace_back();
      }
      c->setStateUpdateHandler([weak, index](NWConnectionState s) {
        if (auto r = weak.lock()) {
          std::lock_guard lock(r->mutex);
          r->connectionStates[index].push_back(s.kind);
        }
      });
      if (startConnections) c->start(DispatchQueue::global());
    });
    listener->start(DispatchQueue::global());
  }
  ~Recorder() {
    listener.reset();
    std::lock_guard lock(rec->mutex);
    rec->connections.clear();
  }

  std::size_t connectionCount() {
    std::lock_guard lock(rec->mutex);
    return rec->connections.size();
  }
  std::shared_ptr<UdpConnection> connection(std::size_t i) {
    std::lock_guard lock(rec->mutex);
    return rec->connections.at(i);
  }
  bool hasState(NWListenerState::Kind kind) {
    std::lock_guard lock(rec->mutex);
    return std::find(rec->states.begin(), rec->states.end(), kind) != rec->states.end();
  }
  bool connectionHasState(std::size_t i, NWConnectionState::Kind kind) {
    std::lock_guard lock(rec->mutex);
    auto& v = rec->connectionStates.at(i);
    return std::find(v.begin(), v.end(), kind) != v.end();
  }
};

// Receives one datagram on `c` (waits up to 5 s).
std::optional<std::string> receiveOne(const std::shared_ptr<UdpConnection>& c) {
  auto got = std::make_shared<std::optional<std::string>>();
  auto done = std::make_shared<std::atomic<bool>>(false);
  c->receiveMessage([got, done](std::optional<std::vector<uint8_t>> data, bool complete, auto) {
    if (data && complete) *got = text(*data);
    *done = true;
  });
  waitUntil([&] { return done->load(); }, std::chrono::seconds(5));
  return *got;
}

}  // namespace

TEST(UdpListener, PortZeroPicksAPortAndRepliesReachThePeer) {
  Recorder r;
  ASSERT_TRUE(waitUntil([&] { return r.hasState(NWListenerState::ready); }));
  ASSERT_NE(r.listener->port(), 0);

  LoopbackClient client;
  ASSERT_TRUE(client.sendTo(r.listener->port(), "hello"));
  ASSERT_TRUE(waitUntil([&] { return r.connectionCount() == 1; }));
  auto c = r.connection(0);
  EXPECT_EQ(c->endpoint().host, "127.0.0.1");
  EXPECT_EQ(c->endpoint().port, client.localPort());
  EXPECT_EQ(receiveOne(c), "hello");
  EXPECT_TRUE(waitUntil([&] { return r.connectionHasState(0, NWConnectionState::ready); }));

  std::atomic<bool> sent{false};
  c->send({'o', 'k'}, [&](std::optional<platform::NWError> e) { sent = !e; });
  EXPECT_EQ(client.receive(), "ok");
  EXPECT_TRUE(waitUntil([&] { return sent.load(); }));
}

TEST(UdpListener, OneConnectionPerRemoteEndpoint) {
  Recorder r;
  ASSERT_TRUE(waitUntil([&] { return r.hasState(NWListenerState::ready); }));
  LoopbackClient a, b;
  ASSERT_TRUE(a.sendTo(r.listener->port(), "a1"));
  ASSERT_TRUE(b.sendTo(r.listener->port(), "b1"));
  ASSERT_TRUE(a.sendTo(r.listener->port(), "a2"));
  ASSERT_TRUE(waitUntil([&] { return r.connectionCount() == 2; }));
  auto ca = r.connection(0)->endpoint().port == a.localPort() ? r.connection(0) : r.connection(1);
  auto cb = ca == r.connection(0) ? r.connection(1) : r.connection(0);
  EXPECT_EQ(receiveOne(ca), "a1");
  EXPECT_EQ(receiveOne(ca), "a2");
  EXPECT_EQ(receiveOne(cb), "b1");
  EXPECT_EQ(r.connectionCount(), 2u);
}

TEST(UdpListener, QueueIsBoundedAndDropsAreCounted) {
  UdpListenerParameters p;
  p.maxQueuedDatagrams = 8;
  Recorder r(p, 0, /*startConnections=*/false);
  ASSERT_TRUE(waitUntil([&] { return r.hasState(NWListenerState::ready); }));
  platform::LogCapture log;
  LoopbackClient client;
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(client.sendTo(r.listener->port(), "d" + std::to_string(i)));
  ASSERT_TRUE(waitUntil([&] { return r.listener->droppedDatagrams() == 12; }));
  // The drops are logged with their count, possibly over several lines.
  auto loggedDrops = [&] {
    uint64_t sum = 0;
    const std::string from = "127.0.0.1:" + std::to_string(client.localPort()) + ", its queue is full";
    for (const auto& line : log.lines()) {
      auto at = line.find(": dropped ");
      if (at == std::string::npos || line.find(from) == std::string::npos) continue;
      sum += std::stoull(line.substr(at + 10));
    }
    return sum;
  };
  EXPECT_TRUE(waitUntil([&] { return loggedDrops() == 12; }));
  ASSERT_TRUE(waitUntil([&] { return r.connectionCount() == 1; }));
  auto c = r.connection(0);
  c->start(DispatchQueue::global());
  for (int i = 0; i < 8; ++i) EXPECT_EQ(receiveOne(c), "d" + std::to_string(i));
  // Room again after draining.
  ASSERT_TRUE(client.sendTo(r.listener->port(), "later"));
  EXPECT_EQ(receiveOne(c), "later");
}

TEST(UdpListener, BurstWaitsWholeForAConnectionNotYetStarted) {
  Recorder r({}, 0, /*startConnections=*/false);
  ASSERT_TRUE(waitUntil([&] { return r.hasState(NWListenerState::ready); }));
  LoopbackClient burst, marker;
  constexpr int kBurst = 200;
  for (int i = 0; i < kBurst; ++i) ASSERT_TRUE(burst.sendTo(r.listener->port(), "line " + std::to_string(i)));
  // The listener reads in order: once the marker's peer is handed over, the burst has been queued.
  ASSERT_TRUE(marker.sendTo(r.listener->port(), "marker"));
  ASSERT_TRUE(waitUntil([&] { return r.connectionCount() == 2; }));
  EXPECT_EQ(r.listener->droppedDatagrams(), 0u);
  auto c = r.connection(0)->endpoint().port == burst.localPort() ? r.connection(0) : r.connection(1);
  c->start(DispatchQueue::global());
  for (int i = 0; i < kBurst; ++i) ASSERT_EQ(receiveOne(c), "line " + std::to_string(i));
}

TEST(UdpListener, LargestDatagramArrivesWhole) {
  Recorder r;
  ASSERT_TRUE(waitUntil([&] { return r.hasState(NWListenerState::ready); }));
  LoopbackClient client;
  std::string big(65507, 'x');
  ASSERT_TRUE(client.sendTo(r.listener->port(), big));
  ASSERT_TRUE(waitUntil([&] { return r.connectionCount() == 1; }));
  EXPECT_EQ(receiveOne(r.connection(0)), big);
}

TEST(UdpListener, CancelledConnectionEndsOnlyItselfAndEndpointComesBackNew) {
  Recorder r;
  ASSERT_TRUE(waitUntil([&] { return r.hasState(NWListenerState::ready); }));
  LoopbackClient client;
  ASSERT_TRUE(client.sendTo(r.listener->port(), "one"));
  ASSERT_TRUE(waitUntil([&] { return r.connectionCount() == 1; }));
  r.connection(0)->cancel();
  EXPECT_TRUE(waitUntil([&] { return r.connectionHasState(0, NWConnectionState::cancelled); }));
  ASSERT_TRUE(client.sendTo(r.listener->port(), "two"));
  ASSERT_TRUE(waitUntil([&] { return r.connectionCount() == 2; }));
  EXPECT_EQ(receiveOne(r.connection(1)), "two");
  EXPECT_EQ(r.listener->state().kind, NWListenerState::ready);
}

TEST(UdpListener, TooManyConnectionsCancelsTheQuietest) {
  UdpListenerParameters p;
  p.maxConnections = 2;
  Recorder r(p);
  ASSERT_TRUE(waitUntil([&] { return r.hasState(NWListenerState::ready); }));
  LoopbackClient a, b, c;
  ASSERT_TRUE(a.sendTo(r.listener->port(), "a"));
  ASSERT_TRUE(waitUntil([&] { return r.connectionCount() == 1; }));
  ASSERT_TRUE(b.sendTo(r.listener->port(), "b"));
  ASSERT_TRUE(waitUntil([&] { return r.connectionCount() == 2; }));
  ASSERT_TRUE(c.sendTo(r.listener->port(), "c"));
  ASSERT_TRUE(waitUntil([&] { return r.connectionCount() == 3; }));
  EXPECT_TRUE(waitUntil([&] { return r.connectionHasState(0, NWConnectionState::cancelled); }));
  EXPECT_EQ(receiveOne(r.connection(2)), "c");
}

TEST(UdpListener, PortInUseFails) {
  Recorder first;
  ASSERT_TRUE(waitUntil([&] { return first.hasState(NWListenerState::ready); }));
  Recorder second({}, first.listener->port());
  EXPECT_TRUE(waitUntil([&] { return second.hasState(NWListenerState::failed); }));
  ASSERT_TRUE(second.listener->state().error);
  EXPECT_EQ(second.listener->state().error->code, EADDRINUSE);
}

TEST(UdpListener, ServesIpv6Loopback) {
  if (!testsupport::ipv6LoopbackAvailable()) GTEST_SKIP() << "no ::1 here";
  Recorder r;
  ASSERT_TRUE(waitUntil([&] { return r.hasState(NWListenerState::ready); }));
  LoopbackClient client(/*ipv6=*/true);
  ASSERT_TRUE(client.sendTo(r.listener->port(), "six"));
  ASSERT_TRUE(waitUntil([&] { return r.connectionCount() == 1; }));
  EXPECT_EQ(r.connection(0)->endpoint().host, "::1");
  EXPECT_EQ(receiveOne(r.connection(0)), "six");
  r.connection(0)->send({'6'}, nullptr);
  EXPECT_EQ(client.receive(), "6");
}

TEST(UdpListener, IgnoresDatagramsToOtherLocalAddresses) {
  // Find an IPv4 address of this machine that is not loopback.
  std::string other;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) == 0) {
    for (ifaddrs* i = list; i; i = i->ifa_next) {
      if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
      char host[NI_MAXHOST];
      if (::getnameinfo(i->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
        continue;
      if (std::string(host).rfind("127.", 0) == 0) continue;
      other = host;
      break;
    }
    ::freeifaddrs(list);
  }
  if (other.empty()) GTEST_SKIP() << "no non-loopback IPv4 address";

  Recorder r;
  ASSERT_TRUE(waitUntil([&] { return r.hasState(NWListenerState::ready); }));
  LoopbackClient client;
  ASSERT_TRUE(client.sendTo(r.listener->port(), "outside", other.c_str()));
  ASSERT_TRUE(client.sendTo(r.listener->port(), "inside"));
  ASSERT_TRUE(waitUntil([&] { return r.connectionCount() >= 1; }));
  // Had the first been taken it would be queued ahead of the second.
  EXPECT_EQ(receiveOne(r.connection(0)), "inside");
}

TEST(UdpListener, CancelEndsListenerAndItsConnections) {
  Recorder r;
  ASSERT_TRUE(waitUntil([&] { return r.hasState(NWListenerState::ready); }));
  LoopbackClient client;
  ASSERT_TRUE(client.sendTo(r.listener->port(), "x"));
  ASSERT_TRUE(waitUntil([&] { return r.connectionCount() == 1; }));
  r.listener->cancel();
  EXPECT_TRUE(waitUntil([&] { return r.hasState(NWListenerState::cancelled); }));
  EXPECT_TRUE(waitUntil([&] { return r.connectionHasState(0, NWConnectionState::cancelled); }));
}
