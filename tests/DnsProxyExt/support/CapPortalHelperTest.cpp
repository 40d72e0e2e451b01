#include <gtest/gtest.h>

#include <thread>

#include "DefaultAddresses.h"
#include "DnsProxyExt/CapPortalHelper.h"
#include "FakeUdpConnection.h"
#include "platform/foundation/Log.h"

using namespace dnsproxyext;
using platform::NWConnectionState;
using platform::NWPath;

namespace {

std::vector<uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

// The question name in wire form, from the configured host name.
std::vector<uint8_t> wireName(std::string_view name) {
  std::vector<uint8_t> out;
  size_t start = 0;
  while (start <= name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string_view::npos) dot = name.size();
    out.push_back(static_cast<uint8_t>(dot - start));
    out.insert(out.end(), name.begin() + start, name.begin() + dot);
    start = dot + 1;
  }
  out.push_back(0);
  return out;
}

NWPath satisfied() { return NWPath{NWPath::Status::satisfied, false, {"eth0"}}; }
NWPath unsatisfied() { return NWPath{NWPath::Status::unsatisfied, true, {}}; }

class CapPortalHelperTest : public ::testing::Test {
 protected:
  // Every exchange ends by its deadline at the latest.
  void TearDown() override { queue->advance(PolicyUDPClient::kReceiveDeadline); }

  std::shared_ptr<platform::FakeClock> clock = std::make_shared<platform::FakeClock>(1'700'000'000.5);
  std::shared_ptr<platform::ManualQueue> queue = std::make_shared<platform::ManualQueue>(clock);
  std::shared_ptr<platform::FakePathMonitor> monitor = std::make_shared<platform::FakePathMonitor>(unsatisfied());
  testsupport::FakeConnections connections;

  CapPortalHelper::Environment env(int64_t port = CapPortalHelper::kPortalPort) {
    CapPortalHelper::Environment e;
    e.clock = clock;
    e.monitor = monitor;
    e.monitorQueue = queue;
    e.udp = PolicyUDPClient::Environment{connections.factory(), queue};
    e.portalPort = port;
    e.random = [] { return 0xABCD1234u; };
    return e;
  }

  // Moves every made connection to ready and completes its send.
  void answerAll(std::optional<std::vector<uint8_t>> reply) {
    for (auto& c : connections.made) {
      if (c->started && c->sentDatagrams().empty()) c->moveTo({NWConnectionState::ready, std::nullopt});
    }
    queue->runPending();
    for (auto& c : connections.made) {
      if (c->sendCompletions.size() == 1 && c->armedReceives() == 0 && c->cancelCount == 0) c->completeSend(0);
    }
    queue->runPending();
    for (auto& c : connections.made) {
      if (c->armedReceives()) c->deliver(reply);
    }
    queue->runPending();
  }
};

}  // namespace

