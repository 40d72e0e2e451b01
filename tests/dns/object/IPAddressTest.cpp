#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dns/object/DNSAResourceRecord.h"
#include "dns/object/IPAddress.h"
#include "dns/object/IPv4.h"
#include "dns/object/IPv6.h"
#include "platform/foundation/NamedException.h"

using namespace DnsObjects;
using Bytes = std::vector<uint8_t>;
using Groups = std::vector<std::string>;

namespace {

TEST(IPv4Class, TextForms) {
  struct Case {
    const char* text;
    bool valid;
    bool correct;
    const char* error;  // "" when valid
    uint8_t subnetMask;
    const char* subnet;
    const char* correctForm;
  } cases[] = {
      {"192.168.1.1", true, true, "", 32, "/32", "192.168.1.1"},
      {"10.0.0.0/24", true, true, "", 24, "/24", "10.0.0.0"},
      {"10.0.0.0/08", true, false, "", 8, "/8", "10.0.0.0"},
      {"010.1.2.3", true, false, "", 32, "/32", "10.1.2.3"},
      {"10.0.0.0/40", false, false, "Invalid subnet mask", 40, "/40", ""},
      {"10.0.0.0/100", false, false, "Invalid IPv4 Address", 32, "/32", "10.0.0.0"},
      {"256.1.1.1", false, true, "Invalid IPv4 Address", 32, "/32", "256.1.1.1"},
      {"1.2.3", false, true, "Invalid IPv4 Address", 32, "/32", "1.2.3"},
      {"1.2.3.4.5", false, true, "Invalid IPv4 Address", 32, "/32", "1.2.3.4.5"},
      {"1.2.3.x", false, false, "Invalid IPv4 Address", 32, "/32", "1.2.3.0"},
      {"", false, false, "Invalid IPv4 Address", 32, "/32", "0"},
      {"::1", false, false, "Invalid IPv4 Address", 32, "/32", "0"},
  };
  for (const auto& c : cases) {
    IPv4 ip(c.text);
    EXPECT_EQ(ip.valid(), c.valid) << c.text;
    EXPECT_EQ(ip.correct(), c.correct) << c.text;
    EXPECT_EQ(ip.error().value_or(""), c.error) << c.text;
    EXPECT_EQ(ip.subnetMask(), c.subnetMask) << c.text;
    EXPECT_EQ(ip.subnet(), c.subnet) << c.text;
    EXPECT_EQ(ip.correctForm().value_or(""), c.correctForm) << c.text;
    EXPECT_EQ(ip.address(), c.text);
    EXPECT_EQ(ip.groups(), 4);
    EXPECT_TRUE(ip.v4());
  }
}

TEST(IPv4Class, SubnetRange) {
  IPv4 net("192.168.7.9/24");
  EXPECT_EQ(net.mask(), "110000001010100000000111");
  EXPECT_EQ(net.startAddress()->address(), "192.168.7.0");
  EXPECT_EQ(net.endAddress()->address(), "192.168.7.255");
  EXPECT_EQ(IPv4("1.2.3.4/0").startAddress()->address(), "0.0.0.0");
  EXPECT_EQ(IPv4("1.2.3.4/0").endAddress()->address(), "255.255.255.255");
  EXPECT_TRUE(IPv4("192.168.7.200").isInSubnet(net));
  EXPECT_FALSE(IPv4("192.168.8.1").isInSubnet(net));
  EXPECT_FALSE(IPv4("192.168.7.0/16").isInSubnet(net));  // wider than the subnet
  EXPECT_FALSE(IPv4("192.168.7.1").isInSubnet(IPv6("::/0")));
}

TEST(IPv4Class, InvalidSubnetDoesNotBreakRangeHelpers) {
  IPv4 bad("10.1.2.3/40");
  EXPECT_EQ(bad.mask(), std::string(32, '0'));
  EXPECT_EQ(bad.startAddress()->address(), "0.0.0.0");
  EXPECT_EQ(bad.endAddress()->address(), "0.0.0.0");
  EXPECT_FALSE(IPv4("10.1.2.3").isInSubnet(bad));
  EXPECT_EQ(IPv4("1.2.3.4").bitsBase2WithStart(-5, 500).size(), 32u);
  EXPECT_EQ(IPv4("1.2.3.4").bitsBase2WithStart(20, 10), "");
  EXPECT_EQ(IPv4("1.2.3.4").maskWith(200).size(), 32u);
  EXPECT_EQ(bad.data(), (Bytes{0, 0, 0, 0}));
}

TEST(IPv4Class, NumericForms) {
  IPv4 ip("192.168.1.1");
  EXPECT_EQ(ip.hex(), "c0:a8:01:01");
  EXPECT_EQ(ip.v6Group(), "c0a8:101");
  EXPECT_EQ(ip.reversedForm(), "1.1.168.192.in-addr.arpa.");
  EXPECT_EQ(ip.data(), (Bytes{192, 168, 1, 1}));
  EXPECT_EQ(ip.bigInteger().toStringWithRadix(10), "3232235777");
  EXPECT_EQ(ip.binaryZeroPad(), "11000000101010000000000100000001");
  EXPECT_EQ(IPv4("0.0.0.1").binaryZeroPad(), std::string(31, '0') + "1");
  EXPECT_TRUE(IPv4("nope").bigInteger().isZero());
  EXPECT_EQ(IPv4::ipv4FromInteger(0xC0A80101)->address(), "192.168.1.1");
  EXPECT_EQ(IPv4::ipv4FromInteger(5)->address(), "0.0.0.5");
  EXPECT_EQ(IPv4::ipv4FromHex("c0:a8:01:01")->address(), "192.168.1.1");
  EXPECT_EQ(IPv4::ipv4FromHex("7f000001")->address(), "127.0.0.1");
  EXPECT_EQ(IPv4::fromBigInteger(BigInt(int64_t{0x0A000001}))->address(), "10.0.0.1");
  EXPECT_FALSE(IPv4::fromBigInteger(BigInt(uint64_t{1} << 32))->valid());
  EXPECT_FALSE(IPv4::fromBigInteger(BigInt(-1))->valid());
}

TEST(IPv6Class, Parsing) {
  struct Case {
    const char* text;
    bool valid;
    const char* error;
    Groups groups;
  } cases[] = {
      {"::1", true, "", {"0", "0", "0", "0", "0", "0", "0", "1"}},
      {"::", true, "", {"0", "0", "0", "0", "0", "0", "0", "0"}},
      {"2001:DB8::0:1", true, "", {"2001", "db8", "0", "0", "0", "0", "0", "1"}},
      {"2001:0db8:0000:0000:0000:0000:0000:0001", true, "", {"2001", "db8", "0", "0", "0", "0", "0", "1"}},
      {"::ffff:192.168.1.1", true, "", {"0", "0", "0", "0", "0", "ffff", "c0a8", "101"}},
      {"::ffff:192.168.01.1", false, "IPv4 addresses cannot have leading zeroes", {}},
      {"1::2::3", false, "Too many :: groups found", {}},
      {"1:2:3:4:5:6:7:", false, "Address failed regex: 7:", {}},
      {":1:2:3:4:5:6:7", false, "Address failed regex: :1", {}},
      {"1:::2", false, "Address failed regex: :::", {}},
      {"12345::abcdef", false, "Address failed regex: 12345 abcdef", {}},
      {"1::2:3:4:5:6:7:8", false, "Error parsing groups", {}},
      {"1:2:3:4:5:6:7:8::", false, "Error parsing groups", {}},
      {"1:2:3:4:5:6:7:8:9::", false, "Error parsing groups", {}},
      {"1:2:3:4:5:6:7", false, "Incorrect number of groups found", {}},
      {"1:2:3:4:5:6:7:8:9", false, "Incorrect number of groups found", {}},
      {"", false, "Incorrect number of groups found", {}},
      {"%eth0", false, "Incorrect number of groups found", {}},
      {"/64", false, "Incorrect number of groups found", {}},
      {":", false, "Incorrect number of groups found", {}},
      {"1:2:3:4:5:6:7:g", false, "Bad character detected in address: g", {}},
      {"xy::z", false, "Bad characters detected in address: xyz", {}},
      {"::1.2.3", false, "Bad characters detected in address: ..", {}},
      {"1::2/", false, "Invalid subnet mask", {}},
      {"1::2/x", false, "Invalid subnet mask", {}},
      {"1::/2/64", false, "Invalid subnet mask", {}},
      {"1::2/300", false, "Invalid subnet mask", {}},
      {"1::2/1280", false, "Invalid subnet mask", {}},
  };
  for (const auto& c : cases) {
    IPv6 ip(c.text);
    EXPECT_EQ(ip.valid(), c.valid) << c.text;
    EXPECT_EQ(ip.error().value_or(""), c.error) << c.text;
    if (c.valid) {
      ASSERT_TRUE(ip.parsedAddress()) << c.text;
      EXPECT_EQ(*ip.parsedAddress(), c.groups) << c.text;
    } else {
      EXPECT_FALSE(ip.parsedAddress()) << c.text;
      EXPECT_TRUE(ip.bigInteger().isZero()) << c.text;
      EXPECT_FALSE(ip.decimal()) << c.text;
      EXPECT_FALSE(ip.correctForm()) << c.text;
    }
  }
}

TEST(IPv6Class, LoopbackForms) {
  IPv6 ip("::1");
  EXPECT_EQ(ip.elidedGroups(), 7);
  EXPECT_EQ(ip.elisionBegin(), 0);
  EXPECT_EQ(ip.elisionEnd(), 7);
  EXPECT_EQ(ip.correctForm(), "::1");
  EXPECT_TRUE(ip.correct());
  EXPECT_EQ(ip.canonicalForm(), "0000:0000:0000:0000:0000:0000:0000:0001");
  EXPECT_FALSE(ip.canonical());
  EXPECT_TRUE(IPv6("0000:0000:0000:0000:0000:0000:0000:0001").canonical());
  EXPECT_EQ(ip.decimal(), "00000:00000:00000:00000:00000:00000:00000:00001");
  EXPECT_EQ(ip.data(), (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
}

TEST(IPv6Class, ShortestForm) {
  struct Case {
    const char* text;
    const char* correctForm;
  } cases[] = {
      {"0:0:0:0:0:0:0:0", "::"},
      {"1:0:0:0:0:0:0:0", "1::"},
      {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},
      {"1:0:0:2:3:0:0:4", "1::2:3:0:0:4"},
      {"1:0:2:3:4:5:6:7", "1:0:2:3:4:5:6:7"},
      {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
      {"FE80::0001", "fe80::1"},
  };
  for (const auto& c : cases) EXPECT_EQ(IPv6(c.text).correctForm(), c.correctForm) << c.text;
  EXPECT_FALSE(IPv6("FE80::0001").correct());
  EXPECT_TRUE(IPv6("fe80::1/64").correct());
  EXPECT_FALSE(IPv6("fe80::1/064").correct());
}

TEST(IPv6Class, SuffixAndZone) {
  IPv6 zoned("fe80::1%en0");
  EXPECT_TRUE(zoned.valid());
  EXPECT_EQ(zoned.zone(), "%en0");
  EXPECT_EQ(zoned.addressMinusSuffix(), "fe80::1");
  IPv6 both("fe80::1%en0/64");
  EXPECT_TRUE(both.valid());
  EXPECT_EQ(both.zone(), "%en0");
  EXPECT_EQ(both.subnetMask(), 64);
  EXPECT_EQ(both.subnet(), "/64");
  IPv6 net("2001:db8::/32");
  EXPECT_EQ(net.parsedSubnet(), "32");
  EXPECT_EQ(net.startAddress()->correctForm(), "2001:db8::");
  EXPECT_EQ(net.endAddress()->correctForm(), "2001:db8:ffff:ffff:ffff:ffff:ffff:ffff");
  EXPECT_TRUE(IPv6("2001:db8:1::5").isInSubnet(net));
  EXPECT_FALSE(IPv6("2001:db9::5").isInSubnet(net));
  EXPECT_FALSE(IPv6("2001:db8::5").isInSubnet(IPv4("1.2.3.4/8")));
  IPv6 tooWide("1::2/300");
  EXPECT_EQ(tooWide.mask().size(), 128u);
  EXPECT_EQ(tooWide.startAddress()->correctForm(), "::");
}

TEST(IPv6Class, V4InV6AndBits) {
  IPv6 mapped("::ffff:192.168.1.1");
  EXPECT_TRUE(mapped.v4());
  EXPECT_EQ(mapped.v4inv6(), "::ffff:192.168.1.1");
  EXPECT_EQ(IPv6("::").v4inv6(), "::0.0.0.0");
  EXPECT_EQ(mapped.bitsBase16WithStart(96, 128), "C0A80101");
  EXPECT_EQ(mapped.bitsBase16WithStart(0, 16), "0000");
  EXPECT_EQ(mapped.bitsBase16WithStart(0, 6), std::nullopt);
  EXPECT_EQ(mapped.bitsWithStart(80, 96).toStringWithRadix(16), "FFFF");
  EXPECT_EQ(mapped.bitsBase16WithStart(120, 400), "01");
  EXPECT_EQ(mapped.bitsBase16WithStart(124, 400), "1");
}

TEST(IPv6Class, ReversedForm) {
  EXPECT_EQ(IPv6("2001:db8::567:89ab").reversedForm(),
            "b.a.9.8.7.6.5.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa.");
  EXPECT_EQ(IPv6("2001:db8::/32").reversedForm(), "8.b.d.0.1.0.0.2.ip6.arpa.");
  EXPECT_EQ(IPv6("::/0").reversedForm(), ".ip6.arpa.");
}

TEST(IPv6Class, FromBigInteger) {
  const BigInt value("20010db8000000000000000000000001", 16);
  auto ip = IPv6::fromBigInteger(value);
  EXPECT_TRUE(ip->valid());
  EXPECT_EQ(ip->correctForm(), "2001:db8::1");
  EXPECT_FALSE(IPv6::fromBigInteger(BigInt(1).shiftLeft(128))->valid());
  EXPECT_FALSE(IPv6::fromBigInteger(BigInt(-1))->valid());
}

TEST(IPAddressClass, PicksTheFamily) {
  IPAddress v4("10.0.0.1");
  EXPECT_TRUE(v4.v4());
  EXPECT_TRUE(std::dynamic_pointer_cast<IPv4>(v4.underlyingAddress()));
  IPAddress v6("fe80::1");
  EXPECT_TRUE(std::dynamic_pointer_cast<IPv6>(v6.underlyingAddress()));
  EXPECT_EQ(v6.correctForm(), "fe80::1");
  IPAddress junk("junk");
  EXPECT_FALSE(junk.valid());
  EXPECT_TRUE(std::dynamic_pointer_cast<IPv6>(junk.underlyingAddress()));
  EXPECT_TRUE(IPAddress("10.0.0.1").isInSubnet(IPAddress("10.0.0.0/8")));
}

TEST(IPAddressClass, FromData) {
  auto v4 = IPAddress::addressWithData(Bytes{93, 184, 216, 34});
  EXPECT_EQ(v4->address(), "93.184.216.34");
  EXPECT_EQ(v4->data(), (Bytes{93, 184, 216, 34}));
  const Bytes sixteen = {0, 1, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0x01};
  auto v6 = IPAddress::addressWithData(sixteen);
  EXPECT_TRUE(v6->valid());
  EXPECT_EQ(v6->data(), sixteen);
  EXPECT_EQ(IPAddress::addressWithData(Bytes(16, 0))->data(), Bytes(16, 0));
  EXPECT_EQ(IPAddress::addressWithData(Bytes(16, 0xff))->data(), Bytes(16, 0xff));
  for (size_t length : {0u, 3u, 5u, 15u, 17u}) {
    try {
      IPAddress::addressWithData(Bytes(length, 1));
      ADD_FAILURE() << length;
    } catch (const platform::NamedException& e) {
      EXPECT_EQ(e.name(), "ipInvalidLength");
      EXPECT_EQ(e.reason(), "The provided data length does not correspond to neighter a IPv4 nor a IPv6 address");
    }
  }
}

TEST(ARecord, DecodesAddressFromData) {
  DNSResourceRecord generic;
  generic.name = "h";
  generic.type = 28;
  generic.data = Bytes(16, 0);
  generic.data[15] = 1;
  auto aaaa = DNSAResourceRecord::fromResource(generic);
  ASSERT_TRUE(aaaa->ip);
  EXPECT_TRUE(std::dynamic_pointer_cast<IPv6>(aaaa->ip->underlyingAddress()));
  EXPECT_EQ(aaaa->ip->correctForm(), "::1");
  EXPECT_EQ(aaaa->encodeData(), generic.data);

  generic.data = {1, 2, 3, 4, 5};
  EXPECT_THROW(DNSAResourceRecord::fromResource(generic), platform::NamedException);

  DNSAResourceRecord a;
  a.name = "x";
  a.type = 1;
  a.resourceClass = 1;
  a.ip = IPAddress::addressWithData(Bytes{127, 0, 0, 1});
  auto copy = std::dynamic_pointer_cast<DNSAResourceRecord>(a.copyWithZone());
  ASSERT_TRUE(copy && copy->ip);
  EXPECT_NE(copy->ip, a.ip);
  EXPECT_EQ(copy->encode(), a.encode());
  EXPECT_EQ(a.encode(), (Bytes{1, 'x', 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 4, 127, 0, 0, 1}));
}

TEST(StringPadding, PadsOnTheLeft) {
  EXPECT_EQ(stringByPaddingLeftToLength("abc", 8, "0"), "00000abc");
  EXPECT_EQ(stringByPaddingLeftToLength("abcdefgh", 8, "0"), "abcdefgh");
  EXPECT_EQ(stringByPaddingLeftToLength("abc", 8, "xy"), "xyxyxabc");
  EXPECT_EQ(stringByPaddingLeftToLength("abc", 8, ""), "abc");
}

TEST(AddressHostileText, LongInputsFinish) {
  const std::string longText(200000, ':');
  EXPECT_FALSE(IPv6(longText).valid());
  EXPECT_FALSE(IPv4(std::string(200000, '1')).valid());
  EXPECT_FALSE(IPAddress(std::string(100000, 'f') + "::").valid());
}

}  // namespace
