#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/dispatch/Dispatch.h"
#include "platform/host/SocketOwner.h"
#include "support/LoopbackUdp.h"

using namespace platform;
using testing_support::UdpSocket;
using namespace std::chrono_literals;

namespace {

std::string exePath(pid_t pid) {
  char path[4096];
  ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

const std::string kSelf = exePath(getpid());

// A child that runs /bin/sleep under the name `argv0` and alone holds a
// loopback UDP socket; `execed` tells whether the exec was seen in time.
struct SleepingOwner {
  pid_t pid = -1;
  SocketAddress local;
  bool execed = false;

  explicit SleepingOwner(const char* argv0) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);  // inherited across exec
    auto any = *SocketAddress::parse("127.0.0.1:0");
    if (bind(fd, any.sockaddrPtr(), any.length()) != 0) return;
    socklen_t length = sizeof(sockaddr_storage);
    getsockname(fd, local.sockaddrPtr(), &length);
    pid = fork();
    if (pid == 0) {
      char* argv[] = {const_cast<char*>(argv0), const_cast<char*>("30"), nullptr};
      execv("/bin/sleep", argv);
      _exit(127);
    }
    close(fd);  // only the child holds the socket now
    if (pid > 0) execed = waitUntil([&] { return exePath(pid).ends_with("/sleep"); }, 5s);
  }
  ~SleepingOwner() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
};

}  // namespace

TEST(SocketOwner, FindsThisProcessForConnectedAndUnconnectedSockets) {
  UdpSocket server, unconnected, connected;
  ASSERT_EQ(connect(connected.fd(), server.local().sockaddrPtr(), server.local().length()), 0);
  SocketOwner owner;
  EXPECT_EQ(owner.udpSocketOwner(unconnected.local(), server.local()), kSelf);
  EXPECT_EQ(owner.udpSocketOwner(connected.local(), server.local()), kSelf);
  // Cached: the second look-up needs no walk over /proc.
  EXPECT_EQ(owner.udpSocketOwner(connected.local(), server.local()), kSelf);
}

TEST(SocketOwner, IPv6Socket) {
  int probe = socket(AF_INET6, SOCK_DGRAM, 0);
  auto any = *SocketAddress::parse("[::1]:0");
  bool v6 = probe >= 0 && bind(probe, any.sockaddrPtr(), any.length()) == 0;
  if (probe >= 0) close(probe);
  if (!v6) GTEST_SKIP() << "no IPv6 loopback";
  UdpSocket server("[::1]:0"), client("[::1]:0");
  EXPECT_EQ(SocketOwner().udpSocketOwner(client.local(), server.local()), kSelf);
}

TEST(SocketOwner, UnknownSocketGivesEmptyName) {
  UdpSocket server;
  SocketAddress nobody = *SocketAddress::parse("127.0.0.1:1");
  {
    UdpSocket gone;
    nobody = gone.local();
  }
  EXPECT_EQ(SocketOwner().udpSocketOwner(nobody, server.local()), "");
}

TEST(SocketOwner, IdentityIsTheExecutablesPathNotTheNameItGivesItself) {
  UdpSocket server;
  SleepingOwner child("dig");
  ASSERT_TRUE(child.execed);
  const std::string owner = SocketOwner().udpSocketOwner(child.local, server.local());
  EXPECT_TRUE(owner.starts_with("/") && owner.ends_with("/sleep")) << owner;
}

TEST(SocketOwner, ANewSocketOfARecentOwnerOrANewProcessIsFoundWithoutAWalk) {
  UdpSocket server;
  SocketOwner owner;
  {
    UdpSocket first;
    ASSERT_EQ(owner.udpSocketOwner(first.local(), server.local()), kSelf);
  }
  const auto before = owner.stats();
  // A stub resolver's next socket: most often the descriptor its last one had.
  for (int i = 0; i < 5; ++i) {
    UdpSocket next;
    ASSERT_EQ(owner.udpSocketOwner(next.local(), server.local()), kSelf);
  }
  auto after = owner.stats();
  EXPECT_EQ(after.fullWalks, before.fullWalks);
  EXPECT_GE(after.hintHits, before.hintHits + 4);
  EXPECT_LE(after.processScans, before.processScans + 1);

  // A process started after the index was built: only new processes are read.
  SleepingOwner child("sleep");
  ASSERT_TRUE(child.execed);
  const auto beforeChild = owner.stats();
  const std::string name = owner.udpSocketOwner(child.local, server.local());
  const auto afterChild = owner.stats();
  EXPECT_TRUE(name.ends_with("/sleep")) << name;
  EXPECT_EQ(afterChild.fullWalks, beforeChild.fullWalks);
}

TEST(SocketOwner, ExecutablePathFromLink) {
  struct Case {
    std::string link, path;
  } cases[] = {
      {"/usr/bin/dig", "/usr/bin/dig"},
      {"/opt/app/bin/agent (deleted)", "/opt/app/bin/agent"},
      {"/tmp/with space/app", "/tmp/with space/app"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(SocketOwner::executablePathFromLink(c.link), c.path) << c.link;
}

TEST(SocketOwner, CommandNameFromCmdline) {
  struct Case {
    std::string cmdline, name;
  } cases[] = {
      {std::string("/usr/bin/dig\0@127.0.0.1\0", 24), "dig"},
      {std::string("dnsperf\0-s\0", 11), "dnsperf"},
      {std::string("/opt/app/\0", 10), ""},
      {"", ""},
      {"no-nul-at-all", "no-nul-at-all"},
  };
  for (const auto& c : cases) EXPECT_EQ(SocketOwner::commandNameFromCmdline(c.cmdline), c.name) << c.cmdline;
}

TEST(SocketAddress, ParsesAddressAndPortTexts) {
  struct Case {
    const char* text;
    bool ok;
    const char* description;
  } cases[] = {
      {"127.0.0.1:53", true, "127.0.0.1:53"},
      {"[::1]:5353", true, "[::1]:5353"},
      {"0.0.0.0:0", true, "0.0.0.0:0"},
      {"[2001:db8::1]:65535", true, "[2001:db8::1]:65535"},
      {"127.0.0.1", false, ""},
      {"127.0.0.1:65536", false, ""},
      {"127.0.0.1:-1", false, ""},
      {"127.0.0.1:5x", false, ""},
      {"::1:53", false, ""},
      {"[::1]53", false, ""},
      {"[::1", false, ""},
      {"localhost:53", false, ""},
      {":53", false, ""},
      {"", false, ""},
  };
  for (const auto& c : cases) {
    auto a = SocketAddress::parse(c.text);
    EXPECT_EQ(a.has_value(), c.ok) << c.text;
    if (a) {
      EXPECT_EQ(a->description(), c.description);
    }
  }
  EXPECT_FALSE(SocketAddress::fromEndpoint(NWHostEndpoint{"127.0.0.1", "99999"}));
  EXPECT_EQ(SocketAddress::fromEndpoint(NWHostEndpoint{"::1", "53"})->description(), "[::1]:53");
}
