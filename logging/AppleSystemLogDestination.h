#pragma once
// Writes each line to the system log; never shows the date (the log stamps its own).
#include "logging/BaseQueuedDestination.h"

namespace qmlogger {

class AppleSystemLogDestination : public BaseQueuedDestination {
 public:
  static std::shared_ptr<AppleSystemLogDestination> create(const std::shared_ptr<QMLogger>& owner = nullptr,
                                                           std::string identifier = "") {
    return std::shared_ptr<AppleSystemLogDestination>(new AppleSystemLogDestination(owner, std::move(identifier)));
  }
  bool showDate() const override { return false; }
  void setShowDate(bool) override {}
  void write(const std::string& message) override;

 protected:
  using BaseQueuedDestination::BaseQueuedDestination;
};

}  // namespace qmlogger
