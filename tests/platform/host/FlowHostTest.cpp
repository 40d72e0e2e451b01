// The flow host on real loopback sockets with a test provider.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <tuple>
#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <future>
#include <map>
#include <mutex>
#include <set>

#include "platform/dispatch/Dispatch.h"
#include "platform/host/ListenSocket.h"
#include "platform/foundation/Log.h"
#include "platform/network/OwnSockets.h"
#include "platform/network/UdpConnection.h"
#include "platform/host/SystemDnsForwarder.h"
#include "platform/host/TcpPassthrough.h"
#include "platform/host/UdpFlowHost.h"
#include "support/LoopbackUdp.h"

using namespace platform;
using namespace testing_support;
using namespace std::chrono_literals;

namespace {

// Accepts (or declines) flows, reads once, echoes each datagram back with
// the QR bit set, closes after the last write.
class EchoProvider : public NEDNSProxyProvider {
 public:
  std::atomic<bool> accept{true};
  std::atomic<bool> closeAfterWrite{true};
  std::mutex mutex;
  std::vector<std::shared_ptr<NEAppProxyUDPFlow>> flows;
  std::vector<size_t> readSizes;
  std::vector<NWHostEndpoint> initialEndpoints;

  void startProxy(std::optional<nlohmann::json>, std::function<void(std::optional<NEError>)> done) override {
    done(std::nullopt);
  }
  void stopProxy(NEProviderStopReason, std::function<void()> done) override { done(); }
  bool handleNewUDPFlow(std::shared_ptr<NEAppProxyUDPFlow> flow, NWHostEndpoint remote) override {
    {
      std::lock_guard lock(mutex);
      flows.push_back(flow);
      initialEndpoints.push_back(remote);
    }
    if (!accept) return false;
    flow->openWithLocalEndpoint(NWHostEndpoint{"192.0.2.4", "81"}, [this, flow](std::optional<NEError> error) {
      EXPECT_FALSE(error) << error->description;
      flow->readDatagrams([this, flow](auto datagrams, auto endpoints, auto error) {
        ASSERT_FALSE(error) << error->description;
        ASSERT_TRUE(datagrams && endpoints);
        ASSERT_EQ(datagrams->size(), endpoints->size());
        {
          std::lock_guard lock(mutex);
          readSizes.push_back(datagrams->size());
        }
        std::vector<Datagram> replies;
        for (auto& d : *datagrams) replies.push_back(dnsReply(d));
        flow->writeDatagrams(replies, *endpoints, [this, flow](std::optional<NEError> error) {
          EXPECT_FALSE(error);
          if (closeAfterWrite) {
            flow->closeReadWithError(std::nullopt);
            flow->closeWriteWithError(std::nullopt);
          }
        });
      });
    });
    return true;
  }
  size_t flowCount() {
    std::lock_guard lock(mutex);
    return flows.size();
  }
};

// The host's provider source, holding the provider weakly: the provider's
// flows hold the host, which would otherwise keep both alive.
UdpFlowHost::ProviderSource weakSource(const std::shared_ptr<EchoProvider>& provider) {
  return [weak = std::weak_ptr(provider)]() -> std::shared_ptr<NEDNSProxyProvider> { return weak.lock(); };
}

// Holds every flow until released, then reads them as EchoProvider does:
// datagrams gather at the host meanwhile. The worker is never blocked, so
// the host goes on reading while flows wait.
struct GatedProvider : EchoProvider {
  std::mutex gateMutex;
  bool released = false;
  std::vector<std::pair<std::shared_ptr<NEAppProxyUDPFlow>, NWHostEndpoint>> held;

  bool handleNewUDPFlow(std::shared_ptr<NEAppProxyUDPFlow> flow, NWHostEndpoint remote) override {
    {
      std::lock_guard lock(gateMutex);
      if (!released) {
        held.emplace_back(std::move(flow), std::move(remote));
        return true;
      }
    }
    return EchoProvider::handleNewUDPFlow(flow, remote);
  }
  size_t heldCount() {
    std::lock_guard lock(gateMutex);
    return held.size();
  }
  void release() {
    decltype(held) ready;
    {
      std::lock_guard lock(gateMutex);
      released = true;
      ready.swap(held);
    }
    for (auto& [flow, remote] : ready) EXPECT_TRUE(EchoProvider::handleNewUDPFlow(flow, remote));
  }
};

struct HostFixture : ::testing::Test {
  std::shared_ptr<EchoProvider> provider = std::make_shared<EchoProvider>();
  std::atomic<bool> providerRunning{true};
  // The system DNS: answers with return code 3 so tests can tell who answered.
  UdpResponder systemDns{[](const Bytes& q) { return std::optional<Bytes>(dnsReply(q, 3)); }};
  std::vector<ListenSocket> sockets;
  std::shared_ptr<UdpFlowHost> host;
  SocketAddress listen;

  void SetUp() override {
    std::string error;
    sockets = bindListenSockets({*SocketAddress::parse("127.0.0.1:0")}, error);
    ASSERT_EQ(sockets.size(), 1u) << error;
    listen = sockets[0].bound;
    UdpFlowHost::Settings settings;
    settings.listeners.push_back({sockets[0].udpFd, listen});
    settings.systemDns = systemDns.address();
    settings.owner = SocketOwner::system();
    host = UdpFlowHost::create(settings, [this]() -> std::shared_ptr<NEDNSProxyProvider> {
      return providerRunning ? provider : nullptr;
    });
    host->start();
  }
  void TearDown() override {
    host->stop();
    closeListenSockets(sockets);
  }
};

TEST_F(HostFixture, AcceptedFlowIsAnsweredAndNextDatagramMakesANewFlow) {
  UdpSocket client;
  client.sendTo(listen, dnsQuery(0x1111, "a.example"));
  auto answer = client.receive();
  ASSERT_TRUE(answer);
  EXPECT_EQ(*answer, dnsReply(dnsQuery(0x1111, "a.example")));
  ASSERT_TRUE(waitUntil([&] { return host->flowCount() == 0; }, 5s));

  client.sendTo(listen, dnsQuery(0x2222, "b.example"));
  ASSERT_TRUE(client.receive());
  std::lock_guard lock(provider->mutex);
  ASSERT_EQ(provider->flows.size(), 2u);
  EXPECT_NE(provider->flows[0]->hash(), provider->flows[1]->hash());
  EXPECT_EQ(provider->initialEndpoints[0], client.local().endpoint());
  EXPECT_EQ(provider->flows[0]->localEndpoint(), (NWHostEndpoint{"192.0.2.4", "81"}));
}

TEST_F(HostFixture, MetaDataNamesTheProcessOwningTheClientSocket) {
  UdpSocket client;
  client.sendTo(listen, dnsQuery(1, "owner.example"));
  ASSERT_TRUE(client.receive());
  std::lock_guard lock(provider->mutex);
  ASSERT_EQ(provider->flows.size(), 1u);
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self);
  ASSERT_GT(n, 0);
  EXPECT_EQ(provider->flows[0]->metaData().sourceAppSigningIdentifier, std::string(self, static_cast<size_t>(n)));
}

