#include <gtest/gtest.h>

#include "WireBytes.h"
#include "dns/value/Message.h"

using namespace DnsToolsSocket;
using wiretest::header;
using wiretest::hex;
using wiretest::operator+;

namespace {

Message query() {
  Message m;
  m.id = 0x1234;
  m.recursionDesired = true;
  m.questions.push_back(Question{"a.bc.", 1, false, 1});
  return m;
}

EncodeError::Case encodeFailure(const Message& m) {
  try {
    m.serialize();
  } catch (const EncodeError& e) {
    return e.value();
  }
  ADD_FAILURE() << "encoded without error";
  return EncodeError::tooManyEntries;
}

const std::vector<uint8_t> kQuery = hex("1234 0100 0001 0000 0000 0000 01 61 02 62 63 00 0001 0001");

}  // namespace

TEST(MessageEncode, QueryAndCompressedAnswer) {
  Message m = query();
  EXPECT_EQ(m.serialize(), kQuery);

  m.answers.push_back(HostRecord<IPv4>{"a.bc.", false, 1, 60, IPv4(0x0A000001u)});
  auto withAnswer = kQuery + hex("c0 0c 0001 0001 0000003c 0004 0a000001");
  withAnswer[7] = 1;
  EXPECT_EQ(m.serialize(), withAnswer);

  // Without the final dot the text is another key, but the suffix "bc" is known.
  m.answers[0].setName("a.bc");
  auto suffix = kQuery + hex("01 61 c0 0e 0001 0001 0000003c 0004 0a000001");
  suffix[7] = 1;
  EXPECT_EQ(m.serialize(), suffix);
}

TEST(MessageEncode, UniqueBitOnlyOnRecords) {
  Message m = query();
  m.questions[0].unique = true;
  m.answers.push_back(HostRecord<IPv4>{"a.bc.", true, 1, 60, IPv4(1u)});
  const auto bytes = m.serialize();
  EXPECT_EQ(bytes[20], 0x00);
  EXPECT_EQ(bytes[21], 0x01);
  EXPECT_EQ(bytes[26], 0x80);  // after the 2-byte pointer and the type
  EXPECT_EQ(bytes[27], 0x01);
}

TEST(MessageEncode, TextWritesOnlyAttributes) {
  Message m;
  m.answers.push_back(TextRecord{".", false, 1, 0, {{"k", "v"}}, {"x"}});
  const auto bytes = m.serialize();
  EXPECT_EQ(std::vector<uint8_t>(bytes.end() - 6, bytes.end()), hex("0004 03 6b3d76"));
}

TEST(MessageEncode, NameServerLengthCountsWhatWasWritten) {
  Message m = query();
  m.answers.push_back(NameServerRecord{"a.bc.", 2, 1, false, 60, "a.bc."});
  const auto bytes = m.serialize();
  EXPECT_EQ(std::vector<uint8_t>(bytes.end() - 4, bytes.end()), hex("0002 c00c"));

  m.answers[0].as<NameServerRecord>()->nameServer = "ns.bc.";
  const auto longer = m.serialize();
  EXPECT_EQ(std::vector<uint8_t>(longer.end() - 7, longer.end()), hex("0005 02 6e73 c00e"));
}

TEST(MessageEncode, TcpFraming) {
  EXPECT_EQ(query().serializeTCP(), hex("0016") + kQuery);
}

TEST(MessageEncode, OptRecordRoundTrip) {
  const auto wire = header(5, 0x0100, 1, 0, 0, 1) + hex("00 0001 0001") + hex("00 0029 1000 00008000 0006 fde9 0002 6162");
  Message m = Message::deserialize(wire);
  // The question's root name came first: the OPT owner becomes a pointer to it.
  EXPECT_EQ(m.serialize(), header(5, 0x0100, 1, 0, 0, 1) + hex("00 0001 0001") + hex("c0 0c 0029 1000 00008000 0006 fde9 0002 6162"));
  m.questions.clear();
  EXPECT_EQ(m.serialize(), header(5, 0x0100, 0, 0, 0, 1) + hex("00 0029 1000 00008000 0006 fde9 0002 6162"));
}

TEST(MessageEncode, FlagsAndFourBitFields) {
  Message m;
  m.type = MessageType::response;
  m.returnCode = 3;
  EXPECT_EQ(m.serialize(), header(0, 0x8003, 0, 0));
  m.operationCode = 0xFF;  // masked: never spills into the response bit
  m.returnCode = 0xF3;
  m.authoritativeAnswer = m.truncation = m.recursionAvailable = true;
  EXPECT_EQ(m.serialize(), header(0, 0xFE83, 0, 0));
}

