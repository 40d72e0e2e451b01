#include "logging/DestinationProtocol.h"

#include "logging/QMLogger.h"

namespace qmlogger {

bool DestinationProtocol::shouldExclude(LogDetails& logDetails, std::string& message) {
  std::optional<FilterList> list = filters();
  if (!list) {
    if (auto logger = owner()) list = logger->filters();
  }
  if (!list) return false;
  for (const auto& filter : *list) {
    if (filter && filter->shouldExclude(logDetails, message)) return true;
  }
  return false;
}

void DestinationProtocol::applyFormatters(LogDetails& logDetails, std::string& message) {
  std::optional<FormatterList> list = formatters();
  if (!list) {
    if (auto logger = owner()) list = logger->formatters();
  }
  if (!list) return;
  for (const auto& formatter : *list) {
    if (formatter) formatter->format(logDetails, message);
  }
}

}  // namespace qmlogger
