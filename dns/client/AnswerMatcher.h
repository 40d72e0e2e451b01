#pragma once
// Ties each answer of a read to the query it answers: by DNS identifier and
// question, or, for a query that is no DNS message, by the send that armed
// the receive. An answer that matches no open query is stray.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace DnsToolsSocket {

class AnswerMatcher {
 public:
  explicit AnswerMatcher(const std::vector<std::vector<uint8_t>>& queries);

  // The position of the query `answer` answers, now marked answered; none when stray.
  std::optional<size_t> match(std::span<const uint8_t> answer, size_t armingIndex);
  size_t answeredCount() const { return answeredCount_; }
  size_t queryCount() const { return keys_.size(); }

 private:
  struct Key {
    uint16_t id = 0;
    bool hasQuestion = false;
    std::string name;  // lower-cased
    uint16_t type = 0;
    uint16_t qclass = 0;
  };
  static std::optional<Key> keyOf(std::span<const uint8_t> message);

  std::vector<std::optional<Key>> keys_;
  std::vector<bool> answered_;
  size_t answeredCount_ = 0;
};

}  // namespace DnsToolsSocket
