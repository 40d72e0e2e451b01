#include "dns/object/DNSParser.h"

#include <algorithm>
#include <limits>

#include "DefaultAddresses.h"
#include "dns/value/Hex.h"
#include "dns/object/DNSMessageDecoder.h"
#include "dns/object/DNSMessageEncoder.h"
#include "dns/object/DNSOPTResourceRecord.h"
#include "dns/object/UrlHost.h"
#include "platform/foundation/Log.h"

namespace DnsObjects {

namespace {

constexpr uint16_t kTypeOPT = 41;

// Names come off the wire: control bytes are escaped so they cannot break log lines.
std::string printableName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out.push_back(dnswire::kHexLower[c >> 4]);
      out.push_back(dnswire::kHexLower[c & 0x0F]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

}  // namespace

uint16_t DNSParser::optionCode(std::string_view key) {
  size_t i = 0;
  while (i < key.size() && (key[i] == ' ' || key[i] == '\t' || key[i] == '\n' || key[i] == '\r')) ++i;
  bool negative = false;
  if (i < key.size() && (key[i] == '+' || key[i] == '-')) negative = key[i++] == '-';
  int64_t value = 0;
  for (; i < key.size() && key[i] >= '0' && key[i] <= '9'; ++i) {
    const int digit = key[i] - '0';
    if (value > (std::numeric_limits<int64_t>::max() - digit) / 10) {
      value = std::numeric_limits<int64_t>::max();  // saturates like an integer value of text
      break;
    }
    value = value * 10 + digit;
  }
  if (negative) value = -value;
  return static_cast<uint16_t>(static_cast<uint64_t>(value) & 0xFFFF);
}

std::string DNSParser::hexStringForData(const std::vector<uint8_t>& data) { return dnswire::toHex(data); }

std::optional<std::string> DNSParser::hexStringForData(const std::optional<std::vector<uint8_t>>& data) {
  if (!data) return std::nullopt;
  return dnswire::toHex(*data);
}

namespace {

// Appends one option; false (and logged) when the value is longer than an option can hold.
bool appendOption(std::vector<uint8_t>& out, uint16_t code, std::string_view value) {
  if (value.size() > DNSParser::kMaxOptionValueLength) {
    platform::NSLog("inject value skipped: " + std::to_string(code) + " : value of " + std::to_string(value.size()) +
                    " bytes is longer than an option can hold");
    return false;
  }
  const auto size = static_cast<uint16_t>(value.size());
  const uint8_t header[4] = {static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code),
                             static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)};
  out.insert(out.end(), header, header + 4);
  out.insert(out.end(), value.begin(), value.end());
  return true;
}

// The options of (code text, value) pairs, in their order, written into one buffer.
template <typename Pairs>
std::vector<uint8_t> optionsFromPairs(const Pairs& flags) {
  // The lines, the dig command above all, are built only when they go somewhere.
  const bool logging = platform::logEnabled();
  std::string command;
  if (logging) {
    command = "dig @";
    command += vardeno::defaults::kFilteringDNS;
    command += " -p 81 +edns=0 +bufsize=4096 ";
  }
  size_t total = 0;
  for (const auto& [key, value] : flags) total += 4 + std::min(value.size(), DNSParser::kMaxOptionValueLength);
  std::vector<uint8_t> out;
  out.reserve(total);
  for (const auto& [key, value] : flags) {
    const uint16_t code = DNSParser::optionCode(key);
    if (logging) platform::logLine("inject value: ", code, " : ", value, " ");
    if (!appendOption(out, code, value)) continue;
    if (logging) {
      command += "+ednsopt=" + std::to_string(code) + ":" +
                 dnswire::toHex(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(value.data()), value.size())) +
                 " ";
    }
  }
  if (logging) platform::NSLog(command);
  return out;
}

}  // namespace

std::vector<uint8_t> DNSParser::buildEdnsDataWithCode(uint16_t code, std::string_view value) {
  std::vector<uint8_t> out;
  out.reserve(4 + std::min(value.size(), kMaxOptionValueLength));
  appendOption(out, code, value);
  return out;
}

