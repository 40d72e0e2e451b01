// The extension program's host with a stand-in provider that answers every
// query itself (return code 5), for tests of options, preferences and signals.
#include <cstdio>

#include "platform/dispatch/Dispatch.h"
#include "platform/host/ExtensionHost.h"
#include "platform/networkextension/NEDNSProxyProvider.h"

using namespace platform;

namespace {

void say(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

class StubProvider : public NEDNSProxyProvider {
 public:
  void startProxy(std::optional<nlohmann::json> options, std::function<void(std::optional<NEError>)> done) override {
    say("stub startProxy options=" + (options ? options->dump() : std::string("none")));
    done(std::nullopt);
  }
  void stopProxy(NEProviderStopReason reason, std::function<void()> done) override {
    say("stub stopProxy " + description(reason));
    done();
  }
  void sleep(std::function<void()> done) override {
    say("stub sleep");
    done();
  }
  void wake() override { say("stub wake"); }
  bool handleNewUDPFlow(std::shared_ptr<NEAppProxyUDPFlow> flow, NWHostEndpoint) override {
    flow->openWithLocalEndpoint(std::nullopt, [flow](std::optional<NEError>) {
      flow->readDatagrams([flow](auto datagrams, auto endpoints, auto error) {
        if (error || !datagrams || !endpoints) return;
        for (auto& d : *datagrams)
          if (d.size() >= 4) {
            d[2] |= 0x80;
            d[3] = static_cast<uint8_t>((d[3] & 0xF0) | 5);
          }
        flow->writeDatagrams(*datagrams, *endpoints, [flow](std::optional<NEError>) {
          flow->closeReadWithError(std::nullopt);
          flow->closeWriteWithError(std::nullopt);
        });
      });
    });
    return true;
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  auto options = ExtensionHostOptions::parse(std::vector<std::string>(argv + 1, argv + argc), error);
  if (!options) {
    std::fprintf(stderr, "%s\n%s", error.c_str(), ExtensionHostOptions::usage());
    return 2;
  }
  ExtensionHost::configure(*options);
  NEProvider::setProviderFactory([] { return std::make_shared<StubProvider>(); });
  NEProvider::startSystemExtensionMode();
  dispatchMain();
}
