// The whole system on loopback: the agent (as an unprivileged user) looks
// the user up on a loopback REST server and writes the preferences; the
// extension program picks them up and tags queries for a fake filtering
// resolver; the relay logs the agent's and the extension's lines; the
// control socket clicks the menu and posts sleep and wake; SIGTERM ends
// the agent with the proxy switched off.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstdio>
#include <thread>

#include "platform/foundation/ProcessRunner.h"
#include "platform/networkextension/ProviderPreferences.h"
#include "support/ChildProcess.h"
#include "support/LoopbackUdp.h"
#include "tools/DnsQueryInspector.h"

using namespace platform;
using namespace testing_support;
using namespace std::chrono_literals;

namespace {

Bytes answerWith(const Bytes& query, uint8_t lastOctet) {
  auto q = vardenotools::inspect(query);
  if (!q || q->name.empty()) return {};
  Bytes out(query.begin(), query.begin() + static_cast<long>(q->questionEnd));
  out[2] = 0x81, out[3] = 0x80;
  out[4] = 0, out[5] = 1, out[6] = 0, out[7] = 1;
  std::fill(out.begin() + 8, out.begin() + 12, 0);
  Bytes record = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2, lastOctet};
  out.insert(out.end(), record.begin(), record.end());
  return out;
}

// One-shot HTTP server on loopback answering every GET with `body`.
class RestServer {
 public:
  explicit RestServer(std::string body) : body_(std::move(body)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t len = sizeof(a);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    ::listen(fd_, 8);
    thread_ = std::thread([this] { serve(); });
  }
  ~RestServer() {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
  }
  int port() const { return port_; }
  std::vector<std::string> paths() const {
    std::lock_guard lock(mutex_);
    return paths_;
  }

 private:
  void serve() {
    for (;;) {
      int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      std::string request;
      char chunk[1024];
      while (request.find("\r\n\r\n") == std::string::npos) {
        auto n = ::recv(c, chunk, sizeof(chunk), 0);
        if (n <= 0) break;
        request.append(chunk, static_cast<size_t>(n));
      }
      auto first = request.substr(0, request.find("\r\n"));
      {
        std::lock_guard lock(mutex_);
        paths_.push_back(first);
      }
      std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                          std::to_string(body_.size()) + "\r\nConnection: close\r\n\r\n" + body_;
      ::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
      ::close(c);
    }
  }
  std::string body_;
  int fd_ = -1;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::string> paths_;
  std::thread thread_;
};

std::string control(const std::string& path, const std::string& line) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof(a.sun_path), "%s", path.c_str());
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) {
    std::string text = line + "\n";
    ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    char c;
    while (::recv(fd, &c, 1, 0) == 1 && c != '\n') reply.push_back(c);
  }
  ::close(fd);
  return reply;
}

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

struct System : ::testing::Test {
  // The machine-wide store, served to other users by the root extension
  // through its preferences service; the agent as nobody keeps its own
  // state apart. Both under the system's temporary folder, which nobody
  // can reach wherever the build tree lies.
  TempDir root{TempDir::SystemTemp{}};
  TempDir agentState{TempDir::SystemTemp{kNobody, kNogroup}};
  UdpResponder filtering{[](const Bytes& q) -> std::optional<Bytes> { return answerWith(q, 1); }};
  UdpResponder systemDns{[](const Bytes& q) -> std::optional<Bytes> { return answerWith(q, 5); }};
  RestServer rest{R"({"status": true, "email": "jdoe@c1.example", "orgUnitId": "unit-9"})"};
  // 0 until the relay has taken its ports and told them.
  int extPort = 0;
  int agentPort = 0;
  std::unique_ptr<ChildProcess> relay, extension, agent;
  SocketAddress listen;

