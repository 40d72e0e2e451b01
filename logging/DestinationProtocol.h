#pragma once
// What the logger needs of a destination, with the shared filter and formatter steps.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "logging/FilterProtocol.h"
#include "logging/LogDetails.h"
#include "logging/LogFormatterProtocol.h"

namespace qmlogger {

class QMLogger;

using FilterList = std::vector<std::shared_ptr<FilterProtocol>>;
using FormatterList = std::vector<std::shared_ptr<LogFormatterProtocol>>;

class DestinationProtocol {
 public:
  virtual ~DestinationProtocol() = default;

  virtual std::shared_ptr<QMLogger> owner() const = 0;
  virtual void setOwner(const std::shared_ptr<QMLogger>& owner) = 0;
  // True while the owner reference points at `logger` (also while it is being destroyed).
  virtual bool isOwnedBy(const std::weak_ptr<QMLogger>& logger) const = 0;
  virtual std::string identifier() const = 0;
  virtual void setIdentifier(std::string identifier) = 0;
  virtual Level outputLevel() const = 0;
  virtual void setOutputLevel(Level level) = 0;
  virtual bool haveLoggedAppDetails() const = 0;
  virtual void setHaveLoggedAppDetails(bool logged) = 0;
  virtual std::optional<FormatterList> formatters() const = 0;
  virtual void setFormatters(std::optional<FormatterList> formatters) = 0;
  virtual std::optional<FilterList> filters() const = 0;
  virtual void setFilters(std::optional<FilterList> filters) = 0;

  virtual void process(const LogDetails& logDetails) = 0;
  virtual void processInternal(const LogDetails& logDetails) = 0;
  virtual bool isEnabledFor(Level level) const = 0;
  virtual std::string debugDescription() const = 0;

  // The destination's own filters, else its owner's; the first true drops the event.
  bool shouldExclude(LogDetails& logDetails, std::string& message);
  // The destination's own formatters, else its owner's, each on the previous result.
  void applyFormatters(LogDetails& logDetails, std::string& message);
};

using DestinationPtr = std::shared_ptr<DestinationProtocol>;

}  // namespace qmlogger
