#pragma once
// Network path monitor stand-in. The real monitor watches a netlink route
// socket and calls the update handler, on the queue given to start(), with
// the first path and with every change. A path is satisfied when a default
// route and an address on a non-loopback interface that is up exist.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"

namespace platform {

struct NWPath {
  enum class Status { satisfied, unsatisfied, requiresConnection };
  Status status = Status::unsatisfied;
  bool isExpensive = false;
  std::vector<std::string> interfaces;  // non-loopback interfaces with an address

  // "satisfied", "unsatisfied", "requiresConnection"
  std::string statusText() const;
  // "satisfied (Path is satisfied), interface: eth0" / "unsatisfied (No network route)"
  std::string description() const;

  bool operator==(const NWPath&) const = default;
};

class PathMonitor {
 public:
  using UpdateHandler = std::function<void(const NWPath&)>;

  virtual ~PathMonitor() = default;
  virtual NWPath currentPath() const = 0;
  // Install before start().
  virtual void setPathUpdateHandler(UpdateHandler handler) = 0;
  virtual void start(std::shared_ptr<DispatchQueue> queue) = 0;
  // Updates not yet run are dropped; a monitor is not restarted.
  virtual void cancel() = 0;

  // The netlink monitor; it opens its socket on start().
  static std::shared_ptr<PathMonitor> create();
  // The path the system has now.
  static NWPath systemPath();
};

// A monitor whose path the test sets.
class FakePathMonitor : public PathMonitor {
 public:
  explicit FakePathMonitor(NWPath initial = {});

  NWPath currentPath() const override;
  void setPathUpdateHandler(UpdateHandler handler) override;
  void start(std::shared_ptr<DispatchQueue> queue) override;
  void cancel() override;

  // Changes the path; the handler runs on the start queue when started.
  void setPath(NWPath path);
  bool isStarted() const;
  bool isCancelled() const;

 private:
  // Called with mutex_ held.
  void deliver(const NWPath& path);

  mutable std::mutex mutex_;
  NWPath path_;
  UpdateHandler handler_;
  std::shared_ptr<DispatchQueue> queue_;
  bool started_ = false;
  std::shared_ptr<std::atomic<bool>> live_ = std::make_shared<std::atomic<bool>>(true);
};

}  // namespace platform
