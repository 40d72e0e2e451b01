#include "dns/object/DNSHeaderEncoder.h"

#include "dns/value/WireWriter.h"

namespace DnsObjects {

std::vector<uint8_t> DNSHeaderEncoder::encode(const DNSHeader& header) {
  dnswire::WireWriter out(12);
  write(header, out);
  return out.take();
}

void DNSHeaderEncoder::write(const DNSHeader& header, dnswire::WireWriter& out) {
  out.u16(header.id);
  out.u8(static_cast<uint8_t>((header.isQuery ? 0 : 0x80) | ((header.opCode & 0x0F) << 3) |
                              (header.authoritativeAnswer ? 0x04 : 0) | (header.truncated ? 0x02 : 0) |
                              (header.recursionDesired ? 0x01 : 0)));
  out.u8(static_cast<uint8_t>((header.recursionAvailable ? 0x80 : 0) | (header.authenticatedData ? 0x20 : 0) |
                              (header.checkingDisabled ? 0x10 : 0) | (header.responseCode & 0x0F)));
  out.u16(header.questionCount);
  out.u16(header.answerRecordCount);
  out.u16(header.authorityRecordCount);
  out.u16(header.additionalRecordCount);
}

}  // namespace DnsObjects
