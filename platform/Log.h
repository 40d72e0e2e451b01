#pragma once
// NSLog stand-in: one call per line. The text is written as given, never
// used as a format string.
#include <optional>
#include <string>
#include <string_view>

namespace platform {

void NSLog(std::string_view line);

// "true" / "false", as log lines print Booleans.
inline const char* boolText(bool value) { return value ? "true" : "false"; }

}  // namespace platform
