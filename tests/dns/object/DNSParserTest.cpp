#include "dns/object/DNSParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DefaultAddresses.h"
#include "dns/object/DNSMessageDecoder.h"
#include "dns/object/UrlHost.h"
#include "platform/foundation/Log.h"
#include "ByteParts.h"

using namespace DnsObjects;
using objecttest::Bytes;
using objecttest::concat;
using objecttest::text;

namespace {

Bytes header(uint16_t qd, uint16_t an, uint16_t ns, uint16_t ar) {
  return {0xAB, 0xCD, 0x01, 0x20, 0, static_cast<uint8_t>(qd), 0, static_cast<uint8_t>(an),
          0, static_cast<uint8_t>(ns), 0, static_cast<uint8_t>(ar)};
}

// Query name from labels, then type and class IN.
Bytes question(std::initializer_list<std::string> labels, uint16_t type) {
  Bytes out;
  for (const auto& l : labels) {
    out.push_back(static_cast<uint8_t>(l.size()));
    out.insert(out.end(), l.begin(), l.end());
  }
  out.insert(out.end(), {0x00, static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), 0x00, 0x01});
  return out;
}

// dig-style OPT: root owner, payload 1232, a cookie option.
const Bytes kClientOpt = {0x00, 0x00, 0x29, 0x04, 0xD0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0C,
                          0x00, 0x0A, 0x00, 0x08, 1, 2, 3, 4, 5, 6, 7, 8};

TEST(DNSParser, InjectsOneOptRecordInPlaceOfTheAdditionalSection) {
  const Bytes query = concat({header(1, 0, 0, 1), question({"a", "bc"}, 1), kClientOpt});
  auto out = DNSParser::injectFlagsToDatagrams({query}, DNSParser::OptionDictionary{{"65007", "1"}});
  ASSERT_EQ(out.size(), 1u);
  const Bytes expected = concat({{0xAB, 0xCD, 0x01, 0x20, 0, 1, 0, 0, 0, 0, 0, 1},
                                 question({"a", "bc"}, 1),
                                 {0x01, 0x30, 0x00, 0x00, 0x29, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05,
                                  0xFD, 0xEF, 0x00, 0x01, 0x31}});
  EXPECT_EQ(out[0].size(), 40u);
  EXPECT_EQ(out[0], expected);
}

TEST(DNSParser, KeepsAnswerAndAuthorityRecordsAndDropsAllAdditionalOnes) {
  const Bytes record = {0xC0, 0x0C, 0x00, 0x10, 0x00, 0x01, 0, 0, 0, 60, 0x00, 0x02, 0x01, 'x'};
  const Bytes query = concat({header(1, 1, 1, 2), question({"q", "example"}, 16), record, record, record, kClientOpt});
  auto out = DNSParser::injectFlagsToDatagrams({query}, DNSParser::OptionDictionary{});
  ASSERT_EQ(out.size(), 1u);
  DNSMessageDecoder decoder;
  decoder.decodeMessageInBuffer(out[0].data(), static_cast<uint32_t>(out[0].size()));
  ASSERT_TRUE(decoder.message);
  const auto& m = *decoder.message;
  EXPECT_EQ(m.header->answerRecordCount, 1);
  EXPECT_EQ(m.header->authorityRecordCount, 1);
  EXPECT_EQ(m.header->additionalRecordCount, 1);
  EXPECT_EQ((*m.answers)[0]->name, "q.example");
  EXPECT_EQ((*m.authorityRecords)[0]->data, (Bytes{0x01, 'x'}));
  const auto& opt = *(*m.additionalRecords)[0];
  EXPECT_EQ(opt.name, "0");
  EXPECT_EQ(opt.type, 41);
  EXPECT_EQ(opt.resourceClass, 0);
  EXPECT_EQ(opt.ttl, 0u);
  EXPECT_TRUE(opt.data.empty());
}

