#pragma once
// A destination that keeps every line it would write.
#include <mutex>
#include <string>
#include <vector>

#include "logging/BaseQueuedDestination.h"

class RecordingDestination : public qmlogger::BaseQueuedDestination {
 public:
  static std::shared_ptr<RecordingDestination> create(std::string identifier,
                                                      const std::shared_ptr<qmlogger::QMLogger>& owner = nullptr) {
    return std::shared_ptr<RecordingDestination>(new RecordingDestination(owner, std::move(identifier)));
  }
  void write(const std::string& message) override {
    std::lock_guard lock(mutex_);
    lines_.push_back(message);
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }
  // Only the layout flags under test.
  void showNothing() {
    setShowDate(false);
    setShowLevel(false);
    setShowFileName(false);
    setShowLineNumber(false);
    setShowFunctionName(false);
  }

 private:
  using BaseQueuedDestination::BaseQueuedDestination;
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};
