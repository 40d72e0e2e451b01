#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "WireBytes.h"
#include "dns/value/Message.h"

using namespace DnsToolsSocket;
using wiretest::header;
using wiretest::hex;
using wiretest::operator+;

namespace {

DecodeError::Case decodeFailure(const std::vector<uint8_t>& bytes) {
  try {
    Message::deserialize(bytes);
  } catch (const DecodeError& e) {
    return e.value();
  }
  ADD_FAILURE() << "decoded without error";
  return DecodeError::invalidMessageSize;
}

// Question a.bc. A IN, at offset 12.
const std::vector<uint8_t> kQuestion = hex("01 61 02 62 63 00 0001 0001");

}  // namespace

TEST(MessageDecode, HeaderSizeAndFlags) {
  EXPECT_EQ(decodeFailure(std::vector<uint8_t>(11, 0)), DecodeError::invalidMessageSize);

  Message zero = Message::deserialize(std::vector<uint8_t>(12, 0));
  EXPECT_EQ(zero.id, 0);
  EXPECT_EQ(zero.type, MessageType::query);
  EXPECT_EQ(zero.operationCode, 0);
  EXPECT_FALSE(zero.authoritativeAnswer || zero.truncation || zero.recursionDesired || zero.recursionAvailable);
  EXPECT_EQ(zero.returnCode, 0);
  EXPECT_TRUE(zero.questions.empty() && zero.answers.empty() && zero.authorities.empty() && zero.additional.empty());

  Message a = Message::deserialize(header(1, 0x8180, 0, 0));
  EXPECT_EQ(a.type, MessageType::response);
  EXPECT_TRUE(a.recursionDesired && a.recursionAvailable);
  EXPECT_FALSE(a.authoritativeAnswer || a.truncation);
  EXPECT_EQ(a.returnCode, 0);

  Message b = Message::deserialize(header(1, 0x8409, 0, 0));
  EXPECT_EQ(b.type, MessageType::response);
  EXPECT_TRUE(b.authoritativeAnswer);
  EXPECT_EQ(b.returnCode, 9);

  EXPECT_EQ(Message::deserialize(header(1, 0x7800, 0, 0)).operationCode, 15);
  EXPECT_TRUE(Message::deserialize(header(1, 0x0200, 0, 0)).truncation);
}

TEST(MessageDecode, Names) {
  struct Case {
    const char* name;
    std::vector<uint8_t> nameBytes;
    std::string expected;
  };
  const Case cases[] = {
      {"labels", hex("01 61 02 62 63 00"), "a.bc."},
      {"root", hex("00"), "."},
      {"64-byte label", hex("40") + std::vector<uint8_t>(64, 'x') + hex("00"), std::string(64, 'x') + "."},
      {"dot inside a label", hex("03 61 2e 62 00"), "a.b."},
      {"utf-8 label", hex("02 c3 a9 00"), "\xc3\xa9."},
  };
  for (const auto& c : cases) {
    Message m = Message::deserialize(header(1, 0, 1, 0) + c.nameBytes + hex("0001 0001"));
    ASSERT_EQ(m.questions.size(), 1u) << c.name;
    EXPECT_EQ(m.questions[0].name, c.expected) << c.name;
  }
}

