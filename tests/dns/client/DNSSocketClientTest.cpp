#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

#include "ScriptedConnection.h"
#include "QueryMessage.h"
#include "dns/client/DNSSocketClient.h"
#include "dns/value/Message.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Log.h"
#include "platform/networkextension/MemoryUdpFlow.h"

using namespace DnsToolsSocket;
using clienttest::query;
using clienttest::ScriptedConnection;
using platform::NWConnectionState;
using platform::NWHostEndpoint;

namespace {

std::vector<uint8_t> answer(uint16_t id, const std::string& name) {
  Message m;
  m.id = id;
  m.type = MessageType::response;
  m.questions.push_back(Question{name, 1, false, 1});
  m.answers.push_back(HostRecord<IPv4>{name, false, 1, 60, IPv4(0x0A000000u | id)});
  return m.serialize();
}

struct Call {
  std::optional<std::vector<uint8_t>> datagram;
  std::optional<NWHostEndpoint> endpoint;
  std::optional<bool> isFinished;
  std::optional<platform::NWError> error;
};

class DNSSocketClientTest : public ::testing::Test {
 protected:
  std::shared_ptr<DNSSocketClient> makeClient(std::vector<std::vector<uint8_t>> datagrams,
                                              std::vector<NWHostEndpoint> endpoints, bool withCallback = true) {
    DNSSocketClient::Environment env;
    env.queue = queue;
    env.makeConnection = [this](const platform::NWEndpoint& remote) {
      connection = std::make_shared<ScriptedConnection>(remote);
      ++connectionsMade;
      return connection;
    };
    auto client = std::make_shared<DNSSocketClient>(flow, std::move(datagrams), std::move(endpoints), env);
    if (withCallback) {
      client->onDataReceived = [this](DNSSocketClient::Flow f, std::optional<std::vector<uint8_t>> d,
                                      std::optional<NWHostEndpoint> e, std::optional<bool> fin,
                                      std::optional<platform::NWError> err) {
        EXPECT_EQ(f, flow);
        calls.push_back(Call{std::move(d), std::move(e), fin, std::move(err)});
      };
    }
    return client;
  }

  // Connects and brings the connection to ready with every send completed.
  void connectReady(const std::shared_ptr<DNSSocketClient>& client, std::optional<size_t> failSend = std::nullopt) {
    client->connectWithDNS("127.0.0.1", 53);
    ASSERT_TRUE(connection && connection->started());
    connection->moveTo({NWConnectionState::preparing, std::nullopt});
    connection->moveTo({NWConnectionState::ready, std::nullopt});
    queue->runPending();
    connection->completeSends(failSend);
    queue->runPending();
  }

  std::string hash() const { return std::to_string(flow->hash()); }

  platform::LogCapture log;
  std::shared_ptr<platform::ManualQueue> queue = std::make_shared<platform::ManualQueue>();
  std::shared_ptr<platform::MemoryUdpFlow> flow = std::make_shared<platform::MemoryUdpFlow>();
  std::shared_ptr<ScriptedConnection> connection;
  int connectionsMade = 0;
  std::vector<Call> calls;
  const NWHostEndpoint e0{"192.0.2.10", "53"}, e1{"192.0.2.11", "53"}, e2{"192.0.2.12", "53"};
};

}  // namespace

TEST_F(DNSSocketClientTest, OneAnswerFinishesAndCancels) {
  auto client = makeClient({query(1, "a.example.")}, {e0});
  EXPECT_TRUE(log.contains("init new DNSSocketClient, flowHash = " + hash()));
  connectReady(client);
  EXPECT_EQ(connection->sent(), std::vector<std::vector<uint8_t>>{query(1, "a.example.")});
  ASSERT_TRUE(connection->deliver(answer(1, "a.example.")));
  queue->runPending();

  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].datagram, answer(1, "a.example."));
  EXPECT_EQ(calls[0].endpoint, e0);
  EXPECT_EQ(calls[0].isFinished, true);
  EXPECT_FALSE(calls[0].error);
  EXPECT_TRUE(connection->cancelled());
  EXPECT_EQ(client->connection(), nullptr);

  const std::string h = hash();
  for (const std::string& line :
       {"Connecting to udp, flowHash = " + h,
        "DNSSocketClient stateUpdateHandler:, flowHash = " + h + ", state = preparing",
        "State: Preparing, flowHash = " + h + "\n", "State: Ready, flowHash = " + h + "\n",
        "sendUDP, content count = 1, flowHash = " + h, "Data was sent to UDP, flowHash = " + h,
        "receiveUdp callback called, flowHash = " + h + ", isComplete = true",
        "Udp received, flowHash = " + h + ", arr.count = 1, content.count = 1",
        "self.connection?.cancel(), arr.count = 1, content count = 1, flowHash = " + h,
        "State: Cancelled, flowHash = " + h + "\n"}) {
    EXPECT_EQ(log.count(line), 1u) << line;
  }
}

