#include "agent/AgentApplication.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/foundation/Log.h"
#include "platform/networkextension/ProviderPreferences.h"

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
  std::vector<std::string> urls;
  void dataTask(const std::string& url, Completion) override {
    ++calls;
    urls.push_back(url);
  }
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
  // Answers the requests instead of `extensions` when set.
  std::shared_ptr<SystemExtensionBackend> answeringBackend;
  std::shared_ptr<AppDelegate> app;
  std::shared_ptr<AgentApplication> agent;
  NSApplication nsapp{[this](int s) { exits.push_back(s); }};
  LogCapture log;
  OperatingSystemVersion os{13, 0, 0};
  // The relay's reply when it came before start-up read it.
  std::optional<std::string> relayUser;
  NWEndpoint relay{"127.0.0.1", 9};

  void SetUp() override {
    char pattern[] = "/tmp/vardeno-agentapp-XXXXXX";
    folder = mkdtemp(pattern);
    prefsPath = folder + "/networkextension/dnsproxy.json";
  }
  void TearDown() override { std::filesystem::remove_all(folder); }

  void start(std::vector<std::string> args, bool settleAfterStart = true) {
    args.insert(args.begin(), "/bin/Vardeno_for_OSX");
    AgentEnvironment e;
    e.mainQueue = main;
    e.arguments = args;
    e.osVersion = os;
    e.extensionManager = std::make_shared<OSSystemExtensionManager>(
        answeringBackend ? answeringBackend : std::shared_ptr<SystemExtensionBackend>(extensions));
    auto manager = std::make_shared<NEDNSProxyManager>(prefsPath, main, main);
    e.dnsProxyManager = [this, manager] { return manager; };
    e.http = http;
    e.apiHost = "http://127.0.0.1:9";
    e.probes = probes;
    e.openSuite = [](const std::string&) { return std::shared_ptr<UserDefaults>(); };
    e.standardDefaults = std::make_shared<UserDefaults>("standard", folder + "/standard.json");
    e.exit = [this](int s) { nsapp.exit(s); };
    e.udpLogger = std::make_shared<UDPLogger>(relay, main);
    app = std::make_shared<AppDelegate>(e);
    if (relayUser) app->storeCurrentUser({relayUser->begin(), relayUser->end()});
    AgentApplication::Environment ae;
    ae.statusBar = &bar;
    ae.workspace = &workspace;
    ae.setLoginItem = [](const std::string&, bool) { return true; };
    ae.captivePortal.helper.monitor = std::make_shared<FakePathMonitor>();
    agent = std::make_shared<AgentApplication>(app, ae);
    nsapp.setDelegate(agent);
    agent->startAgent();
    if (settleAfterStart) settle();
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

namespace {

// The submitted requests in order: d deactivation, p properties, a activation.
std::string requestKinds(const ScriptedSystemExtensionBackend& backend) {
  std::string kinds;
  for (const auto& r : backend.submitted()) {
    switch (r->kind()) {
      case OSSystemExtensionRequest::Kind::deactivation: kinds += 'd'; break;
      case OSSystemExtensionRequest::Kind::properties: kinds += 'p'; break;
      case OSSystemExtensionRequest::Kind::activation: kinds += 'a'; break;
    }
  }
  return kinds;
}

}  // namespace

TEST_F(Agent, InstallerAndMdmscriptRequestsTable) {
  struct Case {
    std::string launcher;
    OperatingSystemVersion os;
    std::vector<std::string> extra;
    std::string atStart;  // submitted by start-up itself
    std::string after3s;  // and once the delayed activation is due
  };
  const std::vector<Case> cases = {
      {"installer", {13, 0, 0}, {}, "dp", "dpa"},
      {"installer", {13, 0, 0}, {"--organizationId", ""}, "dp", "dpa"},
      {"installer", {13, 0, 0}, {"--organizationId", "c1"}, "dpp", "dppa"},
      {"installer", {11, 6, 0}, {"--organizationId", "c1"}, "daa", "daaa"},
      {"mdmscript", {13, 0, 0}, {}, "", ""},
      {"mdmscript", {13, 0, 0}, {"--organizationId", "c1"}, "p", "p"},
      {"mdmscript", {11, 6, 0}, {"--organizationId", "c1"}, "a", "a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.launcher + " " + c.os.description() + " " + ::testing::PrintToString(c.extra));
    extensions = std::make_shared<ScriptedSystemExtensionBackend>();
    os = c.os;
    std::vector<std::string> args{"--launcher", c.launcher};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    start(args, false);
    EXPECT_EQ(requestKinds(*extensions), c.atStart);
    main->advance(2999ms);
    EXPECT_EQ(requestKinds(*extensions), c.atStart);
    main->advance(1ms);
    EXPECT_EQ(requestKinds(*extensions), c.after3s);
    settle();
    EXPECT_EQ(requestKinds(*extensions), c.after3s);
    for (const auto& r : extensions->submitted()) {
      EXPECT_EQ(r->identifier(), app->kDNSProxyExtBundleId);
      EXPECT_EQ(r->queue(), main);
      EXPECT_EQ(r->delegate(), app);
    }
    // The deactivation is the stored one, so its finish is told apart.
    if (c.launcher == "installer") {
      EXPECT_EQ(app->currentDeactivationReq, extensions->submitted().front());
    } else {
      EXPECT_FALSE(app->currentDeactivationReq);
    }
  }
}

TEST_F(Agent, InstallerAndMdmscriptRunForTheRelaysUser) {
  struct Case {
    std::string launcher;
    std::optional<std::string> relay;
    std::vector<std::string> extra;
    std::string usingLine;  // "" when there is none
    std::string owner;
    std::optional<std::string> lookup;  // else the proxy is restarted without one
    bool icon;
    std::size_t sleepObservers;
    std::string idUser = "jdoe";  // what "id -un" prints
  };
  const std::string api = "http://127.0.0.1:9/config/getLdapUser/";
  const std::vector<Case> cases = {
      {"mdmscript", "alice", {"--organizationId", "c1"}, "Optional(\"alice\")", "alice", api + "alice/c1", false, 0},
      {"mdmscript", std::nullopt, {"--organizationId", "c1"}, "nil", "", std::nullopt, false, 0},
      {"mdmscript", "", {"--organizationId", "c1"}, "Optional(\"\")", "", std::nullopt, false, 0},
      {"installer", "alice", {"--organizationId", "c1"}, "Optional(\"alice\")", "alice", api + "alice/c1", true, 0},
      {"installer", "alice", {"--organizationId", "c1", "--username", "bob"}, "Optional(\"alice\")", "alice",
       api + "bob/c1", true, 0},
      {"installer", "alice", {"--organizationId", "c1", "--username", ""}, "Optional(\"alice\")", "alice",
       std::nullopt, true, 0},
      {"installer", "alice", {}, "Optional(\"alice\")", "alice", std::nullopt, true, 0},
      {"installer", std::nullopt, {"--organizationId", "c1"}, "nil", "", std::nullopt, true, 0},
      // The other starts keep the logged-in user.
      {"launchd", "alice", {"--organizationId", "c1"}, "", "jdoe", api + "jdoe/c1", true, 1},
      // A root account is told by "id -un", before the relay's user replaces it.
      {"mdmscript", "alice", {}, "Optional(\"alice\")", "alice", std::nullopt, false, 0, "root"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.launcher + " " + c.relay.value_or("<none>") + " " + ::testing::PrintToString(c.extra));
    std::filesystem::remove_all(folder + "/networkextension");
    http = std::make_shared<NoHttp>();
    log.clear();
    exits.clear();
    probes->user = c.idUser;
    relayUser = c.relay;
    std::vector<std::string> args{"--launcher", c.launcher, "--showDropDownMenu", "true"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    start(args);

    EXPECT_TRUE(log.contains("launcher -  " + c.launcher));
    if (c.usingLine.empty()) {
      EXPECT_FALSE(log.contains("using xpcUsername - "));
    } else {
      EXPECT_EQ(log.count("using xpcUsername - " + c.usingLine), 1u);
    }
    EXPECT_EQ(app->userIdOsResponse, c.owner);
    ASSERT_TRUE(agent->statusItem()->menu);
    EXPECT_TRUE(agent->statusItem()->menu->itemWithTitle("Owner: " + c.owner));
    if (c.lookup) {
      EXPECT_EQ(http->urls, std::vector<std::string>{*c.lookup});
      EXPECT_FALSE(savedEnabled());  // waits for the lookup's answer
    } else {
      EXPECT_TRUE(http->urls.empty());
      EXPECT_EQ(savedEnabled(), true);
    }
    EXPECT_EQ(agent->statusItem()->button.image.has_value(), c.icon);
    EXPECT_EQ(workspace.notificationCenter().observerCount(NSWorkspaceWillSleepNotification), c.sleepObservers);
    EXPECT_EQ(app->isRootSession, c.idUser == "root");
    // A root account leaves with 0 once the preferences are saved (the
    // first exit ends a real process).
    EXPECT_EQ(!exits.empty() && exits.front() == 0, c.idUser == "root");
  }
}

TEST_F(Agent, InstallerStartReinstallsAnEnabledExtensionAndEnablesTheProxy) {
  const std::string id = "com.vardeno.ruzadevirozo.proxyext";
  const std::string statePath = folder + "/systemextensions/state.json";
  std::filesystem::create_directories(folder + "/systemextensions");
  std::ofstream(statePath) << nlohmann::json{{id, {{"activated", true}, {"enabled", true}}}}.dump();
  auto state = std::make_shared<StatefulSystemExtensionBackend>(statePath, false);
  answeringBackend = state;
  start({"--launcher", "installer"}, false);
  auto runUntil = [&](const std::function<bool()>& done) {
    return waitUntil([&] {
      main->runPending();
      return done();
    });
  };
  // The deactivation is answered first: the properties answer is empty and
  // asks for an activation at once.
  ASSERT_TRUE(runUntil([&] { return log.count("install ext request result: completed for extId: " + id) == 1; }));
  EXPECT_TRUE(log.contains("found  props for ext: " + id + ", props count = 0"));
  EXPECT_EQ(log.count("install sys ext: " + id), 1u);
  main->advance(3s);
  ASSERT_TRUE(runUntil([&] { return log.count("install ext request result: completed for extId: " + id) == 2; }));
  EXPECT_EQ(log.count("install sys ext: " + id), 2u);
  settle();
  auto entry = state->entry(id);
  ASSERT_TRUE(entry);
  EXPECT_TRUE(entry->activated);
  EXPECT_TRUE(entry->enabled);
  EXPECT_EQ(savedEnabled(), true);
  EXPECT_TRUE(exits.empty());
}

TEST_F(Agent, InstallerAndMdmscriptRelayLinesTable) {
  const std::string id = "com.vardeno.ruzadevirozo.proxyext";
  struct Case {
    std::string launcher;
    std::vector<std::string> inOrder;  // among the datagrams, in this order
    std::vector<std::string> absent;   // prefixes no datagram has
  };
  const std::vector<Case> cases = {
      {"installer",
       {"&*ALlauncher -  installer", "&*ALusing xpcUsername - nil", "&*ALdeleteSysExt: " + id,
        "&*ALinstallSysExtensions called", "&*ALparsedConfArgs: ", "&*ALinstallSysExtensions called",
        "&*ALinstallSysExtensions: " + id},
       {"&*updateCU", "&*ALapp was launched by user"}},
      {"mdmscript",
       {"&*ALlauncher -  mdmscript", "&*ALusing xpcUsername - nil", "&*ALparsedConfArgs: ",
        "&*ALinstallSysExtensions called", "&*ALparsedArgs:"},
       {"&*updateCU", "&*ALdeleteSysExt: ", "&*ALinstallSysExtensions: ", "&*ALapp was launched by user"}},
      // The logged-in user goes to the relay on launchd starts only.
      {"launchd", {"&*ALlauncher -  launchd", "&*updateCUjdoe", "&*ALparsedArgs:"}, {"&*ALusing xpcUsername"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.launcher);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    relay = NWEndpoint{"127.0.0.1", ntohs(a.sin_port)};
    start({"--launcher", c.launcher, "--organizationId", "c1"});

    // Datagrams from one sender arrive in order on loopback: once the last
    // expected one is in, every earlier one is too.
    std::vector<std::string> got;
    auto has = [&](const std::string& prefix) {
      return std::any_of(got.begin(), got.end(), [&](const std::string& g) { return g.rfind(prefix, 0) == 0; });
    };
    EXPECT_TRUE(waitUntil([&] {
      main->runPending();
      char buf[4096];
      ssize_t n;
      while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) got.emplace_back(buf, static_cast<size_t>(n));
      return has(c.inOrder.back());
    }));
    std::size_t at = 0;
    for (const auto& line : got)
      if (at < c.inOrder.size() && line.rfind(c.inOrder[at], 0) == 0) ++at;
    EXPECT_EQ(at, c.inOrder.size()) << "missing or out of order: " << c.inOrder[std::min(at, c.inOrder.size() - 1)];
    for (const auto& prefix : c.absent) EXPECT_FALSE(has(prefix)) << prefix;
    close(fd);
  }
}
