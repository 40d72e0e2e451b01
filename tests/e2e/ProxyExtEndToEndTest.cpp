// The extension program end to end: real sockets on loopback, a
// preferences file in a temporary VARDENO_ROOT, fake resolvers, a fake
// policy server and a fake relay; queries from raw sockets and dig.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <fstream>
#include <map>
#include <sstream>
#include <random>
#include <thread>
#include <regex>

#include "platform/foundation/ProcessRunner.h"
#include "platform/networkextension/ProviderPreferences.h"
#include "support/ChildProcess.h"
#include "support/ListeningLine.h"
#include "support/LoopbackUdp.h"
#include "tools/DnsQueryInspector.h"

using namespace platform;
using namespace testing_support;
using namespace std::chrono_literals;

namespace {

void appendRecord(Bytes& out, uint16_t type, const Bytes& rdata) {
  Bytes head = {0xC0, 0x0C, static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), 0, 1, 0, 0, 0x0E, 0x10,
                static_cast<uint8_t>(rdata.size() >> 8), static_cast<uint8_t>(rdata.size())};
  out.insert(out.end(), head.begin(), head.end());
  out.insert(out.end(), rdata.begin(), rdata.end());
}

// The answer a fake resolver sends: the question kept, AD and CD set,
// records chosen by type. Built from the query alone, so a test can
// rebuild exactly what the resolver sent.
std::optional<Bytes> fakeAnswer(const Bytes& query, uint8_t lastOctet) {
  auto q = vardenotools::inspect(query);
  if (!q || q->name.empty()) return std::nullopt;
  Bytes out(query.begin(), query.begin() + static_cast<long>(q->questionEnd));
  out[2] = 0x81;
  out[3] = 0xB0;  // RA, AD, CD
  out[4] = 0, out[5] = 1;
  std::fill(out.begin() + 6, out.begin() + 12, 0);
  uint16_t answers = 0;
  if (q->type == 16) {
    // Several strings, one without "=", in an order a re-encoder might change.
    Bytes txt;
    for (std::string s : {"zeta", "v=spf1 -all", "a"}) {
      txt.push_back(static_cast<uint8_t>(s.size()));
      txt.insert(txt.end(), s.begin(), s.end());
    }
    appendRecord(out, 16, txt);
    answers = 1;
  } else if (q->type == 15) {
    appendRecord(out, 15, Bytes{0, 10, 4, 'm', 'a', 'i', 'l', 0xC0, 0x0C});  // exchange compressed
    answers = 1;
  } else {
    appendRecord(out, 1, Bytes{192, 0, 2, lastOctet});
    answers = 1;
  }
  out[7] = static_cast<uint8_t>(answers);
  return out;
}

int64_t nowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string fdList(pid_t pid) {
  std::string out;
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      char link[256] = {0};
      if (readlink((dir + "/" + e->d_name).c_str(), link, sizeof link - 1) > 0) out += std::string(e->d_name) + " -> " + link + "\n";
    }
    closedir(d);
  }
  return out;
}

// A resolver that answers each query after `delay`, many at a time.
class DelayedResponder {
 public:
  using Answer = std::function<std::optional<Bytes>(const Bytes& query)>;
  DelayedResponder(Answer answer, std::chrono::milliseconds delay) : answer_(std::move(answer)), delay_(delay) {
    thread_ = std::thread([this] { loop(); });
  }
  ~DelayedResponder() {
    stop_ = true;
    thread_.join();
  }
  const SocketAddress& address() const { return socket_.local(); }
  size_t receivedCount() const { return received_.load(); }

 private:
  void loop() {
    struct Due {
      std::chrono::steady_clock::time_point at;
      SocketAddress peer;
      Bytes reply;
    };
    std::deque<Due> due;
    while (!stop_) {
      auto wait = 20ms;
      if (!due.empty())
        wait = std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(due.front().at - std::chrono::steady_clock::now()),
                          0ms, 20ms);
      SocketAddress peer;
      if (auto query = socket_.receive(wait, &peer)) {
        ++received_;
        if (auto reply = answer_(*query)) due.push_back({std::chrono::steady_clock::now() + delay_, peer, *reply});
      }
      while (!due.empty() && due.front().at <= std::chrono::steady_clock::now()) {
        socket_.sendTo(due.front().peer, due.front().reply);
        due.pop_front();
      }
    }
  }

  UdpSocket socket_;
  Answer answer_;
  std::chrono::milliseconds delay_;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> received_{0};
  std::thread thread_;
};