TEST_F(DNSSocketClientTest, AnswersInReverseOrderCarryTheirQueriesEndpoints) {
  auto client = makeClient({query(1, "a."), query(2, "b."), query(3, "c.")}, {e0, e1, e2});
  connectReady(client);
  for (uint16_t id : {3, 1, 2}) {
    ASSERT_TRUE(connection->deliver(answer(id, id == 1 ? "a." : id == 2 ? "b." : "c.")));
    queue->runPending();
  }
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].endpoint, e2);
  EXPECT_EQ(calls[1].endpoint, e0);
  EXPECT_EQ(calls[2].endpoint, e1);
  EXPECT_EQ(calls[0].isFinished, false);
  EXPECT_EQ(calls[1].isFinished, false);
  EXPECT_EQ(calls[2].isFinished, true);
  EXPECT_TRUE(connection->cancelled());
}

TEST_F(DNSSocketClientTest, IdenticalQueriesToDifferentEndpointsEachGetTheirOwn) {
  auto client = makeClient({query(9, "a."), query(9, "a.")}, {e0, e1});
  connectReady(client);
  connection->deliver(answer(9, "a."));
  connection->deliver(answer(9, "a."));
  queue->runPending();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].endpoint, e0);
  EXPECT_EQ(calls[1].endpoint, e1);
  EXPECT_EQ(calls[1].isFinished, true);
}

TEST_F(DNSSocketClientTest, StrayAnswersDoNotCount) {
  auto client = makeClient({query(1, "a."), query(2, "b.")}, {e0, e1});
  connectReady(client);
  const std::vector<std::vector<uint8_t>> strays{
      answer(7, "a."),      // unknown identifier
      answer(1, "other."),  // known identifier, other question
      {0x00, 0x01, 0x81},   // too short to be DNS
  };
  for (const auto& stray : strays) {
    ASSERT_TRUE(connection->deliver(stray));
    queue->runPending();
  }
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(connection->pendingReceives(), 2u);  // each stray re-armed its receive

  connection->deliver(answer(2, "b."));
  connection->deliver(answer(2, "b."));  // a duplicate is stray too
  queue->runPending();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].isFinished, false);
  connection->deliver(answer(1, "A."));  // names compare without case
  queue->runPending();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].endpoint, e0);
  EXPECT_EQ(calls[1].isFinished, true);
}

TEST_F(DNSSocketClientTest, QueriesThatAreNotDnsMatchBySend) {
  auto client = makeClient({{'q', '0'}, {'q', '1'}}, {e0, e1});
  connectReady(client);
  connection->deliver(std::vector<uint8_t>{'r', '0'});
  connection->deliver(std::vector<uint8_t>{'r', '1'});
  queue->runPending();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].endpoint, e0);
  EXPECT_EQ(calls[1].endpoint, e1);
  EXPECT_EQ(calls[1].isFinished, true);
}

TEST_F(DNSSocketClientTest, EmptyReadFreesTheSocketWithoutACallback) {
  auto client = makeClient({}, {});
  connectReady(client);
  EXPECT_TRUE(log.contains("sendUDP, content count = 0, flowHash = " + hash()));
  EXPECT_TRUE(calls.empty());
  EXPECT_TRUE(connection->cancelled());
  EXPECT_EQ(queue->advance(DNSSocketClient::kAnswerDeadline * 2), 0u);
  EXPECT_TRUE(calls.empty());
}

