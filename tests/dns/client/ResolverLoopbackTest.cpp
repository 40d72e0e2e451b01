// The resolver clients against a real UDP server on loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "LoopbackResolver.h"
#include "QueryMessage.h"
#include "dns/client/DNSSocketClient.h"
#include "dns/client/DnsSafeSearchClient.h"
#include "dns/value/Message.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/networkextension/MemoryUdpFlow.h"

using namespace DnsToolsSocket;
using clienttest::query;
using clienttest::LoopbackResolver;
using platform::NWHostEndpoint;

namespace {

std::vector<uint8_t> answerTo(const std::vector<uint8_t>& q) {
  Message m = Message::deserialize(q);
  m.type = MessageType::response;
  m.recursionAvailable = true;
  m.answers.push_back(HostRecord<IPv4>{m.questions[0].name, false, 1, 60, IPv4(0xC0000200u | m.id)});
  return m.serialize();
}

LoopbackResolver::Responder reversed() {
  return [](const std::vector<LoopbackResolver::Datagram>& queries) {
    std::vector<LoopbackResolver::Datagram> out;
    for (auto it = queries.rbegin(); it != queries.rend(); ++it) out.push_back(answerTo(*it));
    return out;
  };
}

struct Recorder {
  struct Call {
    std::optional<std::vector<uint8_t>> datagram;
    std::optional<NWHostEndpoint> endpoint;
    bool isFinished;
    std::optional<platform::NWError> error;
  };
  std::mutex mutex;
  std::vector<Call> calls;

  DNSSocketClient::Callback callback() {
    return [this](auto, std::optional<std::vector<uint8_t>> d, std::optional<NWHostEndpoint> e,
                  std::optional<bool> fin, std::optional<platform::NWError> err) {
      std::lock_guard lock(mutex);
      calls.push_back(Call{std::move(d), std::move(e), fin.value_or(false), std::move(err)});
    };
  }
  bool finished() {
    std::lock_guard lock(mutex);
    return !calls.empty() && calls.back().isFinished;
  }
};

}  // namespace

class ResolverLoopback : public ::testing::TestWithParam<bool> {};

TEST_P(ResolverLoopback, AnswersInReverseOrderReachTheirEndpoints) {
  LoopbackResolver server(3, reversed(), /*ipv6=*/GetParam());
  const std::vector<NWHostEndpoint> endpoints{{"192.0.2.1", "53"}, {"192.0.2.2", "53"}, {"192.0.2.3", "53"}};
  const std::vector<std::vector<uint8_t>> queries{query(11, "a.example."), query(12, "b.example."),
                                                  query(13, "c.example.")};
  Recorder recorder;
  auto client = std::make_shared<DNSSocketClient>(std::make_shared<platform::MemoryUdpFlow>(), queries, endpoints);
  client->onDataReceived = recorder.callback();
  client->connectWithDNS(server.host(), server.port());
  client.reset();  // the owner keeps no reference

  ASSERT_TRUE(platform::waitUntil([&] { return recorder.finished(); }, std::chrono::seconds(10)));
  std::lock_guard lock(recorder.mutex);
  ASSERT_EQ(recorder.calls.size(), 3u);
  // Completions run on the concurrent global queue, so only the pairing and the
  // final flag are fixed, not the order among the first answers.
  for (size_t i = 0; i < 3; ++i) {
    const auto& call = recorder.calls[i];
    ASSERT_TRUE(call.datagram);
    const Message m = Message::deserialize(*call.datagram);
    ASSERT_TRUE(m.id >= 11 && m.id <= 13);
    EXPECT_EQ(call.endpoint, endpoints[m.id - 11]);
    EXPECT_EQ(call.isFinished, i == 2);
    EXPECT_FALSE(call.error);
  }
}

INSTANTIATE_TEST_SUITE_P(Families, ResolverLoopback, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "IPv6" : "IPv4"; });

