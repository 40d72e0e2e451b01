#include "agent/CaptivePortalRegistration.h"

#include <gtest/gtest.h>

#include "platform/foundation/Log.h"
#include "support/LoopbackUdp.h"

using namespace agent;
using namespace platform;
using namespace std::chrono_literals;

namespace {

struct CaptivePortal : ::testing::Test {
  std::shared_ptr<ManualQueue> main = std::make_shared<ManualQueue>();
  std::shared_ptr<FakePathMonitor> monitor = std::make_shared<FakePathMonitor>();
  testing_support::UdpSocket portal;
  int kills = 0;
  LogCapture log;

  CaptivePortalRegistration::Environment environment() {
    CaptivePortalRegistration::Environment e;
    e.mainQueue = main;
    e.helper.monitor = monitor;
    e.helper.monitorQueue = main;
    e.helper.clock = main->clock();
    e.helper.portalPort = portal.local().port();
    e.killAssistant = [this] {
      ++kills;
      return std::string("");
    };
    return e;
  }
  static NWPath path(NWPath::Status status) {
    NWPath p;
    p.status = status;
    if (status == NWPath::Status::satisfied) p.interfaces = {"eth0"};
    return p;
  }
};

}  // namespace

TEST_F(CaptivePortal, NoAddressesMakeNoHelperAndNeverKill) {
  CaptivePortalRegistration registration(environment());
  registration.initCaptivePortalHelper("");
  EXPECT_FALSE(registration.cpHelper());
  EXPECT_TRUE(log.contains("initCaptivePortalHelper"));
  monitor->setPath(path(NWPath::Status::satisfied));
  main->runPending();
  main->advance(2s);
  EXPECT_EQ(kills, 0);
  EXPECT_FALSE(monitor->isStarted());
}

TEST_F(CaptivePortal, EveryPathChangeKillsTheAssistantHalfASecondLater) {
  CaptivePortalRegistration registration(environment());
  registration.initCaptivePortalHelper("127.0.0.1,127.0.0.2");
  ASSERT_TRUE(registration.cpHelper());
  EXPECT_EQ(registration.cpHelper()->ips(), (std::vector<std::string>{"127.0.0.1", "127.0.0.2"}));
  ASSERT_TRUE(monitor->isStarted());
  main->runPending();  // the first path, unsatisfied, also counts
  main->advance(500ms);
  EXPECT_EQ(kills, 1);
  for (auto status : {NWPath::Status::satisfied, NWPath::Status::unsatisfied}) {
    const int before = kills;
    monitor->setPath(path(status));
    main->runPending();
    main->advance(499ms);
    EXPECT_EQ(kills, before);
    main->advance(1ms);
    EXPECT_EQ(kills, before + 1);
  }
  EXPECT_TRUE(log.contains("initCaptivePortalHelper, connectivityDidChanged, new path - " +
                           path(NWPath::Status::satisfied).description()));
  EXPECT_TRUE(log.contains("did attempt to kill CNA, result: "));
  // Quick changes: one kill each.
  const int before = kills;
  monitor->setPath(path(NWPath::Status::satisfied));
  monitor->setPath(path(NWPath::Status::unsatisfied));
  main->runPending();
  main->advance(500ms);
  EXPECT_EQ(kills, before + 2);
  // The satisfied path registered with the portal on loopback.
  EXPECT_TRUE(portal.receive(5000ms).has_value());
}

TEST_F(CaptivePortal, StopEndsTheListenerAndLateKillsAreDropped) {
  auto registration = std::make_unique<CaptivePortalRegistration>(environment());
  registration->initCaptivePortalHelper("127.0.0.1");
  main->runPending();
  monitor->setPath(path(NWPath::Status::satisfied));
  main->runPending();
  registration->stop();
  EXPECT_TRUE(monitor->isCancelled());
  registration.reset();  // a kill was still scheduled
  main->advance(1s);
  EXPECT_EQ(kills, 0);
}
