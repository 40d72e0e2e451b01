#pragma once
// A cheap look at JSON text before parsing it: how deep its arrays and
// objects nest. Hostile text nested thousands deep is refused up front.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace platform {

constexpr std::size_t kMaxJsonNesting = 256;

// True when brackets outside strings nest at most `limit` deep.
inline bool jsonNestingWithin(std::string_view text, std::size_t limit = kMaxJsonNesting) {
  std::size_t depth = 0;
  bool inString = false, escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

template <typename Byte>
inline bool jsonNestingWithin(const Byte* data, std::size_t size, std::size_t limit = kMaxJsonNesting) {
  return jsonNestingWithin(std::string_view(reinterpret_cast<const char*>(data), size), limit);
}

}  // namespace platform
