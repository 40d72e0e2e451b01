// Preferences file, its watcher, the provider supervisor and the host's
// command-line options.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <future>
#include <thread>

#include "platform/dispatch/Dispatch.h"
#include "platform/host/ExtensionHost.h"
#include "platform/foundation/Log.h"
#include "platform/host/ProviderPreferencesWatcher.h"
#include "platform/host/ProviderSupervisor.h"
#include "support/DescriptorsUsedUp.h"
#include "support/ChildProcess.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

const char* kEnabled = R"({"enabled": true, "localizedDescription": "Vardeno",
  "providerProtocol": {"providerBundleIdentifier": "com.vardeno.ruzadevirozo.proxyext", "serverAddress": "localhost",
  "providerConfiguration": {"--organizationId": "org1", "count": 3, "nested": {"a": [1, 2]}},
  "includeAllNetworks": false, "excludeLocalNetworks": true}})";

TEST(ProviderPreferences, ParsesTheAgentsFileKeepingNonTextValues) {
  auto p = ProviderPreferences::parse(kEnabled);
  ASSERT_TRUE(p);
  EXPECT_TRUE(p->runsProvider());
  EXPECT_TRUE(p->excludeLocalNetworks);
  auto options = p->startOptions();
  ASSERT_TRUE(options);
  EXPECT_EQ((*options)["VendorData"]["count"], 3);
  EXPECT_EQ((*options)["VendorData"]["nested"]["a"][1], 2);
  EXPECT_EQ((*options)["VendorData"]["--organizationId"], "org1");
}

TEST(ProviderPreferences, WhenNoProviderRuns) {
  struct Case {
    const char* text;
    bool parses;
    bool runs;
  } cases[] = {
      {R"({"enabled": false, "providerProtocol": {"providerBundleIdentifier": "com.vardeno.ruzadevirozo.proxyext"}})", true, false},
      {R"({"enabled": true, "providerProtocol": {"providerBundleIdentifier": "com.other.proxy"}})", true, false},
      {R"({"enabled": true})", true, false},
      {R"({"enabled": true, "providerProtocol": {"providerBundleIdentifier": "com.vardeno.ruzadevirozo.proxyext"}})", true, true},
      {R"({"enabled": "yes"})", false, false},
      {R"({"enabled": true, "providerProtocol": []})", false, false},
      {R"({"enabled": true, "providerProtocol": {"providerConfiguration": "x"}})", false, false},
      {"[1, 2]", false, false},
      {"{\"enabled\": tr", false, false},
      {"", false, false},
  };
  for (const auto& c : cases) {
    std::string error;
    auto p = ProviderPreferences::parse(c.text, &error);
    EXPECT_EQ(p.has_value(), c.parses) << c.text;
    if (!p) {
      EXPECT_FALSE(error.empty());
    }
    if (p) {
      EXPECT_EQ(p->runsProvider(), c.runs) << c.text;
    }
  }
  auto noConfiguration = ProviderPreferences::parse(cases[3].text);
  EXPECT_FALSE(noConfiguration->startOptions());
}

TEST(ProviderPreferences, SaveIsPrivateAndRoundTrips) {
  testing_support::TempDir dir;
  auto path = dir.path() + "/networkextension/dnsproxy.json";
  auto p = *ProviderPreferences::parse(kEnabled);
  ASSERT_TRUE(p.save(path));
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(ProviderPreferences::load(path), p);
  EXPECT_FALSE(ProviderPreferences::load(dir.path() + "/missing.json"));
}

