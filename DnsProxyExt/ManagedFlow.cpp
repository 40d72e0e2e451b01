#include "DnsProxyExt/ManagedFlow.h"

#include "DnsProxyExt/ReportSettings.h"
#include "platform/Log.h"

namespace dnsproxyext {

namespace {

std::string errorListText(const std::vector<std::string>& errors) {
  std::string out = "[";
  for (size_t i = 0; i < errors.size(); ++i) {
    if (i) out += ", ";
    out += platform::quotedText(errors[i]);
  }
  return out + "]";
}

std::string datagramListText(const std::vector<platform::Datagram>& datagrams) {
  std::string out = "[";
  for (size_t i = 0; i < datagrams.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(datagrams[i].size()) + " bytes";
  }
  return out + "]";
}

}  // namespace

ManagedFlow::ManagedFlow(std::shared_ptr<platform::NEAppProxyUDPFlow> flow, double startTimestamp)
    : flow(std::move(flow)), startTimestamp(startTimestamp) {}

void ManagedFlow::addErrorToFlow(int code, double now) {
  errors.push_back("--> error: timestamp: " + platform::valueDescription(now) + " in " +
                   platform::valueDescription(now - startTimestamp) +
                   " after start handling, breakboint: " + std::to_string(code));
}

void ManagedFlow::appendRequests(std::vector<std::optional<DnsToolsSocket::Message>> messages) {
  for (auto& m : messages) {
    if (reqMessages.size() >= kMaxReqMessages) break;
    reqMessages.push_back(std::move(m));
  }
}

std::vector<std::string> ManagedFlow::reportLines(const ReportSettings& settings, double now) const {
  std::vector<std::string> lines;
  const std::string hash = std::to_string(flow->hash());
  std::string urlText;
  if (reqMessages.empty()) {
    urlText = "reqMessages is empty";
  } else {
    const auto& first = reqMessages.front();
    urlText = (first && !first->answers.empty()) ? first->answers.front().name() : "answers is empty";
  }
  double delay = endTimestamp == 0 ? 0 : endTimestamp - startTimestamp;
  lines.push_back("->flow " + hash + ", isFinished: " + platform::boolText(isFinished) +
                  ", senderId: " + flow->metaData().sourceAppSigningIdentifier +
                  ",  delay: " + platform::valueDescription(delay) + ", url: " + urlText +
                  ", errors: " + errorListText(errors));
  if (delay == 0) lines.push_back("time from now = " + platform::valueDescription(now - startTimestamp));
  std::string count = rawReqData ? "Optional(" + std::to_string(rawReqData->size()) + ")" : "nil";
  std::string raw = rawReqData ? "Optional(" + datagramListText(*rawReqData) + ")" : "nil";
  lines.push_back("rawReqData: count = " + count + ", raw: " + raw);
  if (settings.detailed) {
    auto local = flow->localEndpoint();
    auto interface = flow->networkInterface();
    lines.push_back("flow " + hash + " detailed, isBound: " + platform::boolText(flow->isBound()) +
                    ", localEndpoint: " + (local ? "Optional(" + local->description() + ")" : "nil") +
                    ", remoteHostname: nil, nettworkInterface: " + platform::optionalText(interface));
  }
  return lines;
}

}  // namespace dnsproxyext
