#pragma once
// A filter decides per event whether a destination drops it.
#include <set>
#include <string>

#include "logging/LogDetails.h"

namespace qmlogger {

class FilterProtocol {
 public:
  virtual ~FilterProtocol() = default;
  // True drops the event; a filter may change the record and the message.
  virtual bool shouldExclude(LogDetails& logDetails, std::string& message) = 0;
  virtual std::string debugDescription() const = 0;
};

// Sorted names joined as filter descriptions show them.
std::string describeFilterNames(const std::set<std::string>& names);

}  // namespace qmlogger
