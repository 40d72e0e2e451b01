// The preferences watcher follows its folder through inotify alone and
// sleeps while nothing changes.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Log.h"
#include "platform/host/ProviderPreferencesWatcher.h"
#include "support/ChildProcess.h"

using namespace platform;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

ProviderPreferences preferencesOf(const std::string& organization) {
  auto p = *ProviderPreferences::parse(R"({"enabled": true, "localizedDescription": "Vardeno",
    "providerProtocol": {"providerBundleIdentifier": "com.vardeno.ruzadevirozo.proxyext", "serverAddress": "localhost"}})");
  p.providerConfiguration = nlohmann::json{{"--organizationId", organization}};
  return p;
}

// What the watcher reported, in order: an organization, or "missing".
struct Reports {
  std::mutex mutex;
  std::vector<std::string> seen;
  ProviderPreferencesWatcher::Handler handler() {
    return [this](std::optional<ProviderPreferences> p) {
      std::lock_guard lock(mutex);
      seen.push_back(p ? (*p->providerConfiguration)["--organizationId"].get<std::string>() : "missing");
    };
  }
  std::string last() {
    std::lock_guard lock(mutex);
    return seen.empty() ? "" : seen.back();
  }
  bool waitFor(const std::string& what) {
    return waitUntil([&] { return last() == what; }, 5s);
  }
};

std::set<pid_t> threads() {
  std::set<pid_t> tids;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') tids.insert(std::atoi(entry->d_name));
    closedir(dir);
  }
  return tids;
}

// Times the threads went to sleep and were woken (a thread blocked in poll
// without a deadline adds none).
uint64_t voluntarySwitches(const std::set<pid_t>& tids) {
  uint64_t total = 0;
  for (pid_t tid : tids) {
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) total += std::stoull(line.substr(24));
  }
  return total;
}

TEST(ProviderPreferencesWatcher, SleepsWhileNothingChanges) {
  testing_support::TempDir dir;
  const auto path = dir.path() + "/networkextension/dnsproxy.json";
  ASSERT_TRUE(preferencesOf("org1").save(path));
  Reports reports;
  // A sanitizer's own thread starts with the first thread: not counted.
  std::thread([] {}).join();
  const auto before = threads();
  ProviderPreferencesWatcher watcher(path, reports.handler());  // the default recheck
  watcher.start();
  ASSERT_TRUE(reports.waitFor("org1"));
  std::set<pid_t> started;
  for (pid_t tid : threads())
    if (!before.count(tid)) started.insert(tid);
  ASSERT_FALSE(started.empty());
  const uint64_t woken = voluntarySwitches(started);
  std::this_thread::sleep_for(1500ms);  // the window whose wake-ups are counted
  EXPECT_EQ(voluntarySwitches(started) - woken, 0u);
  // Still awake to a change.
  ASSERT_TRUE(preferencesOf("org2").save(path));
  EXPECT_TRUE(reports.waitFor("org2"));
}

TEST(ProviderPreferencesWatcher, FollowsItsFolderWhenItIsRemovedReplacedOrMadeLater) {
  testing_support::TempDir dir;
  const std::string parent = dir.path() + "/store";
  const std::string folder = parent + "/networkextension";
  const std::string path = folder + "/dnsproxy.json";
  // In the way at start: the folder cannot be made until it goes.
  { std::ofstream(parent) << "not a folder"; }
  Reports reports;
  // A re-read on a timer would hide a lost watch: none in this test.
  ProviderPreferencesWatcher watcher(path, reports.handler(), std::chrono::hours(1));
  watcher.start();
  ASSERT_TRUE(reports.waitFor("missing"));
  struct Case {
    const char* name;
    std::function<void(const std::string& organization)> change;
    bool missingFirst;
  } cases[] = {
      {"made later, under a folder that was in the way",
       [&](const std::string& organization) {
         fs::remove(parent);
         ASSERT_TRUE(preferencesOf(organization).save(path));
       },
       false},
      {"the folder removed, then made again",
       [&](const std::string& organization) {
         fs::remove_all(folder);
         ASSERT_TRUE(reports.waitFor("missing"));
         ASSERT_TRUE(preferencesOf(organization).save(path));
       },
       true},
      {"the folder moved away and another moved in",
       [&](const std::string& organization) {
         const std::string incoming = parent + "/incoming";
         ASSERT_TRUE(preferencesOf(organization).save(incoming + "/dnsproxy.json"));
         ASSERT_EQ(std::rename(folder.c_str(), (parent + "/old").c_str()), 0);
         ASSERT_EQ(std::rename(incoming.c_str(), folder.c_str()), 0);
         fs::remove_all(parent + "/old");
       },
       false},
      {"its parent removed, then made again",
       [&](const std::string& organization) {
         fs::remove_all(parent);
         ASSERT_TRUE(reports.waitFor("missing"));
         ASSERT_TRUE(preferencesOf(organization).save(path));
       },
       true},
      {"written in the folder after all that",
       [&](const std::string& organization) { ASSERT_TRUE(preferencesOf(organization).save(path)); }, false},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string organization = "org" + std::to_string(++n);
    c.change(organization);
    EXPECT_TRUE(reports.waitFor(organization)) << c.name << ": last seen " << reports.last();
  }
  watcher.stop();
}

TEST(ProviderPreferencesWatcher, WhereNoWatchCanBePlacedItReadsOnATimerUntilOneCan) {
  testing_support::TempDir dir;
  // A link to itself on the way: neither a watch nor a read gets through.
  const std::string loop = dir.path() + "/loop";
  ASSERT_EQ(::symlink(loop.c_str(), loop.c_str()), 0);
  const std::string path = loop + "/networkextension/dnsproxy.json";
  Reports reports;
  LogCapture capture;
  ProviderPreferencesWatcher watcher(path, reports.handler(), 20ms);
  watcher.start();
  ASSERT_TRUE(capture.waitFor("Too many levels of symbolic links", 5s));
  ASSERT_EQ(::unlink(loop.c_str()), 0);
  ASSERT_TRUE(preferencesOf("org1").save(path));
  EXPECT_TRUE(reports.waitFor("org1"));
  ASSERT_TRUE(preferencesOf("org2").save(path));
  EXPECT_TRUE(reports.waitFor("org2"));
  watcher.stop();
  EXPECT_EQ(capture.count("cannot use DNS proxy preferences"), 1u);
}

}  // namespace
