#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "dns/object/DNSCNAMEResourceRecord.h"
#include "dns/object/DNSHeaderDecoder.h"
#include "dns/object/DNSLabelDecoder.h"
#include "dns/object/DNSLabelEncoder.h"
#include "dns/object/DNSMessageDecoder.h"
#include "dns/object/DNSMessageEncoder.h"
#include "dns/object/DNSOPTResourceRecord.h"
#include "ByteParts.h"

using namespace DnsObjects;
using objecttest::Bytes;
using objecttest::concat;
using objecttest::text;

namespace {

// Query for example.com, type A, class IN, RD set.
const Bytes kQuery = concat({{0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
                             {0x07}, text("example"), {0x03}, text("com"), {0x00, 0x00, 0x01, 0x00, 0x01}});

// Answer to it: one A record whose owner is a pointer to the question name, one OPT.
const Bytes kResponse = concat({{0x12, 0x34, 0x81, 0x80, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01},
                                {0x07}, text("example"), {0x03}, text("com"), {0x00, 0x00, 0x01, 0x00, 0x01},
                                {0xC0, 0x0C, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x0E, 0x10, 0x00, 0x04, 93, 184, 216, 34},
                                {0x00, 0x00, 0x29, 0x04, 0xD0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}});

std::shared_ptr<DNSMessage> decode(const Bytes& bytes) {
  DNSMessageDecoder decoder;
  decoder.decodeMessageInBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()));
  return decoder.message;
}

std::optional<std::string> decodeName(const Bytes& bytes, uint32_t start = 0, uint32_t* end = nullptr) {
  DNSLabelDecoder decoder;
  uint32_t offset = start;
  decoder.decodeLabelInBuffer(bytes.data(), offset, static_cast<uint32_t>(bytes.size()));
  if (end) *end = offset;
  return decoder.name;
}

TEST(ObjectCodec, StandardQueryRoundTrips) {
  auto message = decode(kQuery);
  ASSERT_TRUE(message);
  EXPECT_EQ(message->header->id, 0x1234);
  EXPECT_TRUE(message->header->isQuery);
  EXPECT_TRUE(message->header->recursionDesired);
  ASSERT_TRUE(message->questions);
  ASSERT_EQ(message->questions->size(), 1u);
  EXPECT_EQ((*message->questions)[0]->name, "example.com");
  EXPECT_EQ((*message->questions)[0]->type, 1);
  EXPECT_EQ((*message->questions)[0]->questionClass, 1);
  EXPECT_FALSE(message->answers);
  EXPECT_FALSE(message->additionalRecords);
  EXPECT_EQ(DNSMessageEncoder::encode(*message), kQuery);
}

TEST(ObjectCodec, ResponseDecodesAndWritesNamesInFull) {
  auto message = decode(kResponse);
  ASSERT_TRUE(message);
  EXPECT_FALSE(message->header->isQuery);
  EXPECT_TRUE(message->header->recursionAvailable);
  ASSERT_TRUE(message->answers);
  const auto& answer = *(*message->answers)[0];
  EXPECT_EQ(answer.name, "example.com");
  EXPECT_EQ(answer.ttl, 3600u);
  EXPECT_EQ(answer.data, (Bytes{93, 184, 216, 34}));
  ASSERT_TRUE(message->additionalRecords);
  EXPECT_EQ((*message->additionalRecords)[0]->name, ".");
  EXPECT_EQ((*message->additionalRecords)[0]->resourceClass, 1232);

  auto encoded = DNSMessageEncoder::encode(*message);
  ASSERT_TRUE(encoded);
  // The pointer C0 0C becomes the full name: 13 bytes instead of 2.
  EXPECT_EQ(encoded->size(), kResponse.size() + 11);
  auto again = decode(*encoded);
  ASSERT_TRUE(again);
  EXPECT_EQ((*again->answers)[0]->name, "example.com");
  EXPECT_EQ(DNSMessageEncoder::encode(*again), encoded);
}

