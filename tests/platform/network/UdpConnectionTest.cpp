#include "platform/network/UdpConnection.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using platform::DispatchQueue;
using platform::NWConnectionState;
using platform::NWEndpoint;
using platform::NWError;
using platform::UdpConnection;
using platform::waitUntil;

namespace {

using Bytes = std::vector<uint8_t>;
Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Loopback UDP echo server on an ephemeral port; stops in its destructor.
class EchoServer {
 public:
  explicit EchoServer(int family = AF_INET) {
    fd_ = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    timeval tv{0, 20'000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_storage ss{};
    socklen_t len;
    if (family == AF_INET) {
      auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
      sin->sin_family = AF_INET;
      sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      len = sizeof *sin;
    } else {
      auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
      sin6->sin6_family = AF_INET6;
      sin6->sin6_addr = in6addr_loopback;
      len = sizeof *sin6;
    }
    ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&ss), len) == 0 &&
          ::getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len) == 0;
    port_ = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&ss)->sin_port
                                    : reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    if (ok_) thread_ = std::thread([this] { run(); });
  }
  ~EchoServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
  }
  bool ok() const { return ok_; }
  int port() const { return port_; }
  int received() const { return received_.load(); }

 private:
  void run() {
    std::vector<uint8_t> buffer(65536);
    while (!stop_) {
      sockaddr_storage peer{};
      socklen_t len = sizeof peer;
      ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&peer), &len);
      if (n < 0) continue;
      received_.fetch_add(1);
      ::sendto(fd_, buffer.data(), static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr*>(&peer), len);
    }
  }

  int fd_ = -1;
  bool ok_ = false;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> received_{0};
  std::thread thread_;
};

// A port on which nothing listens (bound, read, closed).
int closedPort() {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sin;
  ::bind(fd, reinterpret_cast<sockaddr*>(&sin), len);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
  ::close(fd);
  return ntohs(sin.sin_port);
}

std::size_t openDescriptors() {
  std::size_t count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir)) ++count;
    ::closedir(dir);
  }
  return count;
}

bool ipv6Loopback() {
  int fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
  sockaddr_in6 sin6{};
  sin6.sin6_family = AF_INET6;
  sin6.sin6_addr = in6addr_loopback;
  bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&sin6), sizeof sin6) == 0;
  if (fd >= 0) ::close(fd);
  return ok;
}

// Records what a connection reports, in order.
struct Recorder {
  std::mutex mutex;
  std::vector<std::string> states;
  std::vector<std::string> events;

  UdpConnection::StateHandler stateHandler() {
    return [this](NWConnectionState s) {
      std::lock_guard lock(mutex);
      states.push_back(s.description());
    };
  }
  UdpConnection::ReceiveCompletion receive(std::string tag) {
    return [this, tag](std::optional<Bytes> data, bool complete, std::optional<NWError> error) {
      std::lock_guard lock(mutex);
      std::string text = tag + ":";
      if (data) text += std::string(data->begin(), data->end());
      text += complete ? ":complete" : ":incomplete";
      if (error) text += ":error " + std::to_string(error->code);
      events.push_back(text);
    };
  }
  UdpConnection::SendCompletion sent(std::string tag) {
    return [this, tag](std::optional<NWError> error) {
      std::lock_guard lock(mutex);
      events.push_back(tag + (error ? ":send error " + std::to_string(error->code) : ":sent"));
    };
  }
  std::vector<std::string> stateList() {
    std::lock_guard lock(mutex);
    return states;
  }
  std::vector<std::string> eventList() {
    std::lock_guard lock(mutex);
    return events;
  }
  bool hasState(const std::string& prefix) {
    std::lock_guard lock(mutex);
    for (auto& s : states)
      if (s.starts_with(prefix)) return true;
    return false;
  }
};

// Cancels and waits until the queue has delivered `cancelled`, so that no
// callback outlives the test's recorder.
void cancelAndWait(const std::shared_ptr<UdpConnection>& connection, Recorder& rec) {
  connection->cancel();
  EXPECT_TRUE(waitUntil([&] { return rec.hasState("cancelled"); }));
}

}  // namespace

TEST(UdpConnection, StateAndErrorTexts) {
  EXPECT_EQ((NWConnectionState{NWConnectionState::ready, std::nullopt}).description(), "ready");
  EXPECT_EQ((NWConnectionState{NWConnectionState::cancelled, std::nullopt}).description(), "cancelled");
  NWConnectionState failed{NWConnectionState::failed, NWError::posix(ECONNREFUSED)};
  EXPECT_EQ(failed.description(), "failed(POSIXErrorCode(rawValue: 111): Connection refused)");
  EXPECT_EQ(platform::optionalDescription(std::optional<NWError>(NWError::posix(ECONNREFUSED))),
            "Optional(POSIXErrorCode(rawValue: 111): Connection refused)");
  EXPECT_EQ(platform::optionalDescription(std::optional<NWError>()), "nil");
  EXPECT_EQ((NWEndpoint{"::1", 53}).description(), "[::1]:53");
  EXPECT_EQ((NWEndpoint{"192.0.2.1", 81}).description(), "192.0.2.1:81");
}

