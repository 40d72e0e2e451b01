#pragma once
// JSON codec of the relay command datagram: {"cmdType":"...","payload":"..."}.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dnsproxyext {

struct XpcUdpCommand;

class XpcUdpCommandParser {
 public:
  enum class CmdType { printToLog, command, notification };

  static std::string_view rawValue(CmdType type);
  // Exact, case-sensitive match of the raw value.
  static std::optional<CmdType> cmdType(std::string_view raw);

  // Compact JSON, members "cmdType" then "payload". Invalid UTF-8 in the
  // payload is written as replacement characters, so this never throws.
  static std::optional<std::vector<uint8_t>> encodeCommand(const XpcUdpCommand& cmd);
  // No value for anything that is not an object with a known "cmdType" and a
  // text "payload"; never throws.
  static std::optional<XpcUdpCommand> decodeCommand(std::span<const uint8_t> data);
};

}  // namespace dnsproxyext

#include "DnsProxyExt/XpcUdpCommand.h"