TEST(ObjectCodec, HeaderFlagBits) {
  struct Case {
    uint8_t byte2, byte3;
    bool isQuery, aa, tc, rd, ra, ad, cd;
    uint16_t opCode;
    uint8_t rcode;
    uint8_t byte3Written;
  } cases[] = {
      {0x01, 0x30, true, false, false, true, false, true, true, 0, 0, 0x30},
      {0x86, 0x83, false, true, true, false, true, false, false, 0, 3, 0x83},
      {0x28, 0x40, true, false, false, false, false, false, false, 5, 0, 0x00},  // reserved bit dropped
      {0x7F, 0x0F, true, true, true, true, false, false, false, 15, 15, 0x0F},
  };
  for (const auto& c : cases) {
    Bytes bytes = {0, 1, c.byte2, c.byte3, 0, 0, 0, 0, 0, 0, 0, 0};
    DNSHeaderDecoder decoder;
    uint32_t offset = 0;
    decoder.decodeHeaderInBuffer(bytes.data(), offset, 12);
    ASSERT_TRUE(decoder.header);
    const DNSHeader& h = *decoder.header;
    EXPECT_EQ(offset, 12u);
    EXPECT_EQ(h.isQuery, c.isQuery);
    EXPECT_EQ(h.authoritativeAnswer, c.aa);
    EXPECT_EQ(h.truncated, c.tc);
    EXPECT_EQ(h.recursionDesired, c.rd);
    EXPECT_EQ(h.recursionAvailable, c.ra);
    EXPECT_EQ(h.authenticatedData, c.ad);
    EXPECT_EQ(h.checkingDisabled, c.cd);
    EXPECT_EQ(h.opCode, c.opCode);
    EXPECT_EQ(h.responseCode, c.rcode);
    DNSMessage message;
    message.header = decoder.header;
    auto written = DNSMessageEncoder::encode(message);
    ASSERT_TRUE(written);
    EXPECT_EQ((*written)[2], c.byte2);
    EXPECT_EQ((*written)[3], c.byte3Written);
  }
}