TEST(UdpConnection, SendsQueuedBeforeReadyAndReceivesServedInOrder) {
  EchoServer server;
  ASSERT_TRUE(server.ok());
  Recorder rec;
  auto queue = DispatchQueue::makeSerial("test.udp.fifo");
  auto connection = UdpConnection::create(NWEndpoint{"127.0.0.1", server.port()});
  connection->setStateUpdateHandler(rec.stateHandler());
  // Before start: these must wait for ready, then go out in order.
  connection->send(bytes("one"), rec.sent("s1"));
  connection->send(bytes("two"), rec.sent("s2"));
  connection->receiveMessage(rec.receive("r1"));
  connection->receiveMessage(rec.receive("r2"));
  connection->receiveMessage(rec.receive("r3"));
  connection->start(queue);
  connection->send(bytes("three"), rec.sent("s3"));
  ASSERT_TRUE(waitUntil([&] { return rec.eventList().size() == 6; }));
  std::vector<std::string> receives;
  for (auto& e : rec.eventList())
    if (e[0] == 'r') receives.push_back(e);
  EXPECT_EQ(receives, (std::vector<std::string>{"r1:one:complete", "r2:two:complete", "r3:three:complete"}));
  EXPECT_EQ(rec.stateList(), (std::vector<std::string>{"preparing", "ready"}));
  EXPECT_EQ(connection->state().kind, NWConnectionState::ready);
  EXPECT_EQ(connection->currentPath(), "satisfied");
  cancelAndWait(connection, rec);
}

TEST(UdpConnection, AnswersAlreadyQueuedAndAnswersStillToComeAreAllReceivedInOrder) {
  // After a first answer, later ones are read at once when they are there,
  // and waited for when they are not.
  EchoServer server;
  ASSERT_TRUE(server.ok());
  Recorder rec;
  auto queue = DispatchQueue::makeSerial("test.udp.queued");
  auto connection = UdpConnection::create(NWEndpoint{"127.0.0.1", server.port()});
  connection->setStateUpdateHandler(rec.stateHandler());
  connection->start(queue);
  for (const char* word : {"one", "two", "three", "four"}) connection->send(bytes(word), {});
  connection->receiveMessage(rec.receive("r1"));
  ASSERT_TRUE(waitUntil([&] { return rec.eventList().size() == 1; }));
  for (const char* name : {"r2", "r3", "r4", "r5"}) connection->receiveMessage(rec.receive(name));
  ASSERT_TRUE(waitUntil([&] { return rec.eventList().size() == 4; }));
  connection->send(bytes("five"), {});
  ASSERT_TRUE(waitUntil([&] { return rec.eventList().size() == 5; }));
  EXPECT_EQ(rec.eventList(), (std::vector<std::string>{"r1:one:complete", "r2:two:complete", "r3:three:complete",
                                                       "r4:four:complete", "r5:five:complete"}));
  cancelAndWait(connection, rec);
}

TEST(UdpConnection, FullSizeDatagramAndEmptyDatagram) {
  EchoServer server;
  ASSERT_TRUE(server.ok());
  auto queue = DispatchQueue::makeSerial("test.udp.big");
  auto connection = UdpConnection::create(NWEndpoint{"127.0.0.1", server.port()});
  connection->start(queue);
  Bytes big(65507);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  std::mutex mutex;
  std::vector<Bytes> got;
  for (const Bytes& d : {big, Bytes{}}) {
    connection->send(d, [](std::optional<NWError>) {});
    connection->receiveMessage([&](std::optional<Bytes> data, bool complete, std::optional<NWError> error) {
      std::lock_guard lock(mutex);
      EXPECT_TRUE(complete);
      EXPECT_FALSE(error);
      got.push_back(data.value_or(Bytes{0xEE}));
    });
  }
  ASSERT_TRUE(waitUntil([&] { std::lock_guard l(mutex); return got.size() == 2; }));
  EXPECT_EQ(got[0], big);
  EXPECT_EQ(got[1], Bytes{});
  connection->cancel();
}

