#include "logging/BaseQueuedDestination.h"

#include "platform/dispatch/Dispatch.h"

namespace qmlogger {

std::shared_ptr<platform::DispatchQueue> BaseQueuedDestination::logQueue() const {
  std::lock_guard lock(queueMutex_);
  return logQueue_;
}

void BaseQueuedDestination::setLogQueue(std::shared_ptr<platform::DispatchQueue> queue) {
  std::lock_guard lock(queueMutex_);
  logQueue_ = std::move(queue);
}

void BaseQueuedDestination::write(const std::string&) {}

void BaseQueuedDestination::filterFormatWrite(LogDetails logDetails, std::string message) {
  if (shouldExclude(logDetails, message)) return;
  applyFormatters(logDetails, message);
  write(message);
}

void BaseQueuedDestination::output(const LogDetails& logDetails, const std::string& message) {
  std::shared_ptr<platform::DispatchQueue> queue = logQueue();
  std::shared_ptr<BaseDestination> self = weak_from_this().lock();
  if (!queue) {
    filterFormatWrite(logDetails, message);
    return;
  }
  if (!self) {
    // Not held by a shared_ptr, so nothing can keep it alive for later: run on the queue now.
    queue->sync([&] { filterFormatWrite(logDetails, message); });
    return;
  }
  queue->async([self = std::static_pointer_cast<BaseQueuedDestination>(self), logDetails, message]() mutable {
    self->filterFormatWrite(std::move(logDetails), std::move(message));
  });
}

}  // namespace qmlogger
