#pragma once
// One log event as handed to destinations, filters and formatters.
#include <chrono>
#include <cstdint>
#include <string>

#include "logging/Level.h"
#include "logging/UserInfo.h"

namespace qmlogger {

using Date = std::chrono::system_clock::time_point;

struct LogDetails {
  Level level = Level::debug;
  Date date{};
  std::string message;
  std::string functionName;
  std::string fileName;
  int64_t lineNumber = 0;
  UserInfo userInfo;

  LogDetails(Level level, Date date, std::string message, std::string functionName, std::string fileName,
             int64_t lineNumber, UserInfo userInfo)
      : level(level),
        date(date),
        message(std::move(message)),
        functionName(std::move(functionName)),
        fileName(std::move(fileName)),
        lineNumber(lineNumber),
        userInfo(std::move(userInfo)) {}
};

// Seconds since 1970 of a date, and back.
inline double secondsSince1970(Date date) {
  return std::chrono::duration<double>(date.time_since_epoch()).count();
}
inline Date dateFromSeconds(double seconds) {
  return Date(std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(seconds)));
}

}  // namespace qmlogger
