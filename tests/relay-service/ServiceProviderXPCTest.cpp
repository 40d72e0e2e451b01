#include "relay-service/ServiceProviderXPC.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "DefaultAddresses.h"
#include "platform/foundation/Log.h"
#include "platform/xpc/XpcClient.h"
#include "platform/xpc/XpcListener.h"
#include "relay-service/ServiceDelegate.h"
#include "tests/relay-service/TempRoot.h"

using nlohmann::json;
using platform::ProcessOptions;
using platform::ProcessResult;
using relay::ServiceProviderXPC;

namespace {

ProcessResult exited(int status, std::string output) {
  ProcessResult r;
  r.launched = true;
  r.exitStatus = status;
  r.output = std::move(output);
  return r;
}

// The reply of one getPublicIpWithReply call, or none when it never replied.
std::optional<std::string> lookUp(ServiceProviderXPC& provider) {
  std::optional<std::string> got;
  provider.getPublicIpWithReply([&](std::string address) { got = std::move(address); });
  return got;
}

}  // namespace

TEST(ServiceProviderXPC, RunsDigWithTheDeploymentNamesAndALimit) {
  std::vector<std::string> argv;
  ProcessOptions options;
  ServiceProviderXPC provider([&](const std::vector<std::string>& a, const ProcessOptions& o) {
    argv = a;
    options = o;
    return exited(0, "203.0.113.7\n");
  });
  EXPECT_EQ(lookUp(provider), "203.0.113.7");
  EXPECT_EQ(argv, (std::vector<std::string>{"/usr/bin/env", "dig", "+shor", vardeno::defaults::kPublicIpName,
                                            std::string("@") + vardeno::defaults::kPublicIpResolver}));
  EXPECT_EQ(options.timeLimit, std::chrono::milliseconds(30000));
  EXPECT_FALSE(options.mergeStderr);
}

TEST(ServiceProviderXPC, AlwaysReplies) {
  ProcessResult missing;
  missing.error = "env: No such file or directory";
  ProcessResult timedOut = exited(-1, "203.0.");
  timedOut.timedOut = true;
  timedOut.termSignal = 9;
  struct Case {
    const char* name;
    ProcessResult result;
    std::string reply;
  };
  for (const Case& c : std::vector<Case>{
           {"address and blank lines", exited(0, "\n 198.51.100.2 \r\n\n"), "198.51.100.2"},
           {"prints nothing", exited(0, ""), ""},
           {"two lines kept inside", exited(0, "a\nb\n"), "a\nb"},
           {"not started", missing, ""},
           {"timed out", timedOut, ""},
           {"dig failed", exited(9, ";; connection timed out; no servers could be reached\n"), ""},
           {"dig missing under env", exited(127, ""), ""},
           {"not UTF-8", exited(0, "\xFF\xFE\n"), ""},
       }) {
    ServiceProviderXPC provider([&](const std::vector<std::string>&, const ProcessOptions&) { return c.result; });
    EXPECT_EQ(lookUp(provider), c.reply) << c.name;
  }
}

TEST(ServiceProviderXPC, SlowDigIsCutOffAndStillReplies) {
  testsupport::TempRoot root;
  std::string bin = root.path() + "/bin";
  std::filesystem::create_directories(bin);
  std::ofstream(bin + "/dig") << "#!/bin/sh\necho 203.0.113.9\nexec sleep 30\n";
  ::chmod((bin + "/dig").c_str(), 0755);
  std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
  ::setenv("PATH", (bin + ":" + oldPath).c_str(), 1);
  ServiceProviderXPC provider(platform::runProcess, std::chrono::milliseconds(300));
  EXPECT_EQ(lookUp(provider), "");
  ::setenv("PATH", oldPath.c_str(), 1);
}

TEST(ServiceProviderXPC, LoggingMethodsWriteOneLineEach) {
  platform::LogCapture log;
  ServiceProviderXPC provider;
  provider.printLogToFileWithLog("a");
  provider.sendDNSProxyCommandWithCommand("bypassAllOff");
  provider.printAppLogToFileWithLog("b");
  provider.proxyStateWasUpdatedWithState("started");
  bool called = false;
  provider.setAgentCommandListenerWithListener([&](std::string) { called = true; });
  platform::flushLog();
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"log: a", "sendDNSProxyCommand called: bypassAllOff",
                                                   "print app log to file called: b",
                                                   "proxyStateWasUpdated  called: started",
                                                   "setAgentCommandListener  called"}));
  EXPECT_FALSE(called);
  EXPECT_FALSE(provider.dnsProxyCommandListener);
  EXPECT_FALSE(provider.agentProxyResponseListener);
}

TEST(ServiceDelegate, AcceptsAndExportsOnlyTheServiceProtocol) {
  testsupport::TempRoot root;
  platform::LogCapture log;
  auto listener = platform::XpcListener::machService(relay::kMachServiceName);
  auto delegate = std::make_shared<relay::ServiceDelegate>();
  listener->setDelegate(delegate);
  ASSERT_TRUE(listener->resume());
  auto client = platform::XpcClient::connect(relay::kMachServiceName);
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->post("printAppLogToFileWithLog:", json::array({"over xpc"})));
  EXPECT_TRUE(log.waitFor("print app log to file called: over xpc"));
  EXPECT_TRUE(log.contains("attempt to do new connection"));
  auto refused = client->call("proxyStateWasUpdatedWithState:", json::array({"started"}));
  EXPECT_TRUE(refused.error);
  EXPECT_FALSE(log.contains("proxyStateWasUpdated"));
}
