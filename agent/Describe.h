#pragma once
// Descriptions of collections as the platform prints them in log lines,
// and conversions between JSON objects and text maps.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/foundation/Describe.h"

namespace agent {

using StringMap = std::map<std::string, std::string>;

using platform::describe;
std::string describe(const std::map<std::string, std::vector<std::string>>& map);
std::string optionalDescription(const std::optional<StringMap>& map);
std::string optionalDescription(const std::optional<nlohmann::json>& value);

// A JSON object whose values are all texts, else none.
std::optional<StringMap> stringMap(const nlohmann::json& value);
nlohmann::json toJson(const StringMap& map);

}  // namespace agent