TEST(MessageDecode, CompressionPointers) {
  // Answer owner C0 0C points at the question's name.
  Message m = Message::deserialize(header(1, 0x8180, 1, 1) + kQuestion + hex("c0 0c 0001 0001 0000003c 0004 0a000001"));
  ASSERT_EQ(m.answers.size(), 1u);
  EXPECT_EQ(m.answers[0].name(), "a.bc.");
  ASSERT_NE(m.answers[0].as<HostRecord<IPv4>>(), nullptr);
  EXPECT_EQ(m.answers[0].as<HostRecord<IPv4>>()->ip.presentation(), "10.0.0.1");

  // Label then pointer to the suffix "bc." at offset 14.
  Message s = Message::deserialize(header(1, 0x8180, 1, 1) + kQuestion + hex("01 78 c0 0e 0001 0001 0000003c 0004 0a000001"));
  EXPECT_EQ(s.answers[0].name(), "x.bc.");

  // A pointer to the start of its own name, or forward, is rejected.
  EXPECT_EQ(decodeFailure(header(1, 0, 1, 0) + hex("c0 0c 0001 0001")), DecodeError::invalidLabelOffset);
  EXPECT_EQ(decodeFailure(header(1, 0, 1, 0) + hex("c0 10 0001 0001 00")), DecodeError::invalidLabelOffset);
  // A pointer missing its second byte.
  EXPECT_EQ(decodeFailure(header(1, 0, 1, 0) + hex("c0")), DecodeError::invalidIntegerSize);

  // Text through a pointer is split at dots and loses its empty pieces.
  Message d = Message::deserialize(header(1, 0, 2, 0) + hex("02 2e 61 00 0001 0001") + hex("01 62 c0 0c 0001 0001"));
  EXPECT_EQ(d.questions[0].name, ".a.");
  EXPECT_EQ(d.questions[1].name, "b.a.");
}

TEST(MessageDecode, NameFaults) {
  EXPECT_EQ(decodeFailure(header(1, 0, 1, 0) + hex("01 61 05 62 63 64")), DecodeError::invalidLabelSize);
  EXPECT_EQ(decodeFailure(header(1, 0, 1, 0) + hex("01 61 02 62 63")), DecodeError::invalidLabelOffset);
  EXPECT_EQ(decodeFailure(header(1, 0, 1, 0) + hex("02 c3 28 00 0001 0001")), DecodeError::unicodeDecodingError);
  EXPECT_EQ(decodeFailure(header(1, 0, 1, 0) + hex("01 61 00 0001 00")), DecodeError::invalidQuestion);
  // Counts larger than the buffer run out of bytes.
  EXPECT_EQ(decodeFailure(header(1, 0, 2, 0) + kQuestion), DecodeError::invalidLabelOffset);
}

TEST(MessageDecode, NamesLongerThan255WireBytesAreRejected) {
  std::vector<uint8_t> tooLong;  // 4 x 64 bytes + root = 257
  for (int i = 0; i < 4; ++i) tooLong = tooLong + hex("3f") + std::vector<uint8_t>(63, 'a');
  EXPECT_EQ(decodeFailure(header(1, 0, 1, 0) + tooLong + hex("00 0001 0001")), DecodeError::invalidLabelSize);

  std::vector<uint8_t> fits;  // 3 x 64 + 62 + root = 255
  for (int i = 0; i < 3; ++i) fits = fits + hex("3f") + std::vector<uint8_t>(63, 'a');
  fits = fits + hex("3d") + std::vector<uint8_t>(61, 'a') + hex("00");
  EXPECT_EQ(Message::deserialize(header(1, 0, 1, 0) + fits + hex("0001 0001")).questions[0].name.size(), 254u);
}

namespace {

// A raw record whose data is a root name followed by pointers, each aiming at the
// previous one; then as many answers as fit, each owned by the pointer at `entry`.
std::vector<uint8_t> chainMessage(size_t hops, size_t maxAnswers) {
  std::vector<uint8_t> msg = header(1, 0x8180, 0, 0) + hex("00 0063 0001 00000000");
  const size_t dataLength = 16300;  // every pointer target stays below 0x4000
  msg = msg + std::vector<uint8_t>{static_cast<uint8_t>(dataLength >> 8), static_cast<uint8_t>(dataLength)};
  const size_t first = msg.size();
  msg.push_back(0);
  for (size_t at = first + 1; at + 1 < first + dataLength; at += 2) {
    const size_t target = at == first + 1 ? first : at - 2;
    msg.push_back(static_cast<uint8_t>(0xC0 | (target >> 8)));
    msg.push_back(static_cast<uint8_t>(target));
  }
  msg.resize(first + dataLength, 0);
  const size_t entry = first + 1 + 2 * (hops - 2);  // with the owner's own pointer: `hops` hops
  const std::vector<uint8_t> answer =
      std::vector<uint8_t>{static_cast<uint8_t>(0xC0 | (entry >> 8)), static_cast<uint8_t>(entry)} +
      hex("0001 0001 00000000 0004 01020304");
  uint16_t count = 1;
  while (msg.size() + answer.size() <= 65535 && count <= maxAnswers) msg = msg + answer, ++count;
  msg[6] = static_cast<uint8_t>(count >> 8), msg[7] = static_cast<uint8_t>(count);
  return msg;
}

}  // namespace

