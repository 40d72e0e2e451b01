#pragma once
// Small loopback UDP helpers for tests: a client socket and a responder
// thread that answers each datagram through a callback.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/LoopbackUdpServer.h"

namespace testing_support {

// Answers every datagram with what `answer` returns (none: silence).
class UdpResponder : private LoopbackUdpServer {
 public:
  using Answer = std::function<std::optional<Bytes>(const Bytes& query)>;
  explicit UdpResponder(Answer answer, const char* bindTo = "127.0.0.1:0")
      : LoopbackUdpServer(
            [answer = std::move(answer)](const Bytes& query) {
              std::vector<Bytes> replies;
              if (auto reply = answer(query)) replies.push_back(std::move(*reply));
              return replies;
            },
            bindTo) {}
  using LoopbackUdpServer::address;
  using LoopbackUdpServer::received;
  using LoopbackUdpServer::receivedCount;
};

// A minimal DNS query for `name` type A with the given ID.
inline Bytes dnsQuery(uint16_t id, const std::string& name, uint16_t type = 1) {
  Bytes q = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
  size_t start = 0;
  while (start <= name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    if (dot > start) {
      q.push_back(static_cast<uint8_t>(dot - start));
      q.insert(q.end(), name.begin() + start, name.begin() + dot);
    }
    start = dot + 1;
  }
  q.push_back(0);
  q.push_back(static_cast<uint8_t>(type >> 8));
  q.push_back(static_cast<uint8_t>(type));
  q.push_back(0);
  q.push_back(1);
  return q;
}

// The query turned into an empty answer with the given return code.
inline Bytes dnsReply(Bytes query, uint8_t rcode = 0) {
  if (query.size() >= 4) {
    query[2] |= 0x80;
    query[3] = static_cast<uint8_t>((query[3] & 0xF0) | rcode);
  }
  return query;
}

}  // namespace testing_support