struct EndToEnd : ::testing::Test {
  TempDir root;
  std::atomic<bool> filteringSilent{false};
  UdpResponder filtering{[this](const Bytes& q) -> std::optional<Bytes> {
    if (filteringSilent) return std::nullopt;
    auto seen = vardenotools::inspect(q);
    if (seen && seen->name == "lost.example.") return std::nullopt;  // an answer lost on the way
    return fakeAnswer(q, 1);
  }};
  UdpResponder second{[](const Bytes& q) { return fakeAnswer(q, 2); }};
  UdpResponder mapped{[](const Bytes& q) { return fakeAnswer(q, 3); }};
  UdpResponder whitelisted{[](const Bytes& q) { return fakeAnswer(q, 4); }};
  UdpResponder systemDns{[](const Bytes& q) { return fakeAnswer(q, 5); }};
  UdpResponder policy{[this](const Bytes&) -> std::optional<Bytes> {
    std::string reply = R"({"status": true, "dnsServerSettings": [{"assignedDomains": ["white.example"], "dnsServerIP": ")" +
                        whitelisted.address().description() + R"("}]})";
    return Bytes(reply.begin(), reply.end());
  }};
  UdpSocket relay;
  std::unique_ptr<ChildProcess> program;
  SocketAddress listen;

  nlohmann::json configuration() {
    return {{"--organizationId", "org1"},
            {"orgUnitId", "unit7"},
            {"userEmail", "ana@example.com"},
            {"--filteringDNS", filtering.address().description()},
            {"--secondDNS", second.address().description()},
            {"--policyServer", policy.address().description()},
            {"--mappedDomains", "[corp.example:" + mapped.address().host() + ":" + std::to_string(mapped.address().port()) + "]"},
            {"--allowPackages", "dig"},
            {"--someNumber", 42}};
  }

  std::string preferencesPath() const { return root.path() + "/networkextension/dnsproxy.json"; }

  void savePreferences(const nlohmann::json& config) {
    ProviderPreferences p;
    p.enabled = true;
    p.localizedDescription = "Vardeno";
    p.providerBundleIdentifier = kProxyExtBundleIdentifier;
    p.serverAddress = "localhost";
    p.providerConfiguration = config;
    ASSERT_TRUE(p.save(preferencesPath()));
  }

  // `launcher`: words run before the program (e.g. prlimit and its options).
  void start(std::optional<nlohmann::json> config = std::nullopt, std::vector<std::string> launcher = {},
             std::vector<std::string> extraEnv = {}) {
    savePreferences(config ? *config : configuration());
    std::vector<std::string> argv = std::move(launcher);
    for (std::string word : {std::string(VARDENO_BIN_DIR) + "/com.vardeno.ruzadevirozo.proxyext",
                             std::string("--listen"), std::string("127.0.0.1:0"), std::string("--system-dns"),
                             systemDns.address().description()})
      argv.push_back(word);
    std::vector<std::string> env = {"VARDENO_ROOT=" + root.path(), "VARDENO_LOG=stderr",
                                    "VARDENO_RELAY_EXT_PORT=" + std::to_string(relay.local().port())};
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    program = std::make_unique<ChildProcess>(argv, env, root.path() + "/output.txt");
    auto bound = boundAddresses(program->firstLine());
    ASSERT_EQ(bound.size(), 1u) << program->output();
    listen = bound[0];
    // Flows go to the provider only once its start has completed.
    ASSERT_TRUE(program->waitForOutput("[NEHost] provider started", 30s)) << program->output();
  }

  std::optional<Bytes> ask(const Bytes& query, std::chrono::milliseconds wait = 5000ms) {
    UdpSocket client;
    client.sendTo(listen, query);
    return client.receive(wait);
  }

  std::string dig(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"dig", "@" + listen.host(), "-p", std::to_string(listen.port()), "+tries=1",
                                     "+time=5"};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessOptions options;
    options.timeLimit = 20s;
    return runProcess(argv, options).output;
  }

  void TearDown() override {
    if (HasFailure() && program) {
      // The end tells why; busy tests log megabytes.
      auto out = program->output();
      std::cerr << "--- program output ---\n" << out.substr(out.size() > 50000 ? out.size() - 50000 : 0) << "\n";
    }
  }
};

TEST_F(EndToEnd, FilteringResolverGetsTheOptionsAndTheAnswerIsWrittenUnchanged) {
  start();
  for (uint16_t type : {1, 16, 15}) {
    auto query = dnsQuery(0x4242, "news.example", type);
    auto before = nowMillis();
    auto answer = ask(query);
    ASSERT_TRUE(answer) << "type " << type;
    auto sent = filtering.received();
    ASSERT_FALSE(sent.empty());
    auto seen = vardenotools::inspect(sent.back());
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->name, "news.example.");
    EXPECT_EQ(seen->option(65001), "org1");
    EXPECT_EQ(seen->option(65002), "unit7");
    EXPECT_EQ(seen->option(65003), "ana@example.com");
    EXPECT_EQ(seen->option(65007), "1");
    auto stamp = seen->option(65015);
    ASSERT_TRUE(stamp);
    EXPECT_NEAR(static_cast<double>(std::stoll(*stamp)), static_cast<double>(before), 10'000.0);
    // Exactly the resolver's bytes: AD/CD, TXT order and strings, the MX pointer.
    EXPECT_EQ(*answer, *fakeAnswer(sent.back(), 1)) << "type " << type;
    EXPECT_EQ((*answer)[0], 0x42);
  }
  EXPECT_EQ(second.receivedCount() + mapped.receivedCount(), 0u);
}

