#include <gtest/gtest.h>

#include "platform/SocketOwner.h"
#include "support/LoopbackUdp.h"

using namespace platform;
using testing_support::UdpSocket;

TEST(SocketOwner, FindsThisProcessForConnectedAndUnconnectedSockets) {
  UdpSocket server, unconnected, connected;
  ASSERT_EQ(connect(connected.fd(), server.local().sockaddrPtr(), server.local().length()), 0);
  SocketOwner owner;
  EXPECT_EQ(owner.udpSocketOwner(unconnected.local(), server.local()), "nehost_tests");
  EXPECT_EQ(owner.udpSocketOwner(connected.local(), server.local()), "nehost_tests");
  // Cached: the second look-up needs no walk over /proc.
  EXPECT_EQ(owner.udpSocketOwner(connected.local(), server.local()), "nehost_tests");
}

TEST(SocketOwner, IPv6Socket) {
  int probe = socket(AF_INET6, SOCK_DGRAM, 0);
  auto any = *SocketAddress::parse("[::1]:0");
  bool v6 = probe >= 0 && bind(probe, any.sockaddrPtr(), any.length()) == 0;
  if (probe >= 0) close(probe);
  if (!v6) GTEST_SKIP() << "no IPv6 loopback";
  UdpSocket server("[::1]:0"), client("[::1]:0");
  EXPECT_EQ(SocketOwner().udpSocketOwner(client.local(), server.local()), "nehost_tests");
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
