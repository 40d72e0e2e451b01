#include <gtest/gtest.h>

#include <string>

#include "DnsProxyExt/XpcUdpCommand.h"
#include "DnsProxyExt/XpcUdpCommandParser.h"

using dnsproxyext::XpcUdpCommand;
using dnsproxyext::XpcUdpCommandParser;
using CmdType = XpcUdpCommandParser::CmdType;

namespace {

std::vector<uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

std::string text(const std::vector<uint8_t>& b) { return {b.begin(), b.end()}; }

}  // namespace

TEST(XpcUdpCommandParser, EncodesCompactWithMembersInOrder) {
  struct Case {
    XpcUdpCommand cmd;
    std::string json;
  } cases[] = {
      {{CmdType::printToLog, "sleep proxy"}, R"({"cmdType":"printToLog","payload":"sleep proxy"})"},
      {{CmdType::notification, "started"}, R"({"cmdType":"notification","payload":"started"})"},
      {{CmdType::command, ""}, R"({"cmdType":"command","payload":""})"},
      {{CmdType::printToLog, "a \"q\" \\ b\n"}, R"({"cmdType":"printToLog","payload":"a \"q\" \\ b\n"})"},
  };
  for (const auto& c : cases) {
    auto encoded = XpcUdpCommandParser::encodeCommand(c.cmd);
    ASSERT_TRUE(encoded.has_value());
    EXPECT_EQ(text(*encoded), c.json);
  }
}

TEST(XpcUdpCommandParser, RoundTripKeepsQuotesBackslashesAndUnicode) {
  XpcUdpCommand cmd{CmdType::printToLog, "name \"x\\y\" \xC5\xA1 /path\t\x01"};
  auto encoded = XpcUdpCommandParser::encodeCommand(cmd);
  ASSERT_TRUE(encoded);
  auto decoded = XpcUdpCommandParser::decodeCommand(*encoded);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, cmd);
}

TEST(XpcUdpCommandParser, InvalidUtf8IsReplacedNotThrown) {
  XpcUdpCommand cmd{CmdType::printToLog, std::string("bad \xC3\x28 \xFF end")};
  auto encoded = XpcUdpCommandParser::encodeCommand(cmd);
  ASSERT_TRUE(encoded);
  auto decoded = XpcUdpCommandParser::decodeCommand(*encoded);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->payload, "bad \xEF\xBF\xBD( \xEF\xBF\xBD end");
}

TEST(XpcUdpCommandParser, DecodeTable) {
  struct Case {
    std::string input;
    std::optional<XpcUdpCommand> expected;
  } cases[] = {
      {R"({"cmdType":"command","payload":"bypassAllOn"})", XpcUdpCommand{CmdType::command, "bypassAllOn"}},
      {R"({"payload":"stopped","cmdType":"notification"})", XpcUdpCommand{CmdType::notification, "stopped"}},
      {R"( {"cmdType":"printToLog","payload":"x","extra":[1,2]} )", XpcUdpCommand{CmdType::printToLog, "x"}},
      {R"({"cmdType":"Command","payload":"bypassAllOn"})", std::nullopt},
      {R"({"cmdType":"command"})", std::nullopt},
      {R"({"payload":"x"})", std::nullopt},
      {R"({"cmdType":"command","payload":5})", std::nullopt},
      {R"({"cmdType":1,"payload":"x"})", std::nullopt},
      {R"(["command","x"])", std::nullopt},
      {R"("command")", std::nullopt},
      {"&*requestCU", std::nullopt},
      {"", std::nullopt},
      {R"({"cmdType":"command","payload":"x")", std::nullopt},
      {std::string("{\"cmdType\":\"command\",\"payload\":\"\xFF\"}"), std::nullopt},      {R"({"cmdType":"command","payload":"x","extra":)" + std::string(60000, '[') + std::string(60000, ']') + "}",
       std::nullopt},
  };
  for (const auto& c : cases) {
    auto decoded = XpcUdpCommandParser::decodeCommand(bytes(c.input));
    EXPECT_EQ(decoded, c.expected) << c.input.substr(0, 80);
  }
}

TEST(XpcUdpCommandParser, RawValuesAreCaseSensitive) {
  EXPECT_EQ(XpcUdpCommandParser::cmdType("printToLog"), CmdType::printToLog);
  EXPECT_EQ(XpcUdpCommandParser::cmdType("notification"), CmdType::notification);
  EXPECT_EQ(XpcUdpCommandParser::cmdType("command"), CmdType::command);
  EXPECT_EQ(XpcUdpCommandParser::cmdType("printtolog"), std::nullopt);
  EXPECT_EQ(XpcUdpCommandParser::cmdType(""), std::nullopt);
}