// Counts the owner look-ups the host makes.
struct CountingOwner : SocketOwner {
  std::atomic<int> lookups{0};
  std::string udpSocketOwner(const SocketAddress& client, const SocketAddress& server) override {
    ++lookups;
    return SocketOwner::udpSocketOwner(client, server);
  }
  std::optional<std::string> quickUdpSocketOwner(const SocketAddress&, const SocketAddress&) override {
    return std::nullopt;  // every look-up through the one above
  }
};

struct IdentityBlindProvider : EchoProvider {
  std::atomic<bool> needsIdentity{false};
  bool needsSourceAppIdentity() const override { return needsIdentity; }
};

TEST(FlowHost, NoOwnerLookUpWhenTheProviderNeedsNoIdentity) {
  std::string error;
  auto sockets = bindListenSockets({*SocketAddress::parse("127.0.0.1:0")}, error);
  ASSERT_EQ(sockets.size(), 1u) << error;
  UdpResponder systemDns{[](const Bytes& q) { return std::optional<Bytes>(dnsReply(q, 3)); }};
  auto owner = std::make_shared<CountingOwner>();
  auto provider = std::make_shared<IdentityBlindProvider>();
  UdpFlowHost::Settings settings;
  settings.listeners.push_back({sockets[0].udpFd, sockets[0].bound});
  settings.systemDns = systemDns.address();
  settings.owner = owner;
  auto host = UdpFlowHost::create(settings, weakSource(provider));
  host->start();
  UdpSocket client;
  client.sendTo(sockets[0].bound, dnsQuery(1, "blind.example"));
  ASSERT_TRUE(client.receive());
  EXPECT_EQ(owner->lookups, 0);
  {
    std::lock_guard lock(provider->mutex);
    EXPECT_EQ(provider->flows.at(0)->metaData().sourceAppSigningIdentifier, "");
  }
  provider->needsIdentity = true;
  client.sendTo(sockets[0].bound, dnsQuery(2, "seen.example"));
  ASSERT_TRUE(client.receive());
  EXPECT_EQ(owner->lookups, 1);
  std::lock_guard lock(provider->mutex);
  ASSERT_EQ(provider->flows.size(), 2u);
  EXPECT_FALSE(provider->flows[1]->metaData().sourceAppSigningIdentifier.empty());
  host->stop();
  closeListenSockets(sockets);
}

TEST_F(HostFixture, DatagramsWaitingForTheReadAreDeliveredTogether) {
  UdpSocket client;
  // Hold the first read back until three datagrams are queued. The provider
  // closes nothing, so the first flow keeps the endpoint.
  auto gate = std::make_shared<GatedProvider>();
  gate->closeAfterWrite = false;
  provider = gate;  // before any datagram, so the host never reads it concurrently
  // The later two come once the provider holds the flow of the first.
  client.sendTo(listen, dnsQuery(1, "x.example"));
  ASSERT_TRUE(waitUntil([&] { return gate->heldCount() == 1; }, 5s));
  for (uint16_t id = 2; id <= 3; ++id) client.sendTo(listen, dnsQuery(id, "x.example"));
  ASSERT_TRUE(waitUntil([&] { return host->pendingDatagramCount() == 3; }, 5s));
  gate->release();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(client.receive()) << i;
  std::lock_guard lock(gate->mutex);
  ASSERT_EQ(gate->readSizes.size(), 1u);
  EXPECT_EQ(gate->readSizes[0], 3u);
}

TEST_F(HostFixture, AnEndpointThatSendsMoreThanOneReadHoldsGetsThemAllAnsweredInSeveralReads) {
  auto gate = std::make_shared<GatedProvider>();
  provider = gate;
  UdpSocket client;
  const int sent = static_cast<int>(UdpFlowHost::kMaxDatagramsPerRead) + 50;
  for (int id = 0; id < sent; ++id) client.sendTo(listen, dnsQuery(static_cast<uint16_t>(id), "flood.example"));
  gate->release();
  std::set<Bytes> answers;
  for (auto deadline = std::chrono::steady_clock::now() + 10s;
       answers.size() < static_cast<size_t>(sent) && std::chrono::steady_clock::now() < deadline;) {
    if (auto answer = client.receive(500ms)) answers.insert(*answer);
  }
  EXPECT_EQ(answers.size(), static_cast<size_t>(sent));
  EXPECT_EQ(host->droppedDatagrams(), 0u);
  std::lock_guard lock(gate->mutex);
  EXPECT_GE(gate->readSizes.size(), 2u);
  for (size_t size : gate->readSizes) EXPECT_LE(size, UdpFlowHost::kMaxDatagramsPerRead);
}

TEST_F(HostFixture, ADatagramAfterTheReadStartsANewFlowAtOnce) {
  // The first flow stays open as if its answers were still on the way.
  provider->closeAfterWrite = false;
  UdpSocket client;
  client.sendTo(listen, dnsQuery(1, "first.example"));
  ASSERT_TRUE(client.receive());
  client.sendTo(listen, dnsQuery(2, "second.example"));
  auto answer = client.receive();
  ASSERT_TRUE(answer);
  EXPECT_EQ(*answer, dnsReply(dnsQuery(2, "second.example")));
  std::shared_ptr<NEAppProxyUDPFlow> first, second;
  {
    std::lock_guard lock(provider->mutex);
    ASSERT_EQ(provider->flows.size(), 2u);
    first = provider->flows[0];
    second = provider->flows[1];
  }
  EXPECT_NE(first->hash(), second->hash());
  EXPECT_EQ(host->flowCount(), 2u);
  for (auto& flow : {first, second}) {
    flow->closeReadWithError(std::nullopt);
    flow->closeWriteWithError(std::nullopt);
  }
  EXPECT_TRUE(waitUntil([&] { return host->flowCount() == 0; }, 5s));
}

