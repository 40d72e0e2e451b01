#include <sstream>

#include <gtest/gtest.h>

#include "AgentFixture.h"
#include "agent/Probes.h"
#include "agent/Utils.h"
#include "platform/foundation/Log.h"

using agent::StringMap;
using agent::Utils;

TEST(LaunchArguments, PairsTable) {
  struct Case {
    std::vector<std::string> args;
    StringMap expected;
  } cases[] = {
      {{"/app", "--a", "--b", "c"}, {{"--a", "--b"}, {"--b", "c"}}},
      {{"/app", "--a", "1", "--tail"}, {{"--a", "1"}}},
      {{"/app", "--a", "1", "--a", "2"}, {{"--a", "2"}}},
      {{"--self", "x"}, {{"--self", "x"}}},  // the program path takes part
      {{"/app"}, {}},
      {{"/app", "-a", "b"}, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(Utils::parseLaunchArguments(c.args), c.expected);
}

TEST(LaunchArguments, StoredOnlyWithOrganisation) {
  agenttest::TempDir dir;
  auto suite = std::make_shared<platform::UserDefaults>("s", dir.path() + "/s.json");
  auto open = [&](const std::string&) { return suite; };

  platform::LogCapture log;
  auto parsed = Utils::storeLaunchArguments("s", {"/app", "--organizationId", "", "--x", "y"}, open);
  EXPECT_EQ(parsed, (StringMap{{"--organizationId", ""}, {"--x", "y"}}));
  EXPECT_FALSE(suite->dictionary("parsedConfig"));
  EXPECT_TRUE(log.contains("the app was launched without params, storedVendorArgs: nil"));

  parsed = Utils::storeLaunchArguments("s", {"/app", "--organizationId", "c1"}, open);
  EXPECT_EQ(suite->dictionary("parsedConfig"), nlohmann::json({{"--organizationId", "c1"}}));
  EXPECT_TRUE(log.contains("storedVendorArgs: Optional([\"--organizationId\": \"c1\"])"));

  // A later start without arguments returns its own (empty) map, not the stored one.
  parsed = Utils::storeLaunchArguments("s", {"/app"}, open);
  EXPECT_TRUE(parsed.empty());
}

TEST(LaunchArguments, SuiteThatCannotOpenStillReturnsMap) {
  platform::LogCapture log;
  auto parsed = Utils::storeLaunchArguments("s", {"/app", "--organizationId", "c1"},
                                            [](const std::string&) { return nullptr; });
  EXPECT_EQ(parsed, (StringMap{{"--organizationId", "c1"}}));
  EXPECT_TRUE(log.contains("defaults suite cannot be opened: s"));
}

TEST(LaunchArguments, NonEmptyAndPrint) {
  std::vector<std::string> args{"/app", "--a", "", "--b", "x"};
  EXPECT_FALSE(Utils::isLaunchArgumentNonEmpty("--a", args));
  EXPECT_FALSE(Utils::isLaunchArgumentNonEmpty("--c", args));
  EXPECT_TRUE(Utils::isLaunchArgumentNonEmpty("--b", args));

  std::ostringstream out;
  Utils::printLaunchArguments({"/app"}, out);
  EXPECT_EQ(out.str(), "Script: /app\nNumber of arguments: 0\nArguments:\n");
  out.str("");
  Utils::printLaunchArguments({"/app", "--a", "b"}, out);
  EXPECT_EQ(out.str(), "Script: /app\nNumber of arguments: 2\nArguments:\n-- --a\n-- b\n");
}

TEST(LaunchArguments, ResizeImageTable) {
  struct Case {
    double w, h, ew, eh;
  } cases[] = {{40, 20, 20, 10}, {20, 40, 9, 18}, {18, 18, 18, 18}, {0, 0, 0, 0}, {0, 10, 0, 10}, {10, 0, 10, 0}};
  for (const auto& c : cases) {
    auto out = Utils::resizeImage(agent::NSImage{"i", {c.w, c.h}});
    EXPECT_EQ(out.size.width, c.ew) << c.w << "x" << c.h;
    EXPECT_EQ(out.size.height, c.eh) << c.w << "x" << c.h;
  }
}

namespace {

class FakeProbes : public platform::SystemProbes {
 public:
  std::string listing;
  std::map<std::string, std::string> servers;
  std::string listAllNetworkServices() override { return listing; }
  std::string dnsServers(const std::string& service) override { return servers[service]; }
};

}  // namespace

TEST(Probes, DnsServerParsing) {
  FakeProbes probes;
  probes.listing = "An asterisk (*) denotes that a network service is disabled.\neth0\nwlan0\nbad\nnone";
  probes.servers = {{"eth0", "192.0.2.53\n2001:db8::1\n"},
                    {"wlan0", "There aren't any DNS Servers set on wlan0.\n"},
                    {"bad", "** Error: The parameters were not valid."},
                    {"none", ""}};
  auto map = agent::probeDnsServers(probes);
  std::map<std::string, std::vector<std::string>> expected{{"eth0", {"192.0.2.53", "2001:db8::1"}}, {"wlan0", {}}};
  EXPECT_EQ(map, expected);

  probes.listing = "only a header";
  EXPECT_TRUE(agent::probeDnsServers(probes).empty());
}

TEST(Probes, LinuxServicesSerialAndNoShell) {
  agenttest::TempDir dir;
  std::filesystem::create_directories(dir.path() + "/net/lo");
  std::filesystem::create_directories(dir.path() + "/net/eth0");
  std::ofstream(dir.path() + "/serial") << "  C02XYZ \n";
  std::ofstream(dir.path() + "/resolv.conf") << "# c\nnameserver 192.0.2.53\nsearch x\n";
  platform::SystemProbes::Paths paths;
  paths.dmiSerial = dir.path() + "/serial";
  paths.sysClassNet = dir.path() + "/net";
  paths.resolvConf = dir.path() + "/resolv.conf";
  platform::SystemProbes probes(paths);

  EXPECT_EQ(agent::readSerialNumber(probes), "C02XYZ");
  EXPECT_EQ(probes.listAllNetworkServices(),
            "An asterisk (*) denotes that a network service is disabled.\neth0\n");
  EXPECT_EQ(agent::probeDnsServers(probes).count("lo"), 0u);

  std::string marker = dir.path() + "/pwned";
  std::string hostile = "x\"; touch " + marker + "; \"";
  EXPECT_NE(probes.dnsServers(hostile).find("Error"), std::string::npos);
  EXPECT_EQ(agent::runShellCommand(probes, {"echo", hostile}), hostile + "\n");
  EXPECT_FALSE(std::filesystem::exists(marker));

  paths.dmiSerial = dir.path() + "/missing";
  EXPECT_EQ(platform::SystemProbes(paths).serialNumber(), "");
}

TEST(Probes, RunningInstancesByBundleId) {
  std::vector<platform::RunningApplication> apps{{1, "a"}, {2, agent::AppDelegate::kAppBundleId}, {3, "b"}};
  auto mine = agent::countRunningInstances(apps, agent::AppDelegate::kAppBundleId);
  ASSERT_EQ(mine.size(), 1u);
  EXPECT_EQ(mine[0].pid, 2);
}

TEST(AgentState, InitialValuesAndLauncher) {
  agenttest::AgentFixture f({"/app", "--launcher", "MDMScript"});
  EXPECT_EQ(f.app->kDNSProxyExtBundleId, "com.vardeno.ruzadevirozo.proxyext");
  EXPECT_EQ(f.app->kUserDefaultsName, "group.com.vardeno.dnsproxy");
  EXPECT_EQ(f.app->launcherSource, agent::LauncherSource::user);
  EXPECT_FALSE(f.app->xpcUsername());
  platform::LogCapture log;
  EXPECT_EQ(f.app->detectLauncherSource("jdoe"), agent::LauncherSource::user);
  EXPECT_TRUE(log.contains("default launcher - Optional(\"MDMScript\")"));
  EXPECT_FALSE(f.app->isRootSession);
  f.app->detectLauncherSource("root");
  EXPECT_TRUE(f.app->isRootSession);

  agenttest::AgentFixture g({"/app", "--launcher", "installer"});
  EXPECT_EQ(g.app->detectLauncherSource("x"), agent::LauncherSource::installer);
  g.app->storeCurrentUser({'j', 0xff, 'd'});
  EXPECT_EQ(g.app->xpcUsername(), "j\xEF\xBF\xBD" "d");
}
