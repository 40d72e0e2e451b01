// The system-DNS forwarder on loopback: what it sends, which answers it
// takes, and where they go.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <thread>

#include "platform/dispatch/Dispatch.h"
#include "platform/host/SystemDnsForwarder.h"
#include "support/LoopbackUdp.h"

using namespace platform;
using namespace testing_support;
using namespace std::chrono_literals;

namespace {

uint16_t idOf(const Bytes& message) { return static_cast<uint16_t>(message[0] << 8 | message[1]); }

Bytes withId(Bytes message, uint16_t id) {
  message[0] = static_cast<uint8_t>(id >> 8);
  message[1] = static_cast<uint8_t>(id);
  return message;
}

// An empty answer to `name` with the given ID, type, class and return code.
Bytes answer(uint16_t id, const std::string& name, uint16_t type = 1, uint16_t klass = 1, uint8_t rcode = 0) {
  Bytes a = dnsReply(dnsQuery(id, name, type), rcode);
  a[a.size() - 2] = static_cast<uint8_t>(klass >> 8);
  a[a.size() - 1] = static_cast<uint8_t>(klass);
  return a;
}

size_t openDescriptors() {
  size_t n = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir)) ++n;
    closedir(dir);
  }
  return n;
}

// The query as the system DNS saw it, and the socket it came from.
struct Sent {
  Bytes query;
  SocketAddress from;
};

std::optional<Sent> receiveQuery(const UdpSocket& upstream) {
  Sent sent;
  auto query = upstream.receive(3000ms, &sent.from);
  if (!query) return std::nullopt;
  sent.query = std::move(*query);
  return sent;
}

TEST(SystemDnsForwarder, EachQueryLeavesFromARandomPortOfItsOwnWithARandomId) {
  UdpSocket upstream, listener, client;
  SystemDnsForwarder forwarder(upstream.local());
  ASSERT_TRUE(forwarder.ok());
  constexpr size_t kQueries = 32;
  for (size_t i = 0; i < kQueries; ++i)
    forwarder.forward(listener.fd(), client.local(), std::nullopt, {dnsQuery(0x1234, "a.example")});
  std::set<uint16_t> ports, ids;
  for (size_t i = 0; i < kQueries; ++i) {
    auto sent = receiveQuery(upstream);
    ASSERT_TRUE(sent);
    ports.insert(sent->from.port());
    ids.insert(idOf(sent->query));
    EXPECT_EQ(withId(sent->query, 0x1234), dnsQuery(0x1234, "a.example"));
  }
  EXPECT_EQ(ports.size(), kQueries);  // all in flight at once, each on its own socket
  EXPECT_GT(*ports.rbegin() - *ports.begin(), 1000);  // spread over the range, not handed out in turn
  EXPECT_GE(ids.size(), kQueries - 2);  // 32 draws of 16 bits repeat rarely
  EXPECT_EQ(forwarder.outstanding(), kQueries);
}