// Answers every name but "silent.example", whose flows stay open as if
// their resolver never answered.
struct PartlySilentProvider : EchoProvider {
  bool handleNewUDPFlow(std::shared_ptr<NEAppProxyUDPFlow> flow, NWHostEndpoint) override {
    {
      std::lock_guard lock(mutex);
      flows.push_back(flow);
    }
    flow->readDatagrams([flow](auto datagrams, auto endpoints, auto error) {
      ASSERT_FALSE(error);
      std::vector<Datagram> replies;
      std::vector<NWHostEndpoint> to;
      for (size_t i = 0; i < datagrams->size(); ++i) {
        const auto& d = (*datagrams)[i];
        if (std::search(d.begin(), d.end(), std::begin("\x06silent"), std::end("\x06silent") - 1) != d.end()) continue;
        replies.push_back(dnsReply(d));
        to.push_back((*endpoints)[i]);
      }
      if (!replies.empty()) flow->writeDatagrams(replies, to, [](auto) {});
    });
    return true;
  }
};

TEST_F(HostFixture, UnansweredQueriesOfOneSocketDelayOnlyThemselves) {
  auto partly = std::make_shared<PartlySilentProvider>();
  provider = partly;
  UdpSocket client;
  for (uint16_t id = 0; id < 100; ++id) client.sendTo(listen, dnsQuery(id, "silent.example"));
  ASSERT_TRUE(waitUntil([&] { return host->pendingDatagramCount() == 0 && host->flowCount() > 0; }, 5s));
  client.sendTo(listen, dnsQuery(0xA0A0, "answered.example"));
  // Before, a socket with 64 reads waiting got no new read until one ended.
  auto answer = client.receive(3s);
  ASSERT_TRUE(answer);
  EXPECT_EQ(*answer, dnsReply(dnsQuery(0xA0A0, "answered.example")));
  EXPECT_EQ(host->droppedDatagrams(), 0u);
}

TEST_F(HostFixture, DeclinedFlowIsResolvedUnchangedByTheSystemDns) {
  provider->accept = false;
  UdpSocket client;
  auto query = dnsQuery(0xBEEF, "declined.example");
  client.sendTo(listen, query);
  auto answer = client.receive();
  ASSERT_TRUE(answer);
  EXPECT_EQ(*answer, dnsReply(query, 3));
  // The system DNS saw the query unchanged but for its ID.
  auto seen = systemDns.received();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(Bytes(seen[0].begin() + 2, seen[0].end()), Bytes(query.begin() + 2, query.end()));
  // A declined flow ends at once: the next datagram is offered again.
  client.sendTo(listen, dnsQuery(0xBEF0, "declined.example"));
  ASSERT_TRUE(client.receive());
  EXPECT_EQ(provider->flowCount(), 2u);
}

TEST_F(HostFixture, WithoutAProviderTheSystemDnsAnswers) {
  providerRunning = false;
  UdpSocket client;
  client.sendTo(listen, dnsQuery(7, "nobody.example"));
  auto answer = client.receive();
  ASSERT_TRUE(answer);
  EXPECT_EQ((*answer)[3] & 0x0F, 3);
  EXPECT_EQ(provider->flowCount(), 0u);
}

TEST_F(HostFixture, FlowErrorsAreReportedNotThrown) {
  provider->closeAfterWrite = false;
  UdpSocket client;
  client.sendTo(listen, dnsQuery(1, "e.example"));
  ASSERT_TRUE(client.receive());
  std::shared_ptr<NEAppProxyUDPFlow> flow;
  {
    std::lock_guard lock(provider->mutex);
    flow = provider->flows.at(0);
  }
  std::atomic<int> results{0};
  std::optional<NEError> tooFew, badEndpoint, afterClose;
  flow->writeDatagrams({Bytes{1, 2}, Bytes{3, 4}}, {client.local().endpoint()}, [&](auto e) { tooFew = e; ++results; });
  flow->writeDatagrams({Bytes{1, 2}}, {NWHostEndpoint{"not-an-address", "x"}}, [&](auto e) { badEndpoint = e; ++results; });
  ASSERT_TRUE(waitUntil([&] { return results == 2; }, 5s));
  flow->closeWriteWithError(std::nullopt);
  flow->writeDatagrams({Bytes{1, 2}}, {client.local().endpoint()}, [&](auto e) { afterClose = e; ++results; });
  ASSERT_TRUE(waitUntil([&] { return results == 3; }, 5s));
  EXPECT_TRUE(tooFew && badEndpoint && afterClose);
  EXPECT_FALSE(client.receive(100ms));  // nothing half-written
}

TEST_F(HostFixture, ManyClientsGetTheirOwnAnswersAndFlowsEnd) {
  std::vector<std::unique_ptr<UdpSocket>> clients;
  for (int i = 0; i < 20; ++i) clients.push_back(std::make_unique<UdpSocket>());
  for (int round = 0; round < 5; ++round)
    for (size_t i = 0; i < clients.size(); ++i) {
      auto query = dnsQuery(static_cast<uint16_t>(i * 100 + round), "many.example");
      clients[i]->sendTo(listen, query);
      auto answer = clients[i]->receive();
      ASSERT_TRUE(answer);
      EXPECT_EQ(*answer, dnsReply(query));
    }
  EXPECT_TRUE(waitUntil([&] { return host->flowCount() == 0; }, 5s));
  std::lock_guard lock(provider->mutex);
  std::set<uint64_t> hashes;
  for (auto& f : provider->flows) hashes.insert(f->hash());
  EXPECT_EQ(hashes.size(), provider->flows.size());
}

