// Wire encoding of the value-type Message, with name compression.
#include "dns/value/Message.h"
#include "dns/value/WireWriter.h"

namespace DnsToolsSocket {

namespace {

uint16_t countOf(size_t n) {
  if (n > 0xFFFF) throw EncodeError(EncodeError::tooManyEntries);
  return static_cast<uint16_t>(n);
}

}  // namespace

std::vector<uint8_t> Message::serialize() const {
  dnswire::WireWriter w(512);
  Labels labels;
  uint16_t flags = 0;
  if (type == MessageType::response) flags |= 0x8000;
  flags |= static_cast<uint16_t>((operationCode & 0x0F) << 11);  // 4-bit fields: never spill into the flags
  if (authoritativeAnswer) flags |= 0x0400;
  if (truncation) flags |= 0x0200;
  if (recursionDesired) flags |= 0x0100;
  if (recursionAvailable) flags |= 0x0080;
  flags |= returnCode & 0x0F;

  w.u16(id);
  w.u16(flags);
  w.u16(countOf(questions.size()));
  w.u16(countOf(answers.size()));
  w.u16(countOf(authorities.size()));
  w.u16(countOf(additional.size()));
  for (const auto& q : questions) {
    serializeName(w, labels, q.name);
    w.u16(q.type);
    w.u16(q.internetClass);  // the unique bit is not written for questions
  }
  for (const auto* section : {&answers, &authorities, &additional}) {
    for (const auto& record : *section) record.serialize(w, labels);
  }
  return w.take();
}

std::vector<uint8_t> Message::serializeTCP() const {
  std::vector<uint8_t> body = serialize();
  if (body.size() > 0xFFFF) throw EncodeError(EncodeError::messageTooLong);
  std::vector<uint8_t> out;
  out.reserve(body.size() + 2);
  out.push_back(static_cast<uint8_t>(body.size() >> 8));
  out.push_back(static_cast<uint8_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

}  // namespace DnsToolsSocket