TEST_F(EndToEnd, MappedAndWhitelistedDomainsGoToTheirResolversWithoutOptions) {
  start();
  auto answer = ask(dnsQuery(1, "www.intranet.corp.example"));
  ASSERT_TRUE(answer);
  ASSERT_EQ(mapped.receivedCount(), 1u);
  EXPECT_FALSE(vardenotools::inspect(mapped.received()[0])->hasOpt);
  EXPECT_EQ(answer->back(), 3);
  // The first flow fetched the policy: white.example has its own resolver.
  ASSERT_TRUE(waitUntil([&] { return policy.receivedCount() >= 1; }, 5s));
  auto request = policy.received()[0];
  EXPECT_EQ(std::string(request.begin(), request.end()), R"({"function": "localDNSMap","companyId": "org1"})");
  ASSERT_TRUE(waitUntil([&] {
    auto a = ask(dnsQuery(2, "white.example"), 2000ms);
    return a && a->back() == 4;
  }, 10s));
  auto seen = whitelisted.received();
  ASSERT_FALSE(seen.empty());
  EXPECT_FALSE(vardenotools::inspect(seen.back())->hasOpt);
}

// Node's resolver (c-ares) sends all its queries from one socket, so the
// extension reads several of them at once.
TEST_F(EndToEnd, ManyNamesFromOneSocketEachReachTheirOwnResolver) {
  start();
  std::vector<std::string> names;
  for (int i = 0; i < 20; ++i) {
    names.push_back("n" + std::to_string(i) + ".intranet.corp.example");
    names.push_back("pub" + std::to_string(i) + ".example");
  }
  const auto expected = [](const std::string& name) {
    return name.find("corp.example") != std::string::npos ? "192.0.2.3" : "192.0.2.1";
  };
  std::map<std::string, std::string> answers;
  if (runProcess({"node", "--version"}, ProcessOptions{.timeLimit = 10s}).succeeded()) {
    std::string script =
        "const {Resolver} = require('dns').promises;"
        "const r = new Resolver({timeout: 4000, tries: 2});"
        "r.setServers(['" + listen.description() + "']);"
        "const names = process.argv.slice(1);"
        "Promise.all(names.map(n => r.resolve4(n).then(a => n + ' ' + a[0], e => n + ' ' + e.code)))"
        ".then(lines => console.log(lines.join('\\n')));";
    std::vector<std::string> argv = {"node", "-e", script};
    argv.insert(argv.end(), names.begin(), names.end());
    auto result = runProcess(argv, ProcessOptions{.timeLimit = 60s});
    ASSERT_TRUE(result.succeeded()) << result.output;
    std::istringstream lines(result.output);
    for (std::string name, address; lines >> name >> address;) answers[name] = address;
  } else {
    // Without node: the same burst from one socket.
    UdpSocket client;
    for (size_t i = 0; i < names.size(); ++i) client.sendTo(listen, dnsQuery(static_cast<uint16_t>(i + 1), names[i]));
    for (size_t got = 0; got < names.size(); ++got) {
      auto answer = client.receive(5000ms);
      ASSERT_TRUE(answer) << got << " answers";
      const size_t index = (((*answer)[0] << 8) | (*answer)[1]) - 1;
      ASSERT_LT(index, names.size());
      answers[names[index]] = "192.0.2." + std::to_string(answer->back());
    }
  }
  size_t wrong = 0;
  for (const auto& name : names) {
    EXPECT_EQ(answers[name], expected(name)) << name;
    wrong += answers[name] != expected(name);
  }
  EXPECT_EQ(wrong, 0u);
  EXPECT_EQ(mapped.receivedCount(), 20u);
  for (const auto& query : mapped.received()) EXPECT_FALSE(vardenotools::inspect(query)->option(65001));
  for (const auto& query : filtering.received()) {
    auto seen = vardenotools::inspect(query);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->name.find("corp.example"), std::string::npos) << seen->name;
    EXPECT_EQ(seen->option(65001), "org1") << seen->name;
  }
}

