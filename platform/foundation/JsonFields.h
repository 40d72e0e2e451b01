#pragma once
// Reading optional typed members out of a JSON object.
#include <string>

#include <nlohmann/json.hpp>

namespace platform {

// Sets `out` from `object[key]` when present and not null. False when the
// member has the wrong type; then `error`, if given, says which member.
template <typename T>
bool takeField(const nlohmann::json& object, const char* key, T& out, std::string* error = nullptr) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return true;
  try {
    out = it->get<T>();
    return true;
  } catch (const nlohmann::json::exception&) {
    if (error) *error = std::string("\"") + key + "\" has the wrong type";
    return false;
  }
}

}  // namespace platform
