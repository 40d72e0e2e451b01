#pragma once
// The control socket $VARDENO_ROOT/agent/control.sock stands in for the
// person at the menu bar and for the workspace. One command a line, one
// reply line each ("ok ..." or "error ..."):
//   menu                                  the status menu's titles (JSON)
//   click <title>                         performs the item's action
//   notify willSleep|didWake|willPowerOff posts the workspace notification
//   quit [reason]                         asks the application to terminate
// Clients are served side by side by one poll loop: commands run on the
// targets' queue without the loop waiting for them, a client takes its next
// command once its reply is written, and a client that is idle, does not
// read its replies or waits on a busy queue is dropped or answered in time.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/appkit/Application.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/appkit/StatusItem.h"
#include "platform/appkit/Workspace.h"

namespace platform {

class StatusItemControl {
 public:
  struct Targets {
    NSStatusBar* statusBar = &NSStatusBar::systemStatusBar();
    NSApplication* application = &NSApplication::shared();
    NSWorkspace* workspace = &NSWorkspace::shared();
    // Where commands run: the queue that owns the targets.
    std::shared_ptr<DispatchQueue> queue = DispatchQueue::main();
    // A client with no command for this long is closed.
    std::chrono::milliseconds idleLimit{60'000};
    // A reply the client does not read within this is the client's end.
    std::chrono::milliseconds writeLimit{5'000};
    // A command the queue has not run within this is answered "error busy".
    std::chrono::milliseconds commandLimit{10'000};
  };

  struct Outcome {
    std::string reply;
    // Runs on the queue after the reply is sent (actions that may exit).
    std::function<void()> then;
  };

  static constexpr std::size_t kMaxLine = 4096;
  static constexpr std::size_t kMaxClients = 8;

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
  // Stops listening, closes the clients and removes the socket file. Never
  // waits for the queue or for a client.
  void stop();
  const std::string& path() const { return path_; }

  static std::string defaultPath();

 private:
  struct Inbox;
  void serve();
  static Outcome performOn(const Targets& targets, const std::string& line);

  Targets targets_;
  std::string path_;
  int listenFd_ = -1;
  int wakeFd_ = -1;
  std::atomic<bool> stopping_{false};
  std::shared_ptr<Inbox> inbox_;
  std::thread thread_;
};

}  // namespace platform