TEST(FlowHost, IdleFlowsOfSeveralListenersAreSweptWhileClientsKeepSending) {
  std::string error;
  auto sockets = bindListenSockets({*SocketAddress::parse("127.0.0.1:0"), *SocketAddress::parse("127.0.0.1:0")}, error);
  ASSERT_EQ(sockets.size(), 2u) << error;
  auto provider = std::make_shared<EchoProvider>();
  provider->closeAfterWrite = false;  // only the sweep ends the flows
  UdpResponder systemDns{[](const Bytes& q) { return std::optional<Bytes>(dnsReply(q, 3)); }};
  UdpFlowHost::Settings settings;
  for (auto& s : sockets) settings.listeners.push_back({s.udpFd, s.bound});
  settings.systemDns = systemDns.address();
  settings.idleFlowLimit = 100ms;  // longer than a busy machine takes to answer
  auto host = UdpFlowHost::create(settings, weakSource(provider));
  host->start();
  std::atomic<bool> done{false};
  auto load = [&](SocketAddress to) {
    UdpSocket client;
    for (uint16_t id = 0; !done; ++id) {
      client.sendTo(to, dnsQuery(id, "sweep.example"));
      client.receive(100ms);
    }
  };
  std::thread a(load, sockets[0].bound), b(load, sockets[1].bound);
  struct Join {
    std::atomic<bool>& done;
    std::thread &a, &b;
    ~Join() {
      done = true;
      a.join();
      b.join();
    }
  };
  std::optional<Join> join(std::in_place, done, a, b);
  // Only sweeps end flows here: wait for three of them.
  // (The host is counted first: a flow made in between counts as ended, hence the margin.)
  auto ended = [&] {
    const auto open = static_cast<int64_t>(host->flowCount());
    return static_cast<int64_t>(provider->flowCount()) - open;
  };
  for (int sweep = 0; sweep < 3; ++sweep) {
    const int64_t before = ended();
    ASSERT_TRUE(waitUntil([&] { return ended() > before + 10; }, 5s)) << "sweep " << sweep;
  }
  join.reset();
  EXPECT_TRUE(waitUntil([&] { return host->flowCount() == 0; }, 5s)) << host->flowCount();
  host->stop();
  closeListenSockets(sockets);
}

// Records the thread of each step of a flow: offer, read, write completion.
struct ThreadRecordingProvider : EchoProvider {
  struct Steps {
    std::thread::id offered, read, written;
  };
  std::map<uint64_t, Steps> steps;  // under mutex

  bool handleNewUDPFlow(std::shared_ptr<NEAppProxyUDPFlow> flow, NWHostEndpoint) override {
    {
      std::lock_guard lock(mutex);
      flows.push_back(flow);
      steps[flow->hash()].offered = std::this_thread::get_id();
    }
    flow->readDatagrams([this, flow](auto datagrams, auto endpoints, auto error) {
      ASSERT_FALSE(error);
      {
        std::lock_guard lock(mutex);
        steps[flow->hash()].read = std::this_thread::get_id();
      }
      std::vector<Datagram> replies;
      for (auto& d : *datagrams) replies.push_back(dnsReply(d));
      flow->writeDatagrams(replies, *endpoints, [this, flow](std::optional<NEError>) {
        {
          std::lock_guard lock(mutex);
          steps[flow->hash()].written = std::this_thread::get_id();
        }
        if (!closeAfterWrite) return;
        flow->closeReadWithError(std::nullopt);
        flow->closeWriteWithError(std::nullopt);
      });
    });
    return true;
  }
};

// A host on one loopback listen socket, started by the test (so that it can
// send first), with a system DNS that answers with return code 3.
struct OneSocketHost {
  std::vector<ListenSocket> sockets;
  SocketAddress listen;
  UdpResponder systemDns{[](const Bytes& q) { return std::optional<Bytes>(dnsReply(q, 3)); }};
  std::shared_ptr<UdpFlowHost> host;

  OneSocketHost() {
    std::string error;
    sockets = bindListenSockets({*SocketAddress::parse("127.0.0.1:0")}, error);
    if (sockets.size() != 1) throw std::runtime_error("cannot bind: " + error);
    listen = sockets[0].bound;
  }
  ~OneSocketHost() { close(); }
  void close() {
    if (host) host->stop();
    closeListenSockets(sockets);
  }
  UdpFlowHost& start(const std::shared_ptr<EchoProvider>& provider) {
    UdpFlowHost::Settings settings;
    settings.listeners.push_back({sockets[0].udpFd, listen});
    settings.systemDns = systemDns.address();
    host = UdpFlowHost::create(settings, weakSource(provider));
    host->start();
    return *host;
  }
};

TEST(FlowHost, WorkersReadPeersOfTheListenSocketAndKeepEachFlowOnOneThread) {
  OneSocketHost one;
  const SocketAddress listen = one.listen;
  auto provider = std::make_shared<ThreadRecordingProvider>();
  auto& host = one.start(provider);
  // Clients spread over the peers by their address and port.
  std::vector<std::unique_ptr<UdpSocket>> clients;
  for (int i = 0; i < 64; ++i) clients.push_back(std::make_unique<UdpSocket>());
  for (size_t i = 0; i < clients.size(); ++i) clients[i]->sendTo(listen, dnsQuery(static_cast<uint16_t>(i), "peer.example"));
  for (size_t i = 0; i < clients.size(); ++i) {
    SocketAddress from;
    auto answer = clients[i]->receive(3000ms, &from);
    ASSERT_TRUE(answer) << i;
    EXPECT_EQ(*answer, dnsReply(dnsQuery(static_cast<uint16_t>(i), "peer.example")));
    EXPECT_EQ(from, listen);  // every peer answers from the listen address
  }
  ASSERT_TRUE(waitUntil([&] { return host.flowCount() == 0; }, 5s));
  {
    std::lock_guard lock(provider->mutex);
    ASSERT_EQ(provider->steps.size(), clients.size());
    std::set<std::thread::id> threads;
    for (auto& [hash, steps] : provider->steps) {
      EXPECT_EQ(steps.read, steps.offered) << hash;
      EXPECT_EQ(steps.written, steps.offered) << hash;
      threads.insert(steps.offered);
    }
    if (workerCount() > 1) EXPECT_GT(threads.size(), 1u);
  }
  one.close();
  // The peers left the port with the host: it is free again.
  UdpSocket again(listen.description().c_str());
  EXPECT_EQ(again.local(), listen);
}

TEST(FlowHost, FlowsOfOneBusyClientSpreadOverTheWorkers) {
  if (workerCount() < 2) GTEST_SKIP() << "one worker";
  OneSocketHost one;
  auto provider = std::make_shared<ThreadRecordingProvider>();
  provider->closeAfterWrite = false;  // every flow stays open, as if its answers were on the way
  auto& host = one.start(provider);
  // One client's datagrams all reach one worker; its open flows pile up there.
  UdpSocket client;
  const size_t queries = 63;
  for (size_t i = 0; i < queries; ++i) {
    client.sendTo(one.listen, dnsQuery(static_cast<uint16_t>(i), "busy.example"));
    ASSERT_TRUE(client.receive()) << i;
  }
  // A write's completion may run just after its answer reached the client.
  EXPECT_TRUE(waitUntil([&] {
    std::lock_guard lock(provider->mutex);
    return std::all_of(provider->steps.begin(), provider->steps.end(),
                       [](const auto& entry) { return entry.second.written != std::thread::id(); });
  }, 5s));
  std::vector<std::shared_ptr<NEAppProxyUDPFlow>> flows;
  {
    std::lock_guard lock(provider->mutex);
    std::set<std::thread::id> threads;
    for (auto& [hash, steps] : provider->steps) {
      EXPECT_EQ(steps.written, steps.offered) << hash;
      threads.insert(steps.offered);
    }
    EXPECT_GT(threads.size(), 1u);
    flows = provider->flows;
  }
  for (auto& flow : flows) {
    flow->closeReadWithError(std::nullopt);
    flow->closeWriteWithError(std::nullopt);
  }
  EXPECT_TRUE(waitUntil([&] { return host.flowCount() == 0; }, 5s));
}