TEST(SystemDnsForwarder, TakesOnlyTheAnswerFromTheSystemDnsToItsQuery) {
  UdpSocket upstream, listener, client;
  SystemDnsForwarder forwarder(upstream.local());
  ASSERT_TRUE(forwarder.ok());
  UdpSocket otherPort("127.0.0.1:0");
  UdpSocket otherAddress(("127.0.0.2:" + std::to_string(upstream.local().port())).c_str());
  ASSERT_EQ(otherAddress.local().port(), upstream.local().port());

  struct Case {
    const char* name;
    const UdpSocket* from;
    // The answer sent before the system DNS's own, from the query it saw.
    std::function<Bytes(const Bytes& query)> spoof;
    bool taken;
  } cases[] = {
      {"another port", &otherPort, [](const Bytes& q) { return answer(idOf(q), "www.example", 1, 1, 5); }, false},
      {"another address, the same port", &otherAddress,
       [](const Bytes& q) { return answer(idOf(q), "www.example", 1, 1, 5); }, false},
      {"another ID", &upstream,
       [](const Bytes& q) { return answer(static_cast<uint16_t>(idOf(q) ^ 1), "www.example", 1, 1, 5); }, false},
      {"another name", &upstream, [](const Bytes& q) { return answer(idOf(q), "www.example.net", 1, 1, 5); }, false},
      {"another type", &upstream, [](const Bytes& q) { return answer(idOf(q), "www.example", 28, 1, 5); }, false},
      {"another class", &upstream, [](const Bytes& q) { return answer(idOf(q), "www.example", 1, 3, 5); }, false},
      {"no question", &upstream,
       [](const Bytes& q) {
         Bytes a = answer(idOf(q), "www.example", 1, 1, 5);
         a.resize(12);
         a[5] = 0;
         return a;
       },
       false},
      {"a query, not an answer", &upstream, [](const Bytes& q) { return withId(q, idOf(q)); }, false},
      {"the name in other letter case", &upstream,
       [](const Bytes& q) { return answer(idOf(q), "wWw.EXAMPLE", 1, 1, 5); }, true},
  };
  for (const auto& c : cases) {
    forwarder.forward(listener.fd(), client.local(), std::nullopt, {dnsQuery(0x4242, "WWW.example")});
    auto sent = receiveQuery(upstream);
    ASSERT_TRUE(sent) << c.name;
    const Bytes spoof = c.spoof(sent->query);
    c.from->sendTo(sent->from, spoof);
    upstream.sendTo(sent->from, answer(idOf(sent->query), "WWW.example"));
    auto got = client.receive();
    ASSERT_TRUE(got) << c.name;
    // The first answer the client gets is the one taken; only one is.
    EXPECT_EQ(*got, withId(c.taken ? spoof : answer(0, "WWW.example"), 0x4242)) << c.name;
    EXPECT_FALSE(client.receive(50ms)) << c.name;
    EXPECT_TRUE(waitUntil([&] { return forwarder.outstanding() == 0; }, 5s)) << c.name;
  }
  const auto counts = forwarder.counts();
  EXPECT_EQ(counts.answered, std::size(cases));
  EXPECT_GE(counts.mismatched, 6u);  // those that reached the socket: the kernel drops the others
}

TEST(SystemDnsForwarder, ALateAnswerFindsNoOne) {
  UdpSocket upstream, listener, first, second;
  SystemDnsForwarder forwarder(upstream.local(), {.answerWait = 500ms});
  ASSERT_TRUE(forwarder.ok());
  forwarder.forward(listener.fd(), first.local(), std::nullopt, {dnsQuery(7, "late.example")});
  auto sent = receiveQuery(upstream);
  ASSERT_TRUE(sent);
  ASSERT_TRUE(waitUntil([&] { return forwarder.counts().expired == 1; }, 5s));
  EXPECT_EQ(forwarder.outstanding(), 0u);
  // Another client's query is in flight when the late answer comes.
  forwarder.forward(listener.fd(), second.local(), std::nullopt, {dnsQuery(7, "late.example")});
  auto next = receiveQuery(upstream);
  ASSERT_TRUE(next);
  upstream.sendTo(sent->from, answer(idOf(sent->query), "late.example", 1, 1, 5));
  upstream.sendTo(next->from, answer(idOf(next->query), "late.example"));
  auto got = second.receive();
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, answer(7, "late.example"));  // not the late one, sent first
  EXPECT_FALSE(first.receive(100ms));
}

TEST(SystemDnsForwarder, QueriesInFlightAreBoundedAndTheirSocketsClosed) {
  UdpSocket upstream, listener, client;
  const size_t baseline = openDescriptors();
  {
    SystemDnsForwarder forwarder(upstream.local(), {.answerWait = 300ms, .maxInFlight = 8});
    ASSERT_TRUE(forwarder.ok());
    const size_t idle = openDescriptors();
    for (int i = 0; i < 12; ++i)
      forwarder.forward(listener.fd(), client.local(), std::nullopt, {dnsQuery(static_cast<uint16_t>(i), "x.example")});
    EXPECT_EQ(forwarder.outstanding(), 8u);
    EXPECT_EQ(forwarder.counts().dropped, 4u);
    EXPECT_EQ(openDescriptors(), idle + 8);
    ASSERT_TRUE(waitUntil([&] { return forwarder.outstanding() == 0; }, 5s));
    EXPECT_EQ(forwarder.counts().expired, 8u);
    // The receive thread closes an expired query's socket just after it stops counting it.
    EXPECT_TRUE(waitUntil([&] { return openDescriptors() == idle; }, 5s)) << openDescriptors() << " open, " << idle;
    // Room again once they expired.
    forwarder.forward(listener.fd(), client.local(), std::nullopt, {dnsQuery(1, "x.example")});
    EXPECT_EQ(forwarder.outstanding(), 1u);
  }
  EXPECT_EQ(openDescriptors(), baseline);
}

