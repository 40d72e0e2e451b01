#pragma once
// Resource records as values: one structure per kind, and ResourceRecord,
// a value holding any one kind with the shared fields as accessors.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "dns/value/IP.h"
#include "dns/value/IPv4.h"
#include "dns/value/IPv6.h"
#include "dns/value/NameCodec.h"
#include "dns/value/WireWriter.h"

namespace DnsToolsSocket {

// Any type without a kind of its own (MX, SVCB, HTTPS, OPT, ...): raw data.
struct Record {
  std::string name;
  uint16_t type = 0;
  uint16_t internetClass = 0;
  bool unique = false;
  uint32_t ttl = 0;
  std::vector<uint8_t> data;

  void serialize(dnswire::WireWriter& onto, Labels& labels) const;
  std::string debugDescription() const;
};

struct NameServerRecord {
  std::string name;
  uint16_t type = 2;
  uint16_t internetClass = 0;
  bool unique = false;
  uint32_t ttl = 0;
  std::string nameServer;

  void serialize(dnswire::WireWriter& onto, Labels& labels) const;
  std::string debugDescription() const;
  friend bool operator==(const NameServerRecord& a, const NameServerRecord& b) {
    return a.name == b.name && a.nameServer == b.nameServer;
  }
};

template <IP Address>
struct HostRecord {
  std::string name;
  bool unique = false;
  uint16_t internetClass = 0;
  uint32_t ttl = 0;
  Address ip{};

  static constexpr uint16_t recordType = Address::recordType;

  // Keeps the old address when the text is no address of this family.
  void changeIP(std::string_view text);
  void serialize(dnswire::WireWriter& onto, Labels& labels) const;
  std::string debugDescription() const;
  // The address is not compared.
  friend bool operator==(const HostRecord& a, const HostRecord& b) { return a.name == b.name; }
};

struct ServiceRecord {
  std::string name;
  bool unique = false;
  uint16_t internetClass = 0;
  uint32_t ttl = 0;
  uint16_t priority = 0;
  uint16_t weight = 0;
  uint16_t port = 0;
  std::string server;

  void serialize(dnswire::WireWriter& onto, Labels& labels) const;
  std::string debugDescription() const;
  friend bool operator==(const ServiceRecord& a, const ServiceRecord& b) { return a.name == b.name; }
};

struct TextRecord {
  std::string name;
  bool unique = false;
  uint16_t internetClass = 0;
  uint32_t ttl = 0;
  std::map<std::string, std::string> attributes;  // "key=value" strings
  std::vector<std::string> values{};              // the other strings; never encoded

  void serialize(dnswire::WireWriter& onto, Labels& labels) const;
  std::string debugDescription() const;
};

struct PointerRecord {
  std::string name;
  bool unique = false;
  uint16_t internetClass = 0;
  uint32_t ttl = 0;
  std::string destination;

  void serialize(dnswire::WireWriter& onto, Labels& labels) const;
  std::string debugDescription() const;
  friend bool operator==(const PointerRecord& a, const PointerRecord& b) {
    return a.name == b.name && a.destination == b.destination;
  }
};

struct AliasRecord {
  std::string name;
  bool unique = false;
  uint16_t internetClass = 0;
  uint32_t ttl = 0;
  std::string canonicalName;

  void serialize(dnswire::WireWriter& onto, Labels& labels) const;
  std::string debugDescription() const;
};

struct StartOfAuthorityRecord {
  std::string name;
  bool unique = false;
  uint16_t internetClass = 0;
  uint32_t ttl = 0;
  std::string mname;
  std::string rname;
  uint32_t serial = 0;
  int32_t refresh = 0;
  int32_t retry = 0;
  int32_t expire = 0;
  uint32_t minimum = 0;

  void serialize(dnswire::WireWriter& onto, Labels& labels) const;
  std::string debugDescription() const;
};

using RecordKind = std::variant<Record, NameServerRecord, HostRecord<IPv4>, HostRecord<IPv6>, ServiceRecord, TextRecord,
                                PointerRecord, AliasRecord, StartOfAuthorityRecord>;

// One record of any kind, owned by value.
class ResourceRecord {
 public:
  template <class Kind>
    requires std::is_constructible_v<RecordKind, Kind&&>
  ResourceRecord(Kind&& kind) : kind_(std::forward<Kind>(kind)) {}  // NOLINT: any kind converts

  const std::string& name() const;
  void setName(std::string name);
  bool unique() const;
  void setUnique(bool unique);
  uint16_t internetClass() const;
  void setInternetClass(uint16_t internetClass);
  uint32_t ttl() const;
  void setTtl(uint32_t ttl);
  // The type number written on the wire.
  uint16_t type() const;

  void serialize(dnswire::WireWriter& onto, Labels& labels) const;
  std::string debugDescription() const;

  template <class Kind>
  const Kind* as() const {
    return std::get_if<Kind>(&kind_);
  }
  template <class Kind>
  Kind* as() {
    return std::get_if<Kind>(&kind_);
  }
  const RecordKind& kind() const { return kind_; }
  RecordKind& kind() { return kind_; }

 private:
  RecordKind kind_;
};

}  // namespace DnsToolsSocket

template <>
struct std::hash<DnsToolsSocket::NameServerRecord> {
  std::size_t operator()(const DnsToolsSocket::NameServerRecord& r) const noexcept {
    return std::hash<std::string>{}(r.nameServer);
  }
};
template <DnsToolsSocket::IP Address>
struct std::hash<DnsToolsSocket::HostRecord<Address>> {
  std::size_t operator()(const DnsToolsSocket::HostRecord<Address>& r) const noexcept {
    return std::hash<std::string>{}(r.name);
  }
};
template <>
struct std::hash<DnsToolsSocket::ServiceRecord> {
  std::size_t operator()(const DnsToolsSocket::ServiceRecord& r) const noexcept {
    return std::hash<std::string>{}(r.name);
  }
};
template <>
struct std::hash<DnsToolsSocket::PointerRecord> {
  std::size_t operator()(const DnsToolsSocket::PointerRecord& r) const noexcept {
    return std::hash<std::string>{}(r.destination);
  }
};
