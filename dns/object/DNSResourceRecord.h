#pragma once
// Base of the object-model records: owner name, TYPE, CLASS, TTL and RDATA.
// Subclasses interpret another record's data (decodeFromResource) and write
// their own (encodeData).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace DnsObjects {

class DNSResourceRecord {
 public:
  virtual ~DNSResourceRecord() = default;

  std::string name;
  // The owner name as read, uncompressed; written while it still spells `name`.
  std::vector<uint8_t> wireName;
  uint16_t type = 0;
  uint16_t resourceClass = 0;
  uint32_t ttl = 0;
  std::vector<uint8_t> data;

  // Copies name (with its wire form), type, class and TTL (not the data), then decodeFromResource.
  void copyFromResource(const DNSResourceRecord& other);
  virtual void decodeFromResource(const DNSResourceRecord& other);
  // Complete wire form; absent when the name or RDATA cannot be written.
  virtual std::optional<std::vector<uint8_t>> encode();
  virtual std::vector<uint8_t> encodeData();
  virtual std::shared_ptr<DNSResourceRecord> copyWithZone() const;

  static std::shared_ptr<DNSResourceRecord> fromResource(const DNSResourceRecord& other);
};

}  // namespace DnsObjects
