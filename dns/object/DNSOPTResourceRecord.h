#pragma once
// EDNS(0) pseudo-record: CLASS carries the UDP payload size, TTL carries the
// extended RCODE, version and DO bit, the data carries the options.
#include "dns/object/DNSResourceRecord.h"

namespace DnsObjects {

class DNSOPTResourceRecord : public DNSResourceRecord {
 public:
  uint16_t udpPayloadSize = 0;
  uint8_t extendedRCode = 0;
  uint8_t version = 0;
  bool dnssecOK = false;

  void decodeFromResource(const DNSResourceRecord& other) override;
  std::optional<std::vector<uint8_t>> encode() override;
  std::shared_ptr<DNSResourceRecord> copyWithZone() const override;

  static std::shared_ptr<DNSOPTResourceRecord> fromResource(const DNSResourceRecord& other);
};

}  // namespace DnsObjects
