#pragma once
// Severity levels, ordered by raw value.
#include <array>
#include <optional>
#include <string>

namespace qmlogger {

enum class Level : int {
  verbose = 0,
  debug = 1,
  info = 2,
  notice = 3,
  warning = 4,
  error = 5,
  severe = 6,
  alert = 7,
  emergency = 8,
  none = 9,
};

// Printed name of a level ("Verbose" ... "None").
const std::string& description(Level level);

// Level for a raw value; nothing outside 0...9.
std::optional<Level> levelFromRaw(int raw);

inline int rawValue(Level level) { return static_cast<int>(level); }

// All ten levels in raw order.
inline constexpr std::array<Level, 10> allLevelCases{
    Level::verbose, Level::debug, Level::info,      Level::notice, Level::warning,
    Level::error,   Level::severe, Level::alert, Level::emergency, Level::none};

// The nine loggable levels, without none.
inline constexpr std::array<Level, 9> allLevels{
    Level::verbose, Level::debug,  Level::info,  Level::notice,   Level::warning,
    Level::error,   Level::severe, Level::alert, Level::emergency};

}  // namespace qmlogger

// Applies X to the name of each loggable level, in raw order.
#define QMLOGGER_FOR_EACH_LEVEL(X) \
  X(verbose) X(debug) X(info) X(notice) X(warning) X(error) X(severe) X(alert) X(emergency)
