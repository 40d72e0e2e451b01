#include "DnsProxyExt/XpcUdpCommandParser.h"

#include <nlohmann/json.hpp>

#include "platform/foundation/JsonNesting.h"

namespace dnsproxyext {

std::string_view XpcUdpCommandParser::rawValue(CmdType type) {
  switch (type) {
    case CmdType::printToLog: return "printToLog";
    case CmdType::command: return "command";
    case CmdType::notification: return "notification";
  }
  return "";
}

std::optional<XpcUdpCommandParser::CmdType> XpcUdpCommandParser::cmdType(std::string_view raw) {
  for (CmdType t : {CmdType::printToLog, CmdType::command, CmdType::notification}) {
    if (raw == rawValue(t)) return t;
  }
  return std::nullopt;
}

std::optional<std::vector<uint8_t>> XpcUdpCommandParser::encodeCommand(const XpcUdpCommand& cmd) {
  try {
    nlohmann::ordered_json object;
    object["cmdType"] = std::string(rawValue(cmd.cmdType));
    object["payload"] = cmd.payload;
    std::string text = object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    return std::vector<uint8_t>(text.begin(), text.end());
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<XpcUdpCommand> XpcUdpCommandParser::decodeCommand(std::span<const uint8_t> data) {
  if (!platform::jsonNestingWithin(data.data(), data.size())) return std::nullopt;
  nlohmann::json object = nlohmann::json::parse(data.begin(), data.end(), nullptr, false);
  if (!object.is_object()) return std::nullopt;
  auto type = object.find("cmdType");
  auto payload = object.find("payload");
  if (type == object.end() || payload == object.end()) return std::nullopt;
  if (!type->is_string() || !payload->is_string()) return std::nullopt;
  auto kind = cmdType(type->get_ref<const std::string&>());
  if (!kind) return std::nullopt;
  return XpcUdpCommand{*kind, payload->get<std::string>()};
}

}  // namespace dnsproxyext
