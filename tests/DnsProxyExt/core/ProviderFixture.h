#pragma once
// A started DNSProxyProvider wired to loopback fake resolvers, a fake policy
// server and a fake relay, with a fake clock and a hand-driven delayed queue.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "DnsProxyExt/DNSProxyProvider.h"
#include "DnsProxyExt/MDMConfigurationManager.h"
#include "FakeUdpServer.h"
#include "dns/value/Message.h"
#include "platform/foundation/Defaults.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Log.h"
#include "platform/networkextension/MemoryUdpFlow.h"

namespace dnsproxyext::testing {

using Bytes = std::vector<uint8_t>;
using testing_support::FakeUdpServer;

inline Bytes queryBytes(const std::string& name, uint16_t id = 0x1234, uint16_t type = 1) {
  DnsToolsSocket::Message m;
  m.id = id;
  m.recursionDesired = true;
  m.questions.push_back(DnsToolsSocket::Question{name, type, false, 1});
  return m.serialize();
}

// A response to `query` whose answer section is one A record 192.0.2.77.
inline Bytes answerFor(const Bytes& query) {
  DnsToolsSocket::Message q = DnsToolsSocket::Message::deserialize(query);
  DnsToolsSocket::Message r;
  r.id = q.id;
  r.type = DnsToolsSocket::MessageType::response;
  r.recursionDesired = true;
  r.recursionAvailable = true;
  r.questions = q.questions;
  if (!q.questions.empty()) {
    r.answers.push_back(DnsToolsSocket::HostRecord<DnsToolsSocket::IPv4>{
        q.questions[0].name, false, 1, 60, DnsToolsSocket::IPv4(0xC000024Du)});
  }
  return r.serialize();
}

inline FakeUdpServer::Handler answering() {
  return [](const Bytes& query) -> std::vector<Bytes> {
    try {
      return {answerFor(query)};
    } catch (...) {
      return {query};  // echo what does not decode
    }
  };
}

// EDNS options of the OPT record in a query's additional section: code -> value.
std::map<uint16_t, std::string> ednsOptions(const Bytes& query);

inline platform::NWHostEndpoint endpoint(const std::string& port = "53") { return {"127.0.0.53", port}; }

class ProviderFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  nlohmann::json vendorData() const;
  void start(std::optional<nlohmann::json> options);
  void startWithVendorData() { start(nlohmann::json{{"VendorData", vendorData()}}); }

  // One flow from `app` with the given datagrams (endpoints 127.0.0.53:53, :54, ...).
  std::shared_ptr<platform::MemoryUdpFlow> flowWith(const std::string& app, const std::vector<Bytes>& datagrams,
                                                    std::shared_ptr<platform::DispatchQueue> queue = nullptr);
  // Offers the flow and waits until it is closed for writing.
  bool runFlow(const std::shared_ptr<platform::MemoryUdpFlow>& flow);

  std::filesystem::path root_;
  std::shared_ptr<platform::FakeClock> clock_ = std::make_shared<platform::FakeClock>(1'700'000'000.0);
  std::shared_ptr<platform::ManualQueue> delayed_ = std::make_shared<platform::ManualQueue>(clock_);
  std::unique_ptr<MDMConfigurationManager> mdm_;
  std::unique_ptr<FakeUdpServer> filtering_, second_, local_, mapped_, policy_, relay_;
  std::shared_ptr<DnsProxyExt> provider_;
  // How long the provider's resolver clients wait for answers; tests of
  // silent resolvers shorten it before `start`.
  std::chrono::nanoseconds answerDeadline_ = DnsToolsSocket::DNSSocketClient::kAnswerDeadline;
};

}  // namespace dnsproxyext::testing
