#include "dns/object/DNSHeaderDecoder.h"

#include <span>

#include "dns/value/WireReader.h"

namespace DnsObjects {

void DNSHeaderDecoder::decodeHeaderInBuffer(const uint8_t* bytes, uint32_t& offset, uint32_t length) {
  header.reset();
  if (bytes == nullptr || offset > length || length - offset < 12) return;
  dnswire::WireReader reader(std::span<const uint8_t>(bytes, length), offset);
  auto result = std::make_shared<DNSHeader>();
  result->id = *reader.u16();
  const uint8_t flags1 = *reader.u8();
  const uint8_t flags2 = *reader.u8();
  result->isQuery = (flags1 & 0x80) == 0;
  result->opCode = (flags1 >> 3) & 0x0F;
  result->authoritativeAnswer = (flags1 & 0x04) != 0;
  result->truncated = (flags1 & 0x02) != 0;
  result->recursionDesired = (flags1 & 0x01) != 0;
  result->recursionAvailable = (flags2 & 0x80) != 0;
  result->authenticatedData = (flags2 & 0x20) != 0;
  result->checkingDisabled = (flags2 & 0x10) != 0;
  result->responseCode = flags2 & 0x0F;
  result->questionCount = *reader.u16();
  result->answerRecordCount = *reader.u16();
  result->authorityRecordCount = *reader.u16();
  result->additionalRecordCount = *reader.u16();
  offset = static_cast<uint32_t>(reader.offset());
  header = std::move(result);
}

}  // namespace DnsObjects