// Labels go to the resolvers as the client wrote them: dig sees its own
// question in the answer.
TEST_F(EndToEnd, DigNamesWithADotOrBytesThatAreNotUtf8InALabel) {
  auto config = configuration();
  config.erase("--allowPackages");  // dig takes the filtering road
  start(config);
  auto out = dig({"+norecurse", "a\\.b.dotlabel.example"});
  EXPECT_NE(out.find("status: NOERROR"), std::string::npos) << out;
  EXPECT_EQ(out.find("mismatch"), std::string::npos) << out;
  EXPECT_NE(out.find("192.0.2.1"), std::string::npos) << out;
  ASSERT_FALSE(filtering.received().empty());
  const Bytes sent = filtering.received().back();
  const Bytes labels = {3, 'a', '.', 'b', 8, 'd', 'o', 't', 'l', 'a', 'b', 'e', 'l', 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 0};
  ASSERT_GE(sent.size(), 12 + labels.size());
  EXPECT_EQ(Bytes(sent.begin() + 12, sent.begin() + 12 + static_cast<long>(labels.size())), labels);
  EXPECT_EQ(vardenotools::inspect(sent)->option(65001), "org1");

  out = dig({"+norecurse", "caf\\233\\255.intranet.corp.example"});
  EXPECT_NE(out.find("status: NOERROR"), std::string::npos) << out;
  EXPECT_EQ(out.find("mismatch"), std::string::npos) << out;
  EXPECT_NE(out.find("192.0.2.3"), std::string::npos) << out;
  ASSERT_EQ(mapped.receivedCount(), 1u);
  const Bytes cafe = {5, 'c', 'a', 'f', 0xE9, 0xFF};
  const Bytes toMapped = mapped.received()[0];
  EXPECT_EQ(Bytes(toMapped.begin() + 12, toMapped.begin() + 18), cafe);
  EXPECT_FALSE(vardenotools::inspect(toMapped)->option(65001));
}

TEST_F(EndToEnd, AnAllowedApplicationGoesToTheSecondResolver) {
  start();
  // dig is in allowPackages; this test program is not.
  auto out = dig({"+short", "allowed.example"});
  EXPECT_NE(out.find("192.0.2.2"), std::string::npos) << out;
  ASSERT_GE(second.receivedCount(), 1u);
  // Forwarded as read: dig's own OPT record, none of ours.
  auto seen = vardenotools::inspect(second.received().back());
  EXPECT_FALSE(seen->option(65001) || seen->option(65015));
  auto answer = ask(dnsQuery(3, "allowed.example"));
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->back(), 1);
}

TEST_F(EndToEnd, DigSeesTheResolversRecords) {
  start();
  auto txt = dig({"+short", "TXT", "mail.corp-less.example"});
  EXPECT_NE(txt.find("\"zeta\" \"v=spf1 -all\" \"a\""), std::string::npos) << txt;
  auto mx = dig({"MX", "mx.example"});
  EXPECT_NE(mx.find("10 mail.mx.example."), std::string::npos) << mx;
  EXPECT_NE(mx.find(" ad cd"), std::string::npos) << mx;
}

TEST_F(EndToEnd, BypassCommandFromTheRelayHandsFlowsToTheSystem) {
  start();
  // The extension announces itself to the relay; answer it with a command.
  std::optional<Bytes> datagram;
  SocketAddress extension;
  for (auto deadline = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < deadline;) {
    datagram = relay.receive(1000ms, &extension);
    if (datagram && std::string(datagram->begin(), datagram->end()).find("started") != std::string::npos) break;
    datagram.reset();
  }
  ASSERT_TRUE(datagram) << "no \"started\" notification on the relay";
  std::string command = R"({"cmdType":"command","payload":"bypassAllOn"})";
  relay.sendTo(extension, Bytes(command.begin(), command.end()));
  ASSERT_TRUE(program->waitForOutput("Received command: bypassAllOn"));
  auto answer = ask(dnsQuery(9, "bypassed.example"));
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->back(), 5);  // the system DNS answered
  EXPECT_EQ(systemDns.receivedCount(), 1u);
}

TEST_F(EndToEnd, ASilentResolverNeitherCrashesNorLeaksDescriptors) {
  start();
  // Warm up with the same load answered: relay, policy, worker threads.
  std::vector<std::unique_ptr<UdpSocket>> clients;
  for (int i = 0; i < 10; ++i) clients.push_back(std::make_unique<UdpSocket>());
  for (int i = 0; i < 10; ++i) clients[i]->sendTo(listen, dnsQuery(static_cast<uint16_t>(i), "warm.example"));
  for (auto& c : clients) ASSERT_TRUE(c->receive());
  ASSERT_TRUE(waitUntil([&] { return policy.receivedCount() >= 1; }, 5s));
  std::this_thread::sleep_for(200ms);  // the answered flows finish their closes
  int baseline = program->openFdCount();
  filteringSilent = true;
  for (int i = 0; i < 10; ++i) clients[i]->sendTo(listen, dnsQuery(static_cast<uint16_t>(100 + i), "silent.example"));
  ASSERT_TRUE(waitUntil([&] { return filtering.receivedCount() >= 20; }, 10s)) << filtering.receivedCount();
  for (auto& c : clients) EXPECT_FALSE(c->receive(10ms));
  // After the resolver client's deadline the flows end and their sockets close.
  EXPECT_TRUE(waitUntil([&] { return program->openFdCount() <= baseline; }, 60s))
      << program->openFdCount() << " > " << baseline << "\n" << fdList(program->pid());
  filteringSilent = false;
  EXPECT_TRUE(ask(dnsQuery(2, "after.example")));
}

