#include "logging/Level.h"

namespace qmlogger {

const std::string& description(Level level) {
  static const std::array<std::string, 10> names{"Verbose", "Debug",  "Info",  "Notice",    "Warning",
                                                 "Error",   "Severe", "Alert", "Emergency", "None"};
  return names[static_cast<size_t>(rawValue(level))];
}

std::optional<Level> levelFromRaw(int raw) {
  if (raw < 0 || raw > 9) return std::nullopt;
  return static_cast<Level>(raw);
}

}  // namespace qmlogger
