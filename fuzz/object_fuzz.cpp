// fuzz-libs: vardeno_dns
// Hostile datagrams through the object codec: decode, re-encode (which must
// decode again to the same bytes), EDNS(0) injection (one result per input,
// question labels kept),
// the record kinds' data readers and the address text parsers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "dns/object/DNSAResourceRecord.h"
#include "dns/object/DNSCNAMEResourceRecord.h"
#include "dns/object/DNSLabelEncoder.h"
#include "dns/object/DNSMessageDecoder.h"
#include "dns/object/DNSMessageEncoder.h"
#include "dns/object/DNSOPTResourceRecord.h"
#include "dns/object/DNSParser.h"
#include "dns/object/IPAddress.h"
#include "dns/object/IPv6.h"
#include "platform/foundation/NamedException.h"

using namespace DnsObjects;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("VARDENO_LOG", "off", 1);
  return 0;
}

namespace {

std::shared_ptr<DNSMessage> decode(const std::vector<uint8_t>& bytes) {
  DNSMessageDecoder decoder;
  decoder.decodeMessageInBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()));
  return decoder.message;
}

void exerciseRecords(const DNSRecordArray& records) {
  for (const auto& record : records) {
    (void)DNSCNAMEResourceRecord::fromResource(*record)->encode();
    (void)DNSOPTResourceRecord::fromResource(*record)->encode();
    try {
      auto a = DNSAResourceRecord::fromResource(*record);
      if (a->encodeData() != record->data) std::abort();
    } catch (const platform::NamedException&) {
      if (record->data.size() == 4 || record->data.size() == 16) std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> input(data, data + size);

  if (auto message = decode(input)) {
    auto encoded = DNSMessageEncoder::encode(*message);
    if (encoded) {
      auto again = decode(*encoded);
      if (!again) std::abort();
      auto reencoded = DNSMessageEncoder::encode(*again);
      if (!reencoded || *reencoded != *encoded) std::abort();
    }
    for (const auto* section : {&message->answers, &message->authorityRecords, &message->additionalRecords})
      if (*section) exerciseRecords(**section);
  }

  const auto injected = DNSParser::injectFlagsToDatagrams({input, input}, DNSParser::OptionDictionary{{"65007", "1"}});
  if (injected.size() != 2 || injected[0] != injected[1]) std::abort();
  // Question names leave with the labels they came with, unless the URL rule replaced them.
  if (auto before = decode(input); before && before->questions) {
    auto after = decode(injected[0]);
    if (!after || !after->questions || after->questions->size() != before->questions->size()) std::abort();
    for (size_t i = 0; i < before->questions->size(); ++i) {
      const auto& asked = *(*before->questions)[i];
      // (A pointer to a bare root byte gives a text that no longer spells the labels.)
      if (asked.name.find("http") == std::string::npos && DNSLabelEncoder::spells(asked.wireName, asked.name) &&
          (*after->questions)[i]->wireName != asked.wireName)
        std::abort();
    }
  }

  // The same bytes as an address text.
  const std::string text(reinterpret_cast<const char*>(data), size < 256 ? size : 256);
  IPAddress address(text);
  (void)address.correctForm();
  (void)address.mask();
  (void)address.startAddress();
  (void)address.endAddress();
  (void)address.reversedForm();
  (void)address.data();
  if (auto v6 = std::dynamic_pointer_cast<IPv6>(address.underlyingAddress())) {
    (void)v6->canonicalForm();
    (void)v6->v4inv6();
    (void)v6->decimal();
  }
  return 0;
}