TEST(DNSParser, OptionBytes) {
  EXPECT_EQ(DNSParser::buildEdnsDataWithCode(65015, "1733822400123"),
            concat({{0xFD, 0xF7, 0x00, 0x0D}, text("1733822400123")}));
  // Length counts UTF-8 bytes, not characters.
  EXPECT_EQ(DNSParser::buildEdnsDataWithCode(65003, "j\xC3\xBCrg"),
            (Bytes{0xFD, 0xEB, 0x00, 0x05, 'j', 0xC3, 0xBC, 'r', 'g'}));
  EXPECT_EQ(DNSParser::buildEdnsDataWithCode(1, ""), (Bytes{0x00, 0x01, 0x00, 0x00}));
  EXPECT_EQ(DNSParser::buildEdnsDataWithCodes({65001, 65002}, {"a", "bc"}),
            (Bytes{0xFD, 0xE9, 0x00, 0x01, 'a', 0xFD, 0xEA, 0x00, 0x02, 'b', 'c'}));
  // Iterates to the shorter array.
  EXPECT_EQ(DNSParser::buildEdnsDataWithCodes({65001, 65002, 65003}, {"a"}), (Bytes{0xFD, 0xE9, 0x00, 0x01, 'a'}));
  EXPECT_EQ(DNSParser::buildEdnsDataWithCodes({65001}, {"a", "b"}), (Bytes{0xFD, 0xE9, 0x00, 0x01, 'a'}));
}

TEST(DNSParser, OversizedOptionValueIsSkippedAndLogged) {
  platform::LogCapture capture;
  const std::string huge(70000, 'v');
  EXPECT_TRUE(DNSParser::buildEdnsDataWithCode(65003, huge).empty());
  EXPECT_EQ(DNSParser::buildEdnsDataWithCodes({65003, 65001}, {huge, "a"}), (Bytes{0xFD, 0xE9, 0x00, 0x01, 'a'}));
  EXPECT_TRUE(capture.waitFor("inject value skipped: 65003"));
  // The largest value that fits is written with its exact length.
  const auto largest = DNSParser::buildEdnsDataWithCode(7, std::string(65535, 'v'));
  ASSERT_EQ(largest.size(), 65539u);
  EXPECT_EQ(largest[2], 0xFF);
  EXPECT_EQ(largest[3], 0xFF);
}

TEST(DNSParser, OptionCodeFromKey) {
  struct Case {
    const char* key;
    uint16_t code;
  } cases[] = {{"65001", 65001}, {"70000", 4464}, {"x", 0}, {"", 0}, {"12abc", 12}, {" 65007", 65007},
               {"65536", 0}, {"-1", 65535}, {"99999999999999999999999", 65535}};
  for (const auto& c : cases) EXPECT_EQ(DNSParser::optionCode(c.key), c.code) << c.key;
}

TEST(DNSParser, HexString) {
  EXPECT_EQ(DNSParser::hexStringForData(Bytes{0x0A, 0xFF}), "0aff");
  EXPECT_EQ(DNSParser::hexStringForData(Bytes{}), "");
  EXPECT_EQ(DNSParser::hexStringForData(std::optional<Bytes>{}), std::nullopt);
}

TEST(DNSParser, DictionaryLinesAndCommandLine) {
  platform::LogCapture capture;
  const Bytes query = concat({header(1, 0, 0, 0), question({"ab"}, 1)});
  auto out = DNSParser::injectFlagsToDatagrams({query, query}, DNSParser::OptionDictionary{{"65001", "org"}, {"x", "z"}});
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], out[1]);
  platform::flushLog();
  const std::string command = std::string("dig @") + vardeno::defaults::kFilteringDNS +
                              " -p 81 +edns=0 +bufsize=4096 +ednsopt=65001:6f7267 +ednsopt=0:7a ";
  EXPECT_TRUE(capture.waitFor("inject value: 65001 : org "));
  EXPECT_TRUE(capture.contains("inject value: 0 : z "));
  EXPECT_EQ(capture.count(command), 1u);
  EXPECT_EQ(capture.count("hex data = " + DNSParser::hexStringForData(out[0])), 2u);
  // Options in the dictionary's order.
  const Bytes tail = {0x00, 0x0C, 0xFD, 0xE9, 0x00, 0x03, 'o', 'r', 'g', 0x00, 0x00, 0x00, 0x01, 'z'};
  ASSERT_GE(out[0].size(), tail.size());
  EXPECT_EQ(Bytes(out[0].end() - tail.size(), out[0].end()), tail);
}

TEST(DNSParser, EmptyDictionaryLogsOnlyTheCommandStart) {
  platform::LogCapture capture;
  const Bytes query = concat({header(1, 0, 0, 0), question({"ab"}, 1)});
  auto out = DNSParser::injectFlagsToDatagrams({query}, DNSParser::OptionDictionary{});
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(Bytes(out[0].end() - 2, out[0].end()), (Bytes{0x00, 0x00}));  // RDLENGTH 0
  platform::flushLog();
  EXPECT_TRUE(capture.waitFor(std::string("dig @") + vardeno::defaults::kFilteringDNS + " -p 81 +edns=0 +bufsize=4096 "));
  EXPECT_FALSE(capture.contains("inject value:"));
}

