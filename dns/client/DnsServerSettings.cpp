#include "dns/client/DnsServerSettings.h"

#include "DefaultAddresses.h"

namespace DnsToolsSocket {

const std::string& DnsServerSettings::hostUDP() {
  static const std::string host(vardeno::defaults::kFixedServerAddress);
  return host;
}

uint16_t DnsServerSettings::portUDP() {
  static const uint16_t port = 81;
  return port;
}

}  // namespace DnsToolsSocket
