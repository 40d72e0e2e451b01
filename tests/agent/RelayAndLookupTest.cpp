#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "AgentFixture.h"
#include "agent/UDPLogger.h"
#include "agent/UserDataResponse.h"
#include "platform/foundation/HttpTask.h"
#include "platform/foundation/Log.h"

using namespace std::chrono_literals;

namespace {

int boundSocket(int type, int& port) {
  int fd = socket(AF_INET, type, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

// Receives one datagram within the deadline; "" on time-out.
std::string receive(int fd, sockaddr_in* from = nullptr) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 5000) <= 0) return "";
  char buf[2048];
  socklen_t len = sizeof(sockaddr_in);
  ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(from), from ? &len : nullptr);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

struct HttpAnswer {
  int status;
  std::string body;
  std::string headers{};  // extra header lines, each ending in CRLF
};

// Serves the scripted answers in order (the last one repeats), one per connection.
class HttpServer {
 public:
  explicit HttpServer(std::vector<HttpAnswer> answers) : answers_(std::move(answers)) {
    fd_ = boundSocket(SOCK_STREAM, port_);
    listen(fd_, 8);
    thread_ = std::thread([this] { loop(); });
  }
  ~HttpServer() {
    stop_ = true;
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<std::string> paths() {
    std::lock_guard l(m_);
    return paths_;
  }

 private:
  void loop() {
    for (std::size_t i = 0; !stop_; ++i) {
      int c = accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      std::string request;
      char buf[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = read(c, buf, sizeof buf);
        if (n <= 0) break;
        request.append(buf, static_cast<size_t>(n));
      }
      {
        std::lock_guard l(m_);
        auto sp = request.find(' ');
        paths_.push_back(request.substr(sp + 1, request.find(' ', sp + 1) - sp - 1));
      }
      const auto& [status, body, headers] = answers_[std::min(i, answers_.size() - 1)];
      std::string reply = "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n" + headers + "Connection: close\r\n\r\n" + body;
      (void)!write(c, reply.data(), reply.size());
      close(c);
    }
  }
  std::vector<HttpAnswer> answers_;
  int fd_ = -1, port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex m_;
  std::vector<std::string> paths_;
  std::thread thread_;
};

struct LookupFixture : agenttest::AgentFixture {
  explicit LookupFixture(const std::string& apiHost) {
    agent::AgentEnvironment env = app->environment();
    env.apiHost = apiHost;
    env.http = std::make_shared<platform::HttpSession>(platform::DispatchQueue::global(),
                                                       platform::HttpSession::Limits{});
    app = std::make_shared<agent::AppDelegate>(env);
    app->manager = proxy;
    app->parsedConfArgs = agent::StringMap{{"--organizationId", "c1"}};
  }
  // Runs the manual main queue until `done`, bounded in time.
  bool runUntil(const std::function<bool()>& done) {
    return platform::waitUntil([&] {
      queue->runPending();
      return done();
    }, 20s);
  }
};

}  // namespace