class RecordingProvider : public NEDNSProxyProvider {
 public:
  explicit RecordingProvider(std::vector<std::string>* events) : events_(events) {}
  void startProxy(std::optional<nlohmann::json> options, std::function<void(std::optional<NEError>)> done) override {
    events_->push_back("start " + (options ? options->dump() : std::string("none")));
    done(std::nullopt);
  }
  void stopProxy(NEProviderStopReason reason, std::function<void()> done) override {
    events_->push_back("stop " + description(reason));
    // Completes later, from another thread, as a real provider may.
    std::thread([done] { done(); }).detach();
  }
  void sleep(std::function<void()> done) override {
    events_->push_back("sleep");
    done();
  }
  void wake() override { events_->push_back("wake"); }
  bool handleNewUDPFlow(std::shared_ptr<NEAppProxyUDPFlow>, NWHostEndpoint) override { return false; }

 private:
  std::vector<std::string>* events_;
};

TEST(ProviderSupervisor, StartsRestartsAndStopsWithThePreferences) {
  std::vector<std::string> events;
  ProviderSupervisor supervisor([&] { return std::make_shared<RecordingProvider>(&events); }, std::nullopt);
  auto enabled = *ProviderPreferences::parse(kEnabled);
  auto changed = enabled;
  changed.providerConfiguration = nlohmann::json{{"--organizationId", "org2"}};
  auto disabled = enabled;
  disabled.enabled = false;
  auto bare = enabled;
  bare.providerConfiguration.reset();

  supervisor.apply(std::nullopt);
  EXPECT_FALSE(supervisor.current());
  supervisor.apply(enabled);
  auto first = supervisor.current();
  EXPECT_TRUE(first);
  supervisor.apply(enabled);  // unchanged: keeps running
  EXPECT_EQ(supervisor.current(), first);
  supervisor.apply(changed);
  EXPECT_NE(supervisor.current(), first);
  supervisor.sleep();
  supervisor.wake();
  supervisor.apply(disabled);
  EXPECT_FALSE(supervisor.current());
  supervisor.apply(bare);
  supervisor.apply(std::nullopt);
  supervisor.stop(NEProviderStopReason::userInitiated);  // nothing running: no-op

  std::vector<std::string> expected = {
      "start {\"VendorData\":" + enabled.providerConfiguration->dump() + "}",
      "stop NEProviderStopReason(rawValue: 11)",
      "start {\"VendorData\":{\"--organizationId\":\"org2\"}}",
      "sleep",
      "wake",
      "stop NEProviderStopReason(rawValue: 9)",
      "start none",
      "stop NEProviderStopReason(rawValue: 10)",
  };
  EXPECT_EQ(events, expected);
}

TEST(ProviderSupervisor, AProviderThatFailsToStartIsNotUsed) {
  struct Failing : RecordingProvider {
    using RecordingProvider::RecordingProvider;
    void startProxy(std::optional<nlohmann::json>, std::function<void(std::optional<NEError>)> done) override {
      done(NEError{1, "test", "no"});
    }
  };
  std::vector<std::string> events;
  ProviderSupervisor supervisor([&] { return std::make_shared<Failing>(&events); }, std::nullopt);
  supervisor.apply(*ProviderPreferences::parse(kEnabled));
  EXPECT_FALSE(supervisor.current());
}

TEST(ProviderSupervisor, SleepAndWakeDuringAStartReachTheNewProvider) {
  // Its start completes only when the test lets it.
  struct SlowStart : RecordingProvider {
    SlowStart(std::vector<std::string>* events, std::promise<void>* entered, std::shared_future<void> release)
        : RecordingProvider(events), entered_(entered), release_(std::move(release)) {}
    void startProxy(std::optional<nlohmann::json> options, std::function<void(std::optional<NEError>)> done) override {
      RecordingProvider::startProxy(std::move(options), [](std::optional<NEError>) {});
      entered_->set_value();
      std::thread([done, release = release_] {
        release.wait();
        done(std::nullopt);
      }).detach();
    }
    std::promise<void>* entered_;
    std::shared_future<void> release_;
  };
  std::vector<std::string> events;
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  ProviderSupervisor supervisor([&] { return std::make_shared<SlowStart>(&events, &entered, released); }, std::nullopt);
  std::thread starter([&] { supervisor.apply(*ProviderPreferences::parse(kEnabled)); });
  entered.get_future().wait();
  std::thread signals([&] {
    supervisor.sleep();
    supervisor.wake();
  });
  release.set_value();
  starter.join();
  signals.join();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[1], "sleep");
  EXPECT_EQ(events[2], "wake");
}

