// The relay program end to end: started as a child on free loopback ports,
// with a temporary root and fake resolvectl and dig first on PATH.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <cstdio>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "DefaultAddresses.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/xpc/XpcClient.h"
#include "tests/relay-service/LoopbackClient.h"
#include "tests/relay-service/RelayProcess.h"
#include "tests/relay-service/TempRoot.h"

using nlohmann::json;
using std::chrono::milliseconds;
using testsupport::LoopbackClient;

namespace {

const char* kService = "group.com.vardeno.ruzadevirozo";

void writeScript(const std::string& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body;
  ::chmod(path.c_str(), 0755);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class RelayProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = root_.path();
    std::filesystem::create_directories(dir_ + "/bin");
    writeScript(dir_ + "/bin/resolvectl", "echo \"$@\" >> \"$RELAY_TEST_DIR/flushes\"\necho flushed\n");
    writeScript(dir_ + "/bin/dig",
                "echo \"$@\" > \"$RELAY_TEST_DIR/dig-args\"\n"
                "case \"$(cat \"$RELAY_TEST_DIR/dig-mode\" 2>/dev/null)\" in\n"
                "  empty) ;;\n"
                "  fail) echo ';; connection timed out'; exit 9 ;;\n"
                "  binary) printf '\\377\\376\\n' ;;\n"
                "  *) printf ' 203.0.113.7\\n\\n' ;;\n"
                "esac\n");
    startRelay({});
  }

  void startRelay(std::map<std::string, std::string> extra) {
    std::map<std::string, std::string> env{
        {"VARDENO_ROOT", dir_},
        // The relay takes free ports itself and tells which.
        {"VARDENO_RELAY_EXT_PORT", "0"},
        {"VARDENO_RELAY_AGENT_PORT", "0"},
        {"VARDENO_LOG", "stderr"},
        {"RELAY_TEST_DIR", dir_},
        {"PATH", dir_ + "/bin:" + std::string(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin")}};
    for (auto& [k, v] : extra) env[k] = v;
    relay_ = std::make_unique<testsupport::RelayProcess>(VARDENO_BIN_DIR "/VardenoXPCservice", env);
    ASSERT_TRUE(relay_->started());
    const std::string told = "listening on extension port ";
    auto at = relay_->waitFor(told);
    ASSERT_TRUE(at);
    const std::string line = relay_->lines().at(*at);
    unsigned ext = 0, agent = 0;
    ASSERT_EQ(std::sscanf(line.c_str() + line.find(told), "listening on extension port %u, agent port %u", &ext, &agent),
              2)
        << line;
    extPort_ = static_cast<uint16_t>(ext);
    agentPort_ = static_cast<uint16_t>(agent);
    ASSERT_NE(extPort_, 0);
    ASSERT_NE(agentPort_, 0);
  }

  void waitReady() {
    ASSERT_TRUE(relay_->waitFor("Listener connected to port " + std::to_string(extPort_)));
    ASSERT_TRUE(relay_->waitFor("Listener connected to port " + std::to_string(agentPort_)));
    ASSERT_TRUE(relay_->waitFor("*** XPC listener resumed ***"));
  }

  void sendAndWait(LoopbackClient& client, uint16_t port, const std::string& datagram, const std::string& logged) {
    ASSERT_TRUE(client.sendTo(port, datagram));
    ASSERT_TRUE(relay_->waitFor(logged)) << logged;
  }

  std::unique_ptr<platform::XpcClient> connectXpc() {
    std::string error;
    auto client = platform::XpcClient::connect(kService, &error);
    EXPECT_TRUE(client) << error;
    return client;
  }

  testsupport::TempRoot root_;
  std::string dir_;
  uint16_t extPort_ = 0, agentPort_ = 0;
  std::unique_ptr<testsupport::RelayProcess> relay_;
};

}  // namespace

TEST_F(RelayProgram, StartsListenersThenTheXpcService) {
  waitReady();
  auto started = relay_->waitFor("*** XPC and UDP started_ ***");
  auto resumed = relay_->waitFor("*** XPC listener resumed ***");
  ASSERT_TRUE(started && resumed);
  EXPECT_LT(*started, *resumed);
  EXPECT_TRUE(std::filesystem::is_socket(dir_ + "/xpc/group.com.vardeno.ruzadevirozo.sock"));
}

TEST_F(RelayProgram, AgentSetsAndAsksTheCurrentUser) {
  waitReady();
  LoopbackClient fresh;
  ASSERT_TRUE(fresh.sendTo(agentPort_, "&*requestCU"));
  EXPECT_EQ(fresh.receive(), "");

  LoopbackClient agent;
  sendAndWait(agent, agentPort_, "&*updateCUjdoe", " CU updated: jdoe");
  ASSERT_TRUE(agent.sendTo(agentPort_, "&*requestCU"));
  EXPECT_EQ(agent.receive(), "jdoe");
  EXPECT_TRUE(relay_->waitFor("request CU received, cu: jdoe"));

  sendAndWait(agent, agentPort_, "&*updateCUj&*updateCUane&*updateCU", " CU updated: jane");
  sendAndWait(agent, agentPort_, "&*ALone&*ALtwo", "Agent log: onetwo");
  ASSERT_TRUE(agent.sendTo(agentPort_, "&*requestCU"));
  EXPECT_EQ(agent.receive(), "jane");
}

TEST_F(RelayProgram, EachPortKeepsItsOwnUser) {
  waitReady();
  LoopbackClient agent;
  sendAndWait(agent, agentPort_, "&*updateCUjdoe", " CU updated: jdoe");
  ASSERT_TRUE(agent.sendTo(extPort_, "&*requestCU"));
  EXPECT_EQ(agent.receive(), "");
  ASSERT_TRUE(agent.sendTo(agentPort_, "&*requestCU"));
  EXPECT_EQ(agent.receive(), "jdoe");
}

TEST_F(RelayProgram, LogsTheExtensionsCommands) {
  waitReady();
  LoopbackClient ext;
  sendAndWait(ext, extPort_, R"({"cmdType":"notification","payload":"started"})", "got notification from Ext: started");
  sendAndWait(ext, extPort_, R"({"cmdType":"printToLog","payload":"[DnsProxyExt] \"quoted\" \\ line"})",
              R"(got printToLog from Ext: [DnsProxyExt] "quoted" \ line)");
  sendAndWait(ext, extPort_, R"({"cmdType":"command","payload":"bypassAllOn"})", "got command from Ext: bypassAllOn");
}

