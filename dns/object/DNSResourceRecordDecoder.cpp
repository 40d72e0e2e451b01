#include "dns/object/DNSResourceRecordDecoder.h"

#include <span>

#include "dns/value/WireReader.h"
#include "dns/object/DNSLabelDecoder.h"

namespace DnsObjects {

void DNSResourceRecordDecoder::decodeResourceInBuffer(const uint8_t* bytes, uint32_t& offset, uint32_t length) {
  resource.reset();
  if (bytes == nullptr || offset >= length) return;
  DNSLabelDecoder labelDecoder;
  labelDecoder.decodeLabelInBuffer(bytes, offset, length);
  if (!labelDecoder.name) return;
  dnswire::WireReader reader(std::span<const uint8_t>(bytes, length), offset);
  auto type = reader.u16();
  auto resourceClass = reader.u16();
  auto ttl = reader.u32();
  auto rdLength = reader.u16();
  if (!type || !resourceClass || !ttl || !rdLength) return;
  auto rdata = reader.bytes(*rdLength);
  if (!rdata) return;
  auto result = std::make_shared<DNSResourceRecord>();
  result->name = std::move(*labelDecoder.name);
  result->wireName = std::move(labelDecoder.wireName);
  result->type = *type;
  result->resourceClass = *resourceClass;
  result->ttl = *ttl;
  result->data.assign(rdata->begin(), rdata->end());
  offset = static_cast<uint32_t>(reader.offset());
  resource = std::move(result);
}

}  // namespace DnsObjects