TEST(UDPLogger, RequestOnReadyLinesAndReply) {
  int port = 0;
  int relay = boundSocket(SOCK_DGRAM, port);
  agent::UDPLogger logger(platform::NWEndpoint{"127.0.0.1", port});
  logger.sendAgentLog("before setup");  // nothing: no connection yet
  std::mutex m;
  std::optional<std::string> reply;
  logger.setup([&](const std::vector<uint8_t>& bytes) {
    std::lock_guard l(m);
    reply = std::string(bytes.begin(), bytes.end());
  });
  sockaddr_in from{};
  EXPECT_EQ(receive(relay, &from), "&*requestCU");
  sendto(relay, "jdoe", 4, 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
  ASSERT_TRUE(platform::waitUntil([&] { std::lock_guard l(m); return reply.has_value(); }, 10s));
  EXPECT_EQ(*reply, "jdoe");
  logger.sendAgentLog("line");
  logger.sendAgentLog(std::nullopt);
  logger.sendUpdateCurrentUser("");
  EXPECT_EQ(receive(relay), "&*ALline");
  EXPECT_EQ(receive(relay), "&*AL<nil>");
  EXPECT_EQ(receive(relay), "&*updateCU");
  close(relay);
}

TEST(UDPLogger, RelayStartingLaterStillGetsLines) {
  int port = 0;
  int probe = boundSocket(SOCK_DGRAM, port);
  close(probe);  // nobody listens: the first datagrams are refused
  agent::UDPLogger logger(platform::NWEndpoint{"127.0.0.1", port});
  platform::LogCapture log;
  logger.setup(nullptr);
  logger.sendAgentLog("lost");
  ASSERT_TRUE(log.waitFor("Agent Udp logger State: Ready", 10s));
  int relay = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  ASSERT_EQ(bind(relay, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  std::string got;
  ASSERT_TRUE(platform::waitUntil([&] {
    logger.sendAgentLog("later");
    got = receive(relay);
    return got == "&*ALlater";
  }, 10s));
  EXPECT_NE(logger.connection()->state().kind, platform::NWConnectionState::failed);
  close(relay);
}

namespace {

// A relay connection whose sends complete a moment after they are made, on
// threads of their own, as a connection still getting ready does.
class SlowConnection : public platform::UdpConnection {
 public:
  ~SlowConnection() override {
    for (auto& t : threads_) t.join();
  }
  void setStateUpdateHandler(StateHandler) override {}
  void start(std::shared_ptr<platform::DispatchQueue>) override {}
  void send(std::vector<uint8_t> datagram, SendCompletion completion) override {
    std::lock_guard lock(mutex_);
    threads_.emplace_back([this, datagram = std::move(datagram), completion = std::move(completion)] {
      std::this_thread::sleep_for(30ms);  // the latency being simulated
      {
        std::lock_guard lock(mutex_);
        delivered_.emplace_back(datagram.begin(), datagram.end());
      }
      completion(std::nullopt);
    });
  }
  void receiveMessage(ReceiveCompletion) override {}
  void cancel() override {}
  platform::NWConnectionState state() const override { return {platform::NWConnectionState::preparing, {}}; }
  const platform::NWEndpoint& endpoint() const override { return endpoint_; }
  std::optional<std::string> currentPath() const override { return std::nullopt; }

  std::vector<std::string> delivered() {
    std::lock_guard lock(mutex_);
    return delivered_;
  }

 private:
  platform::NWEndpoint endpoint_{"127.0.0.1", 9};
  std::mutex mutex_;
  std::vector<std::thread> threads_;
  std::vector<std::string> delivered_;
};

}  // namespace

TEST(UDPLogger, ExitWaitsForTheLastRelayLines) {
  auto connection = std::make_shared<SlowConnection>();
  agenttest::AgentFixture f;
  agent::AgentEnvironment env = f.app->environment();
  env.udpLogger = std::make_shared<agent::UDPLogger>(
      platform::NWEndpoint{"127.0.0.1", 9}, platform::DispatchQueue::global(),
      [connection](const platform::NWEndpoint&) { return std::shared_ptr<platform::UdpConnection>(connection); });
  env.udpLogger->setup(nullptr);
  std::optional<std::vector<std::string>> deliveredAtExit;
  env.exit = [&](int) { deliveredAtExit = connection->delivered(); };
  auto app = std::make_shared<agent::AppDelegate>(env);
  app->manager = f.proxy;
  for (int i = 0; i < 5; ++i) app->relayLog("line " + std::to_string(i));
  app->configureDnsProxy(false, true);
  ASSERT_TRUE(platform::waitUntil([&] {
    f.queue->runPending();
    return deliveredAtExit.has_value();
  }, 10s));
  for (int i = 0; i < 5; ++i)
    EXPECT_NE(std::find(deliveredAtExit->begin(), deliveredAtExit->end(), "&*ALline " + std::to_string(i)),
              deliveredAtExit->end())
        << i;
  EXPECT_TRUE(env.udpLogger->flush(5s));
  EXPECT_EQ(deliveredAtExit->size(), connection->delivered().size());
}

TEST(UserLookup, PathEncodingTable) {
  EXPECT_EQ(agent::userLookupURL("https://h", "jdoe", "c1"), "https://h/config/getLdapUser/jdoe/c1");
  EXPECT_EQ(agent::userLookupURL("https://h", "j doe/../x?y#", "c 1"),
            "https://h/config/getLdapUser/j%20doe%2F..%2Fx%3Fy%23/c%201");
  struct Case {
    const char* user;
    const char* company;
    const char* url;
  } cases[] = {
      {".", "c1", "https://h/config/getLdapUser/%2E/c1"},
      {"..", "..", "https://h/config/getLdapUser/%2E%2E/%2E%2E"},
      {"...", "a.b", "https://h/config/getLdapUser/.../a.b"},
      {"", "c1", "https://h/config/getLdapUser//c1"},
      {"caf\xc3\xa9", "c%1", "https://h/config/getLdapUser/caf%C3%A9/c%251"},
  };
  for (const auto& c : cases) EXPECT_EQ(agent::userLookupURL("https://h", c.user, c.company), c.url) << c.user;
}

TEST(UserLookup, DecodeTable) {
  auto bytes = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
  struct Case {
    std::string body;
    std::optional<agent::UserDataResponse> expected;
  } cases[] = {
      {R"({"status":true,"email":"a@b","orgUnitId":"u1","x":1})", agent::UserDataResponse{true, "a@b", "u1"}},
      {R"({"status":false,"email":null})", agent::UserDataResponse{false, std::nullopt, std::nullopt}},
      {R"({"email":"a"})", std::nullopt},
      {R"({"status":"true"})", std::nullopt},
      {R"({"status":true,"orgUnitId":5})", std::nullopt},
      {"", std::nullopt},
      {"[1]", std::nullopt},
      {std::string(200000, '[') + std::string(200000, ']'), std::nullopt},
  };
  for (const auto& c : cases) {
    auto b = bytes(c.body);
    auto decoded = agent::UserDataResponse::decode(b);
    if (c.expected) {
      ASSERT_TRUE(std::holds_alternative<agent::UserDataResponse>(decoded)) << c.body;
      EXPECT_EQ(std::get<agent::UserDataResponse>(decoded), *c.expected);
    } else {
      EXPECT_TRUE(std::holds_alternative<std::string>(decoded)) << c.body.substr(0, 40);
    }
  }
  agent::UserDataResponse r{true, std::nullopt, "u"};
  EXPECT_EQ(r.encode(), nlohmann::json({{"status", true}, {"orgUnitId", "u"}}));
}

TEST(UserLookup, AnswerSetsKeysAndRestartsOnce) {
  HttpServer server({{200, R"({"status":true,"email":"j@x","orgUnitId":"u1"})"}});
  LookupFixture f(server.url());
  platform::LogCapture log;
  f.app->retriveUserDataBy("c1", "jdoe", f.app->userDataResultHandler("c1", "jdoe"));
  ASSERT_TRUE(f.runUntil([&] { return log.contains("restart proxy"); }));
  EXPECT_EQ(server.paths(), std::vector<std::string>{"/config/getLdapUser/jdoe/c1"});
  EXPECT_EQ((*f.app->parsedConfArgs)["userEmail"], "j@x");
  EXPECT_EQ((*f.app->parsedConfArgs)["orgUnitId"], "u1");
  f.queue->advance(1s);
  f.queue->runPending();
  auto saved = f.savedFile()["providerProtocol"]["providerConfiguration"];
  EXPECT_EQ(saved["userEmail"], "j@x");
  EXPECT_EQ(saved["orgUnitId"], "u1");
  EXPECT_EQ(log.count("restart proxy"), 1u);
}

TEST(UserLookup, RetryAfterServerErrorThenAnswer) {
  HttpServer server({{500, "<html>oops</html>"}, {200, R"({"status":true,"email":"j@x","orgUnitId":"u1"})"}});
  LookupFixture f(server.url());
  platform::LogCapture log;
  f.app->retriveUserDataBy("c1", "jdoe", f.app->userDataResultHandler("c1", "jdoe"));
  ASSERT_TRUE(f.runUntil([&] { return log.contains("JSON decoder, error: "); }));
  ASSERT_TRUE(f.runUntil([&] { return f.queue->pendingCount() == 1; }));
  EXPECT_EQ(server.paths().size(), 1u);
  f.queue->advance(1999ms);
  EXPECT_EQ(server.paths().size(), 1u);
  f.queue->advance(1ms);
  ASSERT_TRUE(f.runUntil([&] { return log.contains("restart proxy"); }));
  EXPECT_EQ(server.paths().size(), 2u);
  EXPECT_TRUE(log.contains("init user data"));
}

TEST(UserLookup, StatusFalseAndNotFoundWithBody) {
  struct Case {
    int status;
    std::string body;
  } cases[] = {{200, R"({"status":false,"email":"j@x"})"}, {404, R"({"status":true,"email":"j@x"})"}};
  for (const auto& c : cases) {
    HttpServer server({{c.status, c.body}});
    LookupFixture f(server.url());
    (*f.app->parsedConfArgs)["userEmail"] = "old";
    platform::LogCapture log;
    f.app->retriveUserDataBy("c1", "jdoe", f.app->userDataResultHandler("c1", "jdoe"));
    ASSERT_TRUE(f.runUntil([&] { return log.contains("restart proxy"); }));
    EXPECT_TRUE(log.contains("getting user data, status = false,  error, nil, userData: Optional("));
    EXPECT_EQ(f.app->parsedConfArgs->count("userEmail"), 0u);
    f.queue->advance(1s);
    f.queue->runPending();
    EXPECT_EQ(f.savedFile()["providerProtocol"]["providerConfiguration"]["userEmail"], "");
  }
}

TEST(UserLookup, DotNamesAreLookedUpAndRestartTheProxy) {
  for (const std::string name : {".", ".."}) {
    HttpServer server({{200, R"({"status":true,"email":"j@x","orgUnitId":"u1"})"}});
    LookupFixture f(server.url());
    platform::LogCapture log;
    f.app->retriveUserDataBy("c1", name, f.app->userDataResultHandler("c1", name));
    ASSERT_TRUE(f.runUntil([&] { return log.contains("restart proxy"); })) << name;
    std::string encoded = name == "." ? "%2E" : "%2E%2E";
    EXPECT_EQ(server.paths(), std::vector<std::string>{"/config/getLdapUser/" + encoded + "/c1"});
    EXPECT_EQ((*f.app->parsedConfArgs)["orgUnitId"], "u1");
  }
}

TEST(UserLookup, FollowsRedirectsToTheAnswer) {
  const std::string answer = R"({"status":true,"email":"j@x","orgUnitId":"u1"})";
  HttpServer server({{301, "moved", "Location: /moved/once\r\n"}, {302, "", "Location: /moved/twice\r\n"},
                     {200, answer}});
  LookupFixture f(server.url());
  platform::LogCapture log;
  f.app->retriveUserDataBy("c1", "jdoe", f.app->userDataResultHandler("c1", "jdoe"));
  ASSERT_TRUE(f.runUntil([&] { return log.contains("restart proxy"); }));
  EXPECT_EQ(server.paths(), (std::vector<std::string>{"/config/getLdapUser/jdoe/c1", "/moved/once", "/moved/twice"}));
  EXPECT_EQ((*f.app->parsedConfArgs)["orgUnitId"], "u1");
  EXPECT_FALSE(log.contains("will try again"));
}

TEST(HttpSession, RedirectLimit) {
  // Five redirects are followed; a sixth fails the task.
  for (int redirects : {5, 6}) {
    std::vector<HttpAnswer> answers;
    for (int i = 0; i < redirects; ++i)
      answers.push_back({307, "", "Location: /hop" + std::to_string(i + 1) + "\r\n"});
    answers.push_back({200, "done"});
    HttpServer server(answers);
    platform::HttpSession session(platform::DispatchQueue::global(), platform::HttpSession::Limits{});
    std::mutex m;
    std::optional<platform::HttpResponse> got;
    session.dataTask(server.url() + "/start", [&](platform::HttpResponse r) { std::lock_guard l(m); got = r; });
    ASSERT_TRUE(platform::waitUntil([&] { std::lock_guard l(m); return got.has_value(); }, 20s));
    if (redirects == 5) {
      ASSERT_TRUE(got->data) << platform::optionalDescription(got->error);
      EXPECT_EQ(std::string(got->data->begin(), got->data->end()), "done");
      EXPECT_EQ(got->statusCode, 200);
    } else {
      EXPECT_FALSE(got->data);
      ASSERT_TRUE(got->error);
      EXPECT_EQ(got->error->code, platform::NSURLErrorHTTPTooManyRedirects);
    }
  }
}

TEST(HttpSession, BodyCapAndConnectionRefused) {
  std::string big(2 << 20, 'x');
  HttpServer server({{200, big}});
  platform::HttpSession session(platform::DispatchQueue::global(), platform::HttpSession::Limits{});
  std::mutex m;
  std::optional<platform::HttpResponse> got;
  session.dataTask(server.url() + "/x", [&](platform::HttpResponse r) { std::lock_guard l(m); got = r; });
  ASSERT_TRUE(platform::waitUntil([&] { std::lock_guard l(m); return got.has_value(); }, 20s));
  EXPECT_FALSE(got->data);
  ASSERT_TRUE(got->error);
  EXPECT_EQ(got->error->code, platform::NSURLErrorDataLengthExceedsMaximum);

  got.reset();
  session.dataTask("file:///etc/passwd", [&](platform::HttpResponse r) { std::lock_guard l(m); got = r; });
  ASSERT_TRUE(platform::waitUntil([&] { std::lock_guard l(m); return got.has_value(); }, 20s));
  EXPECT_FALSE(got->data);
}
