#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <latch>

#include "platform/dispatch/Dispatch.h"
#include "platform/host/SocketOwner.h"
#include "platform/host/bpf/UdpSenderRecord.h"
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

// A python3 child that holds `fd` as its descriptor 3 and sends one
// datagram on it to `to` each time it is asked.
struct PythonSender {
  pid_t pid = -1;
  int commands = -1, replies = -1;

  PythonSender(int fd, const SocketAddress& to) {
    int in[2], out[2];
    if (access("/usr/bin/python3", X_OK) != 0 || pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    const std::string program =
        "import socket, sys\n"
        "s = socket.socket(fileno=3)\n"
        "for line in sys.stdin:\n"
        "    s.sendto(b'q', ('" + to.host() + "', " + std::to_string(to.port()) + "))\n"
        "    sys.stdout.write('k'); sys.stdout.flush()\n";
    pid = fork();
    if (pid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(fd, 3);  // dup2 clears close-on-exec
      execl("/usr/bin/python3", "python3", "-c", program.c_str(), nullptr);
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    commands = in[1];
    replies = out[0];
  }
  bool send() {
    char k = 0;
    return pid > 0 && write(commands, "s\n", 2) == 2 && read(replies, &k, 1) == 1 && k == 'k';
  }
  void end() {
    if (pid <= 0) return;
    close(commands);
    close(replies);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
  }
  ~PythonSender() { end(); }
};

// The kernel's record of senders, or a skip that says why it cannot load.
#define REQUIRE_KERNEL_RECORD(owner)                                                     \
  do {                                                                                  \
    if (!(owner).usesKernelRecord())                                                    \
      GTEST_SKIP() << "no kernel record of UDP senders: " << (owner).kernelRecordUnavailable(); \
  } while (false)

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

TEST(SocketOwner, KnobPicksTheSource) {
  EXPECT_EQ(SocketOwner::sourceFromKnob(nullptr), SocketOwner::Source::automatic);
  EXPECT_EQ(SocketOwner::sourceFromKnob(""), SocketOwner::Source::automatic);
  EXPECT_EQ(SocketOwner::sourceFromKnob("bpf"), SocketOwner::Source::automatic);
  EXPECT_EQ(SocketOwner::sourceFromKnob("proc"), SocketOwner::Source::proc);
  SocketOwner proc(SocketOwner::Source::proc);
  EXPECT_FALSE(proc.usesKernelRecord());
  EXPECT_EQ(proc.kernelRecordUnavailable(), "VARDENO_SOCKET_OWNER=proc");
}

TEST(SocketOwner, ProcessStartTicks) {
  auto self = SocketOwner::processStartTicks(getpid());
  ASSERT_TRUE(self.has_value());
  timespec boot{};
  clock_gettime(CLOCK_BOOTTIME, &boot);
  EXPECT_LE(*self, static_cast<uint64_t>(boot.tv_sec + 1) * static_cast<uint64_t>(sysconf(_SC_CLK_TCK)));
  // A command name with spaces and parentheses does not shift the fields.
  SleepingOwner child(") 1 2 (x");
  ASSERT_TRUE(child.execed);
  auto other = SocketOwner::processStartTicks(child.pid);
  ASSERT_TRUE(other.has_value());
  EXPECT_GE(*other, *self);
  EXPECT_FALSE(SocketOwner::processStartTicks(0x7ffffffe).has_value());
}

// Both sources: /proc, and the kernel's record where it loads.
class SocketOwnerSources : public testing::TestWithParam<SocketOwner::Source> {};

INSTANTIATE_TEST_SUITE_P(Sources, SocketOwnerSources,
                         testing::Values(SocketOwner::Source::proc, SocketOwner::Source::automatic),
                         [](const auto& info) { return info.param == SocketOwner::Source::proc ? "proc" : "kernel"; });

TEST_P(SocketOwnerSources, SocketsThatSentAreFoundAsTheirProcess) {
  SocketOwner owner(GetParam());
  if (GetParam() != SocketOwner::Source::proc) REQUIRE_KERNEL_RECORD(owner);
  struct Case {
    const char* bind;
    bool connected;
  } cases[] = {{"127.0.0.1:0", false}, {"127.0.0.1:0", true}, {"0.0.0.0:0", false}, {"[::1]:0", false}, {"[::1]:0", true}};
  for (const auto& c : cases) {
    const bool v6 = c.bind[0] == '[';
    UdpSocket server(v6 ? "[::1]:0" : "127.0.0.1:0");
    UdpSocket client(c.bind);
    if (client.local().port() == 0) continue;  // no IPv6 loopback here
    if (c.connected) {
      ASSERT_EQ(connect(client.fd(), server.local().sockaddrPtr(), server.local().length()), 0);
    }
    client.sendTo(server.local(), {1});
    SocketAddress from;
    ASSERT_TRUE(server.receive(3000ms, &from)) << c.bind;
    EXPECT_EQ(owner.udpSocketOwner(from, server.local()), kSelf) << c.bind << (c.connected ? " connected" : "");
  }
  const auto stats = owner.stats();
  if (owner.usesKernelRecord()) {
    EXPECT_GE(stats.senderHits, 3u);
    EXPECT_EQ(stats.senderMisses, 0u);
    EXPECT_EQ(stats.processScans + stats.hintHits + stats.fullWalks, 0u) << "no descriptor table is read";
  } else {
    EXPECT_EQ(stats.senderHits, 0u);
  }
}

TEST_P(SocketOwnerSources, AsynchronousLookUpsAnswerInOrder) {
  SocketOwner owner(GetParam());
  if (GetParam() != SocketOwner::Source::proc) REQUIRE_KERNEL_RECORD(owner);
  UdpSocket server;
  std::vector<std::unique_ptr<UdpSocket>> clients;
  for (int i = 0; i < 40; ++i) {
    clients.push_back(std::make_unique<UdpSocket>());
    if (i % 2 == 0) clients.back()->sendTo(server.local(), {1});
  }
  SocketAddress nobody;
  {
    UdpSocket gone;
    nobody = gone.local();
  }
  std::mutex mutex;
  std::vector<std::pair<int, std::string>> answers;
  std::latch all(41);
  for (int i = 0; i < 41; ++i) {
    const SocketAddress client = i < 40 ? clients[static_cast<size_t>(i)]->local() : nobody;
    owner.udpSocketOwnerAsync(client, server.local(), [&, i](std::string identity) {
      std::lock_guard lock(mutex);
      answers.emplace_back(i, std::move(identity));
      all.count_down();
    });
  }
  all.wait();
  ASSERT_EQ(answers.size(), 41u);
  for (int i = 0; i < 41; ++i) {
    EXPECT_EQ(answers[static_cast<size_t>(i)].first, i);
    EXPECT_EQ(answers[static_cast<size_t>(i)].second, i < 40 ? kSelf : "") << i;
  }
}

// Holds every look-up until released, to fill the queue.
struct BlockedOwner : SocketOwner {
  BlockedOwner() : SocketOwner(Source::proc) {}
  std::latch release{1};
  std::string udpSocketOwner(const SocketAddress&, const SocketAddress&) override {
    release.wait();
    return "owner";
  }
};

TEST(SocketOwner, AsynchronousLookUpsBeyondTheQueueAnswerEmptyAtOnce) {
  BlockedOwner owner;
  UdpSocket server, client;
  std::atomic<size_t> named{0}, empty{0};
  const size_t asked = SocketOwner::kMaxQueuedLookups + 2;  // one being served, the queue full, one over
  for (size_t i = 0; i < asked; ++i) {
    owner.udpSocketOwnerAsync(client.local(), server.local(), [&](std::string identity) {
      (identity.empty() ? empty : named).fetch_add(1);
    });
  }
  ASSERT_TRUE(waitUntil([&] { return empty.load() >= 1; }, 5s));
  owner.release.count_down();
  ASSERT_TRUE(waitUntil([&] { return named.load() + empty.load() == asked; }, 30s));
  EXPECT_GE(empty.load(), 1u);
  EXPECT_LE(empty.load(), 2u);
  EXPECT_EQ(owner.stats().lookupsDropped, empty.load());
}

// What only the kernel's record can tell: who sent last on a shared socket,
// and that a port taken again by another socket is not the old one's.
TEST(SocketOwnerKernelRecord, TheLastSenderOnASharedSocketIsTheOwner) {
  SocketOwner owner;
  REQUIRE_KERNEL_RECORD(owner);
  UdpSocket server, shared;
  PythonSender child(shared.fd(), server.local());
  if (child.pid <= 0) GTEST_SKIP() << "no /usr/bin/python3";
  const std::string python = [&] {
    std::string path;
    waitUntil([&] { return (path = exePath(child.pid)).find("python") != std::string::npos; }, 5s);
    return path;
  }();
  shared.sendTo(server.local(), {1});
  EXPECT_EQ(owner.udpSocketOwner(shared.local(), server.local()), kSelf);
  ASSERT_TRUE(child.send());  // the inherited socket
  EXPECT_EQ(owner.udpSocketOwner(shared.local(), server.local()), python);
  shared.sendTo(server.local(), {1});
  EXPECT_EQ(owner.udpSocketOwner(shared.local(), server.local()), kSelf);
  ASSERT_TRUE(child.send());
  // A sender that has ended is named by its command name.
  child.end();
  EXPECT_EQ(owner.udpSocketOwner(shared.local(), server.local()), "python3");
}

TEST(SocketOwnerKernelRecord, APortTakenAgainIsNotTheOldSocketsOwner) {
  SocketOwner owner;
  REQUIRE_KERNEL_RECORD(owner);
  UdpSocket server;
  SocketAddress port;
  {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    auto any = *SocketAddress::parse("127.0.0.1:0");
    ASSERT_EQ(bind(fd, any.sockaddrPtr(), any.length()), 0);
    socklen_t length = sizeof(sockaddr_storage);
    getsockname(fd, port.sockaddrPtr(), &length);
    PythonSender child(fd, server.local());
    close(fd);  // the child holds it alone
    if (child.pid <= 0) GTEST_SKIP() << "no /usr/bin/python3";
    ASSERT_TRUE(child.send());
    ASSERT_NE(owner.udpSocketOwner(port, server.local()), kSelf);
  }  // the child and its socket are gone
  UdpSocket again(port.description().c_str());
  ASSERT_EQ(again.local(), port);
  EXPECT_EQ(owner.udpSocketOwner(port, server.local()), kSelf);  // never sent: from /proc
  again.sendTo(server.local(), {1});
  EXPECT_EQ(owner.udpSocketOwner(port, server.local()), kSelf);
}

namespace {

// Sockets bound with SO_REUSEADDR to one address and port.
int boundWithReuse(const SocketAddress& to) {
  int fd = socket(to.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  EXPECT_EQ(bind(fd, to.sockaddrPtr(), to.length()), 0);
  return fd;
}

SocketAddress localOf(int fd) {
  SocketAddress local;
  socklen_t length = sizeof(sockaddr_storage);
  getsockname(fd, local.sockaddrPtr(), &length);
  return local;
}

}  // namespace

TEST(SocketOwnerKernelRecord, APortIsKnownByItsOneSenderUntilAnotherSocketSendsFromIt) {
  SocketOwner owner;
  REQUIRE_KERNEL_RECORD(owner);
  UdpSocket server;
  const int first = boundWithReuse(*SocketAddress::parse("127.0.0.1:0"));
  const SocketAddress local = localOf(first);
  sendto(first, "q", 1, 0, server.local().sockaddrPtr(), server.local().length());
  EXPECT_EQ(owner.udpSocketOwner(local, server.local()), kSelf);
  EXPECT_EQ(owner.stats().portHits, 1u) << "found by its port, no sock_diag";
  // A socket bound beside it that has not sent: the port's datagrams are still the first's.
  const int second = boundWithReuse(local);
  EXPECT_EQ(owner.udpSocketOwner(local, server.local()), kSelf);
  EXPECT_EQ(owner.stats().portHits, 2u);
  // Once it sends, a datagram from the port may be either's: sock_diag, then the address known.
  sendto(second, "q", 1, 0, server.local().sockaddrPtr(), server.local().length());
  EXPECT_EQ(owner.udpSocketOwner(local, server.local()), kSelf);
  EXPECT_EQ(owner.udpSocketOwner(local, server.local()), kSelf);
  EXPECT_EQ(owner.stats().portHits, 2u) << "the port is shared";
  EXPECT_EQ(owner.stats().endpointHits, 1u) << "the second look-up needs no sock_diag";
  // Another socket bound to the port may be another owner's: looked up anew.
  const int third = boundWithReuse(local);
  EXPECT_EQ(owner.udpSocketOwner(local, server.local()), kSelf);
  EXPECT_EQ(owner.stats().endpointHits, 1u);
  close(third);
  close(second);
  close(first);
  EXPECT_EQ(owner.udpSocketOwner(local, server.local()), "") << "released: no owner";
}

TEST(SocketOwnerKernelRecord, SocketsThatSentAreFoundByTheirPortHoweverTheySent) {
  SocketOwner owner;
  REQUIRE_KERNEL_RECORD(owner);
  struct Case {
    const char* bind;
    bool connected;
  } cases[] = {{"127.0.0.1:0", false}, {"127.0.0.1:0", true}, {"[::1]:0", false}, {"[::1]:0", true}};
  uint64_t hits = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.bind) + (c.connected ? " connected" : " sendto"));
    UdpSocket server(c.bind[0] == '[' ? "[::1]:0" : "127.0.0.1:0");
    int fd = socket(server.local().family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (c.connected) {  // as glibc's resolver does: connect, then send, never bound
      ASSERT_EQ(connect(fd, server.local().sockaddrPtr(), server.local().length()), 0);
      ASSERT_EQ(send(fd, "q", 1, 0), 1);
    } else {
      ASSERT_EQ(sendto(fd, "q", 1, 0, server.local().sockaddrPtr(), server.local().length()), 1);
    }
    SocketAddress from;  // as the datagram came: an unbound socket's own address is the wildcard
    ASSERT_TRUE(server.receive(3000ms, &from));
    EXPECT_EQ(owner.udpSocketOwner(from, server.local()), kSelf);
    EXPECT_EQ(owner.stats().portHits, hits + 1);
    hits = owner.stats().portHits;
    close(fd);
    EXPECT_EQ(owner.udpSocketOwner(from, server.local()), "") << "released: its port names it no more";
  }
  // An IPv6 socket's datagram to an IPv4 address comes from ::ffff:127.0.0.1.
  UdpSocket server;
  int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const auto mapped = *SocketAddress::parse("[::ffff:127.0.0.1]:" + std::to_string(server.local().port()));
  ASSERT_EQ(sendto(fd, "q", 1, 0, mapped.sockaddrPtr(), mapped.length()), 1);
  SocketAddress from;
  ASSERT_TRUE(server.receive(3000ms, &from));
  const auto source = *SocketAddress::parse("[::ffff:127.0.0.1]:" + std::to_string(from.port()));
  EXPECT_EQ(owner.udpSocketOwner(source, server.local()), kSelf);
  EXPECT_EQ(owner.stats().portHits, hits + 1);
  close(fd);
}

// Another process on the same port at another address, and a datagram
// from an address no socket of the port sent from, are not the port's
// recorded sender's.
TEST(SocketOwnerKernelRecord, ThePortOfAnotherAddressIsNotTheRecordedSendersOwn) {
  SocketOwner owner;
  REQUIRE_KERNEL_RECORD(owner);
  UdpSocket server, mine;
  mine.sendTo(server.local(), {1});
  auto elsewhere = *SocketAddress::parse("127.0.0.2:" + std::to_string(mine.local().port()));
  EXPECT_EQ(owner.udpSocketOwner(elsewhere, server.local()), "") << "no socket there";
  EXPECT_EQ(owner.stats().portHits, 0u);

  int theirs = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(bind(theirs, elsewhere.sockaddrPtr(), elsewhere.length()), 0) << std::strerror(errno);
  PythonSender child(theirs, server.local());
  close(theirs);
  if (child.pid <= 0) GTEST_SKIP() << "no /usr/bin/python3";
  std::string python;
  waitUntil([&] { return (python = exePath(child.pid)).find("python") != std::string::npos; }, 5s);
  ASSERT_TRUE(child.send());
  EXPECT_EQ(owner.udpSocketOwner(elsewhere, server.local()), python);
  EXPECT_EQ(owner.udpSocketOwner(mine.local(), server.local()), kSelf);
  mine.sendTo(server.local(), {1});
  EXPECT_EQ(owner.udpSocketOwner(elsewhere, server.local()), python);
  EXPECT_EQ(owner.stats().portHits, 0u) << "a port two sockets sent from is never read by port";
}

TEST(SocketOwnerKernelRecord, ARecordThatLeavesAProcessOutHoldsNoneOfItsSockets) {
  // The proxy leaves itself out: a resolver connection a flow would
  // otherwise crowd its clients out of the record.
  std::string why;
  auto everyone = UdpSenderRecord::load(why, 0);
  if (!everyone) GTEST_SKIP() << "no kernel record of UDP senders: " << why;
  auto others = UdpSenderRecord::load(why, static_cast<uint32_t>(getpid()));
  ASSERT_TRUE(others) << why;
  UdpSocket server, client;
  client.sendTo(server.local(), {1});
  uint64_t cookie = 0;
  socklen_t length = sizeof cookie;
  ASSERT_EQ(getsockopt(client.fd(), SOL_SOCKET, SO_COOKIE, &cookie, &length), 0);
  auto sender = everyone->lastSender(cookie);
  ASSERT_TRUE(sender);
  EXPECT_EQ(sender->tgid, static_cast<uint32_t>(getpid()));
  EXPECT_FALSE(others->lastSender(cookie));
  const in_addr loopback{htonl(INADDR_LOOPBACK)};
  auto byPort = everyone->portSender(false, client.local().port(), &loopback);
  ASSERT_TRUE(byPort);
  EXPECT_EQ(byPort->tgid, static_cast<uint32_t>(getpid()));
  EXPECT_FALSE(others->portSender(false, client.local().port(), &loopback));
}

TEST(SocketOwnerKernelRecord, ASocketWhoseSenderIsUnknownStillMakesItsPortShared) {
  UdpSocket server;
  // Connected before the record is loaded: its sends are never recorded.
  const int unknown = boundWithReuse(*SocketAddress::parse("127.0.0.1:0"));
  const SocketAddress local = localOf(unknown);
  ASSERT_EQ(connect(unknown, server.local().sockaddrPtr(), server.local().length()), 0);
  std::string why;
  auto record = UdpSenderRecord::load(why, 0);
  if (!record) GTEST_SKIP() << "no kernel record of UDP senders: " << why;
  const in_addr loopback{htonl(INADDR_LOOPBACK)};
  ASSERT_EQ(send(unknown, "q", 1, 0), 1);
  EXPECT_FALSE(record->portSender(false, local.port(), &loopback)) << "its sender is not known";
  // Another socket on the port sends, with its sender recorded: the
  // first's datagram may still be waiting, so the port names neither.
  const int known = boundWithReuse(local);
  ASSERT_EQ(sendto(known, "q", 1, 0, server.local().sockaddrPtr(), server.local().length()), 1);
  EXPECT_FALSE(record->portSender(false, local.port(), &loopback));
  close(known);
  close(unknown);
}

TEST(SocketOwnerKernelRecord, CostDoesNotDependOnTheDescriptorsTheSenderHolds) {
  SocketOwner owner;
  REQUIRE_KERNEL_RECORD(owner);
  std::vector<int> held;
  for (int i = 0; i < 2000; ++i) {
    int fd = dup(0);
    if (fd < 0) break;
    held.push_back(fd);
  }
  UdpSocket server;
  for (int i = 0; i < 20; ++i) {
    UdpSocket next;
    next.sendTo(server.local(), {1});
    ASSERT_EQ(owner.udpSocketOwner(next.local(), server.local()), kSelf);
  }
  for (int fd : held) close(fd);
  const auto stats = owner.stats();
  EXPECT_EQ(stats.senderHits, 20u);
  EXPECT_EQ(stats.processScans + stats.hintHits + stats.fullWalks, 0u) << "no descriptor table is read";
}