TEST_F(EndToEnd, HostileDatagramsDoNotStopTheNextQuery) {
  start();
  std::mt19937 random(7);
  std::vector<Bytes> hostile = {
      {},
      {0x12},
      {0x12, 0x34, 0x01, 0x00, 0x00},                                     // truncated header
      {0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0},             // question missing
      {0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0xC0, 0x0C, 0, 1, 0, 1},  // pointer to itself
      {0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0x3F, 'a'},  // label past the end
      {0x12, 0x34, 0x81, 0x80, 0x00, 0x01, 0x00, 0x05, 0, 0, 0, 0, 0, 0, 1, 0, 1},  // an "answer" with missing records
      {0x12, 0x34, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
  };
  for (int i = 0; i < 20; ++i) {
    Bytes noise(1 + random() % 600);
    for (auto& b : noise) b = static_cast<uint8_t>(random());
    hostile.push_back(noise);
  }
  Bytes loop = dnsQuery(0x5555, "loop.example");
  loop.resize(12);
  loop.insert(loop.end(), {0xC0, 0x0E, 0xC0, 0x0C, 0, 1, 0, 1});  // two pointers at each other
  hostile.push_back(loop);
  UdpSocket attacker;
  for (const auto& h : hostile) attacker.sendTo(listen, h);
  auto answer = ask(dnsQuery(0x7777, "after-hostile.example"));
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->back(), 1);
  EXPECT_FALSE(program->waitExit(10ms));  // still running
}

TEST_F(EndToEnd, ReportQueryIsPrintedAndStillAnswered) {
  start();
  ASSERT_TRUE(ask(dnsQuery(1, "first.example")));
  auto answer = ask(dnsQuery(2, "vardeno_osx_filter_tf_300_d."));
  ASSERT_TRUE(answer);
  auto sent = filtering.received();
  ASSERT_FALSE(sent.empty());
  auto seen = vardenotools::inspect(sent.back());
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->name, "vardeno_osx_filter_tf_300_d.");
  EXPECT_TRUE(program->waitForOutput("[DNS REQ FLOW] - took: "));
}

size_t residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6));
  return 0;
}

TEST_F(EndToEnd, MemoryReturnsAfterManyClientsWithLargeDatagrams) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizer allocators keep freed memory resident";
#endif
  start();
  ASSERT_TRUE(ask(dnsQuery(1, "warm.example")));
  ASSERT_TRUE(waitUntil([&] { return policy.receivedCount() >= 1; }, 5s));
  const size_t baseline = residentKiB(program->pid());
  // One large query per client: a question and a TXT record of ~64 KiB in
  // the additional section (which the injection replaces).
  constexpr int kClients = 3000;
  int answered = 0;
  for (int at = 0; at < kClients; at += 8) {
    std::vector<std::unique_ptr<UdpSocket>> batch;
    for (int i = at; i < std::min(at + 8, kClients); ++i) {
      Bytes query = dnsQuery(static_cast<uint16_t>(i), "large" + std::to_string(i) + ".example");
      query[11] = 1;  // one additional record
      const size_t size = 65'000 - query.size() - 11;
      Bytes record = {0, 0, 16, 0, 1, 0, 0, 0, 0, static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)};
      query.insert(query.end(), record.begin(), record.end());
      query.resize(65'000, 'x');
      batch.push_back(std::make_unique<UdpSocket>());
      batch.back()->sendTo(listen, query);
    }
    for (auto& client : batch) answered += client->receive(2000ms) ? 1 : 0;
  }
  EXPECT_GT(answered, kClients * 9 / 10);
  // Without the datagrams the records of 3,000 flows take a few MB; with
  // them it was about 200 MB.
  const size_t after = residentKiB(program->pid());
  EXPECT_LT(after, baseline + 48 * 1024) << "baseline " << baseline << " KiB, after " << after << " KiB";
}

TEST_F(EndToEnd, ALineFeedInANameCannotForgeALogLine) {
  start();
  ASSERT_TRUE(ask(dnsQuery(1, "evil\n2026-01-01 00:00:00.000 forged[1:1] line.example")));
  ASSERT_TRUE(program->waitForOutput("[DNS REQ FLOW] - took: "));
  // Every log line the program writes carries the log prefix (a line ending
  // in a line feed leaves an empty one).
  const std::regex prefix(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} [^ ]+\[\d+:\d+\] )");
  std::istringstream lines(program->output());
  std::string line;
  std::getline(lines, line);  // listening on ...
  size_t checked = 0;
  while (std::getline(lines, line)) {
    // The relay channel's print to standard output is not a log line.
    if (line.empty() || line == "Xpc Udp This is stateUpdateHandler:") continue;
    ++checked;
    EXPECT_TRUE(std::regex_search(line, prefix)) << line;
  }
  EXPECT_GT(checked, 20u);
  EXPECT_NE(program->output().find("name = evil\\n2026-01-01"), std::string::npos);
}

