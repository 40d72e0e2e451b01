#pragma once
// Named values of the header and record fields. Plain numbers: a field may
// hold any value of its width.
#include <cstdint>
#include <string_view>

namespace DnsToolsSocket {

namespace OperationCode {
inline constexpr uint8_t query = 0;
inline constexpr uint8_t inverseQuery = 1;
inline constexpr uint8_t statusRequest = 2;
inline constexpr uint8_t notify = 4;
inline constexpr uint8_t update = 5;
}  // namespace OperationCode

namespace ReturnCode {
inline constexpr uint8_t noError = 0;
inline constexpr uint8_t formatError = 1;
inline constexpr uint8_t serverFailure = 2;
inline constexpr uint8_t nonExistentDomain = 3;
inline constexpr uint8_t notImplemented = 4;
inline constexpr uint8_t queryRefused = 5;
inline constexpr uint8_t nameExistsWhenItShouldNot = 6;
inline constexpr uint8_t rrSetExistsWhenItShouldNot = 7;
inline constexpr uint8_t rrSetThatShouldExistDoestNot = 8;
inline constexpr uint8_t serverNotAuthoritativeForZone = 9;
inline constexpr uint8_t nameNotContainedInZone = 10;
}  // namespace ReturnCode

namespace ResourceRecordType {
inline constexpr uint16_t host = 1;
inline constexpr uint16_t nameServer = 2;
inline constexpr uint16_t alias = 5;
inline constexpr uint16_t startOfAuthority = 6;
inline constexpr uint16_t pointer = 12;
inline constexpr uint16_t mailExchange = 15;
inline constexpr uint16_t text = 16;
inline constexpr uint16_t host6 = 28;
inline constexpr uint16_t service = 33;
inline constexpr uint16_t SVCB = 64;
inline constexpr uint16_t HTTPSSVC = 65;
inline constexpr uint16_t incrementalZoneTransfer = 251;
inline constexpr uint16_t standardZoneTransfer = 252;
inline constexpr uint16_t all = 255;
}  // namespace ResourceRecordType

namespace InternetClass {
inline constexpr uint16_t internet = 1;
inline constexpr uint16_t chaos = 3;
inline constexpr uint16_t hesiod = 4;
inline constexpr uint16_t none = 254;
inline constexpr uint16_t any = 255;
}  // namespace InternetClass

// Debug text of a 16-bit record type: "A", "AAAA", ... or "Unknown".
constexpr std::string_view debugDescription(uint16_t type) {
  switch (type) {
    case 1: return "A";
    case 2: return "NS";
    case 5: return "CNAME";
    case 6: return "SOA";
    case 12: return "PTR";
    case 15: return "MX";
    case 16: return "TXT";
    case 28: return "AAAA";
    case 33: return "SRV";
    case 64: return "SVCB";
    case 65: return "HTTPSSVC";
    case 251: return "IXFR";
    case 252: return "AXFR";
    case 255: return "*";
    default: return "Unknown";
  }
}

}  // namespace DnsToolsSocket
