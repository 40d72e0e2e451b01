#include <gtest/gtest.h>

#include "AgentFixture.h"
#include "platform/foundation/Log.h"
#include "platform/networkextension/ProviderPreferences.h"

using agenttest::AgentFixture;
using namespace std::chrono_literals;

namespace {

void writeOldConfig(AgentFixture& f, const nlohmann::json& config) {
  std::ofstream(f.proxy->path()) << nlohmann::json{
      {"enabled", true},
      {"localizedDescription", "x"},
      {"providerProtocol", {{"providerBundleIdentifier", "b"}, {"providerConfiguration", config}}}}
                                        .dump();
}

}  // namespace

TEST(ProxyPreferences, MergeTable) {
  struct Case {
    nlohmann::json old;
    agent::StringMap args;
    nlohmann::json expected;
  } cases[] = {
      {{{"--a", "1"}, {"userEmail", "x"}}, {{"--a", "2"}}, {{"--a", "2"}, {"userEmail", ""}, {"orgUnitId", ""}}},
      {{{"--k", "v"}},
       {{"--a", "2"}, {"userEmail", "e"}, {"orgUnitId", "u"}},
       {{"--k", "v"}, {"--a", "2"}, {"userEmail", "e"}, {"orgUnitId", "u"}}},
      // A non-text value drops the whole old map.
      {{{"--k", "v"}, {"n", 1}}, {{"--a", "2"}}, {{"--a", "2"}, {"userEmail", ""}, {"orgUnitId", ""}}},
  };
  for (const auto& c : cases) {
    AgentFixture f;
    writeOldConfig(f, c.old);
    f.app->parsedConfArgs = c.args;
    f.app->configureDnsProxy(true, false);
    f.queue->runPending();
    auto saved = f.savedFile();
    EXPECT_EQ(saved["providerProtocol"]["providerConfiguration"], c.expected) << c.old.dump();
    EXPECT_EQ(saved["enabled"], true);
    EXPECT_EQ(saved["localizedDescription"], "Vardeno Filter");
    EXPECT_EQ(saved["providerProtocol"]["providerBundleIdentifier"], "com.vardeno.ruzadevirozo.proxyext");
    EXPECT_EQ(saved["providerProtocol"]["includeAllNetworks"], true);
    EXPECT_EQ(saved["providerProtocol"]["excludeLocalNetworks"], true);
    EXPECT_TRUE(saved["providerProtocol"]["serverAddress"].is_string());
    EXPECT_EQ(std::filesystem::status(f.proxy->path()).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_TRUE(f.exits.empty());
  }
}

TEST(ProxyPreferences, CorruptFileIsKeptAsideAndFreshPreferencesSaved) {
  AgentFixture f;
  std::ofstream(f.proxy->path()) << "{not json";
  platform::LogCapture log;
  f.app->parsedConfArgs = agent::StringMap{{"--a", "1"}};
  f.app->configureDnsProxy(true, false);
  f.queue->runPending();
  EXPECT_TRUE(log.contains("[NEDNSProxyManager] " + f.proxy->path() + ": not a JSON object; kept as " +
                           f.proxy->path() + ".corrupt, read as absent"));
  EXPECT_FALSE(log.contains("nsError"));
  EXPECT_TRUE(log.contains("dnsManager conf is saved"));
  std::ifstream in(f.proxy->path() + ".corrupt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "{not json");
  auto saved = f.savedFile();
  EXPECT_EQ(saved["enabled"], true);
  EXPECT_EQ(saved["providerProtocol"]["providerConfiguration"]["--a"], "1");

  // A quit in a user session now saves and ends the agent.
  std::ofstream(f.proxy->path()) << "[1, 2";
  f.app->configureDnsProxy(false, true);
  f.queue->runPending();
  EXPECT_EQ(f.savedFile()["enabled"], false);
  EXPECT_EQ(f.exits, std::vector<int>{0});
}

TEST(ProxyPreferences, CorruptFileLoadsAsAbsentAndIsReplacedByFreshOnes) {
  AgentFixture f;
  std::ofstream(f.proxy->path()) << "\xff garbage";
  std::optional<platform::NEError> error{platform::NEError{}};
  f.proxy->loadFromPreferences([&](std::optional<platform::NEError> e) { error = e; });
  f.queue->runPending();
  EXPECT_FALSE(error);
  EXPECT_FALSE(f.proxy->providerProtocol);
  EXPECT_FALSE(f.proxy->isEnabled);
  EXPECT_TRUE(platform::ProviderPreferences::load(f.proxy->path()));
  EXPECT_TRUE(std::filesystem::exists(f.proxy->path() + ".corrupt"));
}

TEST(ProxyPreferences, RestartDisablesThenEnablesOneSecondLater) {
  AgentFixture f;
  f.app->parsedConfArgs = agent::StringMap{{"--a", "1"}};
  platform::LogCapture log;
  f.app->restartProxy();
  f.queue->runPending();
  EXPECT_EQ(f.savedFile()["enabled"], false);
  f.queue->advance(999ms);
  EXPECT_EQ(f.savedFile()["enabled"], false);
  f.queue->advance(1ms);
  f.queue->runPending();
  EXPECT_EQ(f.savedFile()["enabled"], true);
  EXPECT_EQ(log.count("configure proxy, enabled = "), 2u);
  EXPECT_TRUE(f.exits.empty());
}

TEST(ProxyPreferences, CyclesRunOneAfterAnother) {
  AgentFixture f;
  f.app->parsedConfArgs = agent::StringMap{};
  f.app->configureDnsProxy(false, false);
  f.app->configureDnsProxy(true, false);
  EXPECT_EQ(f.app->pendingProxyCycles(), 2u);
  f.queue->runPending();
  EXPECT_EQ(f.app->pendingProxyCycles(), 0u);
  EXPECT_EQ(f.savedFile()["enabled"], true);
}

TEST(ProxyPreferences, ExitRules) {
  {  // root: 3 s after every save, whatever the flags
    AgentFixture f;
    f.app->isRootSession = true;
    f.app->configureDnsProxy(true, false);
    f.queue->runPending();
    f.queue->advance(2999ms);
    EXPECT_TRUE(f.exits.empty());
    f.queue->advance(1ms);
    EXPECT_EQ(f.exits, std::vector<int>{0});
  }
  {  // root: the exit waits for a cycle still pending
    AgentFixture f;
    f.app->isRootSession = true;
    f.app->restartProxy();
    f.queue->runPending();
    f.queue->advance(3s);
    f.queue->runPending();
    ASSERT_FALSE(f.exits.empty());
    EXPECT_EQ(f.savedFile()["enabled"], true);
  }
  {  // user: only a terminate-save exits, at once
    AgentFixture f;
    f.app->configureDnsProxy(false, false);
    f.queue->runPending();
    f.queue->advance(5s);
    EXPECT_TRUE(f.exits.empty());
    f.app->configureDnsProxy(false, true);
    f.queue->runPending();
    EXPECT_EQ(f.exits, std::vector<int>{0});
    EXPECT_TRUE(f.app->dnsProxyStopped);
  }
}

TEST(ProxyPreferences, NoManagerWritesNothing) {
  AgentFixture f;
  f.app->manager.reset();
  f.app->configureDnsProxy(true, false);
  f.queue->runPending();
  EXPECT_FALSE(std::filesystem::exists(f.proxy->path()));
}

// System-extension requests, answered by the scripted back end.

TEST(SystemExtensionRequests, PropertiesDecideTable) {
  using P = platform::OSSystemExtensionProperties;
  struct Case {
    std::vector<P> props;
    bool configures;
    bool installs;
  } cases[] = {
      {{}, false, true},
      {{P{"id", "1", "1", "u", false, false, false}, P{"id", "1", "1", "u", true, false, true}}, true, false},
      {{P{"id", "1", "1", "u", true, false, true}}, false, true},
      {{P{"id", "1", "1", "u", true, false, false}}, false, false},
  };
  for (const auto& c : cases) {
    AgentFixture f;
    f.app->requestSysExtProperties(f.app->kDNSProxyExtBundleId);
    auto req = f.backend->takeNext();
    ASSERT_EQ(req->kind(), platform::OSSystemExtensionRequest::Kind::properties);
    req->deliverProperties(c.props);
    f.queue->runPending();
    EXPECT_EQ(std::filesystem::exists(f.proxy->path()), c.configures);
    auto next = f.backend->takeNext();
    EXPECT_EQ(next != nullptr, c.installs);
    if (next) {
      EXPECT_EQ(next->kind(), platform::OSSystemExtensionRequest::Kind::activation);
    }
  }
}

TEST(SystemExtensionRequests, FinishedResults) {
  AgentFixture f;
  platform::LogCapture log;
  f.app->installSysExtensions(f.app->kDNSProxyExtBundleId);
  f.backend->takeNext()->deliverFinished(platform::OSSystemExtensionRequestResult::completed);
  f.queue->runPending();
  EXPECT_TRUE(log.contains("install ext request result: completed for extId: com.vardeno.ruzadevirozo.proxyext"));
  EXPECT_EQ(f.savedFile()["enabled"], true);

  f.app->installSysExtensions("other.ext");
  f.backend->takeNext()->deliverFinished(platform::OSSystemExtensionRequestResult::completed);
  f.app->installSysExtensions("other.ext");
  f.backend->takeNext()->deliverFinished(platform::OSSystemExtensionRequestResult::willCompleteAfterReboot);
  f.queue->runPending();
  EXPECT_TRUE(log.contains("switch request result, result - willCompleteAfterReboot"));
  EXPECT_EQ(f.backend->pendingCount(), 0u);

  // The stored deactivation's finish does nothing more on 12 or later.
  f.app->deleteSysExt(f.app->kDNSProxyExtBundleId);
  f.backend->takeNext()->deliverFinished(platform::OSSystemExtensionRequestResult::completed);
  f.queue->runPending();
  EXPECT_EQ(f.backend->pendingCount(), 0u);
}

TEST(SystemExtensionRequests, ApprovalBelow12ReinstallsOnce) {
  AgentFixture f({"/app"}, "11.6");
  f.app->requestSysExtProperties(f.app->kDNSProxyExtBundleId);
  for (int round = 0; round < 3; ++round) {
    auto activation = f.backend->takeNext();
    ASSERT_TRUE(activation);
    ASSERT_EQ(activation->kind(), platform::OSSystemExtensionRequest::Kind::activation);
    activation->deliverNeedsUserApproval();
    f.queue->runPending();
    auto deactivation = f.backend->takeNext();
    if (round > 0) {
      EXPECT_FALSE(deactivation);  // no request loop
      return;
    }
    ASSERT_EQ(deactivation->kind(), platform::OSSystemExtensionRequest::Kind::deactivation);
    deactivation->deliverFinished(platform::OSSystemExtensionRequestResult::completed);
    f.queue->runPending();
  }
  FAIL() << "loop not stopped";
}

TEST(SystemExtensionRequests, ApprovalOn12WritesPreferences) {
  AgentFixture f;
  f.app->installSysExtensions(f.app->kDNSProxyExtBundleId);
  f.backend->takeNext()->deliverNeedsUserApproval();
  f.queue->runPending();
  EXPECT_EQ(f.savedFile()["enabled"], true);
  EXPECT_EQ(f.app->actionForReplacingExtension(nullptr, {}, {}), platform::OSSystemExtensionReplacementAction::replace);
}

TEST(SystemExtensionRequests, StatefulBackendActivatesAndDeactivates) {
  agenttest::TempDir dir;
  auto backend = std::make_shared<platform::StatefulSystemExtensionBackend>(dir.path() + "/state.json", false);
  auto queue = platform::DispatchQueue::makeSerial("test");
  struct Recorder : platform::OSSystemExtensionRequestDelegate {
    std::mutex m;
    std::vector<std::string> events;
    void add(std::string e) { std::lock_guard l(m); events.push_back(std::move(e)); }
    size_t size() { std::lock_guard l(m); return events.size(); }
    platform::OSSystemExtensionReplacementAction actionForReplacingExtension(
        const std::shared_ptr<platform::OSSystemExtensionRequest>&, const platform::OSSystemExtensionProperties&,
        const platform::OSSystemExtensionProperties&) override {
      add("replace");
      return platform::OSSystemExtensionReplacementAction::replace;
    }
    void requestNeedsUserApproval(const std::shared_ptr<platform::OSSystemExtensionRequest>&) override { add("approval"); }
    void didFinishWithResult(const std::shared_ptr<platform::OSSystemExtensionRequest>&,
                             platform::OSSystemExtensionRequestResult) override { add("finished"); }
    void didFailWithError(const std::shared_ptr<platform::OSSystemExtensionRequest>&, const platform::NEError&) override {
      add("failed");
    }
    void foundProperties(const std::shared_ptr<platform::OSSystemExtensionRequest>&,
                         const std::vector<platform::OSSystemExtensionProperties>& p) override {
      add("props " + std::to_string(p.size()) + (p.empty() ? "" : platform::boolText(p[0].isEnabled)));
    }
  };
  auto rec = std::make_shared<Recorder>();
  platform::OSSystemExtensionManager manager(backend);
  auto submit = [&](std::shared_ptr<platform::OSSystemExtensionRequest> r, size_t expect) {
    r->setDelegate(rec);
    manager.submitRequest(r);
    ASSERT_TRUE(platform::waitUntil([&] { return rec->size() >= expect; }, 10s));
  };
  submit(platform::OSSystemExtensionRequest::propertiesRequest("id", queue), 1);
  submit(platform::OSSystemExtensionRequest::activationRequest("id", queue), 2);
  submit(platform::OSSystemExtensionRequest::propertiesRequest("id", queue), 3);
  submit(platform::OSSystemExtensionRequest::activationRequest("id", queue), 5);
  submit(platform::OSSystemExtensionRequest::deactivationRequest("id", queue), 6);
  std::lock_guard l(rec->m);
  EXPECT_EQ(rec->events, (std::vector<std::string>{"props 0", "finished", "props 1true", "replace", "finished",
                                                   "finished"}));
  EXPECT_FALSE(backend->entry("id"));
}