std::vector<uint8_t> DNSParser::buildEdnsDataWithCodes(const std::vector<uint16_t>& codes,
                                                       const std::vector<std::string>& values) {
  std::vector<uint8_t> out;
  const size_t count = std::min(codes.size(), values.size());
  for (size_t i = 0; i < count; ++i) appendOption(out, codes[i], values[i]);
  return out;
}

std::vector<uint8_t> DNSParser::buildEdnsDataFromDict(const OptionDictionary& flags) { return optionsFromPairs(flags); }

std::shared_ptr<DNSMessage> DNSParser::checkDnsMessage(std::shared_ptr<DNSMessage> message) {
  if (!message || !message->questions) return message;
  for (const auto& question : *message->questions) {
    if (!question) continue;
    if (question->name.find("http") != std::string::npos) {
      // Only a real URL is replaced by its host; a domain that merely contains "http" stays.
      if (auto host = urlHost(question->name)) question->name = std::move(*host);
    } else {
      switch (question->type) {
        case 1:
          VARDENO_LOG_LINE("-> dnsType1 = A");
          break;
        case 28:
          VARDENO_LOG_LINE("-> dnsType2 = AAAA");
          break;
        case 65:
          VARDENO_LOG_LINE("-> dnsType3 = HTTPSSVC");
          break;
        default:
          VARDENO_LOG_LINE("-> dnsTypeRaw = ", question->type);
      }
    }
    VARDENO_LOG_LINE("--> ", printableName(question->name));
  }
  return message;
}

std::optional<DNSParser::Datagram> DNSParser::injectFlagsTo(const Datagram& datagram,
                                                            const std::vector<uint8_t>& dataForInjection) {
  if (datagram.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  DNSMessageDecoder decoder;
  decoder.decodeMessageInBuffer(datagram.data(), static_cast<uint32_t>(datagram.size()));
  auto message = checkDnsMessage(decoder.message);
  if (!message) return std::nullopt;
  auto opt = std::make_shared<DNSOPTResourceRecord>();
  opt->name = "0";
  opt->type = kTypeOPT;
  opt->extendedRCode = 0;
  opt->data = dataForInjection;
  message->additionalRecords = DNSRecordArray{opt};
  return DNSMessageEncoder::encode(*message);
}

std::optional<DNSParser::Datagram> DNSParser::injectFlagsTo(const Datagram& datagram,
                                                            const std::vector<uint16_t>& codes,
                                                            const std::vector<std::string>& values) {
  return injectFlagsTo(datagram, buildEdnsDataWithCodes(codes, values));
}

std::vector<DNSParser::Datagram> DNSParser::injectFlagsToDatagrams(const std::vector<Datagram>& datagrams,
                                                                   const std::vector<uint16_t>& codes,
                                                                   const std::vector<std::string>& values) {
  std::vector<Datagram> out;
  out.reserve(datagrams.size());
  for (const auto& datagram : datagrams) out.push_back(injectFlagsTo(datagram, codes, values).value_or(datagram));
  return out;
}

namespace {

std::vector<DNSParser::Datagram> injectOptions(const std::vector<DNSParser::Datagram>& datagrams,
                                               const std::vector<uint8_t>& options) {
  std::vector<DNSParser::Datagram> out;
  out.reserve(datagrams.size());
  for (const auto& datagram : datagrams) {
    out.push_back(DNSParser::injectFlagsTo(datagram, options).value_or(datagram));
    VARDENO_LOG_LINE("hex data = ", DNSParser::hexStringForData(out.back()));
  }
  return out;
}

}  // namespace

std::vector<DNSParser::Datagram> DNSParser::injectFlagsToDatagrams(const std::vector<Datagram>& datagrams,
                                                                   const OptionDictionary& flags) {
  return injectOptions(datagrams, optionsFromPairs(flags));
}

std::vector<DNSParser::Datagram> DNSParser::injectFlagsToDatagrams(const std::vector<Datagram>& datagrams,
                                                                   const std::map<std::string, std::string>& flags) {
  return injectOptions(datagrams, optionsFromPairs(flags));
}

}  // namespace DnsObjects
