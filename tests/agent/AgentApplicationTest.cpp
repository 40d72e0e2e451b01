#include "agent/AgentApplication.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/Log.h"
#include "platform/ProviderPreferences.h"

using namespace agent;
using namespace platform;
using namespace std::chrono_literals;

namespace {

struct NoNetworkProbes : SystemProbes {
  std::string user = "jdoe";
  std::string serialNumber() override { return "SN1"; }
  std::string commandOutput(const std::vector<std::string>& argv) override {
    return argv.size() == 2 && argv[0] == "id" ? user + "\n" : "";
  }
  std::string listAllNetworkServices() override { return "header\n"; }
  std::string dnsServers(const std::string&) override { return ""; }
  std::vector<RunningApplication> runningApplications() override { return {}; }
};

struct NoHttp : HttpClient {
  int calls = 0;
  void dataTask(const std::string&, Completion) override { ++calls; }
};

struct Agent : ::testing::Test {
  std::shared_ptr<ManualQueue> main = std::make_shared<ManualQueue>();
  std::string folder;
  std::string prefsPath;
  std::vector<int> exits;
  NSStatusBar bar;
  NSWorkspace workspace;
  std::shared_ptr<NoNetworkProbes> probes = std::make_shared<NoNetworkProbes>();
  std::shared_ptr<NoHttp> http = std::make_shared<NoHttp>();
  std::shared_ptr<ScriptedSystemExtensionBackend> extensions = std::make_shared<ScriptedSystemExtensionBackend>();
  std::shared_ptr<AppDelegate> app;
  std::shared_ptr<AgentApplication> agent;
  NSApplication nsapp{[this](int s) { exits.push_back(s); }};
  LogCapture log;

  void SetUp() override {
    char pattern[] = "/tmp/vardeno-agentapp-XXXXXX";
    folder = mkdtemp(pattern);
    prefsPath = folder + "/networkextension/dnsproxy.json";
  }
  void TearDown() override { std::filesystem::remove_all(folder); }

  void start(std::vector<std::string> args) {
    args.insert(args.begin(), "/bin/Vardeno_for_OSX");
    AgentEnvironment e;
    e.mainQueue = main;
    e.arguments = args;
    e.osVersion = OperatingSystemVersion{13, 0, 0};
    e.extensionManager = std::make_shared<OSSystemExtensionManager>(extensions);
    auto manager = std::make_shared<NEDNSProxyManager>(prefsPath, main, main);
    e.dnsProxyManager = [this, manager] { return manager; };
    e.http = http;
    e.probes = probes;
    e.openSuite = [](const std::string&) { return std::shared_ptr<UserDefaults>(); };
    e.exit = [this](int s) { nsapp.exit(s); };
    e.udpLogger = std::make_shared<UDPLogger>(NWEndpoint{"127.0.0.1", 9}, main);
    app = std::make_shared<AppDelegate>(e);
    AgentApplication::Environment ae;
    ae.statusBar = &bar;
    ae.workspace = &workspace;
    ae.setLoginItem = [](const std::string&, bool) { return true; };
    ae.captivePortal.helper.monitor = std::make_shared<FakePathMonitor>();
    agent = std::make_shared<AgentApplication>(app, ae);
    nsapp.setDelegate(agent);
    agent->startAgent();
    settle();
  }
  void settle() {
    for (int i = 0; i < 20; ++i) main->advance(1100ms);
  }
  std::optional<bool> savedEnabled() {
    auto p = ProviderPreferences::load(prefsPath);
    if (!p) return std::nullopt;
    return p->enabled;
  }
};

}  // namespace

TEST_F(Agent, MenuOnlyWithShowDropDownMenuTrue) {
  start({"--launcher", "user", "--showDropDownMenu", "TRUE"});
  ASSERT_TRUE(agent->statusItem());
  EXPECT_FALSE(agent->statusItem()->menu);
  ASSERT_TRUE(agent->statusItem()->button.image);
  EXPECT_EQ(agent->statusItem()->button.image->size, (platform::NSSize{20, 18}));
  EXPECT_TRUE(agent->statusItem()->button.image->isTemplate);
  // A user start writes no preferences and submits no request.
  EXPECT_FALSE(savedEnabled());
  EXPECT_TRUE(extensions->submitted().empty());
}

