#pragma once
// The REST service's answer to a user lookup, and the lookup's URL.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

namespace agent {

struct UserDataResponse {
  bool status = false;
  std::optional<std::string> email;
  std::optional<std::string> orgUnitId;

  // The decoded answer, or the decoder's localized error description.
  static std::variant<UserDataResponse, std::string> decode(std::span<const uint8_t> body);
  nlohmann::json encode() const;
  // "UserDataResponse(status: true, email: Optional(\"a\"), orgUnitId: nil)".
  std::string description() const;

  friend bool operator==(const UserDataResponse&, const UserDataResponse&) = default;
};

std::string optionalDescription(const std::optional<UserDataResponse>& answer);

// Percent-encodes everything but A-Z a-z 0-9 - . _ ~; a segment of only
// dots ("." or "..") has its dots encoded too, so that no URL parser drops it.
std::string encodePathSegment(std::string_view segment);
// apiHost + "/config/getLdapUser/" + user + "/" + company, both encoded.
std::string userLookupURL(std::string_view apiHost, std::string_view userName, std::string_view companyId);

}  // namespace agent
