#pragma once
// A destination that may hand filtering, formatting and writing to a queue.
#include <memory>

#include "logging/BaseDestination.h"

namespace platform {
class DispatchQueue;
}

namespace qmlogger {

class BaseQueuedDestination : public BaseDestination {
 public:
  BaseQueuedDestination(const std::shared_ptr<QMLogger>& owner, std::string identifier)
      : BaseDestination(owner, std::move(identifier)) {}

  std::shared_ptr<platform::DispatchQueue> logQueue() const;
  void setLogQueue(std::shared_ptr<platform::DispatchQueue> queue);

  // The sink; each concrete destination overrides it.
  virtual void write(const std::string& message);

 protected:
  void output(const LogDetails& logDetails, const std::string& message) override;

 private:
  void filterFormatWrite(LogDetails logDetails, std::string message);

  mutable std::mutex queueMutex_;
  std::shared_ptr<platform::DispatchQueue> logQueue_;
};

}  // namespace qmlogger
