#pragma once
// The extension's provider class: everything is inherited from DnsProxyExt.
#include <map>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "DnsProxyExt/DnsProxyExt.h"

namespace dnsproxyext {

class DNSProxyProvider : public DnsProxyExt {
 public:
  using DnsProxyExt::DnsProxyExt;

  // Starts empty and is never set.
  std::optional<std::map<std::string, nlohmann::json>> options;

 protected:
  const char* className() const override { return "DNSProxyProvider"; }
};

}  // namespace dnsproxyext
