#include "dns/value/ResourceRecord.h"

#include "dns/value/EncodeError.h"
#include "dns/value/MessageConstants.h"
#include "platform/foundation/Log.h"

namespace DnsToolsSocket {

namespace {

std::string quoted(std::string_view text) { return platform::quotedText(text); }

// Record header: owner name, type, class with the unique bit, time to live.
void serializeRecordHeader(dnswire::WireWriter& onto, Labels& labels, const std::string& name, uint16_t type,
                           bool unique, uint16_t internetClass, uint32_t ttl) {
  serializeName(onto, labels, name);
  onto.u16(type);
  onto.u16(unique ? static_cast<uint16_t>(0x8000 | internetClass) : internetClass);
  onto.u32(ttl);
}

void appendLengthFirst(dnswire::WireWriter& onto, std::span<const uint8_t> data) {
  if (data.size() > 0xFFFF) throw EncodeError(EncodeError::dataTooLong);
  onto.u16(static_cast<uint16_t>(data.size()));
  onto.bytes(data);
}

// Writes two placeholder bytes, then the data, then patches in its length.
template <class WriteData>
void appendWithPlaceholder(dnswire::WireWriter& onto, WriteData&& write) {
  const size_t at = onto.size();
  onto.u16(0);
  write();
  const size_t length = onto.size() - at - 2;
  if (length > 0xFFFF) throw EncodeError(EncodeError::dataTooLong);
  onto.patchU16(at, static_cast<uint16_t>(length));
}

std::string commonFields(const std::string& name, bool unique, uint16_t internetClass, uint32_t ttl) {
  return "name: " + quoted(name) + ", unique: " + platform::boolText(unique) +
         ", internetClass: " + std::to_string(internetClass) + ", ttl: " + std::to_string(ttl);
}

}  // namespace

void Record::serialize(dnswire::WireWriter& onto, Labels& labels) const {
  serializeRecordHeader(onto, labels, name, type, unique, internetClass, ttl);
  appendLengthFirst(onto, data);
}

std::string Record::debugDescription() const {
  return "Record(name: " + quoted(name) + ", type: " + std::string(DnsToolsSocket::debugDescription(type)) +
         ", internetClass: " + std::to_string(internetClass) + ", unique: " + platform::boolText(unique) +
         ", ttl: " + std::to_string(ttl) + ", data: " + std::to_string(data.size()) + " bytes)";
}

void NameServerRecord::serialize(dnswire::WireWriter& onto, Labels& labels) const {
  serializeRecordHeader(onto, labels, name, type, unique, internetClass, ttl);
  appendWithPlaceholder(onto, [&] { serializeName(onto, labels, nameServer); });
}

std::string NameServerRecord::debugDescription() const {
  return "NameServerRecord(name: " + quoted(name) + ", type: " + std::string(DnsToolsSocket::debugDescription(type)) +
         ", internetClass: " + std::to_string(internetClass) + ", unique: " + platform::boolText(unique) +
         ", ttl: " + std::to_string(ttl) + ", nameServer: " + quoted(nameServer) + ")";
}

template <IP Address>
void HostRecord<Address>::changeIP(std::string_view text) {
  if (auto parsed = Address::fromPresentation(text)) {
    ip = *parsed;
  } else {
    platform::NSLog("*** wrong ip ***");
  }
}

template <IP Address>
void HostRecord<Address>::serialize(dnswire::WireWriter& onto, Labels& labels) const {
  serializeRecordHeader(onto, labels, name, recordType, unique, internetClass, ttl);
  appendLengthFirst(onto, ip.bytes());
}

template <IP Address>
std::string HostRecord<Address>::debugDescription() const {
  const char* kind = recordType == IPv4::recordType ? "HostRecord<IPv4>(" : "HostRecord<IPv6>(";
  return kind + commonFields(name, unique, internetClass, ttl) + ", ip: " + ip.debugDescription() + ")";
}

template struct HostRecord<IPv4>;
template struct HostRecord<IPv6>;

void ServiceRecord::serialize(dnswire::WireWriter& onto, Labels& labels) const {
  serializeRecordHeader(onto, labels, name, ResourceRecordType::service, unique, internetClass, ttl);
  appendWithPlaceholder(onto, [&] {
    onto.u16(priority);
    onto.u16(weight);
    onto.u16(port);
    serializeName(onto, labels, server);
  });
}

std::string ServiceRecord::debugDescription() const {
  return "ServiceRecord(" + commonFields(name, unique, internetClass, ttl) + ", priority: " + std::to_string(priority) +
         ", weight: " + std::to_string(weight) + ", port: " + std::to_string(port) + ", server: " + quoted(server) +
         ")";
}

void TextRecord::serialize(dnswire::WireWriter& onto, Labels& labels) const {
  serializeRecordHeader(onto, labels, name, ResourceRecordType::text, unique, internetClass, ttl);
  dnswire::WireWriter data;
  for (const auto& [key, value] : attributes) {
    const size_t length = key.size() + 1 + value.size();
    if (length > 255) throw EncodeError(EncodeError::textTooLong);
    data.u8(static_cast<uint8_t>(length));
    data.bytes({reinterpret_cast<const uint8_t*>(key.data()), key.size()});
    data.u8('=');
    data.bytes({reinterpret_cast<const uint8_t*>(value.data()), value.size()});
  }
  appendLengthFirst(onto, data.data());
}

std::string TextRecord::debugDescription() const {
  std::string out = "TextRecord(" + commonFields(name, unique, internetClass, ttl) + ", attributes: [";
  if (attributes.empty()) out += ":";
  bool first = true;
  for (const auto& [key, value] : attributes) {
    if (!first) out += ", ";
    first = false;
    out += quoted(key) + ": " + quoted(value);
  }
  out += "], values: [";
  first = true;
  for (const auto& value : values) {
    if (!first) out += ", ";
    first = false;
    out += quoted(value);
  }
  return out + "])";
}

void PointerRecord::serialize(dnswire::WireWriter& onto, Labels& labels) const {
  serializeRecordHeader(onto, labels, name, ResourceRecordType::pointer, unique, internetClass, ttl);
  appendWithPlaceholder(onto, [&] { serializeName(onto, labels, destination); });
}

std::string PointerRecord::debugDescription() const {
  return "PointerRecord(" + commonFields(name, unique, internetClass, ttl) + ", destination: " + quoted(destination) +
         ")";
}

void AliasRecord::serialize(dnswire::WireWriter& onto, Labels& labels) const {
  serializeRecordHeader(onto, labels, name, ResourceRecordType::alias, unique, internetClass, ttl);
  appendWithPlaceholder(onto, [&] { serializeName(onto, labels, canonicalName); });
}

std::string AliasRecord::debugDescription() const {
  return "AliasRecord(" + commonFields(name, unique, internetClass, ttl) + ", canonicalName: " +
         quoted(canonicalName) + ")";
}

void StartOfAuthorityRecord::serialize(dnswire::WireWriter& onto, Labels& labels) const {
  serializeRecordHeader(onto, labels, name, ResourceRecordType::startOfAuthority, unique, internetClass, ttl);
  appendWithPlaceholder(onto, [&] {
    serializeName(onto, labels, mname);
    serializeName(onto, labels, rname);
    onto.u32(serial);
    onto.u32(static_cast<uint32_t>(refresh));
    onto.u32(static_cast<uint32_t>(retry));
    onto.u32(static_cast<uint32_t>(expire));
    onto.u32(minimum);
  });
}

std::string StartOfAuthorityRecord::debugDescription() const {
  return "StartOfAuthorityRecord(" + commonFields(name, unique, internetClass, ttl) + ", mname: " + quoted(mname) +
         ", rname: " + quoted(rname) + ", serial: " + std::to_string(serial) + ", refresh: " +
         std::to_string(refresh) + ", retry: " + std::to_string(retry) + ", expire: " + std::to_string(expire) +
         ", minimum: " + std::to_string(minimum) + ")";
}

const std::string& ResourceRecord::name() const {
  return std::visit([](const auto& r) -> const std::string& { return r.name; }, kind_);
}
void ResourceRecord::setName(std::string name) {
  std::visit([&](auto& r) { r.name = std::move(name); }, kind_);
}
bool ResourceRecord::unique() const {
  return std::visit([](const auto& r) { return r.unique; }, kind_);
}
void ResourceRecord::setUnique(bool unique) {
  std::visit([&](auto& r) { r.unique = unique; }, kind_);
}
uint16_t ResourceRecord::internetClass() const {
  return std::visit([](const auto& r) { return r.internetClass; }, kind_);
}
void ResourceRecord::setInternetClass(uint16_t internetClass) {
  std::visit([&](auto& r) { r.internetClass = internetClass; }, kind_);
}
uint32_t ResourceRecord::ttl() const {
  return std::visit([](const auto& r) { return r.ttl; }, kind_);
}
void ResourceRecord::setTtl(uint32_t ttl) {
  std::visit([&](auto& r) { r.ttl = ttl; }, kind_);
}

uint16_t ResourceRecord::type() const {
  struct TypeOf {
    uint16_t operator()(const Record& r) const { return r.type; }
    uint16_t operator()(const NameServerRecord& r) const { return r.type; }
    uint16_t operator()(const HostRecord<IPv4>&) const { return ResourceRecordType::host; }
    uint16_t operator()(const HostRecord<IPv6>&) const { return ResourceRecordType::host6; }
    uint16_t operator()(const ServiceRecord&) const { return ResourceRecordType::service; }
    uint16_t operator()(const TextRecord&) const { return ResourceRecordType::text; }
    uint16_t operator()(const PointerRecord&) const { return ResourceRecordType::pointer; }
    uint16_t operator()(const AliasRecord&) const { return ResourceRecordType::alias; }
    uint16_t operator()(const StartOfAuthorityRecord&) const { return ResourceRecordType::startOfAuthority; }
  };
  return std::visit(TypeOf{}, kind_);
}

void ResourceRecord::serialize(dnswire::WireWriter& onto, Labels& labels) const {
  std::visit([&](const auto& r) { r.serialize(onto, labels); }, kind_);
}

std::string ResourceRecord::debugDescription() const {
  return std::visit([](const auto& r) { return r.debugDescription(); }, kind_);
}

}  // namespace DnsToolsSocket