TEST_F(CapPortalHelperTest, RegistrationDatagramByteForByte) {
  CapPortalHelper helper({"192.0.2.50"}, env());
  helper.checkRegistration();
  ASSERT_EQ(connections.made.size(), 1u);
  EXPECT_EQ(connections.endpoints[0].host, "192.0.2.50");
  EXPECT_EQ(connections.endpoints[0].port, 81);
  connections.made[0]->moveTo({NWConnectionState::ready, std::nullopt});
  queue->runPending();
  ASSERT_EQ(connections.made[0]->sentDatagrams().size(), 1u);

  std::vector<uint8_t> expected{0x12, 0x34, 0x04, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
  auto name = wireName(vardeno::defaults::kCaptivePortalHost);
  expected.insert(expected.end(), name.begin(), name.end());
  const uint8_t tail[] = {0x00, 0x01, 0x00, 0x01,                               // type A, class IN
                          0x01, 0x30, 0x00, 0x00, 0x29, 0x00, 0x00,             // OPT owner "0", type 41, class 0
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x05,                   // TTL 0, RDLENGTH 5
                          0xFD, 0xEF, 0x00, 0x01, 0x31};                        // 65007 = "1"
  expected.insert(expected.end(), std::begin(tail), std::end(tail));
  EXPECT_EQ(connections.made[0]->sent[0], expected);
}

TEST_F(CapPortalHelperTest, CheckRegistrationFollowsThe241SecondRule) {
  CapPortalHelper helper({"192.0.2.50"}, env());
  EXPECT_EQ(helper.lastRegistrationTime(), 0);
  helper.checkRegistration();
  EXPECT_EQ(connections.made.size(), 1u);
  EXPECT_EQ(helper.lastRegistrationTime(), 1'700'000'000);
  // Whole seconds: the fraction of the time is dropped before comparing.
  struct Step {
    double wall;
    size_t connectionsAfter;
  } steps[] = {{1'700'000'000.9, 1}, {1'700'000'240.0, 1}, {1'700'000'240.99, 1}, {1'700'000'241.0, 2},
               {1'700'000'481.9, 2}, {1'700'000'482.0, 3}};
  for (const auto& step : steps) {
    clock->setWall(step.wall);
    helper.checkRegistration();
    EXPECT_EQ(connections.made.size(), step.connectionsAfter) << std::fixed << step.wall;
  }
}

TEST_F(CapPortalHelperTest, ReplyMarksTheRegistrationTime) {
  CapPortalHelper helper({"192.0.2.50"}, env());
  helper.checkRegistration();
  clock->setWall(1'700'000'200.0);
  platform::LogCapture capture;
  answerAll(bytes("not a dns message"));
  EXPECT_EQ(helper.lastRegistrationTime(), 1'700'000'200);
  EXPECT_TRUE(capture.contains("[CapPortalHelper]:, udp received - not a dns message"));
  EXPECT_TRUE(capture.contains("error of deserialization"));
  // 241 s after the reply, not after the registration.
  clock->setWall(1'700'000'440.0);
  helper.checkRegistration();
  EXPECT_EQ(connections.made.size(), 1u);
  clock->setWall(1'700'000'441.0);
  helper.checkRegistration();
  EXPECT_EQ(connections.made.size(), 2u);
}

TEST_F(CapPortalHelperTest, ReplyTable) {
  struct Case {
    std::optional<std::vector<uint8_t>> reply;
    std::string line;
    bool marksTime;
  } cases[] = {
      {std::vector<uint8_t>{0xFF, 0x00}, "[CapPortalHelper]:, udp received - ", true},
      {std::nullopt, "[CapPortalHelper]:, udp received  - data is nil", false},
      {CapPortalHelper::registrationQuery(7), "[CapPortalHelper]:, udp received, udp - ", true},
  };
  for (const auto& c : cases) {
    connections.made.clear();
    CapPortalHelper helper({"192.0.2.50"}, env());
    helper.checkRegistration();
    clock->setWall(clock->wallSeconds() + 1);
    platform::LogCapture capture;
    answerAll(c.reply);
    EXPECT_TRUE(capture.contains(c.line)) << c.line;
    EXPECT_EQ(helper.lastRegistrationTime() == static_cast<int64_t>(clock->wallSeconds()), c.marksTime) << c.line;
  }
}

TEST_F(CapPortalHelperTest, EveryAddressInOrderWithTheSameDatagram) {
  platform::LogCapture capture;
  CapPortalHelper helper({"192.0.2.50", "192.0.2.51"}, env(40081));
  helper.checkRegistration();
  ASSERT_EQ(connections.made.size(), 2u);
  EXPECT_EQ(connections.endpoints[0].host, "192.0.2.50");
  EXPECT_EQ(connections.endpoints[1].host, "192.0.2.51");
  EXPECT_EQ(connections.endpoints[0].port, 40081);
  EXPECT_EQ(connections.endpoints[1].port, 40081);
  for (auto& c : connections.made) c->moveTo({NWConnectionState::ready, std::nullopt});
  queue->runPending();
  EXPECT_EQ(connections.made[0]->sent, connections.made[1]->sent);
  EXPECT_TRUE(capture.contains("[CapPortalHelper]:: init,  ips - [\"192.0.2.50\", \"192.0.2.51\"]"));
  EXPECT_TRUE(capture.contains("[CapPortalHelper]:, sendCapPortalRegRequest, connecting to 192.0.2.51"));
  EXPECT_TRUE(capture.contains("init new [CapPortalHelper]:"));
}

TEST_F(CapPortalHelperTest, EmptyAddressListBuildsButSendsNothing) {
  platform::LogCapture capture;
  CapPortalHelper helper({}, env());
  helper.checkRegistration();
  EXPECT_TRUE(connections.made.empty());
  EXPECT_TRUE(capture.contains("[CapPortalHelper]:, sendCapPortalRegRequest, serialized data - "));
  EXPECT_TRUE(capture.contains("[CapPortalHelper]:, sendCapPortalRegRequest, injected data - 1"));
}

TEST_F(CapPortalHelperTest, ConcurrentFirstFlowsRegisterOnce) {
  CapPortalHelper::Environment e = env();
  std::atomic<int> made{0};
  e.udp.factory = [&made](const platform::NWEndpoint& endpoint) {
    ++made;
    return std::make_shared<testsupport::FakeUdpConnection>(endpoint);
  };
  CapPortalHelper helper({"192.0.2.50"}, e);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([&] { helper.checkRegistration(); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(made.load(), 1);
}

TEST_F(CapPortalHelperTest, PathDrivesRegistrationsAndTheTimer) {
  platform::LogCapture capture;
  std::vector<NWPath> seen;
  CapPortalHelper helper({"192.0.2.50"}, env());
  helper.startConnectivityListener([&](const NWPath& p) { seen.push_back(p); });
  EXPECT_TRUE(monitor->isStarted());
  EXPECT_TRUE(capture.contains("[CapPortalHelper]:: current path: unsatisfied (No network route)"));
  queue->runPending();
  // First path, unsatisfied: registers, no timer.
  EXPECT_EQ(connections.made.size(), 1u);
  EXPECT_EQ(helper.doRegistrationTimer(), nullptr);
  EXPECT_TRUE(capture.contains("[CapPortalHelper]: unsatisfied: No connection."));

  monitor->setPath(satisfied());
  queue->runPending();
  EXPECT_EQ(connections.made.size(), 2u);
  auto timer = helper.doRegistrationTimer();
  ASSERT_NE(timer, nullptr);
  EXPECT_TRUE(capture.contains("[CapPortalHelper]:  connected!"));

  queue->advance(std::chrono::seconds(239));
  EXPECT_EQ(connections.made.size(), 2u);
  queue->advance(std::chrono::seconds(1));
  EXPECT_EQ(connections.made.size(), 3u);
  queue->advance(std::chrono::seconds(240));
  EXPECT_EQ(connections.made.size(), 4u);

  // Unsatisfied again: registers and keeps the running timer.
  monitor->setPath(unsatisfied());
  queue->runPending();
  EXPECT_EQ(connections.made.size(), 5u);
  EXPECT_EQ(helper.doRegistrationTimer(), timer);
  EXPECT_FALSE(timer->isCancelled());
  // Path-driven registrations do not touch the 241-second clock.
  EXPECT_EQ(helper.lastRegistrationTime(), 0);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1], satisfied());

  // A second satisfied path replaces the timer.
  monitor->setPath(satisfied());
  queue->runPending();
  EXPECT_TRUE(timer->isCancelled());
  EXPECT_NE(helper.doRegistrationTimer(), timer);

  helper.stopConnectivityListener();
  EXPECT_TRUE(monitor->isCancelled());
  EXPECT_TRUE(helper.doRegistrationTimer()->isCancelled());
  size_t before = connections.made.size();
  queue->advance(std::chrono::seconds(1000));
  EXPECT_EQ(connections.made.size(), before);
}

TEST_F(CapPortalHelperTest, PathUpdateAfterStopCreatesNoTimer) {
  CapPortalHelper helper({"192.0.2.50"}, env());
  helper.startConnectivityListener();
  monitor->setPath(satisfied());  // queued, not yet run
  helper.stopConnectivityListener();
  queue->runPending();
  EXPECT_EQ(helper.doRegistrationTimer(), nullptr);
  EXPECT_TRUE(connections.made.empty());
}

TEST_F(CapPortalHelperTest, StopWithoutStartOnlyCancels) {
  CapPortalHelper helper({"192.0.2.50"}, env());
  helper.stopConnectivityListener();
  EXPECT_TRUE(monitor->isCancelled());
  EXPECT_EQ(helper.doRegistrationTimer(), nullptr);
  helper.checkRegistration();
  EXPECT_EQ(connections.made.size(), 1u);
}
