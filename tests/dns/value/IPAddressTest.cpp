#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "dns/value/IPv4.h"
#include "dns/value/IPv6.h"

using namespace DnsToolsSocket;

TEST(IPAddress, NetworkBytesNeedTheExactLength) {
  for (size_t n : {0u, 3u, 5u}) EXPECT_FALSE(IPv4::fromNetworkBytes(std::vector<uint8_t>(n, 1))) << n;
  for (size_t n : {0u, 4u, 15u, 17u}) EXPECT_FALSE(IPv6::fromNetworkBytes(std::vector<uint8_t>(n, 1))) << n;
}

TEST(IPAddress, TextAndBytesGiveEqualValues) {
  const std::vector<uint8_t> v4{10, 0, 0, 1};
  auto fromText = IPv4::fromPresentation("10.0.0.1");
  auto fromBytes = IPv4::fromNetworkBytes(v4);
  ASSERT_TRUE(fromText && fromBytes);
  EXPECT_EQ(*fromText, *fromBytes);
  EXPECT_EQ(std::hash<IPv4>{}(*fromText), std::hash<IPv4>{}(*fromBytes));
  EXPECT_EQ(fromText->bytes(), v4);
  EXPECT_EQ(fromBytes->presentation(), "10.0.0.1");

  std::vector<uint8_t> v6(16, 0);
  v6[0] = 0x20, v6[1] = 0x01, v6[2] = 0x0d, v6[3] = 0xb8, v6[15] = 1;
  auto six = IPv6::fromPresentation("2001:db8::1");
  auto sixBytes = IPv6::fromNetworkBytes(v6);
  ASSERT_TRUE(six && sixBytes);
  EXPECT_EQ(*six, *sixBytes);
  EXPECT_EQ(std::hash<IPv6>{}(*six), std::hash<IPv6>{}(*sixBytes));
  EXPECT_EQ(six->bytes(), v6);
}

TEST(IPAddress, RejectsTextsOfOtherKinds) {
  for (const char* text : {"example.com", "", "::1", "10.0.0", "10.0.0.256", "10.0.0.1 "})
    EXPECT_FALSE(IPv4::fromPresentation(text)) << text;
  for (const char* text : {"example.com", "", "10.0.0.1", ":::1"}) EXPECT_FALSE(IPv6::fromPresentation(text)) << text;
  EXPECT_FALSE(IPv4::fromPresentation(std::string("1.2.3.4\0x", 9)));
}

TEST(IPAddress, IntegerIsHostOrder) {
  IPv4 ip = 0xC0000201u;
  EXPECT_EQ(ip.bytes(), (std::vector<uint8_t>{192, 0, 2, 1}));
  EXPECT_EQ(ip.presentation(), "192.0.2.1");
  EXPECT_EQ(ip.debugDescription(), ip.presentation());
}

TEST(IPAddress, IPv6EqualityGoesByText) {
  auto compressed = IPv6::fromPresentation("2001:db8::1");
  auto full = IPv6::fromPresentation("2001:0db8:0000:0000:0000:0000:0000:0001");
  ASSERT_TRUE(compressed && full);
  EXPECT_EQ(*compressed, *full);
  EXPECT_EQ(full->presentation(), "2001:db8::1");
  EXPECT_EQ(full->debugDescription(), "2001:db8::1");
  EXPECT_NE(*compressed, *IPv6::fromPresentation("2001:db8::2"));
}