TEST_F(RelayProgram, FlushesOncePerNewPeer) {
  waitReady();
  LoopbackClient a, b;
  sendAndWait(a, agentPort_, "&*ALfirst", "Agent log: first");
  sendAndWait(a, agentPort_, "&*ALagain", "Agent log: again");
  ASSERT_TRUE(relay_->waitFor("clearDNSCacheCmd result - flushed"));
  sendAndWait(b, extPort_, "&*ALsecond", "Agent log: second");
  ASSERT_TRUE(platform::waitUntil([&] { return relay_->count("clearDNSCacheCmd result - flushed") == 2; },
                                  std::chrono::seconds(10)));
  EXPECT_EQ(readFile(dir_ + "/flushes"), "flush-caches\nflush-caches\n");
}

TEST_F(RelayProgram, HostileDatagramsThenAWorkingRequest) {
  waitReady();
  std::mt19937 random(99);
  std::string noise(1400, '\0');
  for (auto& ch : noise) ch = static_cast<char>(random());
  LoopbackClient peer;
  for (const std::string& d : {noise, std::string("\xC3\x28\xFF"), std::string(65507, 'z'),
                               std::string(65507, '{'), std::string("{\"cmdType\":\"printToLog\"")})
    ASSERT_TRUE(peer.sendTo(agentPort_, d));
  sendAndWait(peer, agentPort_, "&*updateCUjdoe", " CU updated: jdoe");
  ASSERT_TRUE(peer.sendTo(agentPort_, "&*requestCU"));
  EXPECT_EQ(peer.receive(), "jdoe");
}