TEST_F(HostFixture, DatagramsFromThisProcesssOwnSocketsAreResolvedByTheSystemDnsNotOffered) {
  UdpSocket own;
  OwnSockets::addLocalAddress(own.local());
  own.sendTo(listen, dnsQuery(0x0A0A, "own.example"));
  auto answer = own.receive();
  OwnSockets::removeLocalAddress(own.local());
  ASSERT_TRUE(answer);
  EXPECT_EQ(*answer, dnsReply(dnsQuery(0x0A0A, "own.example"), 3));
  EXPECT_EQ(provider->flowCount(), 0u);
  EXPECT_EQ(host->ownDatagrams(), 1u);
  // Once forgotten, the same socket is a client like any other.
  own.sendTo(listen, dnsQuery(0x0B0B, "own.example"));
  ASSERT_TRUE(own.receive());
  EXPECT_EQ(provider->flowCount(), 1u);
}

TEST(FlowHost, AClientOnAnotherAddressWithThePortOfOneOfOurSocketsIsAClient) {
  // Before, a datagram whose source port was one of ours went to the
  // system DNS whatever its address: unfiltered for any local process that
  // bound 127.0.0.2 and that port.
  OneSocketHost one;
  auto provider = std::make_shared<EchoProvider>();
  auto& host = one.start(provider);
  UdpSocket ours("127.0.0.1:0");
  OwnSockets::addLocalAddress(ours.local());
  SocketAddress squat = ours.local();
  squat = *SocketAddress::fromHostPort("127.0.0.2", ours.local().port());
  UdpSocket client(squat.description().c_str());
  client.sendTo(one.listen, dnsQuery(0x0C0C, "client.example"));
  auto answer = client.receive();
  ours.sendTo(one.listen, dnsQuery(0x0D0D, "own.example"));
  auto own = ours.receive();
  OwnSockets::removeLocalAddress(ours.local());
  ASSERT_TRUE(answer);
  EXPECT_EQ(*answer, dnsReply(dnsQuery(0x0C0C, "client.example")));  // the provider's, not the system's
  ASSERT_TRUE(own);
  EXPECT_EQ(*own, dnsReply(dnsQuery(0x0D0D, "own.example"), 3));
  EXPECT_EQ(provider->flowCount(), 1u);
  EXPECT_EQ(host.ownDatagrams(), 1u);
}

TEST(FlowHost, OwnDatagramsAreDroppedWhenTheSystemDnsIsOneOfTheListenAddresses) {
  std::string error;
  auto sockets = bindListenSockets({*SocketAddress::parse("127.0.0.1:0")}, error);
  ASSERT_EQ(sockets.size(), 1u) << error;
  auto provider = std::make_shared<EchoProvider>();
  UdpFlowHost::Settings settings;
  settings.listeners.push_back({sockets[0].udpFd, sockets[0].bound});
  settings.systemDns = sockets[0].bound;  // declined flows would come straight back
  auto host = UdpFlowHost::create(settings, weakSource(provider));
  host->start();
  LogCapture log;
  provider->accept = false;
  UdpSocket client;
  for (uint16_t id = 0; id < 5; ++id) client.sendTo(sockets[0].bound, dnsQuery(id, "declined.example"));
  // Each declined query reaches the system DNS, which is the host itself, once.
  ASSERT_TRUE(waitUntil([&] { return host->ownDatagrams() >= 5; }, 5s)) << host->ownDatagrams();
  ASSERT_TRUE(log.waitFor("[NEHost] dropped a datagram from this process's own socket", 5s));
  EXPECT_FALSE(client.receive(100ms));
  EXPECT_EQ(host->ownDatagrams(), 5u);  // none went round again
  EXPECT_EQ(log.count("[NEHost] dropped a datagram"), 1u);  // one line a second at most
  host->stop();
  closeListenSockets(sockets);
}

TEST(OwnSockets, ListenAddressesAndTheAddressesThatReachThem) {
  const auto wildcard = *SocketAddress::parse("0.0.0.0:5391");
  const auto exact = *SocketAddress::parse("192.0.2.7:5392");
  const auto v6 = *SocketAddress::parse("[::1]:5393");
  OwnSockets::addListenAddress(wildcard);
  OwnSockets::addListenAddress(exact);
  OwnSockets::addListenAddress(v6);
  const auto here = *SocketAddress::parse("198.51.100.9:40000");  // this machine's own address
  struct Case {
    const char* target;
    const SocketAddress* local;
    bool own;
  } cases[] = {
      {"127.0.0.1:5391", nullptr, true},           // loopback to the wildcard listener
      {"127.3.4.5:5391", nullptr, true},
      {"198.51.100.9:5391", &here, true},          // the machine's own address
      {"198.51.100.10:5391", &here, false},        // another machine
      {"127.0.0.1:5390", nullptr, false},          // another port
      {"192.0.2.7:5392", nullptr, true},
      {"192.0.2.8:5392", nullptr, false},
      {"127.0.0.1:5392", nullptr, false},          // exact listener: only its address
      {"[::1]:5393", nullptr, true},
      {"[::ffff:127.0.0.1]:5391", nullptr, true},  // IPv4-mapped
      {"[::1]:5391", nullptr, false},              // the wildcard listener is IPv4 only
  };
  for (const auto& c : cases)
    EXPECT_EQ(OwnSockets::isOwnListenAddress(*SocketAddress::parse(c.target), c.local), c.own) << c.target;
  EXPECT_TRUE(OwnSockets::isOwnSource(*SocketAddress::parse("192.0.2.7:5392")));
  OwnSockets::addLocalAddress(*SocketAddress::parse("127.0.0.1:5399"));
  EXPECT_TRUE(OwnSockets::isOwnSource(*SocketAddress::parse("127.0.0.1:5399")));
  EXPECT_TRUE(OwnSockets::isOwnSource(*SocketAddress::parse("[::ffff:127.0.0.1]:5399")));
  EXPECT_FALSE(OwnSockets::isOwnSource(*SocketAddress::parse("127.0.0.2:5399")));  // another address, same port
  EXPECT_FALSE(OwnSockets::isOwnSource(*SocketAddress::parse("[::1]:5399")));
  OwnSockets::removeLocalAddress(*SocketAddress::parse("127.0.0.1:5399"));
  EXPECT_FALSE(OwnSockets::isOwnSource(*SocketAddress::parse("127.0.0.1:5399")));
  for (const auto& a : {wildcard, exact, v6}) OwnSockets::removeListenAddress(a);
  EXPECT_FALSE(OwnSockets::isOwnListenAddress(*SocketAddress::parse("127.0.0.1:5391")));
}

