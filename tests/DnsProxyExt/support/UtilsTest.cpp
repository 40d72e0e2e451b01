#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

#include "DnsProxyExt/Utils.h"

using namespace dnsproxyext;

TEST(DNSHost, ParsesAddressAndPortTable) {
  struct Case {
    std::string text;
    std::string address;
    int64_t port;
  } cases[] = {
      {"192.0.2.1:81", "192.0.2.1", 81},
      {"192.0.2.1", "192.0.2.1", 53},
      {"192.0.2.1:", "192.0.2.1", 53},
      {"192.0.2.1:abc", "192.0.2.1", 53},
      {"192.0.2.1:81x", "192.0.2.1", 53},
      {"192.0.2.1:81:99", "192.0.2.1", 81},
      {"192.0.2.1::99", "192.0.2.1", 53},
      {"", "", 53},
      {":", "", 53},
      {"2001:db8::1", "2001", 53},
      {"fe80:443::1", "fe80", 443},
      {"h:+81", "h", 81},
      {"h:-5", "h", -5},
      {"h:+", "h", 53},
      {"h:-", "h", 53},
      {"h: 81", "h", 53},
      {"h:70000", "h", 70000},
      {"h:9223372036854775807", "h", std::numeric_limits<int64_t>::max()},
      {"h:-9223372036854775808", "h", std::numeric_limits<int64_t>::min()},
      {"h:9223372036854775808", "h", 53},
      {"h:-9223372036854775809", "h", 53},
      {"h:99999999999999999999999", "h", 53},
  };
  for (const auto& c : cases) {
    Utils::DNSHost host(c.text);
    EXPECT_EQ(host.address, c.address) << c.text;
    EXPECT_EQ(host.port, c.port) << c.text;
  }
}

TEST(DNSHost, DebugDescriptionJoinsAddressAndPort) {
  EXPECT_EQ(Utils::DNSHost("192.0.2.9").debugDescription(), "192.0.2.9:53");
  EXPECT_EQ(Utils::DNSHost("192.0.2.9:81").debugDescription(), "192.0.2.9:81");
  EXPECT_EQ(Utils::DNSHost("h:-5").debugDescription(), "h:-5");
}

TEST(ParseCommaDelimitedArr, SplitsWithoutTrimming) {
  using V = std::vector<std::string>;
  struct Case {
    std::string text;
    V pieces;
  } cases[] = {
      {"a,b", V{"a", "b"}},
      {"a, b", V{"a", " b"}},
      {"a,,b", V{"a", "", "b"}},
      {"a,", V{"a", ""}},
      {",", V{"", ""}},
      {"", V{}},
      {"single", V{"single"}},
  };
  for (const auto& c : cases) EXPECT_EQ(parseCommaDelimitedArr(c.text), c.pieces) << c.text;
}

TEST(HexHelpers, EncodeAndDescribe) {
  const std::vector<uint8_t> data{0x0A, 0xFF};
  EXPECT_EQ(hexEncodedString(data), "0a ff ");
  EXPECT_EQ(hexEncodedString(data, HexEncodingOptions::upperCase), "0A FF ");
  EXPECT_EQ(hexEncodedString(data, HexEncodingOptions(2)), "0a ff ");
  EXPECT_EQ(hexDescription(data), "  0a ff");
  EXPECT_EQ(hexEncodedString({}), "");
  EXPECT_EQ(hexDescription({}), " ");
  EXPECT_EQ(bytes(data), data);
}

TEST(HexHelpers, SubdataIsInclusiveAndBoundsChecked) {
  const std::vector<uint8_t> data{1, 2, 3, 4};
  EXPECT_EQ(subdata(data, 1, 2), (std::vector<uint8_t>{2, 3}));
  EXPECT_EQ(subdata(data, 0, 3), data);
  EXPECT_EQ(subdata(data, 2, 1), std::vector<uint8_t>{});
  EXPECT_EQ(subdata(data, 4, 3), std::vector<uint8_t>{});
  struct Bad {
    int64_t lower, upper;
  } bad[] = {
      {0, 4},
      {-1, 1},
      {3, 1},
      {5, 4},
      {0, std::numeric_limits<int64_t>::max()},
      {std::numeric_limits<int64_t>::min(), 0},
      {2, std::numeric_limits<int64_t>::max() - 1},
  };
  for (const auto& b : bad) {
    EXPECT_THROW(subdata(data, b.lower, b.upper), std::out_of_range) << b.lower << ".." << b.upper;
  }
  EXPECT_THROW(subdata({}, 0, 0), std::out_of_range);
}

TEST(HexEncodingOptions, SetAlgebraOnRawBits) {
  HexEncodingOptions empty;
  HexEncodingOptions upper = HexEncodingOptions::upperCase;
  HexEncodingOptions three(3);
  EXPECT_TRUE(empty.isEmpty());
  EXPECT_EQ(upper.rawValue, 1);
  EXPECT_EQ((HexEncodingOptions{upper, HexEncodingOptions(4)}).rawValue, 5);
  EXPECT_EQ(upper.unionWith(HexEncodingOptions(2)).rawValue, 3);
  EXPECT_EQ(three.intersection(HexEncodingOptions(6)).rawValue, 2);
  EXPECT_EQ(three.symmetricDifference(HexEncodingOptions(6)).rawValue, 5);
  EXPECT_EQ(three.subtracting(upper).rawValue, 2);
  EXPECT_TRUE(three.contains(upper));
  EXPECT_TRUE(three.isSuperset(upper));
  EXPECT_FALSE(upper.contains(three));
  EXPECT_TRUE(upper.isSubset(three));
  EXPECT_FALSE(three.isSubset(upper));
  EXPECT_TRUE(upper.isDisjoint(HexEncodingOptions(2)));
  EXPECT_FALSE(three.isDisjoint(upper));

  HexEncodingOptions set;
  auto first = set.insert(upper);
  EXPECT_TRUE(first.first);
  EXPECT_EQ(first.second, upper);
  EXPECT_FALSE(set.insert(upper).first);
  EXPECT_EQ(set.remove(HexEncodingOptions(3)), upper);
  EXPECT_EQ(set.remove(upper), std::nullopt);
  EXPECT_TRUE(set.isEmpty());
}

TEST(DatagramLists, RoundTripAndForeignElementsDropped) {
  std::vector<std::vector<uint8_t>> datagrams{{1, 2}, {}, {3}};
  auto objects = datagramsToObjects(datagrams);
  ASSERT_EQ(objects.size(), 3u);
  EXPECT_EQ(objectsToDatagrams(objects), datagrams);
  objects.insert(objects.begin() + 1, std::string("not bytes"));
  EXPECT_EQ(objectsToDatagrams(objects), datagrams);
}
