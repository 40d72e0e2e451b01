#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <set>
#include <thread>

#include "DnsProxyExt/SafeSearchDNSProxyProvider.h"
#include "ProviderFixture.h"

namespace dnsproxyext::testing {
namespace {

using platform::MemoryUdpFlow;

class QueryRoad : public ProviderFixture {};

TEST_F(QueryRoad, EachRuleReachesItsResolverAndOnlyTheFilteringOneGetsOptions) {
  startWithVendorData();
  struct Case {
    const char* app;
    const char* name;
    FakeUdpServer* server;
    bool options;
  };
  const Case cases[] = {
      {"com.apple.opendirectoryd", "corp.example.", local_.get(), false},   // a beats c
      {"com.ALLOWED.app.helper", "corp.example.", second_.get(), false},    // b beats c
      {"curl", "www.corp.example.", mapped_.get(), false},                  // c, www. and dot removed
      {"curl", "host.corp.example.net.", mapped_.get(), false},             // c, key followed by a label
      {"curl", "news.example.", filtering_.get(), true},                    // e
  };
  for (const auto& c : cases) {
    size_t before = c.server->receivedCount();
    auto query = queryBytes(c.name);
    auto flow = flowWith(c.app, {query});
    ASSERT_TRUE(runFlow(flow)) << c.app << " " << c.name;
    ASSERT_EQ(c.server->receivedCount(), before + 1) << c.app << " " << c.name;
    const Bytes sent = c.server->received().back();
    auto options = ednsOptions(sent);
    if (c.options) {
      EXPECT_EQ(options[65001], "org-1");
      EXPECT_EQ(options[65002], "unit-7");
      EXPECT_EQ(options[65003], "user@example.com");
      EXPECT_EQ(options[65007], "1");
      EXPECT_EQ(options[65015], "1700000000000");
    } else {
      EXPECT_EQ(sent, query) << c.name << ": forwarded as read";
    }
    ASSERT_EQ(flow->writes().size(), 1u);
    EXPECT_EQ(flow->writes()[0].endpoints, std::vector<platform::NWHostEndpoint>{endpoint("53")});
  }
}

TEST_F(QueryRoad, AllowAllSendsEverythingToTheSecondResolverAndDirectoryAppsFallThroughWithoutLocalResolver) {
  auto data = vendorData();
  data["--allowAll"] = "true";
  data.erase("--localNetworkDNS");
  start(nlohmann::json{{"VendorData", data}});
  ASSERT_TRUE(runFlow(flowWith("com.apple.nsupdate", {queryBytes("corp.example.")})));
  EXPECT_EQ(second_->receivedCount(), 1u);
  EXPECT_EQ(local_->receivedCount(), 0u);
}

TEST_F(QueryRoad, AnswersGoBackExactlyAsTheResolverSentThem) {
  startWithVendorData();
  // AD and CD set, a TXT record with two strings (one without "="), and an MX
  // whose exchange name is compressed against the question.
  const Bytes tail = {
      0x81, 0xB0, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00,  // flags, counts
      0x04, 'm', 'a', 'i', 'l', 0x07, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 0x00, 0x00, 0x0F, 0x00, 0x01,
      0xC0, 0x0C, 0x00, 0x10, 0x00, 0x01, 0x00, 0x00, 0x00, 0x3C, 0x00, 0x0A,  // TXT
      0x03, 'a', '=', 'b', 0x05, 'h', 'e', 'l', 'l', 'o',
      0xC0, 0x0C, 0x00, 0x0F, 0x00, 0x01, 0x00, 0x00, 0x00, 0x3C, 0x00, 0x07,  // MX
      0x00, 0x0A, 0x02, 'm', 'x', 0xC0, 0x0C};
  filtering_->setHandler([&](const Bytes& query) -> std::vector<Bytes> {
    Bytes reply{query[0], query[1]};
    reply.insert(reply.end(), tail.begin(), tail.end());
    return {reply};
  });
  auto query = queryBytes("mail.example.", 0xBEEF, 15);
  auto flow = flowWith("curl", {query});
  ASSERT_TRUE(runFlow(flow));
  Bytes expected{0xBE, 0xEF};
  expected.insert(expected.end(), tail.begin(), tail.end());
  ASSERT_EQ(flow->writtenDatagrams().size(), 1u);
  EXPECT_EQ(flow->writtenDatagrams()[0], expected);
}

TEST_F(QueryRoad, ThreeDatagramsGiveThreeAnswersOneReportLineAndCloseAfterTheLastWrite) {
  startWithVendorData();
  auto completions = std::make_shared<platform::ManualQueue>();
  auto flow = flowWith("curl", {queryBytes("a.example.", 1), queryBytes("b.example.", 2), queryBytes("c.example.", 3)},
                       completions);
  platform::LogCapture capture;
  ASSERT_TRUE(provider_->handleNewUDPFlow(flow, endpoint()));
  completions->runPending();  // open and read
  ASSERT_TRUE(platform::waitUntil([&] { return flow->writes().size() == 3; }));
  // Every answer is written, but no write has completed yet: still open.
  EXPECT_FALSE(flow->writeClosed());
  EXPECT_FALSE(flow->readClosed());
  // A write's completion is queued just after the write is recorded.
  EXPECT_TRUE(platform::waitUntil([&] {
    completions->runPending();
    return flow->writeClosed() && flow->readClosed();
  }));

  std::set<std::string> ports;
  for (const auto& write : flow->writes()) {
    ASSERT_EQ(write.datagrams.size(), 1u);
    ASSERT_EQ(write.endpoints.size(), 1u);
    auto answer = DnsToolsSocket::Message::deserialize(write.datagrams[0]);
    // Each answer goes toward the endpoint of its own query (ids 1, 2, 3 from ports 53, 54, 55).
    EXPECT_EQ(write.endpoints[0].port, std::to_string(52 + answer.id));
    ports.insert(write.endpoints[0].port);
  }
  EXPECT_EQ(ports.size(), 3u);
  EXPECT_EQ(capture.count("[DNS REQ FLOW] - took: "), 1u);
  auto record = provider_->flowManager().record(flow->hash());
  ASSERT_TRUE(record);
  EXPECT_TRUE(record->isFinished);
  EXPECT_EQ(record->errors.back(), "nil");
  EXPECT_EQ(record->reqMessages.size(), 3u);
  EXPECT_TRUE(provider_->dnsFlowsReports().empty());
}

// Answers like `answering()`, with `mark` as the last byte of the address,
// so a test can tell which resolver answered.
FakeUdpServer::Handler answeringWith(uint8_t mark) {
  return [mark](const Bytes& query) -> std::vector<Bytes> {
    try {
      Bytes answer = answerFor(query);
      answer.back() = mark;
      return {answer};
    } catch (...) {
      return {query};
    }
  };
}

// A query built label by label, for labels the value codec would refuse.
Bytes rawQuery(uint16_t id, std::initializer_list<std::string> labels) {
  Bytes q = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
  for (const auto& label : labels) {
    q.push_back(static_cast<uint8_t>(label.size()));
    q.insert(q.end(), label.begin(), label.end());
  }
  q.insert(q.end(), {0x00, 0x00, 0x01, 0x00, 0x01});
  return q;
}

TEST_F(QueryRoad, EachQueryOfAReadGoesToTheResolverItsOwnNameChooses) {
  startWithVendorData();
  mapped_->setHandler(answeringWith(3));
  filtering_->setHandler(answeringWith(1));
  struct Case {
    const char* label;
    std::vector<bool> mapped;  // per datagram: a name under the mapped domain
  } cases[] = {
      {"mapped first", {true, false, true, false}},
      {"public first", {false, true, false, true}},
      {"all public", {false, false, false, false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<Bytes> queries;
    size_t mappedCount = 0;
    for (size_t i = 0; i < c.mapped.size(); ++i) {
      const std::string name = (c.mapped[i] ? "host" : "news") + std::to_string(i) + (c.mapped[i] ? ".corp.example." : ".example.");
      queries.push_back(queryBytes(name, static_cast<uint16_t>(1 + i)));
      mappedCount += c.mapped[i];
    }
    const size_t mappedBefore = mapped_->receivedCount(), filteringBefore = filtering_->receivedCount();
    auto completions = std::make_shared<platform::ManualQueue>();
    auto flow = flowWith("curl", queries, completions);
    platform::LogCapture capture;
    ASSERT_TRUE(provider_->handleNewUDPFlow(flow, endpoint()));
    completions->runPending();  // open and read
    ASSERT_TRUE(platform::waitUntil([&] { return flow->writes().size() == queries.size(); }));
    // Every answer is written, but no write has completed yet: still open.
    EXPECT_FALSE(flow->writeClosed());
    completions->runPending();
    EXPECT_TRUE(flow->writeClosed());
    EXPECT_TRUE(flow->readClosed());

    // The mapped resolver got its queries as read, the filtering one the
    // others with the options.
    const auto toMapped = mapped_->received();
    const auto toFiltering = filtering_->received();
    ASSERT_EQ(toMapped.size() - mappedBefore, mappedCount);
    ASSERT_EQ(toFiltering.size() - filteringBefore, queries.size() - mappedCount);
    for (size_t i = mappedBefore; i < toMapped.size(); ++i) {
      auto id = DnsToolsSocket::Message::deserialize(toMapped[i]).id;
      EXPECT_TRUE(c.mapped[id - 1]) << id;
      EXPECT_EQ(toMapped[i], queries[id - 1]);
    }
    for (size_t i = filteringBefore; i < toFiltering.size(); ++i) {
      auto id = DnsToolsSocket::Message::deserialize(toFiltering[i]).id;
      EXPECT_FALSE(c.mapped[id - 1]) << id;
      EXPECT_EQ(ednsOptions(toFiltering[i])[65001], "org-1") << id;
    }
    // Each answer toward its own query's endpoint, from its own resolver.
    std::set<std::string> ports;
    for (const auto& write : flow->writes()) {
      ASSERT_EQ(write.datagrams.size(), 1u);
      auto answer = DnsToolsSocket::Message::deserialize(write.datagrams[0]);
      EXPECT_EQ(write.endpoints.at(0).port, std::to_string(52 + answer.id));
      EXPECT_EQ(write.datagrams[0].back(), c.mapped[answer.id - 1] ? 3 : 1) << answer.id;
      ports.insert(write.endpoints[0].port);
    }
    EXPECT_EQ(ports.size(), queries.size());
    // Closed once, one report line, the choice logged once per resolver.
    auto record = provider_->flowManager().record(flow->hash());
    ASSERT_TRUE(record);
    EXPECT_TRUE(record->isFinished);
    EXPECT_EQ(record->errors, std::vector<std::string>{"nil"});
    // Logged by the resolver's thread just after the last write was handed over.
    EXPECT_TRUE(capture.waitFor("handleInBoundDatagram, closing read/write,hash = "));
    EXPECT_EQ(capture.count("handleInBoundDatagram, closing read/write,hash = "), 1u);
    EXPECT_EQ(capture.count("[DNS REQ FLOW] - took: "), 1u);
    EXPECT_EQ(capture.count("Mapped to use local DNS server - > connect to local  "), mappedCount ? 1u : 0u);
    EXPECT_EQ(capture.count("values for inject = "), 1u);
    EXPECT_EQ(capture.count("connect to DNS using Vardeno DNS ("), 1u);
    EXPECT_EQ(capture.count("dnshost address = "), mappedCount ? 2u : 1u);
    EXPECT_EQ(capture.count("init new DNSSocketClient"), mappedCount ? 2u : 1u);
    const size_t firstMapped = std::find(c.mapped.begin(), c.mapped.end(), true) - c.mapped.begin();
    if (mappedCount) {
      EXPECT_EQ(capture.count("Mapped to use local DNS server - > connect to local  " + mapped_->hostText() +
                              ", q: Optional(\"host" + std::to_string(firstMapped) + ".corp.example\")"),
                1u);
    }
    EXPECT_TRUE(provider_->dnsFlowsReports().empty());
  }
}

TEST_F(QueryRoad, AMappedNameWithALabelThatIsNotUtf8GoesToTheMappedResolver) {
  startWithVendorData();
  const Bytes query = rawQuery(7, {"caf\xE9\xFF", "intranet", "corp", "example"});
  platform::LogCapture capture;
  auto flow = flowWith("curl", {query});
  ASSERT_TRUE(runFlow(flow));
  ASSERT_EQ(mapped_->receivedCount(), 1u);
  EXPECT_EQ(mapped_->received()[0], query);
  EXPECT_EQ(filtering_->receivedCount(), 0u);
  EXPECT_EQ(flow->writes().size(), 1u);
  // The lines that print the decoded query still say it did not decode.
  EXPECT_TRUE(capture.contains("msg: nil"));
  EXPECT_TRUE(capture.contains(", q: nil"));
}

TEST_F(QueryRoad, AGroupWhoseResolverCannotBeUsedEndsWhileTheOthersAreAnswered) {
  startWithVendorData();
  const std::string reply =
      R"({"status": true, "dnsServerSettings": [{"assignedDomains": ["bad.example"], "dnsServerIP": "127.0.0.1:70000"}]})";
  provider_->updateWhitelistedDomains(Bytes(reply.begin(), reply.end()));
  auto flow = flowWith("curl", {queryBytes("www.bad.example.", 1), queryBytes("news.example.", 2)});
  ASSERT_TRUE(runFlow(flow));
  ASSERT_EQ(flow->writes().size(), 1u);
  EXPECT_EQ(DnsToolsSocket::Message::deserialize(flow->writes()[0].datagrams[0]).id, 2);
  EXPECT_EQ(filtering_->receivedCount(), 1u);
  auto record = provider_->flowManager().record(flow->hash());
  ASSERT_TRUE(record && record->isFinished);
  EXPECT_NE(record->errors.back().find("unusable resolver 127.0.0.1:70000"), std::string::npos);
  EXPECT_TRUE(flow->closeWriteError().has_value());
  EXPECT_TRUE(provider_->dnsFlowsReports().empty());
}

TEST_F(QueryRoad, AGroupThatTimesOutClosesTheReadWithItsErrorAfterTheOthersAreAnswered) {
  answerDeadline_ = std::chrono::seconds(1);
  startWithVendorData();
  mapped_->setHandler({});  // the mapped resolver never answers
  auto flow = flowWith("curl", {queryBytes("news.example.", 1), queryBytes("host.corp.example.", 2)});
  ASSERT_TRUE(runFlow(flow));
  ASSERT_EQ(flow->writes().size(), 1u);
  EXPECT_EQ(DnsToolsSocket::Message::deserialize(flow->writes()[0].datagrams[0]).id, 1);
  auto record = provider_->flowManager().record(flow->hash());
  ASSERT_TRUE(record && record->isFinished);
  EXPECT_NE(record->errors.back(), "nil");
  EXPECT_TRUE(flow->closeWriteError().has_value());
}

TEST_F(QueryRoad, FlowReportsListTheFlowsOwnKeyBeforeItsRecordIsRemoved) {
  startWithVendorData();
  platform::LogCapture capture;
  auto flow = flowWith("curl", {queryBytes("keys.example.")});
  ASSERT_TRUE(runFlow(flow));
  EXPECT_EQ(capture.count("flow reports: [\"" + std::to_string(flow->hash()) + "\"]"), 1u);
  EXPECT_TRUE(provider_->dnsFlowsReports().empty());
}

TEST_F(QueryRoad, NamesWithControlBytesAreEscapedInEveryLine) {
  startWithVendorData();
  platform::LogCapture capture;
  auto flow = flowWith("app\nforged", {queryBytes("evil\nInjected line.example.")});
  ASSERT_TRUE(runFlow(flow));
  ASSERT_EQ(flow->writes().size(), 1u);
  for (const auto& line : capture.lines()) {
    EXPECT_EQ(line.find("\nInjected"), std::string::npos) << line;
    EXPECT_EQ(line.find("\nforged"), std::string::npos) << line;
  }
  EXPECT_TRUE(capture.contains("name = evil\\nInjected line.example."));
  EXPECT_TRUE(capture.contains("debugDesc = evil\\nInjected line.example.,"));
  EXPECT_TRUE(capture.contains(" ,app id = app\\nforged"));
}

TEST_F(QueryRoad, SilentResolverEndsTheFlowWithoutWritingAnything) {
  answerDeadline_ = std::chrono::seconds(1);
  startWithVendorData();
  filtering_->setHandler({});
  auto flow = flowWith("curl", {queryBytes("quiet.example.")});
  ASSERT_TRUE(provider_->handleNewUDPFlow(flow, endpoint()));
  ASSERT_TRUE(platform::waitUntil([&] { return flow->writeClosed(); }, std::chrono::seconds(30)));
  EXPECT_TRUE(flow->readClosed());
  EXPECT_TRUE(flow->writes().empty());
  auto record = provider_->flowManager().record(flow->hash());
  ASSERT_TRUE(record);
  EXPECT_TRUE(record->isFinished);
  EXPECT_NE(record->errors.back(), "nil");
  EXPECT_TRUE(provider_->dnsFlowsReports().empty());
}

TEST_F(QueryRoad, AStoppedAndReleasedProviderStillWritesTheAnswerOfAFlowItRead) {
  startWithVendorData();
  // The resolver holds its answer until the provider is stopped and let go.
  std::promise<void> asked, release;
  auto released = release.get_future().share();
  filtering_->setHandler([&asked, released](const Bytes& query) -> std::vector<Bytes> {
    asked.set_value();
    released.wait();
    return {answerFor(query)};
  });
  auto flow = flowWith("curl", {queryBytes("late.example.")});
  ASSERT_TRUE(provider_->handleNewUDPFlow(flow, endpoint()));
  asked.get_future().wait();
  std::weak_ptr<DnsProxyExt> weak = provider_;
  provider_->stopProxy(platform::NEProviderStopReason::superceded, [] {});
  provider_.reset();
  release.set_value();
  ASSERT_TRUE(platform::waitUntil([&] { return flow->writeClosed(); }, std::chrono::seconds(10)));
  ASSERT_EQ(flow->writes().size(), 1u);
  EXPECT_EQ(DnsToolsSocket::Message::deserialize(flow->writes()[0].datagrams[0]).answers.size(), 1u);
  // Released once the read has ended.
  EXPECT_TRUE(platform::waitUntil([&] { return weak.expired(); }, std::chrono::seconds(10)));
}

TEST_F(QueryRoad, PartlyAnsweredReadWritesWhatCameAndEndsWithTheResolverError) {
  answerDeadline_ = std::chrono::seconds(1);
  startWithVendorData();
  filtering_->setHandler([](const Bytes& query) -> std::vector<Bytes> {
    if (DnsToolsSocket::Message::deserialize(query).id == 2) return {};  // the second query gets no answer
    return {answerFor(query)};
  });
  auto flow = flowWith("curl", {queryBytes("one.example.", 1), queryBytes("two.example.", 2)});
  ASSERT_TRUE(runFlow(flow));
  ASSERT_EQ(flow->writes().size(), 1u);
  EXPECT_EQ(DnsToolsSocket::Message::deserialize(flow->writes()[0].datagrams[0]).id, 1);
  auto record = provider_->flowManager().record(flow->hash());
  ASSERT_TRUE(record);
  EXPECT_TRUE(record->isFinished);
  ASSERT_EQ(record->errors.size(), 2u);
  EXPECT_NE(record->errors[0].find("breakboint: 1"), std::string::npos);
  EXPECT_NE(record->errors[1], "nil");
  EXPECT_TRUE(flow->closeWriteError().has_value());
}

TEST_F(QueryRoad, ReportQueryPrintsTheReportAndIsStillForwarded) {
  startWithVendorData();
  ASSERT_TRUE(runFlow(flowWith("curl", {queryBytes("seen.example.")})));
  platform::LogCapture capture;
  auto flow = flowWith("curl", {queryBytes("vardeno_osx_filter_tf_300_d.")});
  ASSERT_TRUE(runFlow(flow));
  EXPECT_TRUE(capture.contains("got params string: tf_300_d"));
  EXPECT_TRUE(capture.contains("Report settings - package: nil, tf: Optional(300), detailed:  true"));
  EXPECT_TRUE(capture.contains("----> start of flow manager report <----"));
  EXPECT_TRUE(capture.contains("vendorData: "));
  EXPECT_TRUE(capture.contains(" detailed, isBound: "));
  EXPECT_EQ(flow->writes().size(), 1u);
  EXPECT_EQ(filtering_->receivedCount(), 2u);

  capture.clear();  // the "_"-terminated form selects by package
  ASSERT_TRUE(runFlow(flowWith("other.app", {queryBytes("vardeno_osx_filter_p_CURL_.")})));
  EXPECT_TRUE(capture.contains("Report settings - package: Optional(\"CURL\"), tf: nil, detailed:  false"));
  EXPECT_TRUE(capture.contains("senderId: curl"));
  EXPECT_FALSE(capture.contains("senderId: other.app"));
}

TEST_F(QueryRoad, ErrorCodesAreRecorded) {
  startWithVendorData();
  {  // open fails: code 3, still read and answered
    auto flow = flowWith("curl", {queryBytes("open.example.")});
    flow->failOpenWith(platform::NEError{1, "NEAppProxyErrorDomain", "not connected"});
    ASSERT_TRUE(runFlow(flow));
    auto record = provider_->flowManager().record(flow->hash());
    ASSERT_EQ(record->errors.size(), 2u);
    EXPECT_NE(record->errors[0].find("breakboint: 3"), std::string::npos);
    EXPECT_EQ(flow->writes().size(), 1u);
  }
  {  // read fails: code 5, nothing sent
    auto flow = std::make_shared<MemoryUdpFlow>("curl");
    flow->addRead(MemoryUdpFlow::Read{std::nullopt, std::nullopt, platform::NEError{5, "x", "aborted"}});
    size_t before = filtering_->receivedCount();
    ASSERT_TRUE(runFlow(flow));
    auto record = provider_->flowManager().record(flow->hash());
    EXPECT_NE(record->errors[0].find("breakboint: 5"), std::string::npos);
    EXPECT_EQ(filtering_->receivedCount(), before);
  }
  {  // write fails: code 0, the flow still ends
    auto flow = flowWith("curl", {queryBytes("write.example.")});
    flow->failWritesFrom(0, platform::NEError{9, "x", "too large"});
    ASSERT_TRUE(runFlow(flow));
    auto record = provider_->flowManager().record(flow->hash());
    EXPECT_NE(record->errors[0].find("breakboint: 0"), std::string::npos);
    EXPECT_TRUE(record->isFinished);
  }
}

TEST_F(QueryRoad, HostileDatagramsGoOnUnchangedAndDoNotStopTheNextQuery) {
  startWithVendorData();
  const Bytes junk = {0xDE, 0xAD, 0xBE, 0xEF, 0x00};
  const Bytes loop = {0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x0C, 0x00, 0x01, 0x00, 0x01};
  filtering_->setHandler([](const Bytes& q) -> std::vector<Bytes> { return {q}; });  // echo
  for (const Bytes& bad : {junk, loop}) {
    auto flow = flowWith("curl", {bad});
    ASSERT_TRUE(runFlow(flow));
    EXPECT_EQ(filtering_->received().back(), bad);
    ASSERT_EQ(flow->writtenDatagrams().size(), 1u);
    EXPECT_EQ(flow->writtenDatagrams()[0], bad);
  }
  filtering_->setHandler(answering());
  auto flow = flowWith("curl", {queryBytes("after.example.")});
  ASSERT_TRUE(runFlow(flow));
  EXPECT_EQ(flow->writes().size(), 1u);
}

TEST_F(QueryRoad, FewerEndpointsThanDatagramsAnswersOnlyThoseWithAnEndpoint) {
  startWithVendorData();
  auto flow = std::make_shared<MemoryUdpFlow>("curl");
  flow->addRead({queryBytes("one.example.", 1), queryBytes("two.example.", 2)}, {endpoint("53")});
  ASSERT_TRUE(runFlow(flow));
  ASSERT_EQ(flow->writes().size(), 1u);
  EXPECT_EQ(flow->writes()[0].endpoints[0], endpoint("53"));
  EXPECT_EQ(DnsToolsSocket::Message::deserialize(flow->writes()[0].datagrams[0]).id, 1);
}

TEST_F(QueryRoad, BypassDeclinesFlowsButStillTriggersThePolicyFetch) {
  startWithVendorData();
  provider_->receivedCommandFromApp(XpcUdpCommand{XpcUdpCommandParser::CmdType::command, "bypassAllOn"});
  auto flow = flowWith("curl", {queryBytes("x.example.")});
  EXPECT_FALSE(provider_->handleNewUDPFlow(flow, endpoint()));
  EXPECT_TRUE(provider_->fetchingPolicyIsStarted());
  EXPECT_EQ(flow->openCount(), 0);
  provider_->receivedCommandFromApp(XpcUdpCommand{XpcUdpCommandParser::CmdType::command, "bypassall"});
  EXPECT_TRUE(provider_->bypassAll());
  provider_->receivedCommandFromApp(XpcUdpCommand{XpcUdpCommandParser::CmdType::command, "bypassAllOff"});
  EXPECT_TRUE(runFlow(flowWith("curl", {queryBytes("x.example.")})));
}

TEST_F(QueryRoad, PolicyTriggerTimingsAndTheWhitelistedMap) {
  policy_->setHandler([&](const Bytes&) -> std::vector<Bytes> {
    std::string reply = R"({"status": true, "dnsServerSettings": [{"assignedDomains": ["policy.example"], "dnsServerIP": ")" +
                        mapped_->hostText() + R"("}]})";
    return {Bytes(reply.begin(), reply.end())};
  });
  startWithVendorData();
  auto offer = [&] { provider_->handleNewUDPFlow(flowWith("curl", {queryBytes("t.example.")}), endpoint()); };
  auto requests = [&] { return policy_->receivedCount(); };

  offer();  // first flow: fetch now and 600 s later
  ASSERT_TRUE(platform::waitUntil([&] { return requests() == 1; }));
  const Bytes request = policy_->received()[0];
  EXPECT_EQ(std::string(request.begin(), request.end()),
            R"({"function": "localDNSMap","companyId": "org-1"})");
  offer();  // second flow always fetches
  ASSERT_TRUE(platform::waitUntil([&] { return requests() == 2; }));
  EXPECT_EQ(provider_->lastPolicyFetchTime(), 1'700'000'000);
  offer();  // third at once: no fetch
  delayed_->advance(std::chrono::seconds(599));
  offer();
  EXPECT_FALSE(platform::waitUntil([&] { return requests() > 2; }, std::chrono::milliseconds(300)));
  delayed_->advance(std::chrono::seconds(1));  // the delayed fetch
  ASSERT_TRUE(platform::waitUntil([&] { return requests() == 3; }));
  offer();  // 600 s after the last flow-triggered fetch: not yet
  EXPECT_FALSE(platform::waitUntil([&] { return requests() > 3; }, std::chrono::milliseconds(300)));
  delayed_->advance(std::chrono::seconds(1));
  offer();  // 601 s
  ASSERT_TRUE(platform::waitUntil([&] { return requests() == 4; }));
  EXPECT_EQ(provider_->lastPolicyFetchTime(), 1'700'000'601);

  ASSERT_TRUE(platform::waitUntil([&] { return provider_->whitelistedDomainsMap().count("policy.example") == 1; }));
  size_t before = mapped_->receivedCount();
  ASSERT_TRUE(runFlow(flowWith("curl", {queryBytes("api.policy.example.")})));
  EXPECT_EQ(mapped_->receivedCount(), before + 1);
}

TEST_F(QueryRoad, PolicyReplyWithStatusFalseOrBadTypesKeepsTheMap) {
  startWithVendorData();
  auto bytes = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
  provider_->updateWhitelistedDomains(bytes(
      R"({"status": true, "dnsServerSettings": [{"assignedDomains": ["a.example", "b.example"], "dnsServerIP": "10.0.0.1:53"}, {"assignedDomains": ["b.example"], "dnsServerIP": "10.0.0.2:5353"}]})"));
  auto map = provider_->whitelistedDomainsMap();
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(map["b.example"]->address, "10.0.0.2");
  EXPECT_EQ(map["b.example"]->port, 5353);
  provider_->updateWhitelistedDomains(bytes(R"({"status": false, "dnsServerSettings": []})"));
  provider_->updateWhitelistedDomains(bytes(R"({"status": 1, "dnsServerSettings": []})"));
  EXPECT_EQ(provider_->whitelistedDomainsMap().size(), 2u);
  provider_->updateWhitelistedDomains(bytes(R"({"status": true, "dnsServerSettings": []})"));
  EXPECT_TRUE(provider_->whitelistedDomainsMap().empty());
}

TEST_F(QueryRoad, ResolverWithAPortOutOfRangeEndsTheFlowWithoutSending) {
  startWithVendorData();
  const std::string reply =
      R"({"status": true, "dnsServerSettings": [{"assignedDomains": ["bad.example"], "dnsServerIP": "127.0.0.1:70000"}]})";
  provider_->updateWhitelistedDomains(Bytes(reply.begin(), reply.end()));
  auto flow = flowWith("curl", {queryBytes("www.bad.example.")});
  ASSERT_TRUE(runFlow(flow));
  EXPECT_TRUE(flow->writes().empty());
  auto record = provider_->flowManager().record(flow->hash());
  ASSERT_TRUE(record && record->isFinished);
  EXPECT_NE(record->errors.back().find("unusable resolver 127.0.0.1:70000"), std::string::npos);
  EXPECT_TRUE(provider_->dnsFlowsReports().empty());
}

TEST_F(QueryRoad, WithoutVendorDataNoPolicyRequestIsSent) {
  start(std::nullopt);
  platform::LogCapture capture;
  provider_->handleNewUDPFlow(flowWith("curl", {queryBytes("t.example.")}), endpoint());
  EXPECT_TRUE(capture.contains("fetchPolicy: policyUDPServer - orgId = nil"));
  EXPECT_TRUE(capture.contains("Policy is fetched, success - false"));
  EXPECT_EQ(policy_->receivedCount(), 0u);
}

TEST_F(QueryRoad, StopCancelsTheDelayedPolicyFetch) {
  startWithVendorData();
  provider_->handleNewUDPFlow(flowWith("curl", {queryBytes("t.example.")}), endpoint());
  ASSERT_TRUE(platform::waitUntil([&] { return policy_->receivedCount() == 1; }));
  EXPECT_EQ(delayed_->pendingCount(), 1u);
  provider_->stopProxy(platform::NEProviderStopReason::userInitiated, [] {});
  EXPECT_EQ(delayed_->pendingCount(), 0u);
  delayed_->advance(std::chrono::seconds(600));
  EXPECT_FALSE(platform::waitUntil([&] { return policy_->receivedCount() > 1; }, std::chrono::milliseconds(300)));
}

TEST_F(QueryRoad, ConcurrentFlowsAreAllAnswered) {
  startWithVendorData();
  constexpr int kThreads = 8, kPerThread = 40;
  std::vector<std::shared_ptr<MemoryUdpFlow>> flows(kThreads * kPerThread);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        auto flow = flowWith(i % 2 ? "curl" : "com.allowed.app",
                             {queryBytes("n" + std::to_string(i) + ".example.", static_cast<uint16_t>(i))},
                             platform::DispatchQueue::global());
        flows[t * kPerThread + i] = flow;
        provider_->handleNewUDPFlow(flow, endpoint());
        if (i == 7) provider_->updateWhitelistedDomains(Bytes{'{', '}'});
      }
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_TRUE(platform::waitUntil(
      [&] {
        for (auto& f : flows)
          if (!f->writeClosed()) return false;
        return true;
      },
      std::chrono::seconds(30)));
  for (auto& f : flows) EXPECT_EQ(f->writes().size(), 1u);
  EXPECT_TRUE(provider_->dnsFlowsReports().empty());
  // One start (one delayed fetch) and one refetch, however the flows raced.
  EXPECT_EQ(provider_->lastPolicyFetchTime(), 1'700'000'000);
  EXPECT_EQ(delayed_->pendingCount(), 1u);
  ASSERT_TRUE(platform::waitUntil([&] { return policy_->receivedCount() >= 2; }));
  EXPECT_FALSE(platform::waitUntil([&] { return policy_->receivedCount() > 2; }, std::chrono::milliseconds(300)));
}

TEST_F(QueryRoad, SafeSearchProviderForwardsUnchangedToItsResolverAndNeverFetchesPolicy) {
  DnsProxyExt::Environment env;
  env.clock = clock_;
  env.globalQueue = delayed_;
  env.mdm = mdm_.get();
  auto safe = std::make_shared<SafeSearchDNSProxyProvider>(env, filtering_->hostText());
  safe->startProxy(nlohmann::json{{"VendorData", vendorData()}}, [](auto) {});
  for (int i = 0; i < 3; ++i) {
    auto query = queryBytes("www.corp.example.");
    auto flow = flowWith("com.allowed.app", {query});
    ASSERT_TRUE(safe->handleNewUDPFlow(flow, endpoint()));
    ASSERT_TRUE(platform::waitUntil([&] { return flow->writeClosed(); }));
    EXPECT_EQ(filtering_->received().back(), query);
    EXPECT_EQ(flow->writes().size(), 1u);
  }
  delayed_->advance(std::chrono::seconds(700));
  EXPECT_EQ(policy_->receivedCount(), 0u);
  EXPECT_EQ(mapped_->receivedCount(), 0u);
  safe->stopProxy(platform::NEProviderStopReason::userInitiated, [] {});
}


// With VARDENO_LOG=off the road sends its lines to the relay no more than it
// logs them (three datagrams a query before, on a busy path).
TEST_F(QueryRoad, WithLoggingOffNoLineOfTheRoadGoesToTheRelay) {
  startWithVendorData();
  auto relayLines = [&] {
    size_t n = 0;
    for (const auto& d : relay_->received())
      n += std::string(d.begin(), d.end()).find("readDatagrams hash = ") != std::string::npos;
    return n;
  };
  ASSERT_TRUE(runFlow(flowWith("curl", {queryBytes("on.example.", 1)})));
  ASSERT_TRUE(platform::waitUntil([&] { return relayLines() == 1; }));
  ::setenv("VARDENO_LOG", "off", 1);
  platform::setLogFdForTesting(-1);  // re-reads the environment
  const bool off = !platform::logEnabled();
  const bool answered = runFlow(flowWith("curl", {queryBytes("off.example.", 2)}));
  ::unsetenv("VARDENO_LOG");
  platform::setLogFdForTesting(-1);
  ASSERT_TRUE(off);
  ASSERT_TRUE(answered);
  ASSERT_TRUE(runFlow(flowWith("curl", {queryBytes("again.example.", 3)})));
  ASSERT_TRUE(platform::waitUntil([&] { return relayLines() == 2; }));
  EXPECT_EQ(relayLines(), 2u);  // none for the query asked while logging was off
}

}  // namespace
}  // namespace dnsproxyext::testing
