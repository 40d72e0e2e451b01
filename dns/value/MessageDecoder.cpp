// Wire decoding of the value-type Message. Every byte is read through one
// bounds-checked WireReader; every fault throws one DecodeError.
#include <string_view>

#include "dns/value/Message.h"
#include "dns/value/WireReader.h"

namespace DnsToolsSocket {

namespace {

using dnswire::WireReader;

// The reader the section decoders share.
struct Cursor {
  WireReader r;
};

std::string readName(Cursor& c) { return deserializeName(c.r); }

uint16_t readUInt16(WireReader& r) {
  auto v = r.u16();
  if (!v) throw DecodeError(DecodeError::invalidIntegerSize);
  return *v;
}

uint32_t readUInt32(WireReader& r) {
  auto v = r.u32();
  if (!v) throw DecodeError(DecodeError::invalidIntegerSize);
  return *v;
}

// A data length whose end lies past the buffer is a fault of its own.
size_t dataEnd(const WireReader& r, uint16_t length) {
  if (length > r.remaining()) throw DecodeError(DecodeError::invalidDataSize);
  return r.offset() + length;
}

void expectAt(const WireReader& r, size_t end) {
  if (r.offset() != end) throw DecodeError(DecodeError::invalidDataSize);
}

// A name inside record data ends within the data; the cursor then moves to the data's end.
std::string readNameInData(Cursor& c, size_t end) {
  WireReader& r = c.r;
  std::string name = readName(c);
  if (r.offset() > end) throw DecodeError(DecodeError::invalidDataSize);
  r.seek(end);
  return name;
}

std::span<const uint8_t> readRawData(WireReader& r) {
  const uint16_t length = readUInt16(r);
  auto data = r.bytes(length);
  if (!data) throw DecodeError(DecodeError::invalidDataSize);
  return *data;
}

template <class Address>
HostRecord<Address> readHost(WireReader& r, std::string name, bool unique, uint16_t internetClass, uint32_t ttl) {
  auto ip = Address::fromNetworkBytes(readRawData(r));
  if (!ip) throw DecodeError(DecodeError::invalidIPAddress);
  return HostRecord<Address>{std::move(name), unique, internetClass, ttl, *ip};
}

TextRecord readText(WireReader& r, std::string name, bool unique, uint16_t internetClass, uint32_t ttl) {
  TextRecord record{std::move(name), unique, internetClass, ttl, {}, {}};
  const size_t end = dataEnd(r, readUInt16(r));
  while (r.offset() < end) {
    const uint8_t length = *r.u8();  // end <= size, so a byte is there
    if (length == 0) break;          // a zero-length string ends the list
    if (length > end - r.offset()) throw DecodeError(DecodeError::invalidLabelSize);
    const auto bytes = *r.bytes(length);
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (!isValidUtf8(text)) throw DecodeError(DecodeError::unicodeDecodingError);
    if (const size_t eq = text.find('='); eq != std::string_view::npos) {
      record.attributes[std::string(text.substr(0, eq))] = std::string(text.substr(eq + 1));
    } else {
      record.values.emplace_back(text);
    }
  }
  r.seek(end);
  return record;
}

ResourceRecord deserializeRecord(Cursor& c) {
  WireReader& r = c.r;
  std::string name = readName(c);
  const uint16_t type = readUInt16(r);
  const uint16_t classField = readUInt16(r);
  const bool unique = (classField & 0x8000) != 0;
  const uint16_t internetClass = classField & 0x7FFF;
  const uint32_t ttl = readUInt32(r);

  switch (type) {
    case ResourceRecordType::host:
      return readHost<IPv4>(r, std::move(name), unique, internetClass, ttl);
    case ResourceRecordType::host6:
      return readHost<IPv6>(r, std::move(name), unique, internetClass, ttl);
    case ResourceRecordType::nameServer: {
      const uint16_t length = readUInt16(r);
      const size_t end = r.offset() + length;
      std::string server = readName(c);
      expectAt(r, end);
      return NameServerRecord{std::move(name), type, internetClass, unique, ttl, std::move(server)};
    }
    case ResourceRecordType::alias:
    case ResourceRecordType::pointer: {
      // Too short for a length: the name that should follow is missing.
      if (r.remaining() < 2) throw DecodeError(DecodeError::invalidLabelOffset);
      const size_t end = dataEnd(r, readUInt16(r));
      std::string target = readNameInData(c, end);
      if (type == ResourceRecordType::alias) return AliasRecord{std::move(name), unique, internetClass, ttl, std::move(target)};
      return PointerRecord{std::move(name), unique, internetClass, ttl, std::move(target)};
    }
    case ResourceRecordType::service: {
      const uint16_t length = readUInt16(r);
      const size_t end = r.offset() + length;
      ServiceRecord record{std::move(name), unique, internetClass, ttl, 0, 0, 0, {}};
      record.priority = readUInt16(r);
      record.weight = readUInt16(r);
      record.port = readUInt16(r);
      record.server = readName(c);
      expectAt(r, end);
      return record;
    }
    case ResourceRecordType::startOfAuthority: {
      const uint16_t length = readUInt16(r);
      const size_t end = r.offset() + length;
      StartOfAuthorityRecord record{std::move(name), unique, internetClass, ttl, {}, {}, 0, 0, 0, 0, 0};
      record.mname = readName(c);
      record.rname = readName(c);
      record.serial = readUInt32(r);
      record.refresh = static_cast<int32_t>(readUInt32(r));
      record.retry = static_cast<int32_t>(readUInt32(r));
      record.expire = static_cast<int32_t>(readUInt32(r));
      record.minimum = readUInt32(r);
      expectAt(r, end);
      return record;
    }
    case ResourceRecordType::text:
      return readText(r, std::move(name), unique, internetClass, ttl);
    default: {
      const auto data = readRawData(r);
      return Record{std::move(name), type, internetClass, unique, ttl, {data.begin(), data.end()}};
    }
  }
}

std::vector<Question> deserializeQuestions(Cursor& c, uint16_t count) {
  WireReader& r = c.r;
  std::vector<Question> out;
  out.reserve(std::min<size_t>(count, r.remaining() / 5 + 1));
  for (uint16_t i = 0; i < count; ++i) {
    std::string name = readName(c);
    if (r.remaining() < 4) throw DecodeError(DecodeError::invalidQuestion);
    const uint16_t type = readUInt16(r);
    const uint16_t classField = readUInt16(r);
    out.push_back(Question{std::move(name), type, (classField & 0x8000) != 0, static_cast<uint16_t>(classField & 0x7FFF)});
  }
  return out;
}

std::vector<ResourceRecord> deserializeRecords(Cursor& c, uint16_t count) {
  WireReader& r = c.r;
  std::vector<ResourceRecord> out;
  out.reserve(std::min<size_t>(count, r.remaining() / 11 + 1));
  for (uint16_t i = 0; i < count; ++i) out.push_back(deserializeRecord(c));
  return out;
}

}  // namespace

Message Message::deserialize(std::span<const uint8_t> data) {
  if (data.size() < 12) throw DecodeError(DecodeError::invalidMessageSize);
  Cursor c{WireReader(data)};
  WireReader& r = c.r;
  const uint16_t id = readUInt16(r);
  const uint16_t flags = readUInt16(r);
  const uint16_t questionCount = readUInt16(r);
  const uint16_t answerCount = readUInt16(r);
  const uint16_t authorityCount = readUInt16(r);
  const uint16_t additionalCount = readUInt16(r);

  Message m;
  m.id = id;
  m.type = (flags & 0x8000) ? MessageType::response : MessageType::query;
  m.operationCode = static_cast<uint8_t>((flags >> 11) & 0x0F);
  m.authoritativeAnswer = (flags & 0x0400) != 0;
  m.truncation = (flags & 0x0200) != 0;
  m.recursionDesired = (flags & 0x0100) != 0;
  m.recursionAvailable = (flags & 0x0080) != 0;
  m.returnCode = static_cast<uint8_t>(flags & 0x0F);
  m.questions = deserializeQuestions(c, questionCount);
  m.answers = deserializeRecords(c, answerCount);
  m.authorities = deserializeRecords(c, authorityCount);
  m.additional = deserializeRecords(c, additionalCount);
  return m;
}

Message Message::deserializeTCP(std::span<const uint8_t> data) {
  WireReader r(data);
  const auto length = r.u16();
  if (!length) throw DecodeError(DecodeError::invalidMessageSize);
  const auto body = r.bytes(*length);
  if (!body) throw DecodeError(DecodeError::invalidMessageSize);
  return deserialize(*body);
}

}  // namespace DnsToolsSocket
