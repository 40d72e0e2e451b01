#pragma once
// Renders dates by a Unicode date pattern ("yyyy-MM-dd HH:mm:ss.SSS",
// "EEE, d MMM yyyy HH:mm:ss Z", quoted 'literals' ...) through ICU, in the
// current locale and the process's time zone unless others are given.
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "logging/LogDetails.h"

namespace qmlogger {

class DateFormatter {
 public:
  // Identifiers as ICU knows them: "en_US_POSIX", "de_DE"; "UTC", "Europe/Paris".
  explicit DateFormatter(std::string dateFormat, std::optional<std::string> localeIdentifier = std::nullopt,
                         std::optional<std::string> timeZoneIdentifier = std::nullopt);
  ~DateFormatter();
  DateFormatter(const DateFormatter&) = delete;
  DateFormatter& operator=(const DateFormatter&) = delete;

  const std::string& dateFormat() const { return dateFormat_; }
  std::string string(Date date) const;

 private:
  struct Icu;
  std::string dateFormat_;
  bool followsProcessTimeZone_;
  mutable std::mutex mutex_;
  std::unique_ptr<Icu> icu_;
};

using DateFormatterPtr = std::shared_ptr<const DateFormatter>;

// A date's default text when no formatter is given: "2024-05-01 10:20:30 +0000" in UTC.
std::string defaultDateText(Date date);

}  // namespace qmlogger