TEST(MessageDecode, ChainedPointersAreBoundedAndIterative) {
  // A few names at the hop limit decode; one hop more fails.
  Message m = Message::deserialize(chainMessage(kMaxPointerHops, 10));
  ASSERT_EQ(m.answers.size(), 11u);
  EXPECT_EQ(m.answers.back().name(), ".");
  EXPECT_EQ(decodeFailure(chainMessage(kMaxPointerHops + 1, 1)), DecodeError::invalidLabelOffset);

  // Thousands of names at the limit still decode: the per-name limits bound the work.
  Message deep = Message::deserialize(chainMessage(kMaxPointerHops, 65535));
  EXPECT_GT(deep.answers.size(), 3000u);
  EXPECT_EQ(deep.answers.back().name(), ".");
  // Thousands of one-hop names are ordinary compression.
  Message many = Message::deserialize(chainMessage(2, 65535));
  EXPECT_GT(many.answers.size(), 3000u);
}

namespace {

// A 2,120-byte answer: a question, ten A records each owned by a new label in
// front of a pointer to the previous owner (a 10-deep chain), then 110 A
// records owned by a pointer to the tenth owner.
std::string chainLabel(int level) { return "compression-l" + std::string(level < 10 ? "0" : "") + std::to_string(level); }

std::vector<uint8_t> withLength(const std::string& label) {
  std::vector<uint8_t> out{static_cast<uint8_t>(label.size())};
  out.insert(out.end(), label.begin(), label.end());
  return out;
}

std::vector<uint8_t> pointerTo(size_t offset) {
  return {static_cast<uint8_t>(0xC0 | offset >> 8), static_cast<uint8_t>(offset)};
}

std::vector<uint8_t> deepChainAnswer() {
  std::vector<uint8_t> msg = header(0x2a, 0x8180, 1, 120) + withLength("captive") + withLength("portal") +
                             withLength("example") + hex("00 0001 0001");
  // Type A, class IN, TTL 60, address 10.0.0.n.
  auto data = [](int n) { return hex("0001 0001 0000003c 0004 0a 00 00") + std::vector<uint8_t>{static_cast<uint8_t>(n)}; };
  size_t previous = 12;
  for (int level = 1; level <= 10; ++level) {
    const size_t at = msg.size();
    msg = msg + withLength(chainLabel(level)) + pointerTo(previous) + data(level);
    previous = at;
  }
  for (int n = 11; n <= 120; ++n) msg = msg + pointerTo(previous) + data(n);
  return msg;
}

}  // namespace

TEST(MessageDecode, DeepCompressionChainsThroughManyRecordsDecode) {
  const auto bytes = deepChainAnswer();
  ASSERT_EQ(bytes.size(), 2120u);
  const Message m = Message::deserialize(bytes);
  ASSERT_EQ(m.answers.size(), 120u);
  std::string deepest;
  for (int level = 10; level >= 1; --level) deepest += chainLabel(level) + ".";
  deepest += "captive.portal.example.";
  EXPECT_EQ(m.answers[0].name(), "compression-l01.captive.portal.example.");
  EXPECT_EQ(m.answers[9].name(), deepest);
  EXPECT_EQ(m.answers[119].name(), deepest);
  ASSERT_NE(m.answers[119].as<HostRecord<IPv4>>(), nullptr);
  EXPECT_EQ(m.answers[119].as<HostRecord<IPv4>>()->ip.presentation(), "10.0.0.120");
}

TEST(MessageDecode, ClassTopBitIsUnique) {
  Message m = Message::deserialize(header(1, 0, 1, 0) + hex("00 0001 8001"));
  EXPECT_TRUE(m.questions[0].unique);
  EXPECT_EQ(m.questions[0].internetClass, 1);
}

