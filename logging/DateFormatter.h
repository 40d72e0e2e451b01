#pragma once
// Renders dates by a pattern of the usual date-format letters (y M d H h m s S a),
// in the process's time zone. Quoted text ('...') and other characters are literal.
#include <memory>
#include <string>

#include "logging/LogDetails.h"

namespace qmlogger {

class DateFormatter {
 public:
  explicit DateFormatter(std::string dateFormat) : dateFormat_(std::move(dateFormat)) {}
  const std::string& dateFormat() const { return dateFormat_; }
  std::string string(Date date) const;

 private:
  std::string dateFormat_;
};

using DateFormatterPtr = std::shared_ptr<const DateFormatter>;

// A date's default text when no formatter is given: "2024-05-01 10:20:30 +0000" in UTC.
std::string defaultDateText(Date date);

}  // namespace qmlogger