TEST_F(DNSSocketClientTest, FailedSendLeavesTheReadToTheDeadline) {
  auto client = makeClient({query(1, "a."), query(2, "b.")}, {e0, e1});
  connectReady(client, /*failSend=*/0);
  EXPECT_TRUE(log.contains("(" + hash() + "): ERROR! Error when data (Type: Data) sending. NWError: \n POSIXErrorCode"));
  EXPECT_EQ(connection->pendingReceives(), 1u);
  connection->deliver(answer(2, "b."));
  queue->runPending();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].isFinished, false);
  EXPECT_FALSE(connection->cancelled());

  queue->advance(DNSSocketClient::kAnswerDeadline - std::chrono::milliseconds(1));
  EXPECT_EQ(calls.size(), 1u);
  queue->advance(std::chrono::milliseconds(1));
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].isFinished, true);
  ASSERT_TRUE(calls[1].error);
  EXPECT_EQ(calls[1].error->code, ETIMEDOUT);
  EXPECT_FALSE(calls[1].datagram);
  EXPECT_TRUE(connection->cancelled());
}

TEST_F(DNSSocketClientTest, ReceiveErrorEndsTheRead) {
  auto client = makeClient({query(1, "a."), query(2, "b.")}, {e0, e1});
  // The owner hears of the error before the client logs it.
  bool loggedBeforeOwner = false;
  client->onDataReceived = [this, &loggedBeforeOwner, record = client->onDataReceived](auto... arguments) {
    loggedBeforeOwner = log.contains("udp socket error: ");
    record(std::move(arguments)...);
  };
  connectReady(client);
  connection->deliver(std::nullopt, false, platform::NWError::posix(ECONNREFUSED));
  queue->runPending();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].isFinished, true);
  ASSERT_TRUE(calls[0].error);
  EXPECT_EQ(calls[0].error->code, ECONNREFUSED);
  EXPECT_EQ(calls[0].endpoint, e0);
  EXPECT_TRUE(log.contains("dns session is not completed, flowHash = " + hash()));
  EXPECT_TRUE(log.contains("udp socket error: Optional(POSIXErrorCode(rawValue: " + std::to_string(ECONNREFUSED)));
  EXPECT_FALSE(loggedBeforeOwner);
  EXPECT_TRUE(connection->cancelled());
  queue->advance(DNSSocketClient::kAnswerDeadline);
  EXPECT_EQ(calls.size(), 1u);  // exactly one final callback
}

TEST_F(DNSSocketClientTest, IncompleteReceiveWithoutErrorIsReportedAndWaits) {
  auto client = makeClient({query(1, "a.")}, {e0});
  connectReady(client);
  connection->deliver(std::vector<uint8_t>{1, 2}, false);
  queue->runPending();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].isFinished, false);
  EXPECT_FALSE(calls[0].error);
  EXPECT_FALSE(connection->cancelled());
  queue->advance(DNSSocketClient::kAnswerDeadline);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].isFinished, true);
}

TEST_F(DNSSocketClientTest, ConnectionStates) {
  auto client = makeClient({query(1, "a.")}, {e0});
  client->connectWithDNS("192.0.2.1", 53);
  connection->moveTo({NWConnectionState::setup, std::nullopt});
  connection->moveTo({NWConnectionState::waiting, platform::NWError::posix(ENETUNREACH)});
  queue->runPending();
  const std::string h = hash();
  EXPECT_TRUE(log.contains("State: Setup, flowHash = " + h + "\n"));
  EXPECT_TRUE(log.contains("State: Waiting,flowHash = " + h + ", error: POSIXErrorCode(rawValue: " +
                           std::to_string(ENETUNREACH)));
  EXPECT_TRUE(calls.empty());  // waiting may still become ready

  connection->moveTo({NWConnectionState::failed, platform::NWError::posix(ECONNREFUSED)});
  queue->runPending();
  EXPECT_TRUE(log.contains("State: Failed,flowHash = " + h + ", failed: POSIXErrorCode"));
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].isFinished, true);
  EXPECT_EQ(calls[0].error->code, ECONNREFUSED);
  EXPECT_TRUE(connection->cancelled());
}

TEST_F(DNSSocketClientTest, PortOutsideTheRangeOpensNothing) {
  for (int port : {-5, 65536, 70000}) {
    calls.clear();
    auto client = makeClient({query(1, "a.")}, {e0});
    client->connectWithDNS("192.0.2.1", port);
    queue->runPending();
    EXPECT_EQ(connectionsMade, 0) << port;
    ASSERT_EQ(calls.size(), 1u) << port;
    EXPECT_EQ(calls[0].isFinished, true);
    EXPECT_EQ(calls[0].error->code, EINVAL);
  }
}