TEST(DNSParser, TypeLinesAndNames) {
  struct Case {
    uint16_t type;
    const char* line;
  } cases[] = {{1, "-> dnsType1 = A"}, {28, "-> dnsType2 = AAAA"}, {65, "-> dnsType3 = HTTPSSVC"},
               {16, "-> dnsTypeRaw = 16"}};
  for (const auto& c : cases) {
    platform::LogCapture capture;
    DNSParser::injectFlagsToDatagrams({concat({header(1, 0, 0, 0), question({"www", "example"}, c.type)})},
                                      DNSParser::OptionDictionary{});
    platform::flushLog();
    ASSERT_TRUE(capture.waitFor("--> www.example"));
    const auto lines = capture.lines();
    auto typeLine = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(c.line) != std::string::npos; });
    auto nameLine = std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.find("--> www.example") != std::string::npos; });
    ASSERT_NE(typeLine, lines.end()) << c.line;
    EXPECT_LT(typeLine - lines.begin(), nameLine - lines.begin());
  }
}

TEST(DNSParser, ControlBytesInNamesAreEscapedInTheLog) {
  platform::LogCapture capture;
  DNSParser::injectFlagsToDatagrams({concat({header(1, 0, 0, 0), question({"a\nb"}, 1)})}, DNSParser::OptionDictionary{});
  platform::flushLog();
  EXPECT_TRUE(capture.waitFor("--> a\\x0ab"));
}

TEST(DNSParser, UrlQuestionNamesAreReplacedByTheirHost) {
  struct Case {
    std::initializer_list<std::string> labels;
    std::initializer_list<std::string> forwarded;
  } cases[] = {
      {{"http://example", "com/path"}, {"example", "com"}},
      {{"https://user@host", "example:8443/x"}, {"host", "example"}},
      // Domains that merely contain "http" are forwarded as asked, never as the root name.
      {{"httpbin", "org"}, {"httpbin", "org"}},
      {{"myhttp", "example"}, {"myhttp", "example"}},
      {{"http:example", "com"}, {"http:example", "com"}},
      // A URL in one label: its host is a new name, written label by label.
      {{"http://example.com/path"}, {"example", "com"}},
  };
  for (const auto& c : cases) {
    const Bytes query = concat({header(1, 0, 0, 0), question(c.labels, 1)});
    auto out = DNSParser::injectFlagsToDatagrams({query}, DNSParser::OptionDictionary{});
    ASSERT_EQ(out.size(), 1u);
    const Bytes expected = concat({header(1, 0, 0, 1), question(c.forwarded, 1),
                                   {0x01, 0x30, 0x00, 0x00, 0x29, 0, 0, 0, 0, 0, 0, 0, 0}});
    EXPECT_EQ(out[0], expected) << *c.labels.begin();
  }
}

// A name of the given labels, uncompressed.
Bytes wireName(std::initializer_list<std::string> labels) {
  Bytes out;
  for (const auto& l : labels) {
    out.push_back(static_cast<uint8_t>(l.size()));
    out.insert(out.end(), l.begin(), l.end());
  }
  out.push_back(0x00);
  return out;
}

TEST(DNSParser, NamesLeaveWithTheClientsLabelsByteForByte) {
  const std::initializer_list<std::string> cases[] = {
      {"a.b", "example"},                   // a\.b.example
      {std::string("n\0l", 3), "example"},  // a zero byte
      {"caf\xE9\xFF", "example"},           // not UTF-8
      {"back\\slash", "example"},
      {"."},                                // one label that is a dot, not the root
      {"a.b", "http"},                      // holds "http" but is no URL
  };
  for (const auto& labels : cases) {
    const Bytes name = wireName(labels);
    // An answer record with the name in full and an authority record
    // whose owner points at the question's name.
    const Bytes answer = concat({name, {0x00, 0x10, 0x00, 0x01, 0, 0, 0, 60, 0x00, 0x02, 0x01, 'x'}});
    const Bytes authority = {0xC0, 0x0C, 0x00, 0x10, 0x00, 0x01, 0, 0, 0, 60, 0x00, 0x02, 0x01, 'y'};
    const Bytes query = concat({header(1, 1, 1, 1), name, {0x00, 0x01, 0x00, 0x01}, answer, authority, kClientOpt});
    auto out = DNSParser::injectFlagsToDatagrams({query}, DNSParser::OptionDictionary{{"65007", "1"}});
    ASSERT_EQ(out.size(), 1u);
    const Bytes expected = concat({header(1, 1, 1, 1), name, {0x00, 0x01, 0x00, 0x01}, answer, name,
                                   Bytes(authority.begin() + 2, authority.end()),
                                   {0x01, 0x30, 0x00, 0x00, 0x29, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05,
                                    0xFD, 0xEF, 0x00, 0x01, 0x31}});
    EXPECT_EQ(out[0], expected) << DNSParser::hexStringForData(name);
  }
}

