#include "platform/foundation/Clock.h"

namespace platform {

double Clock::wallSeconds() const {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(now).count();
}

int64_t Clock::monotonicNanos() const {
  auto now = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
}

std::shared_ptr<Clock> Clock::system() {
  static const auto clock = std::make_shared<Clock>();
  return clock;
}

FakeClock::FakeClock(double wallSeconds, int64_t monotonicNanos) : wall_(wallSeconds), mono_(monotonicNanos) {}

double FakeClock::wallSeconds() const {
  std::lock_guard lock(mutex_);
  return wall_;
}

int64_t FakeClock::monotonicNanos() const {
  std::lock_guard lock(mutex_);
  return mono_;
}

void FakeClock::setWall(double seconds) {
  std::lock_guard lock(mutex_);
  wall_ = seconds;
}

void FakeClock::advance(std::chrono::nanoseconds delta) {
  std::lock_guard lock(mutex_);
  if (delta.count() < 0) return;  // monotonic time never goes back
  mono_ += delta.count();
  wall_ += std::chrono::duration<double>(delta).count();
}

}  // namespace platform
