#pragma once
// Descriptions of collections as the platform prints them in log lines:
// ["a", "b"], ["k": "v"] (keys sorted), [:] for an empty map, <null> for null.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace platform {

std::string describe(const std::vector<std::string>& list);
std::string describe(const std::map<std::string, std::string>& map);
// Any JSON value: texts quoted, objects and arrays as above.
std::string describe(const nlohmann::json& value);
// JSON text that never throws (invalid UTF-8 becomes U+FFFD); indent as
// for nlohmann::json::dump (-1: one line).
std::string jsonText(const nlohmann::json& value, int indent = -1);
// Optional(<description>) or nil.
std::string optionalJsonDescription(const std::optional<nlohmann::json>& value);

}  // namespace platform
