#pragma once
// Tags queries with EDNS(0) options: each query's additional section is
// replaced by one OPT record (owner "0", class 0, TTL 0) carrying the options.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dns/object/DNSMessage.h"

namespace DnsObjects {

class DNSParser {
 public:
  using Datagram = std::vector<uint8_t>;
  // Keys are decimal option codes ("65001"); options are written in this order.
  using OptionDictionary = std::vector<std::pair<std::string, std::string>>;

  static constexpr size_t kMaxOptionValueLength = 0xFFFF;

  static std::vector<Datagram> injectFlagsToDatagrams(const std::vector<Datagram>& datagrams,
                                                      const std::vector<uint16_t>& codes,
                                                      const std::vector<std::string>& values);
  // One result per datagram, in order; a datagram that cannot be rewritten is returned as given.
  static std::vector<Datagram> injectFlagsToDatagrams(const std::vector<Datagram>& datagrams,
                                                      const OptionDictionary& flags);
  static std::vector<Datagram> injectFlagsToDatagrams(const std::vector<Datagram>& datagrams,
                                                      const std::map<std::string, std::string>& flags);
  // Absent when the datagram does not decode or the result cannot be encoded.
  static std::optional<Datagram> injectFlagsTo(const Datagram& datagram, const std::vector<uint8_t>& dataForInjection);
  static std::shared_ptr<DNSMessage> checkDnsMessage(std::shared_ptr<DNSMessage> message);
  static std::optional<Datagram> injectFlagsTo(const Datagram& datagram, const std::vector<uint16_t>& codes,
                                               const std::vector<std::string>& values);
  // Empty (and logged) when the value is longer than an option can hold.
  static std::vector<uint8_t> buildEdnsDataWithCode(uint16_t code, std::string_view value);
  static std::vector<uint8_t> buildEdnsDataWithCodes(const std::vector<uint16_t>& codes,
                                                     const std::vector<std::string>& values);
  static std::vector<uint8_t> buildEdnsDataFromDict(const OptionDictionary& flags);
  static std::optional<std::string> hexStringForData(const std::optional<std::vector<uint8_t>>& data);
  static std::string hexStringForData(const std::vector<uint8_t>& data);

  // The key's leading decimal integer taken to 16 bits; 0 without leading digits.
  static uint16_t optionCode(std::string_view key);
};

}  // namespace DnsObjects