TEST(SystemDnsForwarder, ARefusedQueryEndsAtOnce) {
  SocketAddress closed;
  {
    UdpSocket gone;
    closed = gone.local();
  }
  UdpSocket listener, client;
  SystemDnsForwarder forwarder(closed, {.answerWait = 60s});
  ASSERT_TRUE(forwarder.ok());
  forwarder.forward(listener.fd(), client.local(), std::nullopt, {dnsQuery(1, "refused.example")});
  EXPECT_TRUE(waitUntil([&] { return forwarder.outstanding() == 0; }, 5s));
  EXPECT_EQ(forwarder.counts().expired, 1u);
}

TEST(SystemDnsForwarder, SendsOnlyQueriesWithOneQuestion) {
  UdpResponder upstream{[](const Bytes& q) { return std::optional<Bytes>(dnsReply(q)); }};
  UdpSocket listener, client;
  SystemDnsForwarder forwarder(upstream.address());
  ASSERT_TRUE(forwarder.ok());
  Bytes twoQuestions = dnsQuery(1, "a.example");
  twoQuestions[5] = 2;
  Bytes truncatedName = dnsQuery(1, "a.example");
  truncatedName.resize(16);
  Bytes compressed = dnsQuery(1, "a.example");
  compressed[12] = 0xC0;
  compressed[13] = 12;
  const std::vector<Bytes> junk = {Bytes{0x01}, Bytes(11, 0), dnsReply(dnsQuery(1, "a.example")), twoQuestions,
                                   truncatedName, compressed};
  forwarder.forward(listener.fd(), client.local(), std::nullopt, junk);
  EXPECT_EQ(forwarder.counts().malformed, junk.size());
  EXPECT_EQ(forwarder.outstanding(), 0u);
  forwarder.forward(listener.fd(), client.local(), std::nullopt, {dnsQuery(9, "a.example")});
  auto got = client.receive();
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, dnsReply(dnsQuery(9, "a.example")));
  EXPECT_EQ(upstream.receivedCount(), 1u);
}

TEST(SystemDnsForwarder, TheAnswerLeavesFromTheAddressTheClientAsked) {
  UdpResponder upstream{[](const Bytes& q) { return std::optional<Bytes>(dnsReply(q)); }};
  UdpSocket listener("0.0.0.0:0");  // outlives the forwarder, which answers through it
  SystemDnsForwarder forwarder(upstream.address());
  ASSERT_TRUE(forwarder.ok());
  for (const char* asked : {"127.0.0.1", "127.0.0.2", "127.0.0.3"}) {
    // A connected client takes answers from the address it connected to only.
    UdpSocket client;
    auto to = *SocketAddress::fromHostPort(asked, listener.local().port());
    ASSERT_EQ(connect(client.fd(), to.sockaddrPtr(), to.length()), 0);
    auto local = to;
    local.setPort(0);
    forwarder.forward(listener.fd(), client.local(), local, {dnsQuery(0x0a0b, "asked.example")});
    SocketAddress from;
    auto got = client.receive(3000ms, &from);
    ASSERT_TRUE(got) << asked;
    EXPECT_EQ(*got, dnsReply(dnsQuery(0x0a0b, "asked.example"))) << asked;
    EXPECT_EQ(from, to) << asked;
  }
}

TEST(SystemDnsForwarder, ClientsOnSeveralThreadsEachGetTheirAnswers) {
  UdpResponder upstream{[](const Bytes& q) { return std::optional<Bytes>(dnsReply(q)); }};
  UdpSocket listener;
  SystemDnsForwarder forwarder(upstream.address());
  ASSERT_TRUE(forwarder.ok());
  constexpr int kThreads = 8, kQueries = 100;
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      UdpSocket client;
      for (int i = 0; i < kQueries; ++i) {
        const auto query = dnsQuery(static_cast<uint16_t>(t * 1000 + i), "t" + std::to_string(t) + ".example");
        forwarder.forward(listener.fd(), client.local(), std::nullopt, {query});
        auto got = client.receive();
        if (got && *got == dnsReply(query)) ++answered;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(answered.load(), kThreads * kQueries);
  EXPECT_TRUE(waitUntil([&] { return forwarder.outstanding() == 0; }, 5s));
  EXPECT_EQ(forwarder.counts().answered, static_cast<uint64_t>(kThreads * kQueries));
}

}  // namespace
