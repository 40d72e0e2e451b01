#include <gtest/gtest.h>

#include <unordered_set>

#include "dns/value/Message.h"
#include "platform/foundation/Log.h"

using namespace DnsToolsSocket;

namespace {

Message emptyResponse() {
  Message m;
  m.id = 7;
  m.type = MessageType::response;
  m.recursionDesired = true;
  m.returnCode = 3;
  return m;
}

}  // namespace

TEST(MessageValue, ResponseDebugText) {
  EXPECT_EQ(emptyResponse().debugDescription(),
            "DNS Response(id: 7, returnCode: 3, authoritativeAnswer: false, truncation: false, "
            "recursionDesired: true, recursionAvailable: false, questions: [], answers: [], authorities: [], "
            "additional: [])");
}

TEST(MessageValue, QueryDebugTextHasNoReturnCode) {
  Message m = emptyResponse();
  m.type = MessageType::query;
  const std::string text = m.debugDescription();
  EXPECT_EQ(text.rfind("DNS Request(id: 7, authoritativeAnswer: false", 0), 0u) << text;
  EXPECT_EQ(text.find("returnCode"), std::string::npos);
}

TEST(MessageValue, DebugTextListsEachElementInOrder) {
  Message m = emptyResponse();
  m.questions.push_back(Question{"a.bc.", 1, false, 1});
  m.answers.push_back(AliasRecord{"a.bc.", false, 1, 60, "d.bc."});
  m.answers.push_back(HostRecord<IPv4>{"d.bc.", false, 1, 60, IPv4(0x0A000001u)});
  const std::string text = m.debugDescription();
  EXPECT_NE(text.find("questions: [Question(name: \"a.bc.\", type: A, unique: false, internetClass: 1)]"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("answers: [AliasRecord(name: \"a.bc.\", unique: false, internetClass: 1, ttl: 60, "
                      "canonicalName: \"d.bc.\"), HostRecord<IPv4>(name: \"d.bc.\", unique: false, "
                      "internetClass: 1, ttl: 60, ip: 10.0.0.1)]"),
            std::string::npos)
      << text;
}

TEST(MessageValue, TypeDebugTexts) {
  const std::pair<uint16_t, const char*> cases[] = {
      {1, "A"},      {2, "NS"},        {5, "CNAME"}, {6, "SOA"},   {12, "PTR"}, {15, "MX"},   {16, "TXT"},
      {28, "AAAA"},  {33, "SRV"},      {64, "SVCB"}, {65, "HTTPSSVC"}, {251, "IXFR"}, {252, "AXFR"}, {255, "*"},
      {0, "Unknown"}, {3, "Unknown"}, {41, "Unknown"}, {99, "Unknown"}, {254, "Unknown"}, {256, "Unknown"},
      {65535, "Unknown"}};
  for (auto [type, text] : cases) EXPECT_EQ(debugDescription(type), text) << type;
}

TEST(MessageValue, EqualityOfTheKindsThatHaveIt) {
  HostRecord<IPv4> a{"x.", false, 1, 60, IPv4(1u)};
  HostRecord<IPv4> b{"x.", true, 1, 99, IPv4(2u)};
  EXPECT_EQ(a, b);
  EXPECT_EQ(std::hash<HostRecord<IPv4>>{}(a), std::hash<HostRecord<IPv4>>{}(b));
  b.name = "y.";
  EXPECT_NE(a, b);

  PointerRecord p{"x.", false, 1, 60, "d1."};
  PointerRecord q{"x.", false, 1, 60, "d2."};
  EXPECT_NE(p, q);
  q.destination = "d1.";
  EXPECT_EQ(p, q);

  NameServerRecord n1{"x.", 2, 1, false, 1, "ns1."};
  NameServerRecord n2{"x.", 2, 3, true, 9, "ns1."};
  EXPECT_EQ(n1, n2);
  std::unordered_set<NameServerRecord> set{n1, n2};
  EXPECT_EQ(set.size(), 1u);

  EXPECT_EQ((ServiceRecord{"s.", false, 1, 1, 1, 2, 3, "a."}), (ServiceRecord{"s.", false, 1, 1, 9, 9, 9, "b."}));
}

TEST(MessageValue, TextRecordStartsWithoutValues) {
  TextRecord t{"t.", false, 1, 60, {{"k", "v"}}};
  EXPECT_TRUE(t.values.empty());
  EXPECT_EQ(t.attributes.at("k"), "v");
}

TEST(MessageValue, NamedConstants) {
  EXPECT_EQ(ReturnCode::rrSetThatShouldExistDoestNot, 8);
  EXPECT_EQ(ReturnCode::nameNotContainedInZone, 10);
  EXPECT_EQ(OperationCode::update, 5);
  EXPECT_EQ(ResourceRecordType::HTTPSSVC, 65);
  EXPECT_EQ(InternetClass::any, 255);
  EXPECT_EQ(static_cast<int>(DecodeError::invalidQuestion), 7);
  EXPECT_EQ(DecodeError(DecodeError::invalidLabelSize), DecodeError::invalidLabelSize);
  EXPECT_STREQ(DecodeError(DecodeError::invalidDataSize).what(), "invalidDataSize");
}

TEST(MessageValue, ChangeIPKeepsTheOldAddressOnBadText) {
  platform::LogCapture capture;
  HostRecord<IPv4> r{"x.", false, 1, 60, IPv4(1u)};
  r.changeIP("10.1.2.3");
  EXPECT_EQ(r.ip.presentation(), "10.1.2.3");
  r.changeIP("::1");
  EXPECT_EQ(r.ip.presentation(), "10.1.2.3");
  EXPECT_TRUE(capture.contains("*** wrong ip ***"));

  HostRecord<IPv6> six{"x.", false, 1, 60, *IPv6::fromPresentation("::1")};
  six.changeIP("10.0.0.1");
  EXPECT_EQ(six.ip.presentation(), "::1");
}

TEST(MessageValue, RecordAccessorsReachEveryKind) {
  std::vector<ResourceRecord> records{
      Record{"r.", 15, 1, false, 1, {}},          NameServerRecord{"n.", 2, 1, false, 1, "ns."},
      HostRecord<IPv4>{"h.", false, 1, 1, {}},    HostRecord<IPv6>{"h6.", false, 1, 1, {}},
      ServiceRecord{"s.", false, 1, 1, 0, 0, 0, "t."}, TextRecord{"t.", false, 1, 1, {}},
      PointerRecord{"p.", false, 1, 1, "d."},     AliasRecord{"a.", false, 1, 1, "c."},
      StartOfAuthorityRecord{"z.", false, 1, 1, "m.", "r.", 1, 2, 3, 4, 5}};
  const uint16_t types[] = {15, 2, 1, 28, 33, 16, 12, 5, 6};
  for (size_t i = 0; i < records.size(); ++i) {
    auto copy = records[i];
    copy.setName("changed.");
    copy.setUnique(true);
    copy.setInternetClass(4);
    copy.setTtl(77);
    EXPECT_EQ(copy.name(), "changed.");
    EXPECT_TRUE(copy.unique());
    EXPECT_EQ(copy.internetClass(), 4);
    EXPECT_EQ(copy.ttl(), 77u);
    EXPECT_EQ(copy.type(), types[i]);
    EXPECT_NE(records[i].name(), "changed.");  // copies are independent
  }
}