TEST(ProviderPreferencesWatcher, ReportsCreationChangeAndRemoval) {
  testing_support::TempDir dir;
  auto path = dir.path() + "/networkextension/dnsproxy.json";
  std::mutex mutex;
  std::vector<std::optional<ProviderPreferences>> seen;
  ProviderPreferencesWatcher watcher(path, [&](std::optional<ProviderPreferences> p) {
    std::lock_guard lock(mutex);
    seen.push_back(std::move(p));
  });
  auto count = [&] {
    std::lock_guard lock(mutex);
    return seen.size();
  };
  watcher.start();
  ASSERT_TRUE(waitUntil([&] { return count() == 1; }, 5s));
  auto p = *ProviderPreferences::parse(kEnabled);
  ASSERT_TRUE(p.save(path));
  ASSERT_TRUE(waitUntil([&] { return count() == 2; }, 5s));
  p.enabled = false;
  ASSERT_TRUE(p.save(path));
  ASSERT_TRUE(waitUntil([&] { return count() == 3; }, 5s));
  std::remove(path.c_str());
  ASSERT_TRUE(waitUntil([&] { return count() == 4; }, 5s));
  watcher.stop();
  std::lock_guard lock(mutex);
  EXPECT_FALSE(seen[0]);
  ASSERT_TRUE(seen[1]);
  EXPECT_TRUE(seen[1]->enabled);
  ASSERT_TRUE(seen[2]);
  EXPECT_FALSE(seen[2]->enabled);
  EXPECT_FALSE(seen[3]);
}

// Written whole, as the writers do.
void writeWhole(const std::string& path, const std::string& text) {
  { std::ofstream(path + ".tmp") << text; }
  ASSERT_EQ(std::rename((path + ".tmp").c_str(), path.c_str()), 0);
}

using testing_support::DescriptorsUsedUp;

TEST(ProviderPreferencesWatcher, AFileThatCannotBeUsedKeepsTheRunningProvider) {
  testing_support::TempDir dir;
  auto path = dir.path() + "/networkextension/dnsproxy.json";
  auto enabled = *ProviderPreferences::parse(kEnabled);
  ASSERT_TRUE(enabled.save(path));
  std::string original;
  {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    original = text.str();
  }
  auto events = std::make_shared<std::vector<std::string>>();
  ProviderSupervisor supervisor([events] { return std::make_shared<RecordingProvider>(events.get()); }, std::nullopt);
  LogCapture capture;
  ProviderPreferencesWatcher watcher(
      path, [&](std::optional<ProviderPreferences> p) { supervisor.apply(p); }, 20ms);
  watcher.start();
  ASSERT_TRUE(waitUntil([&] { return supervisor.current() != nullptr; }, 5s));
  auto running = supervisor.current();

  struct Case {
    const char* name;
    std::function<std::function<void()>()> spoil;  // returns the undo
    const char* logged;
  } cases[] = {
      {"a folder in its place",
       [&]() -> std::function<void()> {
         // Swapped in one step: the path is never missing.
         auto aside = path + ".folder";
         mkdir(aside.c_str(), 0700);
         EXPECT_EQ(renameat2(AT_FDCWD, aside.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE), 0);
         return [&, aside] {
           EXPECT_EQ(renameat2(AT_FDCWD, aside.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE), 0);
           rmdir(aside.c_str());
         };
       },
       "Is a directory"},
      {"descriptors used up",
       [&]() -> std::function<void()> {
         // The same text moved into place: the rename needs no descriptor,
         // reading the file does.
         auto copy = path + ".copy";
         { std::ofstream(copy) << original; }
         // No shared_ptr copy while descriptors are used up: UBSan's type
         // check needs a descriptor and reports a false error without one.
         auto* limit = new DescriptorsUsedUp();
         EXPECT_EQ(std::rename(copy.c_str(), path.c_str()), 0);
         return [limit] { delete limit; };
       },
       "Too many open files"},
      {"not valid preferences",
       [&]() -> std::function<void()> {
         writeWhole(path, "{broken");
         return [&] { writeWhole(path, original); };
       },
       "not valid preferences"},
  };
  for (const auto& c : cases) {
    capture.clear();
    auto undo = c.spoil();
    bool logged = capture.waitFor(c.logged, 5s);
    // Several more re-reads, each failing the same way.
    bool changed = waitUntil([&] { return supervisor.current() != running; }, 200ms);
    undo();
    EXPECT_TRUE(logged) << c.name;
    EXPECT_FALSE(changed) << c.name;
    EXPECT_EQ(capture.count("cannot use DNS proxy preferences"), 1u) << c.name;
  }
  // The same text again changes nothing; a new one is read and applied.
  EXPECT_FALSE(waitUntil([&] { return supervisor.current() != running; }, 100ms));
  auto changed = enabled;
  changed.providerConfiguration = nlohmann::json{{"--organizationId", "org2"}};
  ASSERT_TRUE(changed.save(path));
  EXPECT_TRUE(waitUntil([&] { return supervisor.current() && supervisor.current() != running; }, 5s));
  watcher.stop();
  ASSERT_GE(events->size(), 3u);
  EXPECT_EQ(events->at(1), "stop NEProviderStopReason(rawValue: 11)");
  EXPECT_EQ(events->size(), 3u);
}