TEST(ResolverLoopbackDeadline, SilentServerFreesTheSocket) {
  LoopbackResolver server(1, [](const auto&) { return std::vector<LoopbackResolver::Datagram>{}; });
  {
    // One finished exchange first, so that the platform's lasting descriptors exist.
    LoopbackResolver warm(1, reversed());
    Recorder first;
    auto client = std::make_shared<DNSSocketClient>(std::make_shared<platform::MemoryUdpFlow>(),
                                                    std::vector<std::vector<uint8_t>>{query(1, "warm.")},
                                                    std::vector<NWHostEndpoint>{{"192.0.2.1", "53"}});
    client->onDataReceived = first.callback();
    client->connectWithDNS(warm.host(), warm.port());
    ASSERT_TRUE(platform::waitUntil([&] { return first.finished(); }));
  }
  const size_t baseline = clienttest::openDescriptorCount();
  Recorder recorder;
  std::weak_ptr<DNSSocketClient> weak;
  {
    DNSSocketClient::Environment env;
    env.answerDeadline = std::chrono::milliseconds(300);
    auto client = std::make_shared<DNSSocketClient>(std::make_shared<platform::MemoryUdpFlow>(),
                                                    std::vector<std::vector<uint8_t>>{query(1, "quiet.")},
                                                    std::vector<NWHostEndpoint>{{"192.0.2.1", "53"}}, env);
    weak = client;
    client->onDataReceived = recorder.callback();
    client->connectWithDNS(server.host(), server.port());
  }
  ASSERT_TRUE(platform::waitUntil([&] { return server.received() == 1; }));
  ASSERT_TRUE(platform::waitUntil([&] { return recorder.finished(); }));
  {
    std::lock_guard lock(recorder.mutex);
    ASSERT_EQ(recorder.calls.size(), 1u);
    ASSERT_TRUE(recorder.calls[0].error);
    EXPECT_EQ(recorder.calls[0].error->code, ETIMEDOUT);
  }
  EXPECT_TRUE(platform::waitUntil([&] { return clienttest::openDescriptorCount() == baseline; }));
  EXPECT_TRUE(platform::waitUntil([&] { return weak.expired(); }));
}

TEST(ResolverLoopbackClosedPort, RefusedAnswerEndsTheRead) {
  int port;
  {
    LoopbackResolver closed(1, [](const auto&) { return std::vector<LoopbackResolver::Datagram>{}; });
    port = closed.port();
  }  // the port is closed again
  Recorder recorder;
  auto client = std::make_shared<DNSSocketClient>(std::make_shared<platform::MemoryUdpFlow>(),
                                                  std::vector<std::vector<uint8_t>>{query(1, "closed.")},
                                                  std::vector<NWHostEndpoint>{{"192.0.2.1", "53"}});
  client->onDataReceived = recorder.callback();
  client->connectWithDNS("127.0.0.1", port);
  client.reset();
  ASSERT_TRUE(platform::waitUntil([&] { return recorder.finished(); }));
  std::lock_guard lock(recorder.mutex);
  ASSERT_EQ(recorder.calls.size(), 1u);
  ASSERT_TRUE(recorder.calls[0].error);
  EXPECT_EQ(recorder.calls[0].error->code, ECONNREFUSED);
}

TEST(SafeSearchLoopback, TwoAnswersReportFalseThenTrue) {
  LoopbackResolver server(2, reversed());
  std::mutex mutex;
  std::vector<std::optional<bool>> reports;
  DnsSafeSearchClient::Environment env;
  env.server = platform::NWEndpoint{server.host(), server.port()};
  auto client = std::make_shared<DnsSafeSearchClient>(
      std::vector<std::vector<uint8_t>>{query(1, "a."), query(2, "b.")}, "safe.example",
      [&](std::optional<bool> all, std::optional<platform::NWError> error) {
        EXPECT_FALSE(error);
        std::lock_guard lock(mutex);
        reports.push_back(all);
      },
      env);
  client->start();
  ASSERT_TRUE(platform::waitUntil([&] {
    std::lock_guard lock(mutex);
    return reports.size() == 2;
  }));
  ASSERT_TRUE(platform::waitUntil([&] { return client->connection() == nullptr; }));
  std::lock_guard lock(mutex);
  EXPECT_EQ(reports, (std::vector<std::optional<bool>>{false, true}));
}
