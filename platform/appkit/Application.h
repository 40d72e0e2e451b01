#pragma once
// AppKit stand-in: the application object and its delegate. The main queue
// is the run loop. terminate() asks the delegate; a "later" answer waits
// for replyToApplicationShouldTerminate(). SIGTERM and SIGINT ask to
// terminate with the signal's name as the quit reason.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

enum class NSApplicationTerminateReply { terminateCancel, terminateNow, terminateLater };

class NSApplication;

class NSApplicationDelegate {
 public:
  virtual ~NSApplicationDelegate() = default;
  virtual void applicationDidFinishLaunching() {}
  virtual NSApplicationTerminateReply applicationShouldTerminate(NSApplication&) {
    return NSApplicationTerminateReply::terminateNow;
  }
  virtual void applicationWillTerminate() {}
  // The responder chain's last stop: true when the selector was handled.
  virtual bool performAction(const std::string& /*selector*/) { return false; }
};

class NSApplication {
 public:
  using ExitHandler = std::function<void(int status)>;

  // The process's application (NSApp).
  static NSApplication& shared();
  // A separate application, for tests: exit() calls `exitHandler`.
  explicit NSApplication(ExitHandler exitHandler);

  void setDelegate(std::shared_ptr<NSApplicationDelegate> delegate);
  std::shared_ptr<NSApplicationDelegate> delegate() const;

  // Posts applicationDidFinishLaunching to the main queue.
  void finishLaunching();
  // Installs the signal handlers, finishes launching and runs the main queue.
  [[noreturn]] void run();

  // On the main queue. `reason` is the quit reason of the asking event.
  NSApplicationTerminateReply terminate(std::optional<std::string> reason = std::nullopt);
  // Ends a terminate that the delegate answered with terminateLater.
  void replyToApplicationShouldTerminate(bool shouldTerminate);
  bool isTerminationPending() const;
  // The quit reason of the terminate being asked, none outside one.
  std::optional<std::string> currentQuitReason() const;

  // Sends an action through the responder chain ("terminate:" is ours,
  // the rest goes to the delegate). False when nobody handled it.
  bool sendAction(const std::string& selector);

  // Runs the exit hooks, flushes the log and ends the process.
  void exit(int status);
  void addExitHook(std::function<void()> hook);

  // SIGTERM and SIGINT post terminate("SIGTERM"/"SIGINT") to the main queue.
  void installSignalHandlers();

 private:
  NSApplication();
  void finishTermination();

  mutable std::mutex mutex_;
  std::shared_ptr<NSApplicationDelegate> delegate_;
  ExitHandler exitHandler_;
  std::vector<std::function<void()>> exitHooks_;
  bool terminationPending_ = false;
  bool terminating_ = false;
  std::optional<std::string> quitReason_;
};

// The process's command line, as main() received it.
void setProcessArguments(std::vector<std::string> arguments);
std::vector<std::string> processArguments();

// Sets the process arguments, makes `delegate` the application's delegate
// and runs it; never returns.
[[noreturn]] int NSApplicationMain(int argc, char** argv, std::shared_ptr<NSApplicationDelegate> delegate);

}  // namespace platform
