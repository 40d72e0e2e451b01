#pragma once
// Timing record of one exchange with a resolver, for the "[DNS REQ FLOW]" line.
#include <cstdint>
#include <optional>
#include <string>

namespace dnsproxyext {

struct DNSFlowReport {
  std::optional<int64_t> startTimestamp;  // monotonic nanoseconds
  std::optional<int64_t> endTimestamp;
  std::optional<int64_t> dataWasSent;
  std::optional<std::string> url;
  std::optional<std::string> dnsServer;
};

}  // namespace dnsproxyext
