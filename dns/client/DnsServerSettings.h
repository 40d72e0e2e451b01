#pragma once
// The one fixed server endpoint of the wire layer: the filtering server's
// address (a deployment value) and its UDP port.
#include <cstdint>
#include <string>

namespace DnsToolsSocket {

struct DnsServerSettings {
  // Dotted-decimal IPv4 text, made once on first use.
  static const std::string& hostUDP();
  static uint16_t portUDP();  // 81
};

}  // namespace DnsToolsSocket
