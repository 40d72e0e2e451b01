#pragma once
// One accepted connection of an XPC listener. After resume() its calls are
// read on a thread of its own and delivered, in order, on its serial queue;
// the connection stays alive while the peer keeps it open. At most
// kMaxCallsInFlight calls wait or run at once (more are refused with an
// error answer); calls still waiting when the connection closes are dropped.
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/dispatch/Dispatch.h"
#include "platform/xpc/XpcInterface.h"

namespace platform {

class XpcConnection : public std::enable_shared_from_this<XpcConnection> {
 public:
  static constexpr std::size_t kMaxCallsInFlight = 64;

  // Takes ownership of the connected socket `fd`.
  static std::shared_ptr<XpcConnection> adopt(int fd, const std::string& serviceName, uint64_t number);
  ~XpcConnection();
  XpcConnection(const XpcConnection&) = delete;
  XpcConnection& operator=(const XpcConnection&) = delete;

  void setExportedInterface(XpcInterface interface);
  void setExportedObject(std::shared_ptr<XpcExportedObject> object);
  void resume();
  // Closes the connection; later replies are dropped.
  void invalidate();

  const std::shared_ptr<DispatchQueue>& queue() const { return queue_; }
  pid_t processIdentifier() const { return peerPid_; }
  bool isValid() const { return !invalidated_.load(); }

 private:
  XpcConnection(int fd, std::shared_ptr<DispatchQueue> queue);
  void readLoop();
  void handleLine(const std::string& line);
  void answer(const nlohmann::json& message);

  const int fd_;
  const std::shared_ptr<DispatchQueue> queue_;
  pid_t peerPid_ = 0;
  std::atomic<bool> resumed_{false};
  std::atomic<bool> invalidated_{false};
  std::atomic<std::size_t> callsInFlight_{0};

  std::mutex mutex_;  // guards the two below
  XpcInterface interface_;
  std::shared_ptr<XpcExportedObject> object_;
  std::mutex writeMutex_;
};

}  // namespace platform
