#pragma once
// Writes each line to standard output.
#include "logging/BaseQueuedDestination.h"

namespace qmlogger {

class ConsoleDestination : public BaseQueuedDestination {
 public:
  static std::shared_ptr<ConsoleDestination> create(const std::shared_ptr<QMLogger>& owner = nullptr,
                                                    std::string identifier = "") {
    return std::shared_ptr<ConsoleDestination>(new ConsoleDestination(owner, std::move(identifier)));
  }
  void write(const std::string& message) override;

 protected:
  using BaseQueuedDestination::BaseQueuedDestination;
};

}  // namespace qmlogger
