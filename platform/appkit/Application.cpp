#include "platform/appkit/Application.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Log.h"

namespace platform {

namespace {

std::mutex argumentsMutex;
std::vector<std::string> arguments;

int signalPipe[2] = {-1, -1};

void onSignal(int signal) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signal);
  // Nothing to do when the pipe is full: a terminate is already on its way.
  [[maybe_unused]] auto written = ::write(signalPipe[1], &byte, 1);
  errno = saved;
}

const char* signalName(int signal) { return signal == SIGINT ? "SIGINT" : "SIGTERM"; }

}  // namespace

void setProcessArguments(std::vector<std::string> list) {
  std::lock_guard lock(argumentsMutex);
  arguments = std::move(list);
}

std::vector<std::string> processArguments() {
  std::lock_guard lock(argumentsMutex);
  return arguments;
}

NSApplication::NSApplication() = default;

NSApplication::NSApplication(ExitHandler exitHandler) : exitHandler_(std::move(exitHandler)) {}

NSApplication& NSApplication::shared() {
  static NSApplication* application = new NSApplication();
  return *application;
}

void NSApplication::setDelegate(std::shared_ptr<NSApplicationDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<NSApplicationDelegate> NSApplication::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_;
}

void NSApplication::finishLaunching() {
  DispatchQueue::main()->async([this] {
    if (auto d = delegate()) d->applicationDidFinishLaunching();
  });
}

void NSApplication::run() {
  installSignalHandlers();
  finishLaunching();
  dispatchMain();
}

NSApplicationTerminateReply NSApplication::terminate(std::optional<std::string> reason) {
  {
    std::lock_guard lock(mutex_);
    // A pending or finishing terminate is not asked again.
    if (terminationPending_ || terminating_) return NSApplicationTerminateReply::terminateLater;
    quitReason_ = std::move(reason);
  }
  auto d = delegate();
  auto reply = d ? d->applicationShouldTerminate(*this) : NSApplicationTerminateReply::terminateNow;
  {
    std::lock_guard lock(mutex_);
    quitReason_.reset();
    // The delegate may have replied already from inside its answer.
    if (reply == NSApplicationTerminateReply::terminateLater && !terminating_) terminationPending_ = true;
  }
  if (reply == NSApplicationTerminateReply::terminateNow) finishTermination();
  return reply;
}

void NSApplication::replyToApplicationShouldTerminate(bool shouldTerminate) {
  {
    std::lock_guard lock(mutex_);
    if (!terminationPending_) return;
    terminationPending_ = false;
  }
  if (shouldTerminate) finishTermination();
}

bool NSApplication::isTerminationPending() const {
  std::lock_guard lock(mutex_);
  return terminationPending_;
}

std::optional<std::string> NSApplication::currentQuitReason() const {
  std::lock_guard lock(mutex_);
  return quitReason_;
}

bool NSApplication::sendAction(const std::string& selector) {
  if (selector == "terminate:") {
    terminate();
    return true;
  }
  auto d = delegate();
  return d && d->performAction(selector);
}

void NSApplication::finishTermination() {
  {
    std::lock_guard lock(mutex_);
    if (terminating_) return;
    terminating_ = true;
  }
  if (auto d = delegate()) d->applicationWillTerminate();
  exit(0);
}

void NSApplication::addExitHook(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  exitHooks_.push_back(std::move(hook));
}

void NSApplication::exit(int status) {
  std::vector<std::function<void()>> hooks;
  ExitHandler handler;
  {
    std::lock_guard lock(mutex_);
    hooks.swap(exitHooks_);
    handler = exitHandler_;
  }
  for (auto& hook : hooks) hook();
  if (handler) {
    handler(status);
    return;
  }
  flushLog();
  // Worker threads are still running: skip the static destructors.
  ::_exit(status);
}

void NSApplication::installSignalHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (::pipe2(signalPipe, O_CLOEXEC) != 0) {
      NSLog(std::string("signal pipe failed: ") + std::strerror(errno));
      return;
    }
    ::fcntl(signalPipe[1], F_SETFL, O_NONBLOCK);
    std::thread([] {
      for (;;) {
        unsigned char byte = 0;
        auto n = ::read(signalPipe[0], &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        std::string reason = signalName(byte);
        DispatchQueue::main()->async([reason] { NSApplication::shared().terminate(reason); });
      }
    }).detach();
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
  });
}

int NSApplicationMain(int argc, char** argv, std::shared_ptr<NSApplicationDelegate> delegate) {
  std::vector<std::string> list;
  for (int i = 0; i < argc; ++i) list.emplace_back(argv[i]);
  setProcessArguments(std::move(list));
  auto& application = NSApplication::shared();
  application.setDelegate(std::move(delegate));
  application.run();
}

}  // namespace platform
