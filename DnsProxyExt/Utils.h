#pragma once
// Host values, comma lists and hex renderings shared by the extension.
#include <any>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dnsproxyext {

class Utils {
 public:
  // A resolver or server endpoint from "address:port"; the port is 53 when the
  // text gives none or one that is not a decimal 64-bit integer. Held through
  // std::shared_ptr where the same host sits in several maps.
  class DNSHost {
   public:
    explicit DNSHost(std::string_view text);

    std::string debugDescription() const;

    int64_t port = 53;
    std::string address;
  };
};

// Signed decimal 64-bit integer with an optional leading sign and nothing
// else; no value otherwise.
std::optional<int64_t> parseDecimalInt64(std::string_view text);

// Split at every ","; no trimming, empty pieces kept; "" gives no pieces.
std::vector<std::string> parseCommaDelimitedArr(std::string_view text);

// Option set over a signed 64-bit raw value.
struct HexEncodingOptions {
  int64_t rawValue = 0;

  static const HexEncodingOptions upperCase;

  constexpr HexEncodingOptions() = default;
  constexpr explicit HexEncodingOptions(int64_t raw) : rawValue(raw) {}
  constexpr HexEncodingOptions(std::initializer_list<HexEncodingOptions> members) {
    for (auto m : members) rawValue |= m.rawValue;
  }

  constexpr HexEncodingOptions unionWith(HexEncodingOptions o) const { return HexEncodingOptions(rawValue | o.rawValue); }
  constexpr HexEncodingOptions intersection(HexEncodingOptions o) const { return HexEncodingOptions(rawValue & o.rawValue); }
  constexpr HexEncodingOptions symmetricDifference(HexEncodingOptions o) const {
    return HexEncodingOptions(rawValue ^ o.rawValue);
  }
  constexpr HexEncodingOptions subtracting(HexEncodingOptions o) const { return HexEncodingOptions(rawValue & ~o.rawValue); }
  constexpr bool contains(HexEncodingOptions o) const { return (rawValue & o.rawValue) == o.rawValue; }
  constexpr bool isSuperset(HexEncodingOptions o) const { return contains(o); }
  constexpr bool isSubset(HexEncodingOptions o) const { return (rawValue & ~o.rawValue) == 0; }
  constexpr bool isDisjoint(HexEncodingOptions o) const { return (rawValue & o.rawValue) == 0; }
  constexpr bool isEmpty() const { return rawValue == 0; }
  // (was new, the member)
  std::pair<bool, HexEncodingOptions> insert(HexEncodingOptions member) {
    bool wasNew = !contains(member);
    rawValue |= member.rawValue;
    return {wasNew, member};
  }
  // The removed bits, or none when none of them were set.
  std::optional<HexEncodingOptions> remove(HexEncodingOptions member) {
    int64_t removed = rawValue & member.rawValue;
    rawValue &= ~member.rawValue;
    if (removed == 0) return std::nullopt;
    return HexEncodingOptions(removed);
  }

  constexpr bool operator==(const HexEncodingOptions&) const = default;
};

inline constexpr HexEncodingOptions HexEncodingOptions::upperCase{1};

// "0a ff " (two digits and a blank per byte).
std::string hexEncodedString(std::span<const uint8_t> data, HexEncodingOptions options = {});
// " " then " 0a" per byte.
std::string hexDescription(std::span<const uint8_t> data);
// Bytes lower...upper inclusive; throws std::out_of_range outside the buffer.
std::vector<uint8_t> subdata(std::span<const uint8_t> data, int64_t lower, int64_t upper);
std::vector<uint8_t> bytes(std::span<const uint8_t> data);

// UTF-8 text of untrusted bytes; each invalid sequence becomes U+FFFD.
std::string decodeUtf8Lossy(std::span<const uint8_t> data);

// The generic-object lists around the injection call; elements that are not
// byte buffers are dropped on the way back.
std::vector<std::any> datagramsToObjects(const std::vector<std::vector<uint8_t>>& datagrams);
std::vector<std::vector<uint8_t>> objectsToDatagrams(const std::vector<std::any>& objects);

}  // namespace dnsproxyext
