#pragma once
// The control socket $VARDENO_ROOT/agent/control.sock stands in for the
// person at the menu bar and for the workspace. One command a line, one
// reply line each ("ok ..." or "error ..."):
//   menu                                  the status menu's titles (JSON)
//   click <title>                         performs the item's action
//   notify willSleep|didWake|willPowerOff posts the workspace notification
//   quit [reason]                         asks the application to terminate
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/Application.h"
#include "platform/Dispatch.h"
#include "platform/StatusItem.h"
#include "platform/Workspace.h"

namespace platform {

class StatusItemControl {
 public:
  struct Targets {
    NSStatusBar* statusBar = &NSStatusBar::systemStatusBar();
    NSApplication* application = &NSApplication::shared();
    NSWorkspace* workspace = &NSWorkspace::shared();
    // Where commands run: the queue that owns the targets.
    std::shared_ptr<DispatchQueue> queue = DispatchQueue::main();
  };

  struct Outcome {
    std::string reply;
    // Runs on the queue after the reply is sent (actions that may exit).
    std::function<void()> then;
  };

  static constexpr std::size_t kMaxLine = 4096;

  StatusItemControl() : StatusItemControl(Targets{}) {}
  explicit StatusItemControl(Targets targets);
  ~StatusItemControl();
  StatusItemControl(const StatusItemControl&) = delete;
  StatusItemControl& operator=(const StatusItemControl&) = delete;

  // On the targets' queue.
  Outcome perform(const std::string& line);

  // Listens on `path` (folder made 0700, socket 0600). Fails when another
  // process answers on it; a stale socket file is replaced.
  bool start(const std::string& path, std::string* error = nullptr);
  // Stops listening and removes the socket file.
  void stop();
  const std::string& path() const { return path_; }

  static std::string defaultPath();

 private:
  void serve();
  std::string runOnQueue(const std::string& line);

  Targets targets_;
  std::string path_;
  int listenFd_ = -1;
  int wakeFd_ = -1;
  std::thread thread_;
};

}  // namespace platform
