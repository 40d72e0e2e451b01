#pragma once
// A DNS message as a value: header fields and the four sections.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "dns/value/DecodeError.h"
#include "dns/value/EncodeError.h"
#include "dns/value/MessageConstants.h"
#include "dns/value/Question.h"
#include "dns/value/ResourceRecord.h"

namespace DnsToolsSocket {

enum class MessageType : uint8_t { query, response };

struct Message {
  uint16_t id = 0;
  MessageType type = MessageType::query;
  uint8_t operationCode = 0;
  bool authoritativeAnswer = false;
  bool truncation = false;
  bool recursionDesired = false;
  bool recursionAvailable = false;
  uint8_t returnCode = 0;
  std::vector<Question> questions;
  std::vector<ResourceRecord> answers;
  std::vector<ResourceRecord> authorities;
  std::vector<ResourceRecord> additional;

  // A message that starts at the first byte (a UDP datagram). Throws DecodeError.
  static Message deserialize(std::span<const uint8_t> data);
  // A message after a 2-byte big-endian length. Throws DecodeError.
  static Message deserializeTCP(std::span<const uint8_t> data);

  // Throws EncodeError.
  std::vector<uint8_t> serialize() const;
  // 2-byte length, then serialize(). Throws EncodeError.
  std::vector<uint8_t> serializeTCP() const;

  std::string debugDescription() const;
};

}  // namespace DnsToolsSocket