TEST(UdpConnection, ClosedPortIsAReceiveError) {
  Recorder rec;
  auto queue = DispatchQueue::makeSerial("test.udp.refused");
  auto connection = UdpConnection::create(NWEndpoint{"127.0.0.1", closedPort()});
  connection->setStateUpdateHandler(rec.stateHandler());
  connection->start(queue);
  connection->receiveMessage(rec.receive("r"));
  connection->send(bytes("query"), rec.sent("s"));
  ASSERT_TRUE(waitUntil([&] { return rec.eventList().size() == 2; }));
  EXPECT_EQ(rec.eventList(), (std::vector<std::string>{"s:sent", "r::incomplete:error " + std::to_string(ECONNREFUSED)}));
  cancelAndWait(connection, rec);
}

TEST(UdpConnection, CancelReportsOnceAndDropsPendingWork) {
  EchoServer server;
  ASSERT_TRUE(server.ok());
  Recorder rec;
  auto queue = DispatchQueue::makeSerial("test.udp.cancel");
  auto connection = UdpConnection::create(NWEndpoint{"127.0.0.1", server.port()});
  connection->setStateUpdateHandler(rec.stateHandler());
  connection->start(queue);
  ASSERT_TRUE(waitUntil([&] { return rec.hasState("ready"); }));
  connection->receiveMessage(rec.receive("pending"));
  connection->cancel();
  connection->cancel();
  connection->send(bytes("late"), rec.sent("late"));
  connection->receiveMessage(rec.receive("late"));
  ASSERT_TRUE(waitUntil([&] { return rec.hasState("cancelled"); }));
  // Anything still in flight has landed once a later block on the queue runs.
  std::atomic<bool> fence{false};
  queue->asyncAfter(20ms, [&] { fence = true; });
  ASSERT_TRUE(waitUntil([&] { return fence.load(); }));
  EXPECT_EQ(rec.stateList(), (std::vector<std::string>{"preparing", "ready", "cancelled"}));
  EXPECT_TRUE(rec.eventList().empty());
  EXPECT_EQ(server.received(), 0);
  EXPECT_EQ(connection->state().kind, NWConnectionState::cancelled);
}

TEST(UdpConnection, HostsAndPorts) {
  EchoServer server;
  ASSERT_TRUE(server.ok());
  struct Case {
    std::string host;
    int port;
    bool ready;
  };
  std::vector<Case> cases = {
      {"127.0.0.1", server.port(), true},
      {"localhost", server.port(), true},  // IPv4 first: the v4 echo answers
      {"127.1", server.port(), false},
      {"2001", server.port(), false},
      {"0x7f.0.0.1", server.port(), false},
      {"127.0.0.01", server.port(), false},
      {"", server.port(), false},
      {"127.0.0.1", 70000, false},
      {"127.0.0.1", -1, false},
  };
  for (const auto& c : cases) {
    Recorder rec;
    auto queue = DispatchQueue::makeSerial("test.udp.hosts");
    auto connection = UdpConnection::create(NWEndpoint{c.host, c.port});
    connection->setStateUpdateHandler(rec.stateHandler());
    connection->start(queue);
    ASSERT_TRUE(waitUntil([&] { return rec.hasState("ready") || rec.hasState("failed"); })) << c.host;
    EXPECT_EQ(rec.hasState("ready"), c.ready) << c.host << ":" << c.port;
    if (c.ready) {
      connection->send(bytes("ping"), rec.sent("s"));
      connection->receiveMessage(rec.receive("r"));
      ASSERT_TRUE(waitUntil([&] { return rec.eventList().size() == 2; })) << c.host;
      EXPECT_EQ(rec.eventList()[1], "r:ping:complete") << c.host;
      cancelAndWait(connection, rec);
    } else {
      // A failed connection answers later calls with its error.
      connection->receiveMessage(rec.receive("r"));
      ASSERT_TRUE(waitUntil([&] { return rec.eventList().size() == 1; })) << c.host;
      EXPECT_TRUE(rec.eventList()[0].starts_with("r::incomplete:error ")) << rec.eventList()[0];
    }
  }
}