  std::vector<std::string> env() {
    return {"VARDENO_ROOT=" + root.path(), "VARDENO_LOG=stderr", "VARDENO_GROUP=nogroup",
            "XDG_CONFIG_HOME=" + agentState.path() + "/config", "HOME=" + agentState.path(),
            "VARDENO_RELAY_EXT_PORT=" + std::to_string(extPort),
            "VARDENO_RELAY_AGENT_PORT=" + std::to_string(agentPort),
            "VARDENO_API_HOST=http://127.0.0.1:" + std::to_string(rest.port())};
  }

  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "runs the extension as root and the agent as nobody";
    relay = std::make_unique<ChildProcess>(std::vector<std::string>{std::string(VARDENO_BIN_DIR) + "/VardenoXPCservice"},
                                           env(), root.path() + "/relay.txt");
    const std::string told = "listening on extension port ";
    ASSERT_TRUE(relay->waitForOutput(told)) << relay->output();
    const std::string output = relay->output();
    ASSERT_EQ(std::sscanf(output.c_str() + output.find(told), "listening on extension port %d, agent port %d", &extPort,
                          &agentPort),
              2);
    ASSERT_GT(extPort, 0);
    ASSERT_GT(agentPort, 0);
    extension = std::make_unique<ChildProcess>(
        std::vector<std::string>{std::string(VARDENO_BIN_DIR) + "/com.vardeno.ruzadevirozo.proxyext", "--listen",
                                 "127.0.0.1:0", "--system-dns", systemDns.address().description()},
        env(), root.path() + "/extension.txt");
    auto first = extension->firstLine();
    auto at = first.rfind(' ');
    ASSERT_NE(at, std::string::npos) << extension->output();
    auto parsed = SocketAddress::parse(first.substr(at + 1));
    ASSERT_TRUE(parsed) << first;
    listen = *parsed;
    ASSERT_TRUE(waitUntil([&] { return ::access((root.path() + "/networkextension/manager.sock").c_str(), F_OK) == 0; },
                          10s)) << extension->output();
  }

  // As nobody: with its own group (served), or with `group` (refused).
  void startAgent(bool asNobody, std::vector<std::string> args = {}, gid_t group = kNogroup) {
    std::vector<std::string> argv;
    std::vector<std::string> environment = env();
    if (asNobody) {
      argv = {"/usr/bin/setpriv", "--reuid=" + std::to_string(kNobody), "--regid=" + std::to_string(group),
              "--clear-groups"};
      environment.push_back("VARDENO_STATE=" + agentState.path());
    }
    if (args.empty())
      args = {"--launcher", "launchd", "--organizationId", "c1", "--username", "jdoe", "--filteringDNS",
              filtering.address().description(), "--showDropDownMenu", "true"};
    argv.push_back(std::string(VARDENO_BIN_DIR) + "/Vardeno_for_OSX");
    argv.insert(argv.end(), args.begin(), args.end());
    agent = std::make_unique<ChildProcess>(argv, environment, agentState.path() + "/agent.txt");
  }

  std::optional<ProviderPreferences> prefs() {
    return ProviderPreferences::load(root.path() + "/networkextension/dnsproxy.json");
  }

  // The last octet of dig's first A answer, -1 when none.
  int dig(const std::string& name) {
    ProcessOptions options;
    options.timeLimit = 20s;
    auto out = runProcess({"dig", "@" + listen.host(), "-p", std::to_string(listen.port()), "+tries=1", "+time=3",
                           "+short", name},
                          options)
                   .output;
    auto dot = out.rfind("192.0.2.");
    return dot == std::string::npos ? -1 : std::atoi(out.c_str() + dot + 8);
  }

  void TearDown() override {
    if (HasFailure()) {
      for (auto* p : {agent.get(), extension.get(), relay.get()})
        if (p) std::cerr << "--- output ---\n" << p->output().substr(0, 15000) << "\n";
    }
  }
};

}  // namespace

TEST_F(System, TheAgentDeploysTheProxyAndTheMenuAndWorkspaceDriveIt) {
  startAgent(true);
  // Disabled, then enabled again with the lookup's keys.
  ASSERT_TRUE(waitUntil([&] {
    auto p = prefs();
    return p && p->enabled && p->providerConfiguration && p->providerConfiguration->value("orgUnitId", "") == "unit-9";
  }, 30s)) << agent->output();
  auto configuration = *prefs()->providerConfiguration;
  EXPECT_EQ(configuration.value("userEmail", ""), "jdoe@c1.example");
  EXPECT_EQ(configuration.value("--organizationId", ""), "c1");
  ASSERT_FALSE(rest.paths().empty());
  EXPECT_EQ(rest.paths()[0], "GET /config/getLdapUser/jdoe/c1 HTTP/1.1");

  ASSERT_TRUE(waitUntil([&] { return dig("news.example") == 1; }, 20s)) << extension->output();
  auto seen = vardenotools::inspect(filtering.received().back());
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->option(65001), "c1");
  EXPECT_EQ(seen->option(65002), "unit-9");
  EXPECT_EQ(seen->option(65003), "jdoe@c1.example");

  EXPECT_TRUE(relay->waitForOutput("Agent log: -------Launch Agent-------")) << relay->output();
  EXPECT_TRUE(relay->waitForOutput("got notification from Ext: ")) << relay->output();

  const auto socket = agentState.path() + "/agent/control.sock";
  EXPECT_EQ(control(socket, "menu"),
            R"(ok ["empty","Start Proxy","Stop Proxy","reinstallSysEx","Owner: nobody","Quit"])");
  EXPECT_EQ(control(socket, "click Stop Proxy"), "ok");
  ASSERT_TRUE(waitUntil([&] { return prefs() && !prefs()->enabled; }, 10s));
  EXPECT_TRUE(waitUntil([&] { return dig("off.example") == 5; }, 20s));

  EXPECT_EQ(control(socket, "notify didWake"), "ok");
  ASSERT_TRUE(waitUntil([&] { return prefs() && prefs()->enabled; }, 10s));
  EXPECT_TRUE(waitUntil([&] { return dig("on.example") == 1; }, 20s));
  EXPECT_EQ(control(socket, "notify willSleep"), "ok");
  ASSERT_TRUE(waitUntil([&] { return prefs() && !prefs()->enabled; }, 10s));
  EXPECT_EQ(control(socket, "notify didWake"), "ok");
  ASSERT_TRUE(waitUntil([&] { return prefs() && prefs()->enabled; }, 10s));

  agent->terminate(SIGTERM);
  ASSERT_TRUE(agent->waitExit(15s));
  EXPECT_EQ(agent->exitStatus(), 0);
  EXPECT_FALSE(prefs()->enabled);
  EXPECT_TRUE(agent->output().find("applicationShouldTerminate, reason = Optional(\"SIGTERM\")_") != std::string::npos);
}