TEST_F(EndToEnd, FlowReportsListTheAnsweredFlowsOwnKey) {
  start();
  ASSERT_TRUE(ask(dnsQuery(1, "keys.example")));
  ASSERT_TRUE(program->waitForOutput("[DNS REQ FLOW] - took: "));
  std::smatch hash;
  const std::string output = program->output();
  ASSERT_TRUE(std::regex_search(output, hash, std::regex(R"(\[DNS REQ FLOW\] - took: .*, hash - (\d+),)")));
  EXPECT_NE(output.find("flow reports: [\"" + hash[1].str() + "\"]"), std::string::npos);
}

TEST_F(EndToEnd, StopSendsStoppedToTheRelayAndExitsCleanly) {
  start();
  ASSERT_TRUE(ask(dnsQuery(1, "x.example")));
  program->terminate(SIGTERM);
  bool stopped = false;
  for (auto deadline = std::chrono::steady_clock::now() + 10s; !stopped && std::chrono::steady_clock::now() < deadline;) {
    auto d = relay.receive(500ms);
    stopped = d && std::string(d->begin(), d->end()).find("\"stopped\"") != std::string::npos;
  }
  EXPECT_TRUE(stopped);
  ASSERT_TRUE(program->waitExit(10s));
  EXPECT_EQ(program->exitStatus(), 0);
}

TEST_F(EndToEnd, ALostAnswerDelaysOnlyItsOwnQuery) {
  start();
  UdpSocket client;
  client.sendTo(listen, dnsQuery(0x0100, "lost.example"));
  ASSERT_TRUE(waitUntil([&] { return filtering.receivedCount() >= 1; }, 5s));
  // Later queries from the same socket are forwarded while the lost one waits.
  std::chrono::nanoseconds slowest{0};
  for (uint16_t id = 1; id <= 20; ++id) {
    auto query = dnsQuery(id, "next" + std::to_string(id) + ".example");
    auto sentAt = std::chrono::steady_clock::now();
    client.sendTo(listen, query);
    auto answer = client.receive(3000ms);
    ASSERT_TRUE(answer) << "query " << id;
    slowest = std::max(slowest, std::chrono::steady_clock::now() - sentAt);
    EXPECT_EQ((*answer)[0] << 8 | (*answer)[1], id);
  }
  std::cout << "slowest answer behind a lost one: "
            << std::chrono::duration_cast<std::chrono::microseconds>(slowest).count() << " us\n";
}

TEST_F(EndToEnd, AResolverThatIsTheProxysOwnListenAddressIsRefusedAndDoesNotLoop) {
  start();
  ASSERT_TRUE(ask(dnsQuery(1, "warm.example")));
  // Map a domain to the proxy itself; the provider restarts with it.
  auto config = configuration();
  config["--mappedDomains"] = "[loop.example:127.0.0.1:" + std::to_string(listen.port()) + "]";
  savePreferences(config);
  ASSERT_TRUE(waitUntil([&] { return program->countInOutput("[NEHost] provider started") >= 2; }, 30s))
      << program->output();
  ASSERT_TRUE(ask(dnsQuery(2, "warm.example")));
  ASSERT_TRUE(waitUntil([&] { return program->countInOutput("handleInBoundDatagram -> write datagrams") >= 2; }, 5s));
  const int baselineFds = program->openFdCount();
  const size_t baselineFlows = program->countInOutput("handleNewUDPFlow, hash = ");

  std::vector<std::unique_ptr<UdpSocket>> clients;
  for (uint16_t id = 0; id < 5; ++id) {
    clients.push_back(std::make_unique<UdpSocket>());
    clients.back()->sendTo(listen, dnsQuery(static_cast<uint16_t>(0x100 + id), "loop.example"));
  }
  int mostFds = 0;
  const bool refused = waitUntil([&] {
    mostFds = std::max(mostFds, program->openFdCount());
    return program->countInOutput("): it is one of this process's own listen addresses") >= 5;
  }, 10s);
  std::cout << "descriptors while the loop case runs: at most " << mostFds << " (baseline " << baselineFds << ")\n";
  EXPECT_TRUE(refused) << program->countInOutput("handleNewUDPFlow, hash = ") - baselineFlows << " new flows";
  // One flow per query: none of the proxy's own forwards came back as a flow.
  EXPECT_EQ(program->countInOutput("handleNewUDPFlow, hash = ") - baselineFlows, 5u);
  EXPECT_LE(mostFds, baselineFds + 10);
  EXPECT_EQ(mapped.receivedCount(), 0u);
  // The rest of the road goes on.
  auto answer = ask(dnsQuery(3, "afterwards.example"));
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->back(), 1);
}

