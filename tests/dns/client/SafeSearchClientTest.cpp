#include <gtest/gtest.h>

#include <thread>

#include "DefaultAddresses.h"
#include "ScriptedConnection.h"
#include "dns/client/DnsSafeSearchClient.h"
#include "dns/client/DnsServerSettings.h"
#include "platform/foundation/Log.h"

using namespace DnsToolsSocket;
using clienttest::ScriptedConnection;
using platform::NWConnectionState;

TEST(DnsServerSettings, FixedEndpoint) {
  EXPECT_EQ(DnsServerSettings::portUDP(), 81);
  EXPECT_EQ(DnsServerSettings::portUDP(), DnsServerSettings::portUDP());
  std::vector<const std::string*> seen(8);
  std::vector<std::thread> threads;
  for (auto& slot : seen) threads.emplace_back([&slot] { slot = &DnsServerSettings::hostUDP(); });
  for (auto& t : threads) t.join();
  for (auto* p : seen) EXPECT_EQ(p, seen[0]);  // made once
  EXPECT_EQ(*seen[0], vardeno::defaults::kFixedServerAddress);
}

class SafeSearchClientTest : public ::testing::Test {
 protected:
  std::shared_ptr<DnsSafeSearchClient> makeClient(std::vector<std::vector<uint8_t>> data) {
    DnsSafeSearchClient::Environment env;
    env.queue = queue;
    env.makeConnection = [this](const platform::NWEndpoint& remote) {
      remoteSeen = remote;
      connection = std::make_shared<ScriptedConnection>(remote);
      return connection;
    };
    return std::make_shared<DnsSafeSearchClient>(
        std::move(data), "safe.example",
        [this](std::optional<bool> all, std::optional<platform::NWError> error) { reports.emplace_back(all, error); },
        env);
  }
  void startReady(const std::shared_ptr<DnsSafeSearchClient>& client) {
    client->start();
    connection->moveTo({NWConnectionState::ready, std::nullopt});
    queue->runPending();
    connection->completeSends();
    queue->runPending();
  }

  platform::LogCapture log;
  std::shared_ptr<platform::ManualQueue> queue = std::make_shared<platform::ManualQueue>();
  std::shared_ptr<ScriptedConnection> connection;
  platform::NWEndpoint remoteSeen;
  std::vector<std::pair<std::optional<bool>, std::optional<platform::NWError>>> reports;
  const std::string U = "Optional(\"safe.example\")";
};

TEST_F(SafeSearchClientTest, TwoAnswersThenCancel) {
  auto client = makeClient({{'q', '1'}, {'q', '2'}});
  EXPECT_TRUE(log.contains("init new DnsSafeSearchClient, url = safe.example"));
  startReady(client);
  EXPECT_EQ(remoteSeen.host, DnsServerSettings::hostUDP());
  EXPECT_EQ(remoteSeen.port, 81);
  connection->deliver(std::vector<uint8_t>{'a'});
  connection->deliver(std::vector<uint8_t>{'b'});
  queue->runPending();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].first, false);
  EXPECT_EQ(reports[1].first, true);
  EXPECT_TRUE(connection->cancelled());
  for (const std::string& line : {"Connecting to udp, url = " + U, "State: Ready, url = " + U + "\n",
                                 "sendUDP, content count = 2, url = " + U, "Data was sent to UDP, flowHash = " + U,
                                 "receiveUdp callback called, url = " + U + ", isComplete = true",
                                 "Udp received, url = " + U + ", arr.count = 2, content.count = 2",
                                 "self.connection?.cancel(), arr.count = 2, content count = 2, url = " + U}) {
    EXPECT_TRUE(log.contains(line)) << line;
  }
}

TEST_F(SafeSearchClientTest, NoDatagramsNeverCallsBack) {
  auto client = makeClient({});
  startReady(client);
  EXPECT_TRUE(log.contains("sendUDP, content count = 0, url = " + U));
  EXPECT_TRUE(reports.empty());
  EXPECT_TRUE(connection->cancelled());
  queue->advance(DnsSafeSearchClient::kAnswerDeadline);
  EXPECT_TRUE(reports.empty());
}

TEST_F(SafeSearchClientTest, ReceiveErrorWaitsForTheDeadline) {
  auto client = makeClient({{'q', '1'}});
  startReady(client);
  connection->deliver(std::nullopt, false, platform::NWError::posix(ECONNREFUSED));
  queue->runPending();
  EXPECT_TRUE(log.contains("dns session is not completed, flowHash = " + U));
  EXPECT_TRUE(reports.empty());
  EXPECT_FALSE(connection->cancelled());
  queue->advance(DnsSafeSearchClient::kAnswerDeadline);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].first, false);
  EXPECT_EQ(reports[0].second->code, ETIMEDOUT);
  EXPECT_TRUE(connection->cancelled());
}

TEST_F(SafeSearchClientTest, FailedConnectionReportsOnce) {
  auto client = makeClient({{'q', '1'}});
  client->start();
  connection->moveTo({NWConnectionState::failed, platform::NWError::posix(ENETUNREACH)});
  queue->runPending();
  EXPECT_TRUE(log.contains("State: Failed,url = " + U + ", failed: POSIXErrorCode"));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].first, false);
  EXPECT_EQ(reports[0].second->code, ENETUNREACH);
  queue->advance(DnsSafeSearchClient::kAnswerDeadline);
  EXPECT_EQ(reports.size(), 1u);
}
