// Policy fetch of DnsProxyExt: the per-domain resolver assignments.
#include <chrono>

#include "DnsProxyExt/DnsProxyExt.h"
#include "DnsProxyExt/PolicyUDPClient.h"
#include "DnsProxyExt/WhitelistedDomains.h"
#include "platform/foundation/Log.h"

namespace dnsproxyext {

using platform::NSLog;

namespace {

// The bytes as UTF-8 text, each invalid sequence replaced by U+FFFD.
std::string utf8Text(std::span<const uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    const uint8_t b = bytes[i];
    size_t length = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
    bool valid = length != 0 && i + length <= bytes.size();
    for (size_t k = 1; valid && k < length; ++k) valid = (bytes[i + k] & 0xC0) == 0x80;
    if (valid && length > 1) {
      uint32_t cp = b & (0xFF >> (length + 1));
      for (size_t k = 1; k < length; ++k) cp = (cp << 6) | (bytes[i + k] & 0x3F);
      const uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
      valid = cp >= minimum[length] && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
    }
    if (valid) {
      out.append(reinterpret_cast<const char*>(bytes.data() + i), length);
      i += length;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

void policyFetched(bool success) {
  NSLog(std::string("Policy is fetched, success - ") + platform::boolText(success));
}

}  // namespace

void DnsProxyExt::startFetchingPolicy() {
  NSLog("startFetchingPolicy");
  std::weak_ptr<platform::NEDNSProxyProvider> weak = weak_from_this();
  auto item = globalQueue_->asyncAfter(std::chrono::seconds(static_cast<int64_t>(fetchPolicyEach)), [weak] {
    if (auto self = std::static_pointer_cast<DnsProxyExt>(weak.lock())) self->fetchPolicy();
  });
  {
    std::lock_guard lock(mutex_);
    if (delayedPolicyFetch_) delayedPolicyFetch_->cancel();
    delayedPolicyFetch_ = std::move(item);
  }
  fetchPolicy();
}

void DnsProxyExt::fetchPolicy() {
  NSLog("fetchPolicy");
  std::string organizationId;
  std::shared_ptr<Utils::DNSHost> server;
  {
    std::lock_guard lock(mutex_);
    auto it = macOSconfig_.find("organizationId");
    if (it != macOSconfig_.end()) organizationId = it->second;
    server = policyUDPServer_;
  }
  if (organizationId.empty()) {
    NSLog("fetchPolicy: policyUDPServer - orgId = nil");
    policyFetched(false);
    return;
  }
  if (!server) {
    NSLog("fetchPolicy: policyUDPServer - nil");
    policyFetched(false);
    return;
  }
  if (server->port < 0 || server->port > 65535) {
    NSLog("fetchPolicy: policyUDPServer - port out of range: " + server->debugDescription());
    policyFetched(false);
    return;
  }
  const std::string request = policyRequestText(organizationId);
  auto client = std::make_shared<PolicyUDPClient>(std::vector<uint8_t>(request.begin(), request.end()));
  std::weak_ptr<platform::NEDNSProxyProvider> weak = weak_from_this();
  client->setOnPolicyDataReceived([weak, request](std::optional<std::vector<uint8_t>> data,
                                                 std::optional<bool> isComplete,
                                                 std::optional<platform::NWError> error) {
    if (auto self = std::static_pointer_cast<DnsProxyExt>(weak.lock()))
      self->handlePolicyData(std::move(data), isComplete, std::move(error));
  });
  client->connectWithUDP(server->address, server->port);
}

void DnsProxyExt::handlePolicyData(std::optional<std::vector<uint8_t>> data, std::optional<bool>,
                                   std::optional<platform::NWError> error) {
  NSLog("onPolicyDataReceived");
  if (!data || error) {
    NSLog("onPolicyDataReceived, error");
    policyFetched(false);
    return;
  }
  NSLog("onPolicyDataReceived, resp: " + platform::escapedText(utf8Text(*data)));
  updateWhitelistedDomains(*data);
  policyFetched(true);
}

void DnsProxyExt::updateWhitelistedDomains(std::span<const uint8_t> policyResp) {
  NSLog("updateWhitelistedDomains");
  auto decoded = decodeWhitelistedDomains(policyResp);
  if (auto* failure = std::get_if<std::string>(&decoded)) {
    NSLog("JSON decoder, error: " + platform::escapedText(*failure) + ", ");
    return;
  }
  const auto& reply = std::get<WhitelistedDomains>(decoded);
  NSLog("updating WhitelistedDomains...");
  std::shared_ptr<const DomainMap> current;
  if (reply.status) {
    auto map = std::make_shared<DomainMap>();
    for (const auto& entry : reply.dnsServerSettings) {
      auto host = std::make_shared<Utils::DNSHost>(entry.dnsServerIP);
      for (const auto& domain : entry.assignedDomains) (*map)[domain] = host;
    }
    std::lock_guard lock(mutex_);
    whitelistedDomainsMap_ = map;
    current = map;
  } else {
    std::lock_guard lock(mutex_);
    current = whitelistedDomainsMap_;
  }
  NSLog(" WhitelistedDomains updated: " + describe(*current));
}

}  // namespace dnsproxyext