TEST_F(EndToEnd, TheProgramTakesItsHardDescriptorLimit) {
  start(std::nullopt, {"/usr/bin/prlimit", "--nofile=256:4096", "--"});
  std::ifstream in("/proc/" + std::to_string(program->pid()) + "/limits");
  std::string line;
  std::string found;
  while (std::getline(in, line))
    if (line.rfind("Max open files", 0) == 0) found = line;
  EXPECT_TRUE(std::regex_search(found, std::regex("Max open files +4096 +4096"))) << found;
}

TEST_F(EndToEnd, RunningOutOfDescriptorsKeepsTheProviderRunning) {
  // The undefined-behaviour sanitizer probes memory through a pipe when it
  // checks a dynamic type; with no descriptor left it reports a type
  // mismatch that is not there and stops the program.
  std::string suppressions = root.path() + "/ubsan.supp";
  std::ofstream(suppressions) << "vptr:*\n";
  const char* ubsan = std::getenv("UBSAN_OPTIONS");
  start(std::nullopt, {}, {"UBSAN_OPTIONS=" + std::string(ubsan ? ubsan : "") + ":suppressions=" + suppressions});
  ASSERT_TRUE(ask(dnsQuery(1, "warm.example")));
  ASSERT_TRUE(waitUntil([&] { return policy.receivedCount() >= 1; }, 5s));
  // A few descriptors above what it uses now: a silent resolver's flows
  // hold them until the resolver client's deadline.
  int limit = program->openFdCount() + 6;
  ProcessOptions options;
  options.timeLimit = 10s;
  options.mergeStderr = true;
  auto set = runProcess({"/usr/bin/prlimit", "--pid", std::to_string(program->pid()),
                         "--nofile=" + std::to_string(limit) + ":" + std::to_string(limit)},
                        options);
  ASSERT_TRUE(set.succeeded()) << set.output;
  filteringSilent = true;
  // New flows keep taking any descriptor that comes free, until the
  // watcher, reading the same preferences written again, meets the
  // shortage too.
  bool logged = false, stopped = false;
  for (auto deadline = std::chrono::steady_clock::now() + 20s;
       !logged && !stopped && std::chrono::steady_clock::now() < deadline;) {
    for (int i = 0; i < 20; ++i) UdpSocket().sendTo(listen, dnsQuery(static_cast<uint16_t>(i), "silent.example"));
    savePreferences(configuration());
    // Paced: a few flows hold every descriptor for the resolver's deadline,
    // and a flood's log lines would crowd out the one this test waits for.
    logged = waitUntil([&] { return program->countInOutput("cannot use DNS proxy preferences") > 0; }, 100ms);
    stopped = program->countInOutput("stopProxy") > 0;
  }
  ASSERT_FALSE(stopped);
  ASSERT_TRUE(logged) << program->openFdCount() << " descriptors; lines dropped by the log: "
                      << program->countInOutput("log lines dropped");
  filteringSilent = false;
  // Once the silent flows end, filtering answers again; the system never did.
  EXPECT_TRUE(waitUntil([&] {
    auto answer = ask(dnsQuery(2, "after.example"), 1000ms);
    return answer && answer->back() == 1;
  }, 30s)) << (program->waitExit(0ms) ? "the program exited" : fdList(program->pid()));
  EXPECT_EQ(program->countInOutput("stopProxy"), 0u);
  EXPECT_EQ(program->countInOutput("[NEHost] provider started"), 1u);
  EXPECT_EQ(systemDns.receivedCount(), 0u);
}

TEST_F(EndToEnd, RestartsUnderLoadLoseNoAnswer) {
  // Answers take a while, so every restart finds some in flight.
  DelayedResponder slow([](const Bytes& q) { return fakeAnswer(q, 1); }, 200ms);
  auto config = configuration();
  config["--filteringDNS"] = slow.address().description();
  start(config);
  ASSERT_FALSE(HasFatalFailure());

  constexpr int kClients = 8;
  std::atomic<bool> stop{false};
  std::atomic<int> answered{0}, lost{0};
  std::vector<std::thread> clients;
  struct Joiner {
    std::atomic<bool>& stop;
    std::vector<std::thread>& threads;
    ~Joiner() {
      stop = true;
      for (auto& t : threads)
        if (t.joinable()) t.join();
    }
  } joiner{stop, clients};
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      UdpSocket socket;
      for (uint16_t n = 0; !stop; ++n) {
        const uint16_t id = static_cast<uint16_t>(c << 12 | (n & 0x0FFF));
        socket.sendTo(listen, dnsQuery(id, "load" + std::to_string(c) + ".example"));
        bool got = false;
        for (auto deadline = std::chrono::steady_clock::now() + 5s; !got && std::chrono::steady_clock::now() < deadline;) {
          auto answer = socket.receive(500ms);
          got = answer && answer->size() >= 2 && (((*answer)[0] << 8) | (*answer)[1]) == id;
        }
        (got ? answered : lost)++;
      }
    });
  }
  for (int i = 0; i < 30; ++i) {
    // Some answers between restarts, so load is always in flight.
    int before = answered.load();
    ASSERT_TRUE(waitUntil([&] { return answered.load() >= before + kClients; }, 10s)) << "restart " << i;
    config["--someNumber"] = i;
    savePreferences(config);
    ASSERT_TRUE(waitUntil([&] { return program->countInOutput("[NEHost] provider started") >= static_cast<size_t>(i + 2); },
                          10s))
        << "restart " << i;
  }
  stop = true;
  for (auto& t : clients) t.join();
  EXPECT_EQ(lost.load(), 0) << "answered " << answered.load();
  // Queries that came while a provider restarted waited for the next one:
  // none was answered by the system resolver, unfiltered.
  EXPECT_EQ(systemDns.receivedCount(), 0u);
  EXPECT_GT(answered.load(), 30 * kClients);
  EXPECT_EQ(program->countInOutput("stopProxy, reason: "), 30u);
}


