#pragma once
// A formatter rewrites the finished line of an event before it is written.
#include <string>

#include "logging/LogDetails.h"

namespace qmlogger {

class LogFormatterProtocol {
 public:
  virtual ~LogFormatterProtocol() = default;
  // Stores the result into `message` and returns it.
  virtual std::string format(LogDetails& logDetails, std::string& message) = 0;
  virtual std::string debugDescription() const = 0;
};

}  // namespace qmlogger