TEST_F(RelayProgram, PeerClosingBeforeItsReplyLeavesThePortWorking) {
  waitReady();
  {
    LoopbackClient gone;
    ASSERT_TRUE(gone.sendTo(agentPort_, "&*requestCU"));
  }
  ASSERT_TRUE(relay_->waitFor("request CU received, cu: "));
  LoopbackClient next;
  sendAndWait(next, agentPort_, "&*updateCUjdoe", " CU updated: jdoe");
  ASSERT_TRUE(next.sendTo(agentPort_, "&*requestCU"));
  EXPECT_EQ(next.receive(), "jdoe");
}

TEST_F(RelayProgram, PublicIpComesFromDig) {
  waitReady();
  auto client = connectXpc();
  ASSERT_TRUE(client);
  auto answer = client->call("getPublicIpWithReply:", json::array());
  ASSERT_TRUE(answer.reply) << answer.error.value_or("no answer");
  EXPECT_EQ(*answer.reply, json::array({"203.0.113.7"}));
  EXPECT_EQ(readFile(dir_ + "/dig-args"), std::string("+shor ") + vardeno::defaults::kPublicIpName + " @" +
                                              vardeno::defaults::kPublicIpResolver + "\n");
  EXPECT_TRUE(relay_->waitFor("attempt to do new connection"));

  for (const std::string mode : {"empty", "fail", "binary"}) {
    std::ofstream(dir_ + "/dig-mode") << mode;
    auto other = client->call("getPublicIpWithReply:", json::array());
    ASSERT_TRUE(other.reply) << mode;
    EXPECT_EQ(*other.reply, json::array({""})) << mode;
  }
}

TEST_F(RelayProgram, PublicIpWithoutDigRepliesEmpty) {
  // A PATH without dig; env itself stays reachable by its absolute path.
  relay_.reset();
  startRelay({{"PATH", dir_ + "/nothing-here"}});
  waitReady();
  auto client = connectXpc();
  ASSERT_TRUE(client);
  auto answer = client->call("getPublicIpWithReply:", json::array());
  ASSERT_TRUE(answer.reply);
  EXPECT_EQ(*answer.reply, json::array({""}));
}

TEST_F(RelayProgram, LoggingSelectorsAndRefusedOnes) {
  waitReady();
  auto client = connectXpc();
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->post("sendDNSProxyCommandWithCommand:", json::array({"bypassAllOn"})));
  ASSERT_TRUE(client->post("printAppLogToFileWithLog:", json::array({"hello from app"})));
  EXPECT_TRUE(relay_->waitFor("sendDNSProxyCommand called: bypassAllOn"));
  EXPECT_TRUE(relay_->waitFor("print app log to file called: hello from app"));

  for (const std::string selector : {"printLogToFileWithLog:", "proxyStateWasUpdatedWithState:",
                                     "setAgentCommandListenerWithListener:", "fooWithBar:"}) {
    auto answer = client->call(selector, json::array({"x"}));
    EXPECT_TRUE(answer.error) << selector;
  }
  EXPECT_EQ(relay_->count("sendDNSProxyCommand called: "), 1u);
  EXPECT_EQ(relay_->count("print app log to file called: "), 1u);
  EXPECT_EQ(relay_->count("log: x"), 0u);
}

TEST(RelayProgramSettings, BadPortSettingIsRefused) {
  testsupport::TempRoot root;
  testsupport::RelayProcess relay(VARDENO_BIN_DIR "/VardenoXPCservice",
                                  {{"VARDENO_ROOT", root.path()}, {"VARDENO_RELAY_EXT_PORT", "98x"}});
  ASSERT_TRUE(relay.started());
  auto status = relay.waitExit(std::chrono::seconds(10));
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 2);
  EXPECT_TRUE(relay.waitFor("VARDENO_RELAY_EXT_PORT is not a port number: 98x"));
}
