#include "agent/Describe.h"

#include "platform/foundation/Log.h"

namespace agent {

std::string describe(const std::map<std::string, std::vector<std::string>>& map) {
  if (map.empty()) return "[:]";
  std::string out = "[";
  bool first = true;
  for (const auto& [k, v] : map) {
    if (!first) out += ", ";
    first = false;
    out += platform::quotedText(k) + ": " + describe(v);
  }
  return out + "]";
}

std::string optionalDescription(const std::optional<StringMap>& map) {
  return map ? "Optional(" + describe(*map) + ")" : "nil";
}

std::string optionalDescription(const std::optional<nlohmann::json>& value) {
  return platform::optionalJsonDescription(value);
}

std::optional<StringMap> stringMap(const nlohmann::json& value) {
  if (!value.is_object()) return std::nullopt;
  StringMap out;
  for (auto it = value.begin(); it != value.end(); ++it) {
    if (!it.value().is_string()) return std::nullopt;
    out[it.key()] = it.value().get<std::string>();
  }
  return out;
}

nlohmann::json toJson(const StringMap& map) {
  nlohmann::json out = nlohmann::json::object();
  for (const auto& [k, v] : map) out[k] = v;
  return out;
}

}  // namespace agent