TEST_F(System, AsRootTheAgentExitsThreeSecondsAfterASave) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  startAgent(false);
  ASSERT_TRUE(agent->waitExit(40s)) << agent->output();
  EXPECT_EQ(agent->exitStatus(), 0);
  EXPECT_TRUE(relay->waitForOutput("Agent log: Agent will not be terminated with  - 0, isRootSession: true"))
      << relay->output();
  ASSERT_TRUE(prefs());
}

TEST_F(System, AnAgentOutsideTheGroupIsRefusedAndNothingChanges) {
  // What a root deployment saved before.
  ProviderPreferences saved;
  saved.enabled = true;
  saved.providerBundleIdentifier = kProxyExtBundleIdentifier;
  saved.providerConfiguration = nlohmann::json{{"--organizationId", "c0"}};
  ASSERT_TRUE(saved.save(root.path() + "/networkextension/dnsproxy.json"));

  startAgent(true, {}, /*daemon*/ 1);
  EXPECT_TRUE(agent->waitForOutput("refused: uid 65534 is neither root nor a member of group nogroup", 30s))
      << agent->output();
  EXPECT_TRUE(extension->waitForOutput("[PreferencesService] refused: uid 65534")) << extension->output();
  // The menu's start is refused as well.
  EXPECT_EQ(control(agentState.path() + "/agent/control.sock", "click Start Proxy"), "ok");
  EXPECT_TRUE(agent->waitForOutput("nsError: Optional(Error Domain=NEConfigurationErrorDomain Code=5", 10s))
      << agent->output();
  EXPECT_EQ(prefs(), saved);
  struct stat st{};
  ASSERT_EQ(::stat((root.path() + "/networkextension/dnsproxy.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(System, LaunchArgumentsThatAreNotUtf8ReachThePreferencesOnEveryLaunchPath) {
  const std::string replaced2 = "\xef\xbf\xbd\xef\xbf\xbd";
  // Root starts save and exit 3 s later.
  for (std::string launcher : {"launchd", "installer", "mdmscript"}) {
    ::unlink((root.path() + "/networkextension/dnsproxy.json").c_str());
    startAgent(false, {"--launcher", launcher, "--organizationId", "", "--filteringDNS", "\xff\xfe"});
    ASSERT_TRUE(agent->waitExit(40s)) << launcher << "\n" << agent->output();
    EXPECT_EQ(agent->exitStatus(), 0) << launcher << "\n" << agent->output();
    auto p = prefs();
    ASSERT_TRUE(p && p->providerConfiguration) << launcher;
    EXPECT_EQ(p->providerConfiguration->value("--filteringDNS", ""), replaced2) << launcher;
  }
  // A user start as nobody saves the proxy off on quit.
  startAgent(true, {"--foo", "caf\xe9", "--showDropDownMenu", "true"});
  ASSERT_TRUE(waitUntil([&] { return control(agentState.path() + "/agent/control.sock", "menu").rfind("ok", 0) == 0; },
                        20s)) << agent->output();
  agent->terminate(SIGTERM);
  ASSERT_TRUE(agent->waitExit(15s)) << agent->output();
  EXPECT_EQ(agent->exitStatus(), 0) << agent->output();
  auto p = prefs();
  ASSERT_TRUE(p && p->providerConfiguration);
  EXPECT_FALSE(p->enabled);
  EXPECT_EQ(p->providerConfiguration->value("--foo", ""), "caf\xef\xbf\xbd");
}
