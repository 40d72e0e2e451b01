#include "DnsProxyExt/FlowManager.h"

#include <gtest/gtest.h>

#include <thread>

#include "DnsProxyExt/ReportSettings.h"
#include "platform/foundation/Log.h"
#include "platform/networkextension/MemoryUdpFlow.h"

namespace dnsproxyext {
namespace {

using platform::MemoryUdpFlow;

struct FlowManagerTest : ::testing::Test {
  std::shared_ptr<platform::FakeClock> clock = std::make_shared<platform::FakeClock>(1000.0);
  FlowManager manager{clock};
};

TEST_F(FlowManagerTest, AddFlowTellsKnownFlowsAndHandledMarksTheRecord) {
  auto flow = std::make_shared<MemoryUdpFlow>("curl");
  EXPECT_FALSE(manager.addFlow(flow));
  EXPECT_TRUE(manager.addFlow(flow));
  clock->advance(std::chrono::milliseconds(1500));
  manager.flowWasHandled(*flow, "nil");
  auto record = manager.record(flow->hash());
  ASSERT_TRUE(record);
  EXPECT_TRUE(record->isFinished);
  EXPECT_DOUBLE_EQ(record->endTimestamp, 1001.5);
  EXPECT_EQ(record->errors, std::vector<std::string>{"nil"});
}

TEST_F(FlowManagerTest, UnknownFlowsOnlyLogCriticalLines) {
  platform::LogCapture capture;
  MemoryUdpFlow stranger;
  manager.flowWasHandled(stranger, "nil");
  manager.addErrorToFlow(stranger, 5);
  EXPECT_TRUE(capture.contains("***Critical: FlowManager -> flowWasHandled is nil"));
  EXPECT_TRUE(capture.contains("***Critical: FlowManager -> addErrorToFlow is nil"));
  EXPECT_EQ(manager.count(), 0u);
}

TEST_F(FlowManagerTest, ErrorEntryCarriesTimeAndCode) {
  auto flow = std::make_shared<MemoryUdpFlow>();
  manager.addFlow(flow);
  clock->advance(std::chrono::milliseconds(250));
  manager.addErrorToFlow(*flow, 3);
  auto record = manager.record(flow->hash());
  ASSERT_EQ(record->errors.size(), 1u);
  EXPECT_EQ(record->errors[0].rfind("--> error: timestamp: 1000.25", 0), 0u) << record->errors[0];
  EXPECT_NE(record->errors[0].find(" in 0.25"), std::string::npos) << record->errors[0];
  EXPECT_NE(record->errors[0].find(" after start handling, breakboint: 3"), std::string::npos);
  EXPECT_FALSE(record->isFinished);
}

TEST_F(FlowManagerTest, HandledRecordsAreBoundedOldestFirstAndOpenOnesStay) {
  auto open = std::make_shared<MemoryUdpFlow>();
  manager.addFlow(open);
  std::vector<std::shared_ptr<MemoryUdpFlow>> flows;
  for (size_t i = 0; i < FlowManager::kMaxHandledRecords + 5; ++i) {
    auto flow = std::make_shared<MemoryUdpFlow>();
    manager.addFlow(flow);
    manager.flowWasHandled(*flow, "nil");
    flows.push_back(flow);
  }
  EXPECT_EQ(manager.count(), FlowManager::kMaxHandledRecords + 1);
  EXPECT_TRUE(manager.record(open->hash()));
  for (size_t i = 0; i < 5; ++i) EXPECT_FALSE(manager.record(flows[i]->hash())) << i;
  EXPECT_TRUE(manager.record(flows[5]->hash()));
  EXPECT_TRUE(manager.record(flows.back()->hash()));
}

TEST_F(FlowManagerTest, ConcurrentReadsKeepTheBoundAndTheCounters) {
  constexpr int kThreads = 8;
  constexpr size_t kPerThread = FlowManager::kMaxHandledRecords / 2;
  std::vector<std::vector<std::shared_ptr<MemoryUdpFlow>>> flows(kThreads);
  for (auto& list : flows)
    for (size_t i = 0; i < kPerThread; ++i) list.push_back(std::make_shared<MemoryUdpFlow>());
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (const auto& flow : flows[t]) {
        manager.addFlow(flow);
        manager.recordRead(*flow, {{1, 2, 3}}, {std::nullopt});
        manager.addErrorToFlow(*flow, 2);
        manager.flowWasHandled(*flow, "nil");
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(manager.count(), FlowManager::kMaxHandledRecords);
  size_t kept = 0;
  for (const auto& list : flows)
    for (const auto& flow : list)
      if (auto record = manager.record(flow->hash())) kept += record->isFinished ? 1 : 0;
  EXPECT_EQ(kept, FlowManager::kMaxHandledRecords);
  // The counters did not drift: once plain records replaced them all, the
  // bytes are those of as many plain records.
  FlowManager single{clock};
  auto one = std::make_shared<MemoryUdpFlow>();
  single.addFlow(one);
  single.flowWasHandled(*one, "nil");
  for (size_t i = 0; i < FlowManager::kMaxHandledRecords; ++i) {
    auto flow = std::make_shared<MemoryUdpFlow>();
    manager.addFlow(flow);
    manager.flowWasHandled(*flow, "nil");
  }
  EXPECT_EQ(manager.count(), FlowManager::kMaxHandledRecords);
  EXPECT_EQ(manager.handledBytes(), FlowManager::kMaxHandledRecords * single.handledBytes());
}

TEST_F(FlowManagerTest, RequestsAreCappedAndRawDataReplaced) {
  auto flow = std::make_shared<MemoryUdpFlow>();
  manager.addFlow(flow);
  DnsToolsSocket::Message first;
  first.id = 77;
  first.questions.push_back(DnsToolsSocket::Question{"first.example.", 1, false, 1});
  manager.recordRead(*flow, {{1, 2, 3}}, {first});
  for (int i = 0; i < 100; ++i) {
    auto firstSeen = manager.recordRead(*flow, {{9}, {8}}, {std::nullopt, std::nullopt});
    ASSERT_TRUE(firstSeen);
    EXPECT_EQ(*firstSeen, "first.example.");
  }
  auto record = manager.record(flow->hash());
  EXPECT_EQ(record->reqMessages.size(), ManagedFlow::kMaxReqMessages);
  ASSERT_TRUE(record->rawReqData);
  EXPECT_EQ(record->rawReqData->size(), 2u);
}

TEST_F(FlowManagerTest, HandledRecordsKeepSizesNotDatagramsAndTheHistoryHasAByteBound) {
  // A large query: one question and a big record in the additional section.
  DnsToolsSocket::Message big;
  big.id = 9;
  big.questions.push_back(DnsToolsSocket::Question{"big.example.", 1, false, 1});
  big.additional.push_back(DnsToolsSocket::Record{"big.example.", 16, 1, false, 0, std::vector<uint8_t>(60'000, 'x')});
  const std::vector<platform::Datagram> datagrams{platform::Datagram(65'000, 7), platform::Datagram(12, 1)};
  std::vector<std::shared_ptr<MemoryUdpFlow>> flows;
  for (int i = 0; i < 50; ++i) {
    auto flow = std::make_shared<MemoryUdpFlow>();
    manager.addFlow(flow);
    auto first = manager.recordRead(*flow, datagrams, {big, std::nullopt});
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, "big.example.");
    manager.flowWasHandled(*flow, "nil");
    flows.push_back(flow);
  }
  EXPECT_LT(manager.handledBytes(), 50u * 4096);
  auto record = manager.record(flows.back()->hash());
  ASSERT_TRUE(record && record->rawReqData);
  EXPECT_EQ(*record->rawReqData, (std::vector<size_t>{65'000, 12}));
  ASSERT_EQ(record->reqMessages.size(), 2u);
  EXPECT_TRUE(record->reqMessages[0]->additional.empty());
  platform::LogCapture capture;
  manager.printReport(parseReportSettings("d"));
  EXPECT_TRUE(capture.contains("rawReqData: count = Optional(2), raw: Optional([65000 bytes, 12 bytes])"));

  // Records with many requests each: the byte bound holds before the count bound.
  DnsToolsSocket::Message small;
  small.questions.push_back(DnsToolsSocket::Question{"a-name-longer-than-the-short-string-buffer.example.", 1, false, 1});
  for (size_t i = 0; i < 3000; ++i) {
    auto flow = std::make_shared<MemoryUdpFlow>();
    manager.addFlow(flow);
    std::vector<std::optional<DnsToolsSocket::Message>> messages(ManagedFlow::kMaxReqMessages, small);
    manager.recordRead(*flow, datagrams, std::move(messages));
    manager.flowWasHandled(*flow, "nil");
  }
  EXPECT_LE(manager.handledBytes(), FlowManager::kMaxHandledBytes);
  EXPECT_LT(manager.count(), 3050u);
}

TEST_F(FlowManagerTest, ReportFiltersByTimeAndPackage) {
  auto old = std::make_shared<MemoryUdpFlow>("com.Example.Browser");
  manager.addFlow(old);
  manager.flowWasHandled(*old, "nil");
  clock->advance(std::chrono::seconds(400));
  auto fresh = std::make_shared<MemoryUdpFlow>("curl");
  manager.addFlow(fresh);
  clock->advance(std::chrono::seconds(2));

  struct Case {
    const char* params;
    bool showsOld;
    bool showsFresh;
  };
  const Case cases[] = {
      {"d", true, true},
      {"tf_300", false, true},
      {"tf_-5", false, false},
      {"p_example.browser", true, false},
      {"p_CURL_tf_10", false, true},
  };
  for (const auto& c : cases) {
    platform::LogCapture capture;
    manager.printReport(parseReportSettings(c.params));
    EXPECT_EQ(capture.contains("flow hash is " + std::to_string(old->hash())), c.showsOld) << c.params;
    EXPECT_EQ(capture.contains("flow hash is " + std::to_string(fresh->hash())), c.showsFresh) << c.params;
    EXPECT_TRUE(capture.contains("----> start of flow manager report <----"));
    EXPECT_TRUE(capture.contains("----< end of flow manager report >----"));
  }
}

TEST_F(FlowManagerTest, ReportLinesOfFinishedAndOpenFlows) {
  auto done = std::make_shared<MemoryUdpFlow>("app.done");
  manager.addFlow(done);
  clock->advance(std::chrono::seconds(2));
  manager.flowWasHandled(*done, "nil");
  auto open = std::make_shared<MemoryUdpFlow>("app.open");
  manager.addFlow(open);
  clock->advance(std::chrono::seconds(3));

  platform::LogCapture capture;
  manager.printReport(parseReportSettings("p_app.done"));
  EXPECT_TRUE(capture.contains("->flow " + std::to_string(done->hash()) +
                               ", isFinished: true, senderId: app.done,  delay: 2"));
  EXPECT_TRUE(capture.contains("url: reqMessages is empty, errors: [\"nil\"]"));
  EXPECT_FALSE(capture.contains("time from now = "));
  EXPECT_TRUE(capture.contains("rawReqData: count = nil, raw: nil"));

  capture.clear();
  manager.printReport(parseReportSettings("p_app.open_d"));
  EXPECT_TRUE(capture.contains("->flow " + std::to_string(open->hash()) + ", isFinished: false"));
  EXPECT_TRUE(capture.contains("time from now = 3"));
  EXPECT_TRUE(capture.contains("flow " + std::to_string(open->hash()) + " detailed, isBound: "));
}

}  // namespace
}  // namespace dnsproxyext