TEST_F(HostFixture, AConnectionToOneOfTheListenAddressesIsRefusedWithAClearLine) {
  LogCapture log;
  auto connection = UdpConnection::create(NWEndpoint{"127.0.0.1", listen.port()});
  std::promise<NWConnectionState> ended;
  std::atomic<bool> once{false};
  connection->setStateUpdateHandler([&](NWConnectionState state) {
    if ((state.kind == NWConnectionState::failed || state.kind == NWConnectionState::ready) && !once.exchange(true))
      ended.set_value(state);
  });
  connection->start(DispatchQueue::global());
  auto future = ended.get_future();
  ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
  auto state = future.get();
  EXPECT_EQ(state.kind, NWConnectionState::failed);
  ASSERT_TRUE(state.error);
  EXPECT_EQ(state.error->code, ECONNREFUSED);
  EXPECT_TRUE(log.waitFor("UdpConnection refused 127.0.0.1:" + std::to_string(listen.port()), 5s));
  EXPECT_TRUE(log.contains("it is one of this process's own listen addresses"));
  connection->cancel();
  // A connection elsewhere is ready, and its datagrams count as the process's own while it is open.
  UdpSocket elsewhere;
  auto other = UdpConnection::create(NWEndpoint{"127.0.0.1", elsewhere.local().port()});
  std::promise<void> ready;
  std::atomic<bool> readyOnce{false};
  other->setStateUpdateHandler([&](NWConnectionState s) {
    if (s.kind == NWConnectionState::ready && !readyOnce.exchange(true)) ready.set_value();
  });
  other->start(DispatchQueue::global());
  ASSERT_EQ(ready.get_future().wait_for(5s), std::future_status::ready);
  other->send(dnsQuery(1, "x.example"), [](auto) {});
  SocketAddress from;
  ASSERT_TRUE(elsewhere.receive(3000ms, &from));
  EXPECT_TRUE(OwnSockets::isOwnSource(from));
  other->cancel();
  EXPECT_TRUE(waitUntil([&] { return !OwnSockets::isOwnSource(from); }, 5s));
}

TEST(SystemDnsForwarder, RestoresEachClientsIdAndIgnoresRunts) {
  UdpResponder upstream{[](const Bytes& q) { return std::optional<Bytes>(dnsReply(q)); }};
  UdpSocket listener, clientA, clientB;
  SystemDnsForwarder forwarder(upstream.address());
  ASSERT_TRUE(forwarder.ok());
  auto a = dnsQuery(0x0101, "a.example"), b = dnsQuery(0x0101, "b.example");
  forwarder.forward(listener.fd(), clientA.local(), {a, Bytes{0x01}});
  forwarder.forward(listener.fd(), clientB.local(), {b});
  auto answerA = clientA.receive(), answerB = clientB.receive();
  ASSERT_TRUE(answerA && answerB);
  EXPECT_EQ(*answerA, dnsReply(a));
  EXPECT_EQ(*answerB, dnsReply(b));
  EXPECT_EQ(upstream.receivedCount(), 2u);
}

TEST(TcpPassthrough, RelaysAConnectionToTheSystemDns) {
  std::string error;
  auto upstreamSockets = bindListenSockets({*SocketAddress::parse("127.0.0.1:0")}, error);
  auto listenSockets = bindListenSockets({*SocketAddress::parse("127.0.0.1:0")}, error);
  ASSERT_EQ(upstreamSockets.size(), 1u);
  ASSERT_EQ(listenSockets.size(), 1u);
  // Upstream: reads one framed query and answers it reversed.
  std::thread upstream([fd = upstreamSockets[0].tcpFd] {
    int c = accept(fd, nullptr, nullptr);
    char buffer[64];
    ssize_t n = recv(c, buffer, sizeof buffer, MSG_WAITALL);
    std::reverse(buffer, buffer + n);
    send(c, buffer, static_cast<size_t>(n), 0);
    close(c);
  });
  TcpPassthrough passthrough({listenSockets[0].tcpFd}, upstreamSockets[0].bound);
  passthrough.start();
  int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(connect(client, listenSockets[0].bound.sockaddrPtr(), listenSockets[0].bound.length()), 0);
  const char message[64] = "0123456789";
  send(client, message, sizeof message, 0);
  timeval tv{5, 0};
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char reply[64];
  ASSERT_EQ(recv(client, reply, sizeof reply, MSG_WAITALL), 64);
  EXPECT_EQ(reply[63], '0');
  close(client);
  upstream.join();
  EXPECT_TRUE(waitUntil([&] { return passthrough.activeConnections() == 0; }, 5s));
  passthrough.stop();
  closeListenSockets(upstreamSockets);
  closeListenSockets(listenSockets);
}

TEST(ListenSockets, PortZeroBindsUdpAndTcpOnTheSamePortForBothFamilies) {
  std::string error;
  auto sockets = bindListenSockets({*SocketAddress::parse("127.0.0.1:0"), *SocketAddress::parse("[::1]:0")}, error);
  if (sockets.empty()) GTEST_SKIP() << "no IPv6 loopback: " << error;
  ASSERT_EQ(sockets.size(), 2u);
  for (auto& s : sockets) {
    EXPECT_NE(s.bound.port(), 0);
    SocketAddress tcp;
    socklen_t length = sizeof(sockaddr_storage);
    getsockname(s.tcpFd, tcp.sockaddrPtr(), &length);
    EXPECT_EQ(tcp, s.bound);
  }
  EXPECT_EQ(sockets[1].bound.description().front(), '[');
  closeListenSockets(sockets);
}