TEST(ExtensionHostOptions, ParsesListenAndSystemDns) {
  struct Case {
    std::vector<std::string> args;
    bool ok;
    std::vector<std::string> listen;
    std::string systemDns;
  } cases[] = {
      {{}, true, {"127.0.0.1:53"}, ""},
      {{"--listen", "127.0.0.1:0", "--listen", "[::1]:5353"}, true, {"127.0.0.1:0", "[::1]:5353"}, ""},
      {{"--system-dns", "192.0.2.53:53"}, true, {"127.0.0.1:53"}, "192.0.2.53:53"},
      {{"--listen"}, false, {}, ""},
      {{"--listen", "127.0.0.1"}, false, {}, ""},
      {{"--listen", "localhost:53"}, false, {}, ""},
      {{"--system-dns", "127.0.0.1:0"}, false, {}, ""},
      {{"--port", "53"}, false, {}, ""},
  };
  for (const auto& c : cases) {
    std::string error;
    auto options = ExtensionHostOptions::parse(c.args, error);
    ASSERT_EQ(options.has_value(), c.ok) << (c.args.empty() ? "" : c.args[0]);
    if (!options) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    std::vector<std::string> listen;
    for (auto& a : options->listen) listen.push_back(a.description());
    EXPECT_EQ(listen, c.listen);
    EXPECT_EQ(options->systemDns ? options->systemDns->description() : "", c.systemDns);
  }
}

TEST(ExtensionHostOptions, SystemDnsIsTheFirstNameserverThatIsNotOurs) {
  auto ours = std::vector<SocketAddress>{*SocketAddress::parse("127.0.0.1:53")};
  struct Case {
    const char* text;
    const char* expected;
  } cases[] = {
      {"nameserver 127.0.0.1\nnameserver 192.0.2.53\n", "192.0.2.53:53"},
      {"# comment\nsearch example\nnameserver 127.0.0.53\n", "127.0.0.53:53"},
      {"nameserver fe80::1%eth0\nnameserver ::1\n", "[::1]:53"},
      {"nameserver not-an-address\n", ""},
      {"nameserver 127.0.0.1\n", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    auto found = systemDnsFromResolvConf(c.text, ours);
    EXPECT_EQ(found ? found->description() : "", c.expected) << c.text;
  }
}

}  // namespace
