#pragma once
// Descriptions of collections as the platform prints them in log lines:
// ["a", "b"], ["k": "v"] (keys sorted), [:] for an empty map.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace agent {

using StringMap = std::map<std::string, std::string>;

std::string describe(const std::vector<std::string>& list);
std::string describe(const StringMap& map);
std::string describe(const std::map<std::string, std::vector<std::string>>& map);
// Any JSON value: texts quoted, objects and arrays as above.
std::string describe(const nlohmann::json& value);
std::string optionalDescription(const std::optional<StringMap>& map);
std::string optionalDescription(const std::optional<nlohmann::json>& value);

// A JSON object whose values are all texts, else none.
std::optional<StringMap> stringMap(const nlohmann::json& value);
nlohmann::json toJson(const StringMap& map);

}  // namespace agent