TEST(UdpConnection, Ipv6Loopback) {
  if (!ipv6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
  EchoServer server(AF_INET6);
  ASSERT_TRUE(server.ok());
  for (const char* host : {"::1", "[::1]"}) {
    Recorder rec;
    auto queue = DispatchQueue::makeSerial("test.udp.v6");
    auto connection = UdpConnection::create(NWEndpoint{host, server.port()});
    connection->setStateUpdateHandler(rec.stateHandler());
    connection->start(queue);
    connection->send(bytes("six"), rec.sent("s"));
    connection->receiveMessage(rec.receive("r"));
    ASSERT_TRUE(waitUntil([&] { return rec.eventList().size() == 2; })) << host;
    EXPECT_EQ(rec.eventList()[1], "r:six:complete");
    cancelAndWait(connection, rec);
  }
}

TEST(UdpConnection, KeepsItselfAliveUntilCancelledThenCloses) {
  EchoServer server;
  ASSERT_TRUE(server.ok());
  auto queue = DispatchQueue::makeSerial("test.udp.life");
  {
    // The I/O pool opens its own descriptors on first use: warm it up.
    Recorder warm;
    auto first = UdpConnection::create(NWEndpoint{"127.0.0.1", server.port()});
    first->setStateUpdateHandler(warm.stateHandler());
    first->start(queue);
    ASSERT_TRUE(waitUntil([&] { return warm.hasState("ready"); }));
    cancelAndWait(first, warm);
  }
  const std::size_t baseline = openDescriptors();
  Recorder rec;
  std::weak_ptr<UdpConnection> weak;
  {
    auto connection = UdpConnection::create(NWEndpoint{"127.0.0.1", server.port()});
    weak = connection;
    // The handler holds the connection: the cycle must end at cancel.
    connection->setStateUpdateHandler([&rec, connection](NWConnectionState s) { rec.stateHandler()(s); });
    connection->start(queue);
    connection->send(bytes("alive"), rec.sent("s"));
    connection->receiveMessage(rec.receive("r"));
  }
  ASSERT_TRUE(waitUntil([&] { return rec.eventList().size() == 2; }));
  EXPECT_EQ(rec.eventList()[1], "r:alive:complete");
  ASSERT_FALSE(weak.expired());
  EXPECT_EQ(openDescriptors(), baseline + 1);
  weak.lock()->cancel();
  EXPECT_TRUE(waitUntil([&] { return weak.expired(); }));
  EXPECT_TRUE(waitUntil([&] { return openDescriptors() == baseline; }));

  // A failed connection closes too.
  auto failing = UdpConnection::create(NWEndpoint{"127.0.0.1", 70000});
  failing->start(queue);
  EXPECT_TRUE(waitUntil([&] { return failing->state().kind == NWConnectionState::failed; }));
  EXPECT_EQ(openDescriptors(), baseline);
}

TEST(UdpConnection, SendsFromSeveralThreadsAllGoOutInEachThreadsOrder) {
  // A ready connection sends on the calling thread; several threads at once
  // must neither lose nor reorder their own datagrams.
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int size = 4 << 20;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sin;
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sin), len), 0);
  ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len), 0);
  Recorder rec;
  auto connection = UdpConnection::create(NWEndpoint{"127.0.0.1", ntohs(sin.sin_port)});
  connection->setStateUpdateHandler(rec.stateHandler());
  connection->start(DispatchQueue::global());
  ASSERT_TRUE(waitUntil([&] { return rec.hasState("ready"); }));
  constexpr int kThreads = 4, kEach = 200;
  std::atomic<int> completions{0}, failures{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        connection->send(bytes(std::to_string(t) + ":" + std::to_string(i)), [&](std::optional<NWError> error) {
          if (error) failures.fetch_add(1);
          completions.fetch_add(1);
        });
      }
    });
  }
  for (auto& s : senders) s.join();
  std::vector<int> next(kThreads, 0);
  int received = 0;
  char buffer[64];
  timeval tv{2, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  while (received < kThreads * kEach) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    ASSERT_GT(n, 0) << "after " << received << " datagrams";
    const std::string text(buffer, static_cast<size_t>(n));
    const int t = std::stoi(text.substr(0, text.find(':')));
    const int i = std::stoi(text.substr(text.find(':') + 1));
    EXPECT_EQ(i, next[t]) << "thread " << t;
    next[t] = i + 1;
    ++received;
  }
  EXPECT_TRUE(waitUntil([&] { return completions.load() == kThreads * kEach; }));
  EXPECT_EQ(failures.load(), 0);
  cancelAndWait(connection, rec);
  ::close(fd);
}

TEST(UdpConnection, SocketIsNonBlockingAndClosedOnExec) {
  EchoServer server;
  ASSERT_TRUE(server.ok());
  Recorder rec;
  auto connection = UdpConnection::create(NWEndpoint{"127.0.0.1", server.port()});
  connection->setStateUpdateHandler(rec.stateHandler());
  connection->start(DispatchQueue::makeSerial("test.udp.flags"));
  ASSERT_TRUE(waitUntil([&] { return rec.hasState("ready"); }));
  // The connection's socket: the descriptor whose peer is the server.
  int found = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  ASSERT_NE(dir, nullptr);
  while (dirent* entry = ::readdir(dir)) {
    const int fd = std::atoi(entry->d_name);
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (entry->d_name[0] == '.' || ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) continue;
    if (peer.sin_family != AF_INET || ntohs(peer.sin_port) != server.port()) continue;
    ++found;
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(::fcntl(fd, F_GETFL) & O_NONBLOCK);
  }
  ::closedir(dir);
  EXPECT_EQ(found, 1);
  cancelAndWait(connection, rec);
}
