#include "dns/value/Message.h"

#include "platform/foundation/Log.h"

namespace DnsToolsSocket {

std::string Question::debugDescription() const {
  std::string out = "Question(name: " + platform::quotedText(name) + ", type: ";
  out += DnsToolsSocket::debugDescription(type);
  out += ", unique: ";
  out += platform::boolText(unique);
  out += ", internetClass: " + std::to_string(internetClass) + ")";
  return out;
}

namespace {

template <class T>
std::string listText(const std::vector<T>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ", ";
    out += items[i].debugDescription();
  }
  return out + "]";
}

}  // namespace

std::string Message::debugDescription() const {
  std::string out;
  if (type == MessageType::response) {
    out = "DNS Response(id: " + std::to_string(id) + ", returnCode: " + std::to_string(returnCode);
  } else {
    out = "DNS Request(id: " + std::to_string(id);
  }
  out += ", authoritativeAnswer: ";
  out += platform::boolText(authoritativeAnswer);
  out += ", truncation: ";
  out += platform::boolText(truncation);
  out += ", recursionDesired: ";
  out += platform::boolText(recursionDesired);
  out += ", recursionAvailable: ";
  out += platform::boolText(recursionAvailable);
  out += ", questions: " + listText(questions);
  out += ", answers: " + listText(answers);
  out += ", authorities: " + listText(authorities);
  out += ", additional: " + listText(additional);
  out += ")";
  return out;
}

}  // namespace DnsToolsSocket
