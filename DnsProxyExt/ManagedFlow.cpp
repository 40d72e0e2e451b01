#include "DnsProxyExt/ManagedFlow.h"

#include "DnsProxyExt/ReportSettings.h"
#include "platform/foundation/Log.h"

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

std::string datagramListText(const std::vector<size_t>& sizes) {
  std::string out = "[";
  for (size_t i = 0; i < sizes.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(sizes[i]) + " bytes";
  }
  return out + "]";
}

// The header, the first question and the first answer's owner, type and
// class: a query can carry kilobytes of records that nothing reads again.
DnsToolsSocket::Message summary(DnsToolsSocket::Message message) {
  if (message.questions.size() > 1) message.questions.resize(1);
  if (!message.answers.empty()) {
    const auto& first = message.answers.front();
    DnsToolsSocket::Record owner{first.name(), first.type(), first.internetClass(), first.unique(), first.ttl(), {}};
    message.answers.clear();
    message.answers.emplace_back(std::move(owner));
  }
  message.authorities.clear();
  message.additional.clear();
  message.questions.shrink_to_fit();
  message.answers.shrink_to_fit();
  message.authorities.shrink_to_fit();
  message.additional.shrink_to_fit();
  return message;
}

size_t textBytes(const std::string& text) { return text.capacity() > 15 ? text.capacity() + 1 : 0; }

}  // namespace

ManagedFlow::ManagedFlow(std::shared_ptr<platform::NEAppProxyUDPFlow> flow, double startTimestamp)
    : flow(std::move(flow)), startTimestamp(startTimestamp) {}

void ManagedFlow::addErrorToFlow(int code, double now) {
  addError("--> error: timestamp: " + platform::valueDescription(now) + " in " +
                   platform::valueDescription(now - startTimestamp) +
                   " after start handling, breakboint: " + std::to_string(code));
}

void ManagedFlow::addError(std::string text) {
  // A flow read many times would otherwise grow by one entry per read.
  if (errors.size() >= kMaxErrors) errors.erase(errors.begin());
  errors.push_back(std::move(text));
}

void ManagedFlow::appendRequests(std::vector<std::optional<DnsToolsSocket::Message>> messages) {
  summarize(messages);
  appendSummaries(std::move(messages));
}

void ManagedFlow::summarize(std::vector<std::optional<DnsToolsSocket::Message>>& messages) {
  for (auto& m : messages)
    if (m) m = summary(std::move(*m));
}

void ManagedFlow::appendSummaries(std::vector<std::optional<DnsToolsSocket::Message>> messages) {
  for (auto& m : messages) {
    if (reqMessages.size() >= kMaxReqMessages) break;
    reqMessages.push_back(std::move(m));
  }
}

std::vector<size_t> ManagedFlow::sizesOf(const std::vector<platform::Datagram>& datagrams) {
  std::vector<size_t> sizes;
  sizes.reserve(datagrams.size());
  for (const auto& datagram : datagrams) sizes.push_back(datagram.size());
  return sizes;
}

void ManagedFlow::setRawReqData(const std::vector<platform::Datagram>& datagrams) { rawReqData = sizesOf(datagrams); }

size_t ManagedFlow::approximateBytes() const {
  size_t bytes = sizeof(ManagedFlow);
  for (const auto& error : errors) bytes += sizeof(std::string) + textBytes(error);
  bytes += reqMessages.capacity() * sizeof(std::optional<DnsToolsSocket::Message>);
  for (const auto& message : reqMessages) {
    if (!message) continue;
    for (const auto& question : message->questions) bytes += sizeof question + textBytes(question.name);
    for (const auto& answer : message->answers) bytes += sizeof answer + textBytes(answer.name());
  }
  if (url) bytes += textBytes(*url);
  if (rawReqData) bytes += rawReqData->capacity() * sizeof(size_t);
  return bytes;
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
                  ", senderId: " + platform::escapedText(flow->metaData().sourceAppSigningIdentifier) +
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
