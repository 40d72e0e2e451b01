#include <gtest/gtest.h>

#include "platform/dispatch/Dispatch.h"
#include "platform/networkextension/MemoryUdpFlow.h"

using namespace platform;

TEST(MemoryUdpFlow, ScriptedReadsRecordedWritesAndInjectedFailures) {
  auto queue = std::make_shared<ManualQueue>();
  auto flow = std::make_shared<MemoryUdpFlow>("com.example.app", queue);
  NWHostEndpoint a{"127.0.0.1", "5000"}, b{"127.0.0.1", "5001"};
  flow->failOpenWith(NEError{3, "test", "open failed"});
  flow->failWritesFrom(1, NEError{0, "test", "write failed"});

  std::optional<NEError> openError;
  flow->openWithLocalEndpoint(NWHostEndpoint{"192.0.2.4", "81"}, [&](auto e) { openError = e; });
  std::optional<std::vector<Datagram>> read;
  flow->readDatagrams([&](auto d, auto, auto) { read = d; });
  EXPECT_EQ(queue->runPending(), 1u);  // the read waits for a script entry
  EXPECT_TRUE(openError);
  EXPECT_FALSE(read);
  flow->addRead({{1}, {2}}, {a, b});
  queue->runPending();
  ASSERT_TRUE(read);
  EXPECT_EQ(read->size(), 2u);

  std::vector<std::optional<NEError>> results;
  flow->writeDatagrams({{9}}, {a}, [&](auto e) { results.push_back(e); });
  flow->writeDatagrams({{8}}, {b}, [&](auto e) { results.push_back(e); });
  queue->runPending();
  ASSERT_EQ(results.size(), 2u);
  EXPECT_FALSE(results[0]);
  EXPECT_TRUE(results[1]);
  EXPECT_EQ(flow->writtenDatagrams(), std::vector<Datagram>{{9}});

  flow->closeReadWithError(std::nullopt);
  flow->closeWriteWithError(NEError{1, "test", "done"});
  EXPECT_TRUE(flow->readClosed() && flow->writeClosed());
  EXPECT_EQ(flow->closeWriteError()->description, "done");
  EXPECT_EQ(flow->metaData().sourceAppSigningIdentifier, "com.example.app");
  EXPECT_NE(flow->hash(), MemoryUdpFlow().hash());
}