TEST(MessageDecode, AddressRecords) {
  const auto base = header(1, 0x8180, 0, 1) + hex("00 0001 0001 00000001");
  EXPECT_EQ(decodeFailure(base + hex("0000")), DecodeError::invalidIPAddress);
  EXPECT_EQ(decodeFailure(base + hex("0005 0102030405")), DecodeError::invalidIPAddress);
  EXPECT_EQ(decodeFailure(base + hex("0004 0102")), DecodeError::invalidDataSize);

  const auto six = header(1, 0x8180, 0, 1) + hex("00 001c 0001 00000001 0010 20010db8000000000000000000000001");
  Message m = Message::deserialize(six);
  ASSERT_NE(m.answers[0].as<HostRecord<IPv6>>(), nullptr);
  EXPECT_EQ(m.answers[0].as<HostRecord<IPv6>>()->ip.presentation(), "2001:db8::1");
  EXPECT_EQ(decodeFailure(header(1, 0x8180, 0, 1) + hex("00 001c 0001 00000001 0004 01020304")),
            DecodeError::invalidIPAddress);
}

TEST(MessageDecode, NameRecordsCheckTheirDataLength) {
  // NS whose data length is one more than its name: fails; CNAME with the same fault decodes.
  const auto ns = header(1, 0x8180, 0, 1) + hex("00 0002 0001 00000001 0004 01 61 00 00");
  EXPECT_EQ(decodeFailure(ns), DecodeError::invalidDataSize);
  const auto cname = header(1, 0x8180, 0, 2) + hex("00 0005 0001 00000001 0004 01 61 00 ff") +
                     hex("00 0001 0001 00000001 0004 0a000001");
  Message m = Message::deserialize(cname);
  ASSERT_EQ(m.answers.size(), 2u);
  EXPECT_EQ(m.answers[0].as<AliasRecord>()->canonicalName, "a.");
  // The cursor moved to the data end, so the next record is read from there.
  EXPECT_NE(m.answers[1].as<HostRecord<IPv4>>(), nullptr);

  // A name that runs past its data end, or a data end past the buffer.
  EXPECT_EQ(decodeFailure(header(1, 0x8180, 0, 1) + hex("00 000c 0001 00000001 0001 01 61 00")),
            DecodeError::invalidDataSize);
  EXPECT_EQ(decodeFailure(header(1, 0x8180, 0, 1) + hex("00 0005 0001 00000001 0009 01 61 00")),
            DecodeError::invalidDataSize);

  Message srv = Message::deserialize(header(1, 0x8180, 0, 1) + hex("00 0021 0001 00000001 0009 0001 0002 0035 01 73 00"));
  const auto* s = srv.answers[0].as<ServiceRecord>();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->priority, 1);
  EXPECT_EQ(s->weight, 2);
  EXPECT_EQ(s->port, 53);
  EXPECT_EQ(s->server, "s.");

  Message soa = Message::deserialize(header(1, 0x8180, 0, 1) +
                                     hex("00 0006 0001 00000001 001a 01 6d 00 01 72 00 00000001 fffffffe 00000003 "
                                         "00000004 00000005"));
  const auto* z = soa.answers[0].as<StartOfAuthorityRecord>();
  ASSERT_NE(z, nullptr);
  EXPECT_EQ(z->mname, "m.");
  EXPECT_EQ(z->rname, "r.");
  EXPECT_EQ(z->refresh, -2);
  EXPECT_EQ(z->minimum, 5u);
  EXPECT_EQ(decodeFailure(header(1, 0x8180, 0, 1) + hex("00 0006 0001 00000001 001b 01 6d 00 01 72 00 00000001 "
                                                        "fffffffe 00000003 00000004 00000005 00")),
            DecodeError::invalidDataSize);
}

