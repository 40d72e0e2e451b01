#include "logging/DateFormatter.h"

#include <time.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>

#include <cmath>
#include <cstdlib>

namespace qmlogger {

struct DateFormatter::Icu {
  std::unique_ptr<icu::SimpleDateFormat> format;
  // The TZ setting the zone was last taken from, to follow changes as the C library does.
  std::optional<std::string> seenTZ;
};

namespace {

std::optional<std::string> currentTZ() {
  const char* value = std::getenv("TZ");
  if (!value) return std::nullopt;
  return std::string(value);
}

}  // namespace

DateFormatter::DateFormatter(std::string dateFormat, std::optional<std::string> localeIdentifier,
                             std::optional<std::string> timeZoneIdentifier)
    : dateFormat_(std::move(dateFormat)), followsProcessTimeZone_(!timeZoneIdentifier), icu_(std::make_unique<Icu>()) {
  const icu::Locale locale =
      localeIdentifier ? icu::Locale::createCanonical(localeIdentifier->c_str()) : icu::Locale::getDefault();
  UErrorCode status = U_ZERO_ERROR;
  auto format = std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString::fromUTF8(dateFormat_), locale, status);
  if (U_FAILURE(status)) return;
  if (timeZoneIdentifier) {
    format->adoptTimeZone(icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(*timeZoneIdentifier)));
  } else {
    icu_->seenTZ = currentTZ();
    format->adoptTimeZone(icu::TimeZone::detectHostTimeZone());
  }
  icu_->format = std::move(format);
}

DateFormatter::~DateFormatter() = default;

std::string DateFormatter::string(Date date) const {
  // Whole milliseconds, counted exactly: the calendar works in milliseconds.
  const auto millis = std::chrono::floor<std::chrono::milliseconds>(date.time_since_epoch()).count();
  icu::UnicodeString text;
  {
    std::lock_guard lock(mutex_);
    if (!icu_->format) return defaultDateText(date);
    if (followsProcessTimeZone_) {
      std::optional<std::string> tz = currentTZ();
      if (tz != icu_->seenTZ) {
        icu_->seenTZ = std::move(tz);
        icu_->format->adoptTimeZone(icu::TimeZone::detectHostTimeZone());
      }
    }
    icu_->format->format(static_cast<UDate>(millis), text);
  }
  std::string out;
  text.toUTF8String(out);
  return out;
}

std::string defaultDateText(Date date) {
  const time_t t = static_cast<time_t>(std::floor(secondsSince1970(date)));
  struct tm parts {};
  gmtime_r(&t, &parts);
  char buffer[64];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0000", &parts);
  return buffer;
}

}  // namespace qmlogger
