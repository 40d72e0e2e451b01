#pragma once
// The serial queue of one XPC connection. It has a thread of its own, so a
// call that blocks (a long-running command) holds up only its connection,
// never the shared dispatch pool.
#include <memory>
#include <string>

#include "platform/dispatch/Dispatch.h"

namespace platform {

class XpcConnectionQueue final : public DispatchQueue {
 public:
  static std::shared_ptr<XpcConnectionQueue> make(std::string label);
  ~XpcConnectionQueue() override;

  void async(std::function<void()> block) override;
  std::shared_ptr<DispatchWorkItem> asyncAfter(std::chrono::nanoseconds delay, std::function<void()> block) override;

  struct State;

 private:
  explicit XpcConnectionQueue(std::string label);
  std::shared_ptr<State> state_;
};

}  // namespace platform
