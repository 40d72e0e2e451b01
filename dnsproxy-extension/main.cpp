// Entry of the DNS proxy extension: the host plays the system's part
// (sockets, flows, preferences), then the main queue runs for ever.
#include <sys/resource.h>

#include <cstdio>
#include <string>
#include <vector>

#if __has_include("dnsproxy-extension/DNSProxyProvider.h")
#include "dnsproxy-extension/DNSProxyProvider.h"
#else
#include "DnsProxyExt/DNSProxyProvider.h"
#endif
#include "platform/dispatch/Dispatch.h"
#include "platform/host/ExtensionHost.h"
#include "platform/networkextension/NEDNSProxyProvider.h"

namespace {

// Every flow holds a resolver socket until it is answered: take all the
// descriptors the hard limit allows. An unlimited hard limit above the
// kernel's maximum makes setrlimit fail; the soft limit then stays.
void raiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

int main(int argc, char** argv) {
  raiseDescriptorLimit();
  std::string error;
  auto options = platform::ExtensionHostOptions::parse(std::vector<std::string>(argv + 1, argv + argc), error);
  if (!options) {
    std::fprintf(stderr, "%s\n%s", error.c_str(), platform::ExtensionHostOptions::usage());
    return 2;
  }
  if (options->help) {
    std::fputs(platform::ExtensionHostOptions::usage(), stdout);
    return 0;
  }
  platform::ExtensionHost::configure(*options);
  // What the bundle's property list would name as the provider class.
  platform::NEProvider::setProviderFactory([] { return std::make_shared<dnsproxyext::DNSProxyProvider>(); });
  platform::NEProvider::startSystemExtensionMode();
  platform::dispatchMain();
}
