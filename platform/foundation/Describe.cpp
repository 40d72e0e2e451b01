#include "platform/foundation/Describe.h"

#include "platform/foundation/Log.h"

namespace platform {

std::string describe(const std::vector<std::string>& list) {
  std::string out = "[";
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i) out += ", ";
    out += quotedText(list[i]);
  }
  return out + "]";
}

std::string describe(const std::map<std::string, std::string>& map) {
  if (map.empty()) return "[:]";
  std::string out = "[";
  for (const auto& [key, value] : map) {
    if (out.size() > 1) out += ", ";
    out += quotedText(key) + ": " + quotedText(value);
  }
  return out + "]";
}

std::string describe(const nlohmann::json& value) {
  if (value.is_string()) return quotedText(value.get_ref<const std::string&>());
  if (value.is_object()) {
    if (value.empty()) return "[:]";
    std::string out = "[";
    for (auto it = value.begin(); it != value.end(); ++it) {
      if (out.size() > 1) out += ", ";
      out += quotedText(it.key()) + ": " + describe(it.value());
    }
    return out + "]";
  }
  if (value.is_array()) {
    std::string out = "[";
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (i) out += ", ";
      out += describe(value[i]);
    }
    return out + "]";
  }
  if (value.is_null()) return "<null>";
  return jsonText(value);
}

std::string jsonText(const nlohmann::json& value, int indent) {
  return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string optionalJsonDescription(const std::optional<nlohmann::json>& value) {
  return value ? "Optional(" + describe(*value) + ")" : "nil";
}

}  // namespace platform