TEST_F(DNSSocketClientTest, ShortEndpointListAndMissingCallback) {
  auto client = makeClient({query(1, "a."), query(2, "b.")}, {e0});
  connectReady(client);
  connection->deliver(answer(2, "b."));
  queue->runPending();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_FALSE(calls[0].endpoint);

  queue->advance(DNSSocketClient::kAnswerDeadline);  // ends the first read
  ASSERT_EQ(calls.size(), 2u);

  auto silent = makeClient({query(1, "a.")}, {e0}, /*withCallback=*/false);
  connectReady(silent);
  connection->deliver(answer(1, "a."));
  queue->runPending();
  EXPECT_TRUE(log.contains("DNSSocketClient onDataReceived is not set, flowHash = " + hash()));
  EXPECT_TRUE(connection->cancelled());
}

TEST_F(DNSSocketClientTest, ClientIsReleasedOnceFinished) {
  std::weak_ptr<DNSSocketClient> weak;
  {
    auto client = makeClient({query(1, "a.")}, {e0});
    weak = client;
    connectReady(client);
  }
  EXPECT_FALSE(weak.expired());  // the connection's handlers hold it while it runs
  connection->deliver(answer(1, "a."));
  queue->runPending();
  connection.reset();
  queue->advance(DNSSocketClient::kAnswerDeadline);
  EXPECT_TRUE(weak.expired());
}

// Answers completed concurrently on the real global queue: exactly one
// callback says isFinished, and it is the last one the owner sees.
TEST(DNSSocketClientConcurrency, ExactlyOneFinishedAnswerUnderConcurrency) {
  constexpr size_t kQueries = 24;
  for (int round = 0; round < 40; ++round) {
    std::vector<std::vector<uint8_t>> queries;
    std::vector<NWHostEndpoint> endpoints;
    for (size_t i = 0; i < kQueries; ++i) {
      queries.push_back(query(static_cast<uint16_t>(i), "q.example."));
      endpoints.push_back(NWHostEndpoint{"192.0.2.1", std::to_string(1000 + i)});
    }
    std::shared_ptr<ScriptedConnection> connection;
    DNSSocketClient::Environment env;
    env.makeConnection = [&](const platform::NWEndpoint& remote) {
      connection = std::make_shared<ScriptedConnection>(remote);
      return connection;
    };
    auto flow = std::make_shared<platform::MemoryUdpFlow>();
    auto client = std::make_shared<DNSSocketClient>(flow, queries, endpoints, env);

    std::mutex mutex;
    std::vector<bool> finishedFlags;
    std::vector<NWHostEndpoint> seen;
    client->onDataReceived = [&](auto, auto, std::optional<NWHostEndpoint> e, std::optional<bool> fin, auto) {
      std::lock_guard lock(mutex);
      finishedFlags.push_back(fin.value_or(false));
      if (e) seen.push_back(*e);
    };
    client->connectWithDNS("127.0.0.1", 53);
    connection->moveTo({NWConnectionState::ready, std::nullopt});
    ASSERT_TRUE(platform::waitUntil([&] { return connection->sent().size() == kQueries; }));
    connection->completeSends();
    ASSERT_TRUE(platform::waitUntil([&] { return connection->pendingReceives() == kQueries; }));
    for (size_t i = 0; i < kQueries; ++i) connection->deliver(answer(static_cast<uint16_t>(kQueries - 1 - i), "q.example."));
    ASSERT_TRUE(platform::waitUntil([&] {
      std::lock_guard lock(mutex);
      return finishedFlags.size() == kQueries;
    }));
    ASSERT_TRUE(platform::waitUntil([&] { return connection->cancelled(); }));
    std::lock_guard lock(mutex);
    EXPECT_EQ(std::count(finishedFlags.begin(), finishedFlags.end(), true), 1);
    EXPECT_TRUE(finishedFlags.back());
    std::sort(seen.begin(), seen.end(), [](auto& a, auto& b) { return a.port < b.port; });
    EXPECT_EQ(seen, endpoints);
  }
}