TEST(MessageEncode, Limits) {
  Message label = query();
  label.questions[0].name = std::string(192, 'a') + ".";
  EXPECT_EQ(encodeFailure(label), EncodeError::labelTooLong);
  label.questions[0].name = std::string(191, 'a') + ".";
  EXPECT_EQ(Message::deserialize(label.serialize()).questions[0].name, label.questions[0].name);

  Message txt;
  txt.answers.push_back(TextRecord{".", false, 1, 0, {{std::string(200, 'k'), std::string(55, 'v')}}});
  EXPECT_EQ(encodeFailure(txt), EncodeError::textTooLong);
  txt.answers[0].as<TextRecord>()->attributes = {{std::string(200, 'k'), std::string(54, 'v')}};
  EXPECT_NO_THROW(txt.serialize());

  Message raw;
  raw.answers.push_back(Record{".", 99, 1, false, 0, std::vector<uint8_t>(65536, 0)});
  EXPECT_EQ(encodeFailure(raw), EncodeError::dataTooLong);

  Message many;
  many.questions.assign(65536, Question{".", 1, false, 1});
  EXPECT_EQ(encodeFailure(many), EncodeError::tooManyEntries);

  Message big;
  big.answers.push_back(Record{".", 99, 1, false, 0, std::vector<uint8_t>(65536 - 23, 0)});
  EXPECT_NO_THROW(big.serialize());
  try {
    big.serializeTCP();
    ADD_FAILURE() << "a 65,536-byte message was framed";
  } catch (const EncodeError& e) {
    EXPECT_EQ(e.value(), EncodeError::messageTooLong);
  }
}

TEST(MessageEncode, NoPointerPastFourteenBits) {
  // A name first written past offset 0x3FFF is written in full each time.
  Message m;
  m.answers.push_back(Record{".", 99, 1, false, 0, std::vector<uint8_t>(0x4000, 0)});
  m.answers.push_back(AliasRecord{"far.example.", false, 1, 0, "far.example."});
  const auto bytes = m.serialize();
  Message back = Message::deserialize(bytes);
  EXPECT_EQ(back.answers[1].as<AliasRecord>()->canonicalName, "far.example.");
  for (size_t i = 0x4000; i + 1 < bytes.size(); ++i) EXPECT_LT(bytes[i], 0xC0) << i;
}

TEST(MessageEncode, RoundTrips) {
  Message m;
  m.id = 77;
  m.type = MessageType::response;
  m.recursionDesired = m.recursionAvailable = true;
  m.questions.push_back(Question{"www.example.com.", 1, false, 1});
  m.answers.push_back(AliasRecord{"www.example.com.", false, 1, 300, "cdn.example.net."});
  m.answers.push_back(AliasRecord{"cdn.example.net.", false, 1, 300, "edge.cdn.example.net."});
  m.answers.push_back(HostRecord<IPv4>{"edge.cdn.example.net.", false, 1, 60, *IPv4::fromPresentation("192.0.2.7")});
  m.answers.push_back(HostRecord<IPv6>{"edge.cdn.example.net.", false, 1, 60, *IPv6::fromPresentation("2001:db8::7")});
  m.answers.push_back(ServiceRecord{"_sip._udp.example.com.", false, 1, 60, 10, 20, 5060, "sip.example.com."});
  m.answers.push_back(TextRecord{"example.com.", false, 1, 60, {{"v", "spf1"}, {"k", "x=y"}}});
  m.answers.push_back(PointerRecord{"7.2.0.192.in-addr.arpa.", false, 1, 60, "edge.cdn.example.net."});
  m.authorities.push_back(
      StartOfAuthorityRecord{"example.com.", false, 1, 60, "ns1.example.com.", "hostmaster.example.com.", 2026, 7200, -1, 1209600, 300});
  m.authorities.push_back(NameServerRecord{"example.com.", 2, 1, false, 60, "ns1.example.com."});
  // MX with a compressed exchange name: raw data, kept byte for byte.
  const auto wire = m.serialize();
  Message back = Message::deserialize(wire);
  EXPECT_EQ(back.debugDescription(), m.debugDescription());
  EXPECT_EQ(back.serialize(), wire);

  const auto mx = header(3, 0x8180, 1, 1) + hex("07 6578616d706c65 03 636f6d 00 000f 0001") +
                  hex("c0 0c 000f 0001 00000e10 0009 000a 04 6d61696c c0 0c");
  Message mxBack = Message::deserialize(mx);
  ASSERT_NE(mxBack.answers[0].as<Record>(), nullptr);
  EXPECT_EQ(mxBack.answers[0].as<Record>()->data, hex("000a 04 6d61696c c00c"));
  EXPECT_EQ(mxBack.serialize(), mx);
}