// A host with settings of the test's own on one loopback listen socket.
struct CustomHost {
  std::vector<ListenSocket> sockets;
  SocketAddress listen;
  UdpResponder systemDns{[](const Bytes& q) { return std::optional<Bytes>(dnsReply(q, 3)); }};
  std::shared_ptr<UdpFlowHost> host;

  explicit CustomHost(const char* address = "127.0.0.1:0") {
    std::string error;
    sockets = bindListenSockets({*SocketAddress::parse(address)}, error);
    if (sockets.size() != 1) throw std::runtime_error("cannot bind: " + error);
    listen = sockets[0].bound;
  }
  ~CustomHost() {
    if (host) host->stop();
    closeListenSockets(sockets);
  }
  UdpFlowHost::Settings settings() const {
    UdpFlowHost::Settings s;
    s.listeners.push_back({sockets[0].udpFd, listen});
    s.systemDns = systemDns.address();
    return s;
  }
  UdpFlowHost& start(UdpFlowHost::Settings s, UdpFlowHost::ProviderSource source) {
    host = UdpFlowHost::create(std::move(s), std::move(source));
    host->start();
    return *host;
  }
};

// A UDP socket connected to `to`: the kernel takes datagrams only from there.
struct ConnectedClient {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  explicit ConnectedClient(const SocketAddress& to) { connect(fd, to.sockaddrPtr(), to.length()); }
  ~ConnectedClient() { close(fd); }
  void send(const Bytes& data) const { ::send(fd, data.data(), data.size(), 0); }
  std::optional<Bytes> receive(std::chrono::milliseconds timeout = 3000ms) const {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    Bytes buffer(65536);
    const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
    if (n < 0) return std::nullopt;
    buffer.resize(static_cast<size_t>(n));
    return buffer;
  }
};

TEST(FlowHost, OnAWildcardAddressEveryAnswerLeavesFromTheAddressTheClientAsked) {
  // Before, answers left from the address the kernel picked: a connected
  // client of 127.0.0.2 or 127.0.0.3 never got them.
  CustomHost wildcard("0.0.0.0:0");
  auto provider = std::make_shared<EchoProvider>();
  auto& host = wildcard.start(wildcard.settings(), weakSource(provider));
  for (const char* address : {"127.0.0.1", "127.0.0.2", "127.0.0.3"}) {
    const auto asked = *SocketAddress::fromHostPort(address, wildcard.listen.port());
    ConnectedClient client(asked);
    provider->accept = true;
    const auto query = dnsQuery(0x1111, "asked.example");
    client.send(query);
    auto answer = client.receive();
    ASSERT_TRUE(answer) << "provider's answer to " << address;
    EXPECT_EQ(*answer, dnsReply(query));
    provider->accept = false;  // the system DNS answers through the forwarder
    client.send(dnsQuery(0x2222, "declined.example"));
    answer = client.receive();
    ASSERT_TRUE(answer) << "system DNS answer to " << address;
    EXPECT_EQ(*answer, dnsReply(dnsQuery(0x2222, "declined.example"), 3));
  }
  EXPECT_EQ(host.flowsDeclined(), 3u);
}

// Reads once, answers nothing, keeps its flows.
struct SilentProvider : EchoProvider {
  bool handleNewUDPFlow(std::shared_ptr<NEAppProxyUDPFlow> flow, NWHostEndpoint) override {
    {
      std::lock_guard lock(mutex);
      flows.push_back(flow);
    }
    flow->readDatagrams([](auto, auto, auto) {});
    return true;
  }
};

