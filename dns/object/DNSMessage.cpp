#include "dns/object/DNSMessage.h"

namespace DnsObjects {

std::shared_ptr<DNSMessage> DNSMessage::copyWithZone() const {
  auto copy = std::make_shared<DNSMessage>(*this);
  if (header) copy->header = header->copyWithZone();
  return copy;
}

}  // namespace DnsObjects