TEST(ObjectCodec, EncoderKeepsOnlyLowBitsOfOpCodeAndRCode) {
  DNSMessage message;
  message.header = std::make_shared<DNSHeader>();
  message.header->isQuery = true;
  message.header->opCode = 0x1F;
  message.header->responseCode = 0xF2;
  message.header->questionCount = 9;  // never trusted
  auto written = DNSMessageEncoder::encode(message);
  ASSERT_TRUE(written);
  EXPECT_EQ(*written, (Bytes{0, 0, 0x78, 0x02, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(ObjectCodec, NameDecoding) {
  Bytes at261(261, 0xEE);
  at261.insert(at261.end(), {0x03, 'f', 'a', 'r', 0x00});
  Bytes pointerTo261 = at261;
  const uint32_t pointerAt = static_cast<uint32_t>(pointerTo261.size());
  pointerTo261.insert(pointerTo261.end(), {0x01, 'x', 0xC1, 0x05});

  // Three labels of 63 bytes and one of 61: 255 bytes with the root.
  const Bytes longest = concat({{63}, Bytes(63, 'a'), {63}, Bytes(63, 'b'), {63}, Bytes(63, 'c'), {61}, Bytes(61, 'd'), {0}});
  const std::string longestText = std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." +
                                  std::string(61, 'd');
  Bytes tooLong = longest;
  tooLong[192] = 62;
  tooLong.insert(tooLong.begin() + 193, 'd');
  // Two labels of 63 at offset 0 (129 bytes), then a label of 63 and one of
  // `last` bytes followed by a pointer to them.
  const std::string twoLabelsText = std::string(63, 'a') + "." + std::string(63, 'b');
  auto throughPointer = [](uint8_t last) {
    return concat({{63}, Bytes(63, 'a'), {63}, Bytes(63, 'b'), {0}, {63}, Bytes(63, 'e'), {last}, Bytes(last, 'f'),
                   {0xC0, 0x00}});
  };

  struct Case {
    const char* label;
    Bytes bytes;
    uint32_t start;
    std::optional<std::string> name;
    uint32_t end;
  } cases[] = {
      {"root", {0x00}, 0, ".", 1},
      {"two labels", concat({{0x03}, text("www"), {0x02}, text("de"), {0x00}}), 0, "www.de", 8},
      {"pointer to 261", pointerTo261, pointerAt, "x.far", pointerAt + 4},
      {"label then pointer to two labels", concat({{0x01, 'a', 0x01, 'b', 0x00, 0x01, 'c', 0xC0, 0x00}}), 5, "c.a.b", 9},
      {"pointer chain", Bytes{0x01, 'a', 0x00, 0xC0, 0x00, 0x01, 'b', 0xC0, 0x03}, 5, "b.a", 9},
      {"pointer to root", Bytes{0x00, 0x01, 'a', 0xC0, 0x00}, 1, "a..", 5},
      {"label of 100 bytes", concat({{100}, Bytes(100, 'q'), {0x00}}), 0, std::string(100, 'q'), 102},
      {"cut inside label", Bytes{0x05, 'a', 'b'}, 0, std::nullopt, 3},
      {"no terminator", Bytes{0x01, 'a'}, 0, std::nullopt, 2},
      {"pointer cut off", Bytes{0xC0}, 0, std::nullopt, 1},
      {"pointer to itself", Bytes{0xC0, 0x00}, 0, std::nullopt, 2},
      {"two pointers in a loop", Bytes{0xC0, 0x02, 0xC0, 0x00}, 0, std::nullopt, 2},
      {"label then loop", Bytes{0x01, 'a', 0xC0, 0x00}, 0, std::nullopt, 4},
      {"pointer past the end", Bytes{0x01, 'a', 0xC0, 0x40}, 0, std::nullopt, 4},
      {"pointer to a cut name", Bytes{0x03, 'a', 0xC0, 0x00}, 0, std::nullopt, 4},
      {"255 wire bytes", longest, 0, longestText, 255},
      {"256 wire bytes", tooLong, 0, std::nullopt, 193},
      {"255 wire bytes through a pointer", throughPointer(61), 129, std::string(63, 'e') + "." +
                                                                        std::string(61, 'f') + "." + twoLabelsText, 257},
      {"256 wire bytes through a pointer", throughPointer(62), 129, std::nullopt, 258},
  };
  for (const auto& c : cases) {
    uint32_t end = 0;
    EXPECT_EQ(decodeName(c.bytes, c.start, &end), c.name) << c.label;
    EXPECT_EQ(end, c.end) << c.label;
  }
}

TEST(ObjectCodec, LongPointerChainIsBounded) {
  // 200 pointers, each to the one before, ending at a name: more hops than allowed.
  Bytes bytes = {0x01, 'z', 0x00};
  for (int i = 0; i < 200; ++i) {
    const uint16_t previous = static_cast<uint16_t>(i == 0 ? 0 : 3 + 2 * (i - 1));
    bytes.push_back(static_cast<uint8_t>(0xC0 | (previous >> 8)));
    bytes.push_back(static_cast<uint8_t>(previous));
  }
  EXPECT_EQ(decodeName(bytes, 3 + 2 * 100), "z");  // 101 hops
  EXPECT_EQ(decodeName(bytes, 3 + 2 * 199), std::nullopt);
}

TEST(ObjectCodec, LabelEncoding) {
  struct Case {
    std::string name;
    std::optional<Bytes> bytes;
  } cases[] = {
      {".", Bytes{0x00}},
      {"", Bytes{0x00}},
      {"0", Bytes{0x01, 0x30, 0x00}},
      {"a.b", Bytes{0x01, 'a', 0x01, 'b', 0x00}},
      {"a.b.", Bytes{0x01, 'a', 0x01, 'b', 0x00}},
      {"a..b", Bytes{0x01, 'a', 0x01, 'b', 0x00}},
      {"..", Bytes{0x00}},
      {std::string(191, 'x'), concat({{191}, Bytes(191, 'x'), {0x00}})},
      {std::string(192, 'x'), std::nullopt},
      {"ok." + std::string(300, 'x'), std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(DNSLabelEncoder::encode(c.name), c.bytes) << c.name;
}

TEST(ObjectCodec, NamesKeepTheLabelsAsRead) {
  // One label "a.b" (the dot is a byte of the label), then "example".
  const Bytes dotLabel = concat({{0x03}, text("a.b"), {0x07}, text("example"), {0x00}});
  // The same name reached through a pointer after a label "x".
  const Bytes viaPointer = concat({dotLabel, {0x01, 'x', 0xC0, 0x00}});
  const Bytes nonText = {0x03, 'a', 0x00, 'b', 0x02, 0xE9, 0xFF, 0x00};
  struct Case {
    const char* label;
    Bytes bytes;
    uint32_t start;
    std::string name;
    Bytes wire;
  } cases[] = {
      {"dot inside a label", dotLabel, 0, "a.b.example", dotLabel},
      {"through a pointer", viaPointer, static_cast<uint32_t>(dotLabel.size()), "x.a.b.example",
       concat({{0x01, 'x'}, dotLabel})},
      {"zero byte and bytes that are not UTF-8", nonText, 0, std::string("a\0b", 3) + ".\xE9\xFF", nonText},
      {"root", Bytes{0x00}, 0, ".", Bytes{0x00}},
  };
  for (const auto& c : cases) {
    DNSLabelDecoder decoder;
    uint32_t offset = c.start;
    decoder.decodeLabelInBuffer(c.bytes.data(), offset, static_cast<uint32_t>(c.bytes.size()));
    ASSERT_EQ(decoder.name, c.name) << c.label;
    EXPECT_EQ(decoder.wireName, c.wire) << c.label;
    EXPECT_TRUE(DNSLabelEncoder::spells(decoder.wireName, *decoder.name)) << c.label;
    EXPECT_EQ(DNSLabelEncoder::encode(*decoder.name, decoder.wireName), c.wire) << c.label;
  }
  // A name changed after reading is written from its text.
  EXPECT_EQ(DNSLabelEncoder::encode("a.b.example.org", dotLabel),
            concat({{0x01, 'a', 0x01, 'b', 0x07}, text("example"), {0x03}, text("org"), {0x00}}));
  EXPECT_EQ(DNSLabelEncoder::encode("a.b.example", Bytes{}), concat({{0x01, 'a', 0x01, 'b', 0x07}, text("example"), {0x00}}));
}

TEST(ObjectCodec, SpelledNames) {
  const Bytes ab = {0x01, 'a', 0x01, 'b', 0x00};
  struct Case {
    Bytes wire;
    std::string name;
    bool spells;
  } cases[] = {
      {ab, "a.b", true},         {ab, "a.b.", false},     {ab, "a.bc", false},        {ab, "ab", false},
      {ab, "a", false},          {ab, "", false},         {{0x00}, ".", true},        {{0x00}, "", false},
      {{0x01, '.', 0x00}, ".", true},  // a one-label name whose label is a dot
      {{0x01, 'a'}, "a", false},       // no terminator
      {{0x01, 'a', 0x00, 0x00}, "a", false},  // bytes after the end
      {{0x05, 'a', 0x00}, "a", false},        // label longer than the bytes
      {{0xC0, 0x00}, "", false},              // a pointer is not a whole name
      {{}, "", false},
  };
  for (const auto& c : cases) EXPECT_EQ(DNSLabelEncoder::spells(c.wire, c.name), c.spells) << c.name;
}

TEST(ObjectCodec, EveryTruncationFailsTheMessage) {
  for (const Bytes* full : {&kQuery, &kResponse}) {
    for (size_t length = 0; length < full->size(); ++length) {
      DNSMessageDecoder decoder;
      decoder.decodeMessageInBuffer(full->data(), static_cast<uint32_t>(length));
      EXPECT_FALSE(decoder.message) << "length " << length;
    }
  }
}

TEST(ObjectCodec, SectionCountsMustBeMet) {
  // Two questions claimed, the second cut short.
  Bytes twoQuestions = kQuery;
  twoQuestions[5] = 2;
  twoQuestions.insert(twoQuestions.end(), {0x01, 'a', 0x00, 0x00});
  EXPECT_FALSE(decode(twoQuestions));

  Bytes claimsAdditional = kQuery;
  claimsAdditional[11] = 1;
  EXPECT_FALSE(decode(claimsAdditional));

  Bytes hugeCounts = kQuery;
  hugeCounts[6] = hugeCounts[7] = 0xFF;
  EXPECT_FALSE(decode(hugeCounts));

  Bytes trailing = kQuery;
  trailing.insert(trailing.end(), {0xDE, 0xAD});
  auto message = decode(trailing);
  ASSERT_TRUE(message);
  EXPECT_EQ(DNSMessageEncoder::encode(*message), kQuery);
}

TEST(ObjectCodec, RecordWithOversizedDataFailsTheEncode) {
  auto message = decode(kQuery);
  ASSERT_TRUE(message);
  auto record = std::make_shared<DNSResourceRecord>();
  record->name = "big";
  record->data.assign(70000, 0xAB);
  message->answers = DNSRecordArray{record};
  EXPECT_FALSE(DNSMessageEncoder::encode(*message));
  // The query, then "big" (5 bytes) and 10 bytes of fixed fields: the data
  // that fills a message of 65,535 bytes encodes, one byte more does not.
  record->data.resize(65535 - kQuery.size() - 15);
  auto encoded = DNSMessageEncoder::encode(*message);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(encoded->size(), 65535u);
  EXPECT_TRUE(decode(*encoded));
  record->data.push_back(0xAB);
  EXPECT_FALSE(DNSMessageEncoder::encode(*message));
  record->data.resize(65535);
  EXPECT_FALSE(DNSMessageEncoder::encode(*message));
}

TEST(ObjectCodec, ManyRecordsPastOneMessageFailTheEncode) {
  auto message = decode(kQuery);
  ASSERT_TRUE(message);
  auto record = std::make_shared<DNSResourceRecord>();
  record->name = std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." +
                 std::string(61, 'd');  // 255 bytes on the wire
  record->type = 1;
  // Each record takes 265 bytes: 247 of them fit after the query, 248 do not.
  message->answers = DNSRecordArray(247, record);
  auto encoded = DNSMessageEncoder::encode(*message);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(encoded->size(), kQuery.size() + 247 * 265);
  message->answers->push_back(record);
  EXPECT_FALSE(DNSMessageEncoder::encode(*message));
}

TEST(ObjectModel, OptRecordPacksClassAndTtl) {
  DNSOPTResourceRecord opt;
  opt.name = "0";
  opt.type = 41;
  opt.udpPayloadSize = 4096;
  opt.dnssecOK = true;
  auto bytes = opt.encode();
  ASSERT_TRUE(bytes);
  EXPECT_EQ(*bytes, (Bytes{0x01, 0x30, 0x00, 0x00, 0x29, 0x10, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00}));
  EXPECT_EQ(opt.resourceClass, 4096);
  EXPECT_EQ(opt.ttl, 32768u);

  DNSOPTResourceRecord zero;
  zero.type = 41;
  zero.resourceClass = 77;  // overwritten by udpPayloadSize
  zero.ttl = 99;
  ASSERT_TRUE(zero.encode());
  EXPECT_EQ(zero.resourceClass, 0);
  EXPECT_EQ(zero.ttl, 0u);
}

TEST(ObjectModel, OptFromResourceReadsClassAndTtl) {
  DNSResourceRecord generic;
  generic.name = ".";
  generic.type = 41;
  generic.resourceClass = 1232;
  generic.ttl = 0x01028000;
  generic.data = {1, 2, 3};
  auto opt = DNSOPTResourceRecord::fromResource(generic);
  EXPECT_EQ(opt->udpPayloadSize, 1232);
  EXPECT_EQ(opt->extendedRCode, 1);
  EXPECT_EQ(opt->version, 2);
  EXPECT_TRUE(opt->dnssecOK);
  EXPECT_TRUE(opt->data.empty());  // copyFromResource does not copy the data
  auto copy = std::dynamic_pointer_cast<DNSOPTResourceRecord>(opt->copyWithZone());
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->version, 2);
}

TEST(ObjectModel, CnameWritesCanonicalNameAsData) {
  DNSCNAMEResourceRecord cname;
  cname.name = "alias.example";
  cname.type = 5;
  cname.resourceClass = 1;
  cname.canonicalName = "target.example";
  auto bytes = cname.encode();
  ASSERT_TRUE(bytes);
  const Bytes owner = concat({{5}, text("alias"), {7}, text("example"), {0}});
  const Bytes target = concat({{6}, text("target"), {7}, text("example"), {0}});
  EXPECT_EQ(*bytes, concat({owner, {0, 5, 0, 1, 0, 0, 0, 0, 0, static_cast<uint8_t>(target.size())}, target}));
}

TEST(ObjectModel, CnameDecodesFromDataAlone) {
  struct Case {
    Bytes data;
    std::optional<std::string> name;
  } cases[] = {
      {concat({{3}, text("www"), {0}}), "www"},
      {Bytes{0x01, 'a', 0x00, 0x01, 'b', 0xC0, 0x00}, "a"},  // name at 0 of the data
      {Bytes{0xC0, 0x02, 0x01, 'q', 0x00}, "q"},            // pointer into the data itself
      {Bytes{0x03, 'a'}, std::nullopt},
      {Bytes{0xC0, 0x0C}, std::nullopt},  // a message offset means nothing here
  };
  for (const auto& c : cases) {
    DNSResourceRecord generic;
    generic.data = c.data;
    auto cname = DNSCNAMEResourceRecord::fromResource(generic);
    EXPECT_EQ(cname->canonicalName, c.name);
  }
  DNSCNAMEResourceRecord kept;
  kept.canonicalName = "stays";
  kept.decodeFromResource(DNSResourceRecord{});
  EXPECT_EQ(kept.canonicalName, "stays");
}

TEST(ObjectModel, BaseDecodeChangesNothing) {
  DNSResourceRecord record;
  record.name = "n";
  record.type = 16;
  record.data = {9};
  DNSResourceRecord other;
  other.name = "other";
  other.data = {1, 2};
  record.decodeFromResource(other);
  EXPECT_EQ(record.name, "n");
  EXPECT_EQ(record.type, 16);
  EXPECT_EQ(record.data, Bytes{9});
}

TEST(ObjectModel, MessageCopySharesElementsNotHeader) {
  auto message = decode(kQuery);
  ASSERT_TRUE(message);
  auto copy = message->copyWithZone();
  copy->header->questionCount = 7;
  EXPECT_EQ(message->header->questionCount, 1);
  (*copy->questions)[0]->name = "changed.example";
  EXPECT_EQ((*message->questions)[0]->name, "changed.example");
  copy->questions->clear();
  EXPECT_EQ(message->questions->size(), 1u);
}

}  // namespace
