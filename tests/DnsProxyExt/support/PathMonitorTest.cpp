#include <gtest/gtest.h>

#include <atomic>

#include "platform/network/PathMonitor.h"

using platform::NWPath;

TEST(NWPath, Descriptions) {
  NWPath up{NWPath::Status::satisfied, false, {"eth0", "wlan0"}};
  EXPECT_EQ(up.description(), "satisfied (Path is satisfied), interface: eth0, wlan0");
  NWPath down;
  EXPECT_EQ(down.statusText(), "unsatisfied");
  EXPECT_EQ(down.description(), "unsatisfied (No network route)");
}

TEST(FakePathMonitor, DeliversFirstPathAndChangesUntilCancelled) {
  auto queue = std::make_shared<platform::ManualQueue>();
  platform::FakePathMonitor monitor;
  std::vector<NWPath> seen;
  monitor.setPathUpdateHandler([&](const NWPath& p) { seen.push_back(p); });
  monitor.setPath(NWPath{NWPath::Status::satisfied, false, {"eth0"}});
  queue->runPending();
  EXPECT_TRUE(seen.empty());
  monitor.start(queue);
  queue->runPending();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].status, NWPath::Status::satisfied);
  monitor.setPath(NWPath{});
  monitor.cancel();
  queue->runPending();
  EXPECT_EQ(seen.size(), 1u);
}

TEST(PathMonitor, RealMonitorReportsTheFirstPathAndStops) {
  auto monitor = platform::PathMonitor::create();
  auto queue = platform::DispatchQueue::makeSerial("path-monitor-test");
  std::atomic<int> updates{0};
  NWPath expected = platform::PathMonitor::systemPath();
  monitor->setPathUpdateHandler([&](const NWPath&) { ++updates; });
  monitor->start(queue);
  EXPECT_TRUE(platform::waitUntil([&] { return updates.load() >= 1; }, std::chrono::seconds(10)));
  EXPECT_EQ(monitor->currentPath().status, expected.status);
  monitor->cancel();
  int after = updates.load();
  queue->sync([] {});
  EXPECT_EQ(updates.load(), after);
}
