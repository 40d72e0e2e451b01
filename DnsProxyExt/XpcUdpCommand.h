#pragma once
// One relay command datagram.
#include <string>

#include "DnsProxyExt/XpcUdpCommandParser.h"

namespace dnsproxyext {

struct XpcUdpCommand {
  XpcUdpCommandParser::CmdType cmdType;
  std::string payload;

  bool operator==(const XpcUdpCommand&) const = default;
};

}  // namespace dnsproxyext