TEST(DNSParser, TheLogShowsTheDottedNameOfALabelWithADot) {
  platform::LogCapture capture;
  DNSParser::injectFlagsToDatagrams({concat({header(1, 0, 0, 0), question({"a.b", "example"}, 1)})},
                                    DNSParser::OptionDictionary{});
  platform::flushLog();
  EXPECT_TRUE(capture.waitFor("--> a.b.example"));
}

TEST(DNSParser, UrlHost) {
  struct Case {
    const char* url;
    std::optional<std::string> host;
  } cases[] = {
      {"http://example.com/path", "example.com"},
      {"https://example.com", "example.com"},
      {"http://example.com:8080", "example.com"},
      {"http://u:p@example.com/", "example.com"},
      {"http://[::1]:80/", "::1"},
      {"svn+ssh://host.example/repo", "host.example"},
      {"http://", std::nullopt},
      {"http:///path", std::nullopt},
      {"http://:80", std::nullopt},
      {"httpbin.org", std::nullopt},
      {"http:example.com", std::nullopt},
      {"1http://x", std::nullopt},
      {"http://exa mple.com", std::nullopt},
      {"http://example.com:80x", std::nullopt},
      {"http://[::1", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(urlHost(c.url), c.host) << c.url;
}

TEST(DNSParser, DatagramsThatCannotBeRewrittenAreReturnedAsGiven) {
  const Bytes good = concat({header(1, 0, 0, 0), question({"ab"}, 1)});
  const Bytes shortHeader = {0x12, 0x34, 0x01};
  const Bytes truncated(good.begin(), good.end() - 3);
  // A length byte of 251 reads as a pointer past the end.
  const Bytes pointerLength = concat({header(1, 0, 0, 0), question({std::string(251, 'a')}, 1)});
  const Bytes loop = concat({header(1, 0, 0, 0), {0xC0, 0x0C, 0x00, 0x01, 0x00, 0x01}});
  const std::vector<Bytes> input = {good, shortHeader, truncated, Bytes{}, loop, pointerLength, good};
  auto out = DNSParser::injectFlagsToDatagrams(input, DNSParser::OptionDictionary{{"65007", "1"}});
  ASSERT_EQ(out.size(), input.size());
  EXPECT_NE(out[0], good);
  for (size_t i = 1; i + 1 < input.size(); ++i) EXPECT_EQ(out[i], input[i]) << i;
  EXPECT_EQ(out.back(), out[0]);

  auto arrays = DNSParser::injectFlagsToDatagrams(input, std::vector<uint16_t>{65007}, std::vector<std::string>{"1"});
  EXPECT_EQ(arrays, out);
  EXPECT_EQ(DNSParser::injectFlagsTo(shortHeader, Bytes{}), std::nullopt);
}

TEST(DNSParser, QueriesThatExpandPastOneMessageAreReturnedAsGiven) {
  // 16,000 labels: the name alone is past 255 bytes, so nothing decodes.
  const Bytes longName = objecttest::compressedFlood(16'000, 1);
  // A 255-byte name decodes, but its thousands of copies do not fit 65,535 bytes.
  const Bytes longestName = objecttest::compressedFlood(127, 1);
  ASSERT_EQ(longestName.size(), 65'527u);
  const std::vector<Bytes> input = {longName, longestName};
  auto out = DNSParser::injectFlagsToDatagrams(input, DNSParser::OptionDictionary{{"65007", "1"}});
  EXPECT_EQ(out, input);
}

TEST(DNSParser, OptionsThatDoNotFitOneRecordLeaveTheQueryUnchanged) {
  const Bytes query = concat({header(1, 0, 0, 0), question({"ab"}, 1)});
  DNSParser::OptionDictionary flags = {{"65001", std::string(40000, 'a')}, {"65002", std::string(40000, 'b')}};
  auto out = DNSParser::injectFlagsToDatagrams({query}, flags);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], query);
}

}  // namespace