TEST(MessageDecode, OtherTypesKeepRawData) {
  for (uint16_t type : {15, 64, 65, 99}) {
    auto msg = header(1, 0x8180, 0, 1) + hex("00") +
               std::vector<uint8_t>{static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type)} +
               hex("0001 00000001 0004 0001c00c");
    Message m = Message::deserialize(msg);
    const auto* r = m.answers[0].as<Record>();
    ASSERT_NE(r, nullptr) << type;
    EXPECT_EQ(r->type, type);
    EXPECT_EQ(r->data, hex("0001c00c"));
  }
  EXPECT_EQ(decodeFailure(header(1, 0x8180, 0, 1) + hex("00 000f 0001 00000001 0004 01")), DecodeError::invalidDataSize);
}

TEST(MessageDecode, OptRecordFields) {
  Message m = Message::deserialize(header(1, 0, 0, 0, 0, 1) + hex("00 0029 1000 80000000 0006 fde9 0002 6162"));
  const auto* opt = m.additional[0].as<Record>();
  ASSERT_NE(opt, nullptr);
  EXPECT_EQ(opt->type, 41);
  EXPECT_EQ(opt->internetClass, 0x1000);
  EXPECT_FALSE(opt->unique);
  EXPECT_EQ(opt->ttl, 0x80000000u);
  EXPECT_EQ(opt->data, hex("fde9 0002 6162"));
}

TEST(MessageDecode, TextStrings) {
  const auto txt = [](const std::vector<uint8_t>& strings) {
    const auto length = static_cast<uint16_t>(strings.size());
    return header(1, 0x8180, 0, 1) + hex("00 0010 0001 00000001") +
           std::vector<uint8_t>{static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)} + strings;
  };
  using Map = std::map<std::string, std::string>;
  struct Case {
    std::vector<uint8_t> strings;
    Map attributes;
    std::vector<std::string> values;
  };
  const Case cases[] = {
      {hex("03 613d31 01 62 03 613d32"), {{"a", "2"}}, {"b"}},
      {hex("02 3d78"), {{"", "x"}}, {}},
      {hex("02 6b3d"), {{"k", ""}}, {}},
      {hex("05 613d623d63"), {{"a", "b=c"}}, {}},
      {hex("01 78 01 79"), {}, {"x", "y"}},
  };
  for (const auto& c : cases) {
    Message m = Message::deserialize(txt(c.strings));
    const auto* t = m.answers[0].as<TextRecord>();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->attributes, c.attributes);
    EXPECT_EQ(t->values, c.values);
  }

  EXPECT_EQ(decodeFailure(txt(hex("02 c328"))), DecodeError::unicodeDecodingError);
  // A string may not reach past the record's data, even when the buffer goes on.
  EXPECT_EQ(decodeFailure(txt(hex("05 6162")) + hex("636465")), DecodeError::invalidLabelSize);
  // A data end past the buffer.
  auto shortData = txt(hex("02 6162"));
  shortData.resize(shortData.size() - 1);
  shortData[shortData.size() - 3] = 3;
  EXPECT_EQ(decodeFailure(shortData), DecodeError::invalidDataSize);
}

TEST(MessageDecode, ZeroLengthTextStringEndsTheListAndTheCursorSkipsTheRest) {
  // Data: 00 then junk; the next record starts at the data end.
  auto msg = header(1, 0x8180, 0, 2) + hex("00 0010 0001 00000001 0003 00 0161") + hex("00 0001 0001 00000001 0004 0a000001");
  Message m = Message::deserialize(msg);
  const auto* t = m.answers[0].as<TextRecord>();
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(t->attributes.empty() && t->values.empty());
  EXPECT_NE(m.answers[1].as<HostRecord<IPv4>>(), nullptr);
}

TEST(MessageDecode, TrailingBytesAndTcpFraming) {
  EXPECT_EQ(Message::deserialize(header(9, 0, 0, 0) + hex("ffff ffff")).id, 9);
  EXPECT_EQ(Message::deserializeTCP(hex("000c") + header(9, 0, 0, 0) + hex("c0")).id, 9);
  for (const auto& bad : {hex(""), hex("00"), hex("000d") + header(9, 0, 0, 0), hex("000b") + header(9, 0, 0, 0)}) {
    try {
      Message::deserializeTCP(bad);
      ADD_FAILURE() << "decoded " << bad.size() << " bytes";
    } catch (const DecodeError&) {
    }
  }
}