TEST_F(Agent, MenuItemsAndActions) {
  start({"--launcher", "launchd", "--organizationId", "", "--showDropDownMenu", "true"});
  ASSERT_TRUE(agent->statusItem()->menu);
  std::vector<std::string> titles, keys;
  for (auto& item : agent->statusItem()->menu->items) {
    titles.push_back(item.title);
    keys.push_back(item.keyEquivalent);
  }
  EXPECT_EQ(titles, (std::vector<std::string>{"empty", "Start Proxy", "Stop Proxy", "reinstallSysEx", "Owner: jdoe",
                                              "Quit"}));
  EXPECT_EQ(keys, (std::vector<std::string>{"empty", "Start Proxy", "Stop Proxy", "reinstallSysEx", "owner", "q"}));
  // No organisation: restarted without the lookup, ends enabled.
  EXPECT_EQ(savedEnabled(), true);
  EXPECT_EQ(http->calls, 0);
  ASSERT_TRUE(nsapp.sendAction("stopProxyFromMenu"));
  settle();
  EXPECT_EQ(savedEnabled(), false);
  EXPECT_TRUE(log.contains("stopProxyFromMenu"));
  ASSERT_TRUE(nsapp.sendAction("startProxyFromMenu"));
  settle();
  EXPECT_EQ(savedEnabled(), true);
  const auto before = extensions->submitted().size();
  ASSERT_TRUE(nsapp.sendAction("reinstallSysEx"));
  EXPECT_EQ(extensions->submitted().size(), before + 1);
}

TEST_F(Agent, SleepAndWakeOnlyForLaunchdStarts) {
  start({"--launcher", "launchd"});
  workspace.postNotification(NSWorkspaceWillSleepNotification);
  settle();
  EXPECT_EQ(savedEnabled(), false);
  workspace.postNotification(NSWorkspaceDidWakeNotification);
  settle();
  EXPECT_EQ(savedEnabled(), true);
  workspace.postNotification(NSWorkspaceWillPowerOffNotification);
  EXPECT_TRUE(log.contains("workspaceWillPowerOff"));
  EXPECT_EQ(savedEnabled(), true);
}

TEST_F(Agent, UserStartIgnoresSleepAndWake) {
  start({"--launcher", "user"});
  EXPECT_EQ(workspace.notificationCenter().observerCount(NSWorkspaceWillSleepNotification), 0u);
  EXPECT_EQ(workspace.notificationCenter().observerCount(NSWorkspaceWillPowerOffNotification), 1u);
}

TEST_F(Agent, QuitSwitchesTheProxyOffThenExits) {
  start({"--launcher", "launchd"});
  ASSERT_EQ(savedEnabled(), true);
  EXPECT_EQ(nsapp.terminate("SIGTERM"), NSApplicationTerminateReply::terminateLater);
  EXPECT_TRUE(log.contains("applicationShouldTerminate, reason = Optional(\"SIGTERM\")_"));
  settle();
  EXPECT_EQ(savedEnabled(), false);
  EXPECT_EQ(exits, std::vector<int>{0});
  EXPECT_TRUE(app->dnsProxyStopped);
}

TEST_F(Agent, AQuitWhoseSaveFailsIsAnsweredNoAndCanBeRepeated) {
  start({"--launcher", "launchd"});
  // The preferences folder becomes unwritable.
  std::filesystem::remove_all(folder + "/networkextension");
  { std::ofstream(folder + "/networkextension") << "x"; }
  EXPECT_EQ(nsapp.terminate(), NSApplicationTerminateReply::terminateLater);
  settle();
  EXPECT_TRUE(exits.empty());
  EXPECT_FALSE(nsapp.isTerminationPending());
  std::filesystem::remove(folder + "/networkextension");
  EXPECT_EQ(nsapp.terminate(), NSApplicationTerminateReply::terminateLater);
  settle();
  EXPECT_EQ(exits, std::vector<int>{0});
}

TEST_F(Agent, RootQuitsAtOnceWithoutTouchingThePreferences) {
  probes->user = "root";
  start({"--launcher", "user", "--showDropDownMenu", "true"});
  EXPECT_TRUE(app->isRootSession);
  EXPECT_EQ(nsapp.terminate(), NSApplicationTerminateReply::terminateNow);
  EXPECT_EQ(exits, std::vector<int>{0});
  EXPECT_FALSE(savedEnabled());
}