TEST(FlowHost, WhatClientsMakeTheHostHoldStaysWithinTheByteBudgetAndOthersAreStillServed) {
  // Before, limits counted datagrams and flows, never bytes: 100 sockets of
  // 128 datagrams of 60 KB took 750 MB.
  // Keeps the junk's flows open, as a silent resolver would; answers the rest.
  // Its completions may run after the host stopped: they hold what they use.
  struct Kept {
    std::mutex mutex;
    std::vector<std::shared_ptr<NEAppProxyUDPFlow>> flows;
  };
  struct JunkKeepingProvider : EchoProvider {
    std::shared_ptr<Kept> kept = std::make_shared<Kept>();
    bool handleNewUDPFlow(std::shared_ptr<NEAppProxyUDPFlow> flow, NWHostEndpoint) override {
      flow->readDatagrams([kept = kept, flow](auto datagrams, auto endpoints, auto error) {
        if (error || !datagrams || datagrams->empty()) return;
        if (datagrams->front().size() > 1000) {
          std::lock_guard lock(kept->mutex);
          kept->flows.push_back(flow);
          return;
        }
        std::vector<Datagram> replies;
        for (auto& d : *datagrams) replies.push_back(dnsReply(d));
        flow->writeDatagrams(replies, *endpoints, [flow](auto) {
          flow->closeReadWithError(std::nullopt);
          flow->closeWriteWithError(std::nullopt);
        });
      });
      return true;
    }
  };
  auto silent = std::make_shared<JunkKeepingProvider>();
  CustomHost custom;
  auto settings = custom.settings();
  settings.byteBudget = 4u << 20;
  auto& host = custom.start(settings, weakSource(silent));
  const Bytes junk(60'000, 0xAB);
  std::vector<std::unique_ptr<UdpSocket>> flooders;
  for (int i = 0; i < 20; ++i) flooders.push_back(std::make_unique<UdpSocket>());
  for (int round = 0; round < 16; ++round)
    for (auto& f : flooders) f->sendTo(custom.listen, junk);
  ASSERT_TRUE(waitUntil([&] { return host.droppedDatagrams() > 0; }, 5s));
  EXPECT_LE(host.heldBytes(), settings.byteBudget);
  // Another client is still served beside the flood.
  UdpSocket client;
  client.sendTo(custom.listen, dnsQuery(0x3333, "small.example"));
  auto answer = client.receive();
  ASSERT_TRUE(answer);
  EXPECT_EQ(*answer, dnsReply(dnsQuery(0x3333, "small.example")));
  EXPECT_LE(host.heldBytes(), settings.byteBudget);
  // Ended flows give their bytes back (junk still queued makes new ones: end them too).
  EXPECT_TRUE(waitUntil([&] {
    std::lock_guard lock(silent->kept->mutex);
    for (auto& flow : silent->kept->flows) {
      flow->closeReadWithError(std::nullopt);
      flow->closeWriteWithError(std::nullopt);
    }
    silent->kept->flows.clear();
    return host.heldBytes() == 0;
  }, 5s)) << host.heldBytes();
}

TEST(FlowHost, AReadThatWaitsEndsWithAnErrorWhenSweptOrStopped) {
  // Before, a second read waited for ever: never swept, dropped silently by stop().
  for (bool sweep : {true, false}) {
    CustomHost custom;
    auto silent = std::make_shared<SilentProvider>();
    auto settings = custom.settings();
    if (sweep) settings.idleFlowLimit = 200ms;
    auto& host = custom.start(settings, weakSource(silent));
    UdpSocket client;
    client.sendTo(custom.listen, dnsQuery(1, "read-again.example"));
    ASSERT_TRUE(waitUntil([&] { return silent->flowCount() == 1 && host.pendingDatagramCount() == 0; }, 5s));
    std::promise<std::optional<NEError>> second;
    {
      std::lock_guard lock(silent->mutex);
      silent->flows[0]->readDatagrams([&](auto, auto, auto error) { second.set_value(error); });
    }
    if (!sweep) host.stop();
    auto future = second.get_future();
    ASSERT_EQ(future.wait_for(5s), std::future_status::ready) << (sweep ? "sweep" : "stop");
    EXPECT_TRUE(future.get()) << "an error, not datagrams";
    EXPECT_TRUE(waitUntil([&] { return host.flowCount() == 0; }, 5s));
  }
}

TEST(FlowHost, AStoppedAndStartedHostStillResolvesDeclinedQueries) {
  // Before, stop() dropped the system DNS forwarder and start() made none.
  CustomHost custom;
  auto provider = std::make_shared<EchoProvider>();
  provider->accept = false;
  auto& host = custom.start(custom.settings(), weakSource(provider));
  UdpSocket client;
  for (int run = 0; run < 2; ++run) {
    client.sendTo(custom.listen, dnsQuery(static_cast<uint16_t>(run), "declined.example"));
    auto answer = client.receive();
    ASSERT_TRUE(answer) << "run " << run;
    EXPECT_EQ(*answer, dnsReply(dnsQuery(static_cast<uint16_t>(run), "declined.example"), 3));
    host.stop();
    host.start();
  }
}

TEST(FlowHost, TheLastReferenceToAHostMayGoOnAnyThread) {
  // Before, a host released by its own watch thread joined itself and the
  // process terminated. Here the provider's close, on a worker, releases it.
  CustomHost custom;
  auto provider = std::make_shared<SilentProvider>();
  custom.start(custom.settings(), weakSource(provider));
  UdpSocket client;
  client.sendTo(custom.listen, dnsQuery(1, "last.example"));
  ASSERT_TRUE(waitUntil([&] { return provider->flowCount() == 1; }, 5s));
  std::weak_ptr<UdpFlowHost> weak = custom.host;
  custom.host.reset();
  std::shared_ptr<NEAppProxyUDPFlow> flow;
  {
    std::lock_guard lock(provider->mutex);
    flow = provider->flows[0];
    provider->flows.clear();
  }
  workerQueue(0)->async([flow = std::move(flow)]() mutable {
    flow->closeReadWithError(std::nullopt);
    flow->closeWriteWithError(std::nullopt);
    flow.reset();
  });
  EXPECT_TRUE(waitUntil([&] { return weak.expired(); }, 5s));
}

TEST(FlowHost, FlowsWaitForAProviderBeingStartedAndNeverReachTheSystemDns) {
  auto provider = std::make_shared<EchoProvider>();
  std::atomic<bool> restarting{true};
  CustomHost custom;
  auto settings = custom.settings();
  settings.holdLimit = 500ms;
  settings.holdFlows = [&] { return restarting.load(); };
  auto& host = custom.start(settings, [&]() -> std::shared_ptr<NEDNSProxyProvider> {
    return restarting ? nullptr : provider;
  });
  UdpSocket held, late;
  held.sendTo(custom.listen, dnsQuery(0x4444, "held.example"));
  ASSERT_TRUE(waitUntil([&] { return host.flowCount() == 1; }, 5s));
  EXPECT_FALSE(held.receive(100ms));
  restarting = false;
  host.releaseHeldFlows();
  auto answer = held.receive();
  ASSERT_TRUE(answer);
  EXPECT_EQ(*answer, dnsReply(dnsQuery(0x4444, "held.example")));  // the provider's, not rcode 3
  // A provider that does not come within the hold: dropped, not sent to the system.
  restarting = true;
  late.sendTo(custom.listen, dnsQuery(0x5555, "late.example"));
  EXPECT_FALSE(late.receive(1500ms));
  EXPECT_EQ(custom.systemDns.receivedCount(), 0u);
  EXPECT_TRUE(waitUntil([&] { return host.flowCount() == 0 && host.droppedDatagrams() == 1; }, 5s));
  // Once nothing is being started, the system DNS answers again.
  restarting = false;
  provider->accept = false;
  late.sendTo(custom.listen, dnsQuery(0x6666, "late.example"));
  answer = late.receive();
  ASSERT_TRUE(answer);
  EXPECT_EQ(*answer, dnsReply(dnsQuery(0x6666, "late.example"), 3));
}

TEST(FlowHost, StopReadingLetsFlowsInFlightFinish) {
  CustomHost custom;
  auto provider = std::make_shared<SilentProvider>();
  auto& host = custom.start(custom.settings(), weakSource(provider));
  UdpSocket client;
  client.sendTo(custom.listen, dnsQuery(1, "in-flight.example"));
  ASSERT_TRUE(waitUntil([&] { return provider->flowCount() == 1 && host.pendingDatagramCount() == 0; }, 5s));
  host.stopReading();
  EXPECT_FALSE(host.waitForFlows(100ms));
  std::shared_ptr<NEAppProxyUDPFlow> flow;
  {
    std::lock_guard lock(provider->mutex);
    flow = provider->flows[0];
  }
  std::promise<std::optional<NEError>> written;
  flow->writeDatagrams({dnsReply(dnsQuery(1, "in-flight.example"))}, {client.local().endpoint()},
                       [&](auto error) { written.set_value(error); });
  auto answer = client.receive();
  ASSERT_TRUE(answer);  // answers still leave after reading stopped
  EXPECT_FALSE(written.get_future().get());
  flow->closeReadWithError(std::nullopt);
  flow->closeWriteWithError(std::nullopt);
  EXPECT_TRUE(host.waitForFlows(5s));
  // Nothing new is read.
  client.sendTo(custom.listen, dnsQuery(2, "after.example"));
  EXPECT_FALSE(client.receive(200ms));
}

}  // namespace
