#include "logging/TestDestination.h"

#include <algorithm>

#include "platform/dispatch/Dispatch.h"

namespace qmlogger {

std::vector<std::string> TestDestination::expectedLogMessages() const {
  std::lock_guard lock(listMutex_);
  return expectedLogMessages_;
}

std::vector<std::string> TestDestination::unexpectedLogMessages() const {
  std::lock_guard lock(listMutex_);
  return unexpectedLogMessages_;
}

size_t TestDestination::remainingNumberOfExpectedLogMessages() const {
  std::lock_guard lock(listMutex_);
  return expectedLogMessages_.size();
}

size_t TestDestination::numberOfUnexpectedLogMessages() const {
  std::lock_guard lock(listMutex_);
  return unexpectedLogMessages_.size();
}

void TestDestination::sync(const std::function<void()>& closure) {
  if (auto queue = logQueue()) {
    queue->sync(closure);
  } else {
    closure();
  }
}

void TestDestination::add(const std::string& expectedLogMessage) {
  sync([&] {
    std::lock_guard lock(listMutex_);
    expectedLogMessages_.push_back(expectedLogMessage);
  });
}

void TestDestination::reset() {
  setHaveLoggedAppDetails(false);
  std::lock_guard lock(listMutex_);
  expectedLogMessages_.clear();
  unexpectedLogMessages_.clear();
}

void TestDestination::output(const LogDetails& logDetails, const std::string& message) {
  sync([&] {
    LogDetails details = logDetails;
    std::string line = message;
    if (shouldExclude(details, line)) return;
    applyFormatters(details, line);
    std::lock_guard lock(listMutex_);
    auto found = std::find(expectedLogMessages_.begin(), expectedLogMessages_.end(), line);
    if (found != expectedLogMessages_.end()) {
      expectedLogMessages_.erase(found);
    } else {
      unexpectedLogMessages_.push_back(line);
    }
  });
}

}  // namespace qmlogger
