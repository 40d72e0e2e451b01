#pragma once
// The system's side of the DNS proxy extension on Linux: listening
// sockets, flows, the preferences watcher, provider start and stop, and
// the process signals. NEProvider::startSystemExtensionMode() starts it.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/network/SocketAddress.h"

namespace platform {

struct ExtensionHostOptions {
  std::vector<SocketAddress> listen;     // default 127.0.0.1:53
  std::optional<SocketAddress> systemDns;  // default from /etc/resolv.conf
  std::string preferencesPath;           // default ProviderPreferences::defaultPath()
  bool help = false;

  // Arguments after the program name; none (with `error`) on bad input.
  static std::optional<ExtensionHostOptions> parse(const std::vector<std::string>& args, std::string& error);
  static const char* usage();
};

// The first nameserver of a resolv.conf text that is not one of `listen`.
std::optional<SocketAddress> systemDnsFromResolvConf(std::string_view text, const std::vector<SocketAddress>& listen);

namespace ExtensionHost {
// Called by main before any thread starts: keeps the signals the host
// handles away from every other thread.
void configure(ExtensionHostOptions options);
}  // namespace ExtensionHost

}  // namespace platform
