// Each listening service with a client waiting while accept fails for want
// of descriptors: the loop does not spin, and the client is served once
// descriptors come back.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "platform/appkit/StatusItemControl.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Log.h"
#include "platform/host/ListenSocket.h"
#include "platform/host/PreferencesService.h"
#include "platform/host/TcpPassthrough.h"
#include "platform/xpc/XpcListener.h"
#include "support/DescriptorsUsedUp.h"
#include "support/ChildProcess.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

double processCpuSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

using testing_support::DescriptorsUsedUp;

sockaddr_un unixAddress(const std::string& path) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof(a.sun_path) - 1);
  return a;
}

std::string readLine(int fd) {
  std::string text;
  char c;
  while (::recv(fd, &c, 1, 0) == 1 && c != '\n') text.push_back(c);
  return text;
}

bool sendLine(int fd, const std::string& line) {
  const std::string text = line + "\n";
  return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

// A service under test, listening; `address` is where a client connects.
struct Running {
  virtual ~Running() = default;
  sockaddr_storage address{};
  socklen_t length = 0;
  // Whether the client connected to it is served, once descriptors are back.
  virtual bool served(int client) = 0;
};

struct Preferences : Running {
  testing_support::TempDir root;
  std::unique_ptr<PreferencesService> service;
  Preferences() {
    std::filesystem::create_directories(root.path() + "/networkextension");
    std::string error;
    service = PreferencesService::start({root.path(), "root", 60s, 8}, error);
    EXPECT_TRUE(service) << error;
    auto a = unixAddress(service->socketPath());
    std::memcpy(&address, &a, sizeof a);
    length = sizeof a;
  }
  bool served(int client) override {
    return sendLine(client, R"({"op":"read","name":"networkextension/dnsproxy.json"})") &&
           readLine(client) == R"({"exists":false})";
  }
};

struct Passthrough : Running {
  std::vector<ListenSocket> listen, upstream;
  std::unique_ptr<TcpPassthrough> passthrough;
  Passthrough() {
    std::string error;
    listen = bindListenSockets({*SocketAddress::parse("127.0.0.1:0")}, error);
    upstream = bindListenSockets({*SocketAddress::parse("127.0.0.1:0")}, error);
    EXPECT_EQ(listen.size(), 1u);
    EXPECT_EQ(upstream.size(), 1u);
    passthrough = std::make_unique<TcpPassthrough>(std::vector<int>{listen[0].tcpFd}, upstream[0].bound);
    passthrough->start();
    std::memcpy(&address, listen[0].bound.sockaddrPtr(), listen[0].bound.length());
    length = listen[0].bound.length();
  }
  ~Passthrough() override {
    passthrough.reset();
    closeListenSockets(listen);
    closeListenSockets(upstream);
  }
  // The client's connection is relayed: the system DNS sees one.
  bool served(int) override {
    pollfd p{upstream[0].tcpFd, POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1) return false;
    ::close(::accept(upstream[0].tcpFd, nullptr, nullptr));
    return true;
  }
};

struct Control : Running {
  NSStatusBar bar;
  NSApplication app{[](int) {}};
  NSWorkspace workspace;
  std::string folder;
  StatusItemControl control{{&bar, &app, &workspace, DispatchQueue::makeSerial("control-test")}};
  Control() {
    char pattern[] = "/tmp/vardeno-control-XXXXXX";
    folder = ::mkdtemp(pattern);
    EXPECT_TRUE(control.start(folder + "/control.sock"));
    auto a = unixAddress(folder + "/control.sock");
    std::memcpy(&address, &a, sizeof a);
    length = sizeof a;
  }
  ~Control() override {
    control.stop();
    std::filesystem::remove_all(folder);
  }
  bool served(int client) override { return sendLine(client, "menu") && readLine(client).rfind("ok ", 0) == 0; }
};

struct Xpc : Running {
  // Keeps the first connection, unresumed, so that nothing of it is torn
  // down while descriptors are used up; refuses the others.
  struct Delegate : XpcListenerDelegate {
    std::atomic<int> asked{0};
    std::shared_ptr<XpcConnection> first;
    bool shouldAcceptNewConnection(XpcListener&, const std::shared_ptr<XpcConnection>& connection) override {
      if (asked == 0) first = connection;
      return ++asked == 1;
    }
  };
  testing_support::TempDir root;
  std::shared_ptr<Delegate> delegate = std::make_shared<Delegate>();
  std::shared_ptr<XpcListener> listener;
  Xpc() {
    ::setenv("VARDENO_ROOT", root.path().c_str(), 1);
    listener = XpcListener::machService("test.vardeno.shortage");
    listener->setDelegate(delegate);
    EXPECT_TRUE(listener->resume()) << listener->error();
    auto a = unixAddress(listener->socketPath());
    std::memcpy(&address, &a, sizeof a);
    length = sizeof a;
  }
  ~Xpc() override {
    listener->invalidate();
    listener.reset();
    ::unsetenv("VARDENO_ROOT");
  }
  int seen = 0;
  bool served(int) override {
    if (!waitUntil([&] { return delegate->asked.load() > seen; }, 5s)) return false;
    seen = delegate->asked.load();
    return true;
  }
};

TEST(AcceptShortage, AListenerOutOfDescriptorsWaitsInsteadOfSpinningAndServesOnceTheyAreBack) {
#if defined(__SANITIZE_ADDRESS__)
  // The undefined-behaviour checks of this build need a descriptor for any
  // thread that starts while they are used up, and report a false type
  // mismatch without one; the normal build measures the spin.
  GTEST_SKIP() << "sanitizer checks need descriptors";
#endif
  struct Case {
    const char* name;
    std::function<std::unique_ptr<Running>()> start;
  } cases[] = {
      {"preferences service", [] { return std::make_unique<Preferences>(); }},
      {"TCP pass-through", [] { return std::make_unique<Passthrough>(); }},
      {"status item control", [] { return std::make_unique<Control>(); }},
      {"XPC listener", [] { return std::make_unique<Xpc>(); }},
  };
  // The log's writer thread starts with the first line: not while
  // descriptors are used up, when UBSan's checks of a new thread fail.
  NSLog("[AcceptShortage] start");
  auto connected = [](const Running& running) {
    int fd = ::socket(running.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
  };
  for (const auto& c : cases) {
    auto running = c.start();
    // Served once first, so that its threads run before descriptors are
    // used up: UBSan's checks of a thread starting then would fail.
    int first = connected(*running);
    ASSERT_EQ(::connect(first, reinterpret_cast<const sockaddr*>(&running->address), running->length), 0) << c.name;
    ASSERT_TRUE(running->served(first)) << c.name;
    ::close(first);
    int client = connected(*running);
    ASSERT_GE(client, 0);
    double used;
    {
      auto* limit = new DescriptorsUsedUp();
      // Queued in the backlog; the service's accept fails with EMFILE.
      const int connected = ::connect(client, reinterpret_cast<const sockaddr*>(&running->address), running->length);
      const double before = processCpuSeconds();
      std::this_thread::sleep_for(400ms);  // the window whose CPU use is measured
      used = processCpuSeconds() - before;
      delete limit;
      ASSERT_EQ(connected, 0) << c.name;
    }
    EXPECT_LT(used, 0.2) << c.name;
    EXPECT_TRUE(running->served(client)) << c.name;
    ::close(client);
  }
}

TEST(TcpPassthrough, StartAndStopLeaveNoDescriptorBehind) {
  std::string error;
  auto listen = bindListenSockets({*SocketAddress::parse("127.0.0.1:0")}, error);
  auto upstream = bindListenSockets({*SocketAddress::parse("127.0.0.1:0")}, error);
  ASSERT_EQ(listen.size(), 1u);
  ASSERT_EQ(upstream.size(), 1u);
  auto openDescriptors = [] {
    size_t n = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
  };
  const size_t baseline = openDescriptors();
  {
    TcpPassthrough passthrough({listen[0].tcpFd}, upstream[0].bound);
    passthrough.start();
    passthrough.stop();
  }
  EXPECT_EQ(openDescriptors(), baseline);
  {
    TcpPassthrough passthrough({listen[0].tcpFd}, upstream[0].bound);
    passthrough.start();
    passthrough.stop();
    // Started again, it still relays.
    passthrough.start();
    int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(client, listen[0].bound.sockaddrPtr(), listen[0].bound.length()), 0);
    pollfd p{upstream[0].tcpFd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1) << "not relayed after a restart";
    int relayed = ::accept(upstream[0].tcpFd, nullptr, nullptr);
    ::close(client);
    ::close(relayed);
    EXPECT_TRUE(waitUntil([&] { return passthrough.activeConnections() == 0; }, 5s));
  }
  EXPECT_TRUE(waitUntil([&] { return openDescriptors() == baseline; }, 5s)) << openDescriptors() << " open, "
                                                                             << baseline << " before";
  closeListenSockets(listen);
  closeListenSockets(upstream);
}

}  // namespace
