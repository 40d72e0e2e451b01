#pragma once
// The record of one accepted UDP flow: timings, the decoded queries as far as
// the report prints them, the sizes of the last read's datagrams and the
// errors met on the way.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dns/value/Message.h"
#include "platform/networkextension/NEAppProxyUDPFlow.h"

namespace dnsproxyext {

struct ReportSettings;

class ManagedFlow {
 public:
  // Decoded queries kept per record: the first ones; later ones are not kept.
  static constexpr size_t kMaxReqMessages = 64;
  // Error entries kept per record: the latest ones.
  static constexpr size_t kMaxErrors = 32;

  ManagedFlow(std::shared_ptr<platform::NEAppProxyUDPFlow> flow, double startTimestamp);

  // Appends "--> error: timestamp: ... breakboint: <code>".
  void addErrorToFlow(int code, double now);
  void addError(std::string text);
  // Keeps of each message only what the report and the road read: the
  // header, the first question and the first answer's owner.
  void appendRequests(std::vector<std::optional<DnsToolsSocket::Message>> messages);
  // The same for messages already reduced by summarize(), which callers run
  // before taking a lock.
  void appendSummaries(std::vector<std::optional<DnsToolsSocket::Message>> messages);
  static void summarize(std::vector<std::optional<DnsToolsSocket::Message>>& messages);
  void setRawReqData(const std::vector<platform::Datagram>& datagrams);
  static std::vector<size_t> sizesOf(const std::vector<platform::Datagram>& datagrams);
  void setRawReqSizes(std::vector<size_t> sizes) { rawReqData = std::move(sizes); }

  // Heap and object bytes the record holds, roughly; the flow object not included.
  size_t approximateBytes() const;

  // The lines of this record in the flow manager's report.
  std::vector<std::string> reportLines(const ReportSettings& settings, double now) const;

  const std::shared_ptr<platform::NEAppProxyUDPFlow> flow;
  double startTimestamp;
  double endTimestamp = 0;
  std::vector<std::string> errors;
  bool isFinished = false;
  std::vector<std::optional<DnsToolsSocket::Message>> reqMessages;
  std::optional<std::string> url;
  std::optional<std::vector<size_t>> rawReqData;  // the last read's datagram sizes
};

}  // namespace dnsproxyext
