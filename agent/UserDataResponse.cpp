#include "agent/UserDataResponse.h"

#include "platform/foundation/JsonNesting.h"
#include "platform/foundation/Log.h"

namespace agent {
namespace {

// The platform decoder's texts.
constexpr const char* kMissing = "The data couldn\u2019t be read because it is missing.";
constexpr const char* kWrongFormat = "The data couldn\u2019t be read because it isn\u2019t in the correct format.";

// False when the key holds something other than text or null.
bool optionalText(const nlohmann::json& object, const char* key, std::optional<std::string>& out) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return true;
  if (!it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

}  // namespace

std::variant<UserDataResponse, std::string> UserDataResponse::decode(std::span<const uint8_t> body) {
  // Parsing deeply nested bodies is refused.
  if (!platform::jsonNestingWithin(body.data(), body.size())) return std::string(kWrongFormat);
  nlohmann::json root = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
  if (root.is_discarded() || !root.is_object()) return std::string(kWrongFormat);
  UserDataResponse answer;
  auto status = root.find("status");
  if (status == root.end() || status->is_null()) return std::string(kMissing);
  if (!status->is_boolean()) return std::string(kWrongFormat);
  answer.status = status->get<bool>();
  if (!optionalText(root, "email", answer.email) || !optionalText(root, "orgUnitId", answer.orgUnitId))
    return std::string(kWrongFormat);
  return answer;
}

nlohmann::json UserDataResponse::encode() const {
  nlohmann::json out = {{"status", status}};
  if (email) out["email"] = *email;
  if (orgUnitId) out["orgUnitId"] = *orgUnitId;
  return out;
}

std::string UserDataResponse::description() const {
  return std::string("UserDataResponse(status: ") + platform::boolText(status) +
         ", email: " + platform::optionalText(email) + ", orgUnitId: " + platform::optionalText(orgUnitId) + ")";
}

std::string optionalDescription(const std::optional<UserDataResponse>& answer) {
  return answer ? "Optional(" + answer->description() + ")" : "nil";
}

std::string encodePathSegment(std::string_view segment) {
  static const char* hex = "0123456789ABCDEF";
  const bool dotSegment = segment == "." || segment == "..";
  std::string out;
  for (unsigned char c : segment) {
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                 (c == '.' && !dotSegment) || c == '_' || c == '~';
    if (plain) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  return out;
}

std::string userLookupURL(std::string_view apiHost, std::string_view userName, std::string_view companyId) {
  return std::string(apiHost) + "/config/getLdapUser/" + encodePathSegment(userName) + "/" +
         encodePathSegment(companyId);
}

}  // namespace agent
