#pragma once
// Injectable time source: wall time for time stamps, monotonic time for
// intervals. Code that applies time rules takes a Clock so tests can drive it.
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

namespace platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since 1970 (may jump when the system clock is set).
  virtual double wallSeconds() const;
  // Nanoseconds on a clock that never goes back.
  virtual int64_t monotonicNanos() const;

  static std::shared_ptr<Clock> system();
};

// A clock that only moves when told to. Thread-safe.
class FakeClock : public Clock {
 public:
  explicit FakeClock(double wallSeconds = 1'700'000'000.0, int64_t monotonicNanos = 1'000'000'000);

  double wallSeconds() const override;
  int64_t monotonicNanos() const override;

  void setWall(double seconds);
  // Moves wall and monotonic time forward together.
  void advance(std::chrono::nanoseconds delta);

 private:
  mutable std::mutex mutex_;
  double wall_;
  int64_t mono_;
};

}  // namespace platform
