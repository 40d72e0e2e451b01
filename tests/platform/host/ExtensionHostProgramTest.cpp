// The host as a program (with the stand-in provider): first stderr line,
// preferences changes, signals.
#include <gtest/gtest.h>

#include "platform/networkextension/ProviderPreferences.h"
#include "support/ChildProcess.h"
#include "support/ListeningLine.h"
#include "support/LoopbackUdp.h"

using namespace platform;
using namespace testing_support;
using namespace std::chrono_literals;

namespace {

struct ProgramFixture : ::testing::Test {
  TempDir root;
  UdpResponder systemDns{[](const Bytes& q) { return std::optional<Bytes>(dnsReply(q, 3)); }};
  std::unique_ptr<ChildProcess> program;
  SocketAddress listen;

  void start(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {std::string(VARDENO_BINARY_DIR) + "/tests/stub_proxyext", "--listen",
                                     "127.0.0.1:0", "--system-dns", systemDns.address().description()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    program = std::make_unique<ChildProcess>(argv, std::vector<std::string>{"VARDENO_ROOT=" + root.path(), "VARDENO_LOG=stderr"},
                                             root.path() + "/output.txt");
    auto bound = boundAddresses(program->firstLine());
    ASSERT_FALSE(bound.empty()) << program->output();
    listen = bound[0];
  }
  void writePreferences(bool enabled, const std::string& org) {
    auto p = *ProviderPreferences::parse(R"({"providerProtocol": {"providerBundleIdentifier": "com.vardeno.ruzadevirozo.proxyext"}})");
    p.enabled = enabled;
    p.providerConfiguration = nlohmann::json{{"--organizationId", org}};
    ASSERT_TRUE(p.save(root.path() + "/networkextension/dnsproxy.json"));
  }
  // Return code of the answer to one query.
  int ask() {
    UdpSocket client;
    client.sendTo(listen, dnsQuery(42, "q.example"));
    auto answer = client.receive(2s);
    return answer && answer->size() >= 4 ? ((*answer)[3] & 0x0F) : -1;
  }
};

TEST_F(ProgramFixture, FollowsThePreferencesFileAndTheSignals) {
  start();
  EXPECT_EQ(ask(), 3);  // no preferences: the system DNS answers
  writePreferences(true, "org1");
  ASSERT_TRUE(program->waitForOutput("stub startProxy options={\"VendorData\":{\"--organizationId\":\"org1\"}}"));
  EXPECT_TRUE(waitUntil([&] { return ask() == 5; }, 5s));
  writePreferences(true, "org2");
  ASSERT_TRUE(program->waitForOutput("stub startProxy options={\"VendorData\":{\"--organizationId\":\"org2\"}}"));
  EXPECT_EQ(program->countInOutput("stub stopProxy NEProviderStopReason(rawValue: 11)"), 1u);
  program->terminate(SIGUSR1);
  EXPECT_TRUE(program->waitForOutput("stub sleep"));
  program->terminate(SIGUSR2);
  EXPECT_TRUE(program->waitForOutput("stub wake"));
  writePreferences(false, "org2");
  ASSERT_TRUE(program->waitForOutput("stub stopProxy NEProviderStopReason(rawValue: 9)"));
  EXPECT_EQ(ask(), 3);
  writePreferences(true, "org3");
  ASSERT_TRUE(program->waitForOutput("org3"));
  program->terminate(SIGTERM);
  ASSERT_TRUE(program->waitExit(10s));
  EXPECT_EQ(program->exitStatus(), 0);
  EXPECT_TRUE(program->waitForOutput("stub stopProxy NEProviderStopReason(rawValue: 1)", 1s));
}

TEST_F(ProgramFixture, TcpGoesToTheSystem) {
  // A TCP upstream on a free port stands in for the system DNS.
  std::string error;
  start();
  int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // The system DNS here serves UDP only: the connection is accepted and
  // then ends when the upstream refuses.
  ASSERT_EQ(connect(client, listen.sockaddrPtr(), listen.length()), 0);
  timeval tv{5, 0};
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char byte;
  EXPECT_EQ(recv(client, &byte, 1, 0), 0);
  close(client);
}

TEST(ExtensionHostProgram, BadOptionsExitWithUsage) {
  TempDir root;
  ChildProcess program({std::string(VARDENO_BINARY_DIR) + "/tests/stub_proxyext", "--listen", "nowhere"}, {},
                       root.path() + "/output.txt");
  ASSERT_TRUE(program.waitExit(10s));
  EXPECT_EQ(program.exitStatus(), 2);
  EXPECT_NE(program.output().find("usage:"), std::string::npos);
}

}  // namespace