TEST_F(EndToEnd, QueriesInFlightAreAnsweredBeforeTheProgramExitsOnSigterm) {
  // Before, SIGTERM exited at once: none of 200 queries waiting for a slow
  // resolver was answered, and each client waited for its retry.
  DelayedResponder slow([](const Bytes& q) { return fakeAnswer(q, 1); }, 300ms);
  auto config = configuration();
  config["--filteringDNS"] = slow.address().description();
  start(config);
  ASSERT_FALSE(HasFatalFailure());
  std::vector<std::unique_ptr<UdpSocket>> clients;
  for (int i = 0; i < 200; ++i) {
    clients.push_back(std::make_unique<UdpSocket>());
    clients.back()->sendTo(listen, dnsQuery(static_cast<uint16_t>(i), "term" + std::to_string(i) + ".example"));
  }
  ASSERT_TRUE(waitUntil([&] { return slow.receivedCount() >= 200; }, 10s)) << slow.receivedCount();
  program->terminate(SIGTERM);
  int answered = 0;
  for (auto& client : clients) answered += client->receive(3000ms) ? 1 : 0;
  EXPECT_EQ(answered, 200);
  ASSERT_TRUE(program->waitExit(5s));
  EXPECT_EQ(program->exitStatus(), 0);
}

TEST_F(EndToEnd, AFloodOfLargeUnansweredDatagramsIsBoundedInMemoryAndOthersAreServed) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizer allocators keep freed memory resident";
#endif
  // Before, 100 sockets of 128 datagrams of 60 KB that no resolver answers
  // took the program from 17 MB to 750 MB until their deadline.
  start();
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_TRUE(ask(dnsQuery(1, "warm.example")));
  const size_t baseline = residentKiB(program->pid());
  filteringSilent = true;
  Bytes junk = dnsQuery(2, "junk.example");
  junk.resize(60'000, 'j');
  std::vector<std::unique_ptr<UdpSocket>> flooders;
  for (int i = 0; i < 100; ++i) flooders.push_back(std::make_unique<UdpSocket>());
  size_t peak = baseline;
  for (int round = 0; round < 128; ++round) {
    for (auto& f : flooders) f->sendTo(listen, junk);
    if (round % 16 == 15) peak = std::max(peak, residentKiB(program->pid()));
  }
  // A client of a mapped domain is answered during the flood.
  auto answer = ask(dnsQuery(3, "host.corp.example"));
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->back(), 3);
  peak = std::max(peak, residentKiB(program->pid()));
  EXPECT_LT(peak, baseline + 100 * 1024) << "baseline " << baseline << " KiB, peak " << peak << " KiB";
}

TEST_F(EndToEnd, WithoutPreferencesTheProgramSaysWhatItWaitsFor) {
  std::vector<std::string> argv = {std::string(VARDENO_BIN_DIR) + "/com.vardeno.ruzadevirozo.proxyext", "--listen",
                                   "127.0.0.1:0", "--system-dns", systemDns.address().description()};
  program = std::make_unique<ChildProcess>(argv, std::vector<std::string>{"VARDENO_ROOT=" + root.path(), "VARDENO_LOG=stderr"},
                                           root.path() + "/output.txt");
  ASSERT_TRUE(program->waitForOutput("[NEHost] no DNS proxy preferences at " + preferencesPath(), 10s))
      << program->output();
  EXPECT_TRUE(program->waitForOutput("the system resolver answers every query until they appear"));
  listen = boundAddresses(program->firstLine())[0];
  ASSERT_TRUE(ask(dnsQuery(4, "before.example")));
  EXPECT_EQ(program->countInOutput("[NEHost] no DNS proxy preferences"), 1u);
}

}  // namespace
