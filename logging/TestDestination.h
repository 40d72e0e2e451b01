#pragma once
// Records which expected lines arrived and which unexpected ones did.
#include <functional>
#include <string>
#include <vector>

#include "logging/BaseQueuedDestination.h"

namespace qmlogger {

class TestDestination : public BaseQueuedDestination {
 public:
  static std::shared_ptr<TestDestination> create(const std::shared_ptr<QMLogger>& owner = nullptr,
                                                 std::string identifier = "") {
    return std::shared_ptr<TestDestination>(new TestDestination(owner, std::move(identifier)));
  }

  std::vector<std::string> expectedLogMessages() const;
  std::vector<std::string> unexpectedLogMessages() const;
  size_t remainingNumberOfExpectedLogMessages() const;
  size_t numberOfUnexpectedLogMessages() const;
  void add(const std::string& expectedLogMessage);
  void reset();

 protected:
  using BaseQueuedDestination::BaseQueuedDestination;
  void output(const LogDetails& logDetails, const std::string& message) override;

 private:
  void sync(const std::function<void()>& closure);

  mutable std::mutex listMutex_;
  std::vector<std::string> expectedLogMessages_;
  std::vector<std::string> unexpectedLogMessages_;
};

}  // namespace qmlogger
