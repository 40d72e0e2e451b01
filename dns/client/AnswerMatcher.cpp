#include "dns/client/AnswerMatcher.h"

#include "dns/value/DecodeError.h"
#include "dns/value/NameCodec.h"
#include "dns/value/WireReader.h"

namespace DnsToolsSocket {

AnswerMatcher::AnswerMatcher(const std::vector<std::vector<uint8_t>>& queries)
    : answered_(queries.size(), false) {
  keys_.reserve(queries.size());
  for (const auto& q : queries) keys_.push_back(keyOf(q));
}

std::optional<AnswerMatcher::Key> AnswerMatcher::keyOf(std::span<const uint8_t> message) {
  dnswire::WireReader r(message);
  const auto id = r.u16();
  if (!id || message.size() < 12) return std::nullopt;
  Key key;
  key.id = *id;
  const uint16_t questions = *r.u16At(4);
  if (questions == 0) return key;
  r.seek(12);
  try {
    key.name = deserializeName(r);
  } catch (const DecodeError&) {
    return key;  // identifier only
  }
  const auto type = r.u16();
  const auto qclass = r.u16();
  if (!type || !qclass) return key;
  for (char& c : key.name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  key.hasQuestion = true;
  key.type = *type;
  key.qclass = *qclass;
  return key;
}

std::optional<size_t> AnswerMatcher::match(std::span<const uint8_t> answer, size_t armingIndex) {
  const auto answerKey = keyOf(answer);
  std::optional<size_t> found;
  if (answerKey) {
    for (size_t i = 0; i < keys_.size() && !found; ++i) {
      const auto& k = keys_[i];
      if (answered_[i] || !k || k->id != answerKey->id) continue;
      // Some error answers carry no question: the identifier decides alone.
      if (!answerKey->hasQuestion ||
          (k->hasQuestion && k->name == answerKey->name && k->type == answerKey->type && k->qclass == answerKey->qclass))
        found = i;
    }
  }
  if (!found && armingIndex < keys_.size() && !answered_[armingIndex] && !keys_[armingIndex]) found = armingIndex;
  if (found) {
    answered_[*found] = true;
    ++answeredCount_;
  }
  return found;
}

}  // namespace DnsToolsSocket
