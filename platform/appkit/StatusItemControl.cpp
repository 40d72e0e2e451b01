#include "platform/appkit/StatusItemControl.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>
#include <nlohmann/json.hpp>

#include "platform/foundation/Defaults.h"
#include "platform/foundation/Describe.h"
#include "platform/foundation/Log.h"

namespace platform {

namespace {

constexpr std::size_t kMaxEcho = 200;
constexpr std::size_t kMaxReply = 64 * 1024;

using SteadyClock = std::chrono::steady_clock;

// Out of descriptors, accept fails at once while the client waits in the
// backlog: the socket is left alone this long instead of polled again.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

bool outOfDescriptors(int error) { return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM; }

// Echoed input is cut short and kept printable.
std::string echo(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, kMaxEcho)) out.push_back(static_cast<unsigned char>(c) < 0x20 ? '?' : c);
  return out;
}

bool fillAddress(const std::string& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address.sun_path)) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

bool someoneListens(const sockaddr_un& address) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool answered = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  ::close(fd);
  return answered;
}

}  // namespace

// Replies of commands that ran on the queue, waiting for the serve loop.
struct StatusItemControl::Inbox {
  struct Done {
    uint64_t command;
    std::string reply;
    std::function<void()> then;
  };
  std::mutex mutex;
  bool closed = false;
  int wakeFd = -1;
  std::vector<Done> done;

  // False once the loop is gone.
  bool post(Done d) {
    std::lock_guard lock(mutex);
    if (closed) return false;
    done.push_back(std::move(d));
    uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakeFd, &one, sizeof(one));
    return true;
  }
  std::vector<Done> take() {
    std::lock_guard lock(mutex);
    return std::exchange(done, {});
  }
};

StatusItemControl::StatusItemControl(Targets targets) : targets_(std::move(targets)) {}

StatusItemControl::~StatusItemControl() { stop(); }

std::string StatusItemControl::defaultPath() { return vardenoRoot() + "/agent/control.sock"; }

StatusItemControl::Outcome StatusItemControl::perform(const std::string& line) { return performOn(targets_, line); }

StatusItemControl::Outcome StatusItemControl::performOn(const Targets& targets, const std::string& line) {
  const auto space = line.find(' ');
  const std::string command = line.substr(0, space);
  const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);

  if (command == "menu" && rest.empty()) {
    auto titles = nlohmann::json::array();
    if (const auto* menu = targets.statusBar->firstMenu())
      for (const auto& item : menu->items) titles.push_back(item.title);
    return {"ok " + jsonText(titles), {}};
  }
  if (command == "click") {
    const auto* menu = targets.statusBar->firstMenu();
    const auto* item = menu ? menu->itemWithTitle(rest) : nullptr;
    if (!item) return {"error no menu item: " + echo(rest), {}};
    if (item->action.empty()) return {"error menu item has no action: " + echo(rest), {}};
    auto* application = targets.application;
    return {"ok", [application, action = item->action] {
              if (!application->sendAction(action)) NSLog("control: no responder for " + action);
            }};
  }
  if (command == "notify") {
    const char* name = rest == "willSleep"      ? NSWorkspaceWillSleepNotification
                       : rest == "didWake"      ? NSWorkspaceDidWakeNotification
                       : rest == "willPowerOff" ? NSWorkspaceWillPowerOffNotification
                                                : nullptr;
    if (!name) return {"error unknown notification: " + echo(rest), {}};
    targets.workspace->postNotification(name);
    return {"ok", {}};
  }
  if (command == "quit") {
    auto* application = targets.application;
    std::optional<std::string> reason;
    if (!rest.empty()) reason = rest;
    return {"ok", [application, reason] { application->terminate(reason); }};
  }
  return {"error unknown command: " + echo(line), {}};
}

bool StatusItemControl::start(const std::string& path, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
    return false;
  };
  if (listenFd_ >= 0) return fail("already started");
  sockaddr_un address;
  if (!fillAddress(path, address)) return fail("socket path too long or empty: " + path);
  std::error_code ec;
  const auto folder = std::filesystem::path(path).parent_path();
  std::filesystem::create_directories(folder, ec);
  ::chmod(folder.c_str(), 0700);
  if (someoneListens(address)) return fail("another process listens on " + path);
  ::unlink(path.c_str());
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd_ < 0) return fail(std::string("socket: ") + std::strerror(errno));
  const mode_t old = ::umask(0177);
  const int bound = ::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  ::umask(old);
  if (bound != 0) return fail("bind " + path + ": " + std::strerror(errno));
  if (::listen(listenFd_, 8) != 0) return fail(std::string("listen: ") + std::strerror(errno));
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) return fail(std::string("eventfd: ") + std::strerror(errno));
  path_ = path;
  stopping_ = false;
  inbox_ = std::make_shared<Inbox>();
  inbox_->wakeFd = wakeFd_;
  thread_ = std::thread([this] { serve(); });
  return true;
}

void StatusItemControl::stop() {
  if (thread_.joinable()) {
    stopping_ = true;
    uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof(one));
    thread_.join();
  }
  if (inbox_) {
    std::lock_guard lock(inbox_->mutex);
    inbox_->closed = true;  // commands still on the queue find no loop
  }
  if (listenFd_ >= 0) {
    ::close(listenFd_);
    listenFd_ = -1;
    ::unlink(path_.c_str());
  }
  if (wakeFd_ >= 0) {
    ::close(wakeFd_);
    wakeFd_ = -1;
  }
}

void StatusItemControl::serve() {
  struct Client {
    int fd;
    std::string in;
    std::string out;
    uint64_t command = 0;  // the one running on the queue, else 0
    bool sawEnd = false;   // the peer will send no more
    bool closeAfterReply = false;
    std::function<void()> afterReply;
    SteadyClock::time_point deadline;
  };
  std::vector<Client> clients;
  uint64_t lastCommand = 0;
  auto queue = targets_.queue;
  auto inbox = inbox_;

  auto runLater = [&](std::function<void()> then) {
    if (then) queue->async(std::move(then));
  };
  auto reply = [&](Client& c, std::string text) {
    if (text.size() > kMaxReply) text = "error reply too long";
    c.out += text + "\n";
    c.deadline = SteadyClock::now() + targets_.writeLimit;
  };
  // Takes the next whole line, when the client is free for one.
  auto advance = [&](Client& c) {
    if (c.command || !c.out.empty() || c.closeAfterReply) return;
    const auto nl = c.in.find('\n');
    if (nl == std::string::npos) {
      if (c.in.size() > kMaxLine) {
        reply(c, "error line too long");
        c.closeAfterReply = true;
      } else {
        c.deadline = SteadyClock::now() + targets_.idleLimit;
      }
      return;
    }
    if (nl > kMaxLine) {
      reply(c, "error line too long");
      c.closeAfterReply = true;
      return;
    }
    std::string line = c.in.substr(0, nl);
    c.in.erase(0, nl + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    c.command = ++lastCommand;
    c.deadline = SteadyClock::now() + targets_.commandLimit;
    queue->async([inbox, targets = targets_, line = std::move(line), command = c.command] {
      Outcome outcome = performOn(targets, line);
      // With the loop gone the action still runs, as it would have.
      if (!inbox->post({command, std::move(outcome.reply), outcome.then}) && outcome.then) outcome.then();
    });
  };
  // False when the client is to be closed.
  auto flush = [&](Client& c) {
    while (!c.out.empty()) {
      auto n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      if (n <= 0) return false;
      c.out.erase(0, static_cast<std::size_t>(n));
    }
    runLater(std::exchange(c.afterReply, nullptr));
    if (c.closeAfterReply) return false;
    advance(c);
    return true;
  };
  auto finished = [](const Client& c) { return c.sawEnd && !c.command && c.out.empty() && c.in.find('\n') == std::string::npos; };

  auto acceptPausedUntil = SteadyClock::time_point::min();
  while (!stopping_) {
    const bool acceptPaused = SteadyClock::now() < acceptPausedUntil;
    std::vector<pollfd> fds = {{wakeFd_, POLLIN, 0}, {acceptPaused ? -1 : listenFd_, POLLIN, 0}};
    auto next = acceptPaused ? acceptPausedUntil : SteadyClock::time_point::max();
    for (const auto& c : clients) {
      short events = !c.out.empty() ? POLLOUT : (!c.command && !c.sawEnd && !c.closeAfterReply) ? POLLIN : 0;
      fds.push_back({c.fd, events, 0});
      next = std::min(next, c.deadline);
    }
    int timeout = -1;
    if (next != SteadyClock::time_point::max()) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(next - SteadyClock::now()).count();
      timeout = static_cast<int>(std::clamp<long long>(left, 0, 60'000));
    }
    if (::poll(fds.data(), fds.size(), timeout) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) {
      uint64_t count;
      [[maybe_unused]] auto n = ::read(wakeFd_, &count, sizeof(count));
      if (stopping_) break;
    }
    std::vector<bool> closing(clients.size(), false);
    for (auto& done : inbox->take()) {
      auto it = std::find_if(clients.begin(), clients.end(), [&](const Client& c) { return c.command == done.command; });
      if (it == clients.end()) {
        runLater(std::move(done.then));  // the client left or was answered busy
        continue;
      }
      it->command = 0;
      it->afterReply = std::move(done.then);
      reply(*it, std::move(done.reply));
    }
    for (std::size_t i = 0; i < clients.size(); ++i) {
      auto& c = clients[i];
      const short revents = fds[i + 2].revents;
      if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
        closing[i] = true;
        continue;
      }
      if (revents & POLLIN) {
        char chunk[1024];
        auto n = ::recv(c.fd, chunk, sizeof(chunk), MSG_DONTWAIT);
        if (n == 0) c.sawEnd = true;
        else if (n > 0) c.in.append(chunk, static_cast<std::size_t>(n));
        else if (errno != EINTR && errno != EAGAIN) closing[i] = true;
        if (!closing[i]) advance(c);
      }
      if (!closing[i] && !c.out.empty() && !flush(c)) closing[i] = true;
      if (!closing[i] && finished(c)) closing[i] = true;
    }
    const auto now = SteadyClock::now();
    for (std::size_t i = 0; i < clients.size(); ++i) {
      auto& c = clients[i];
      if (closing[i] || c.deadline > now) continue;
      if (c.command) {
        c.command = 0;  // its outcome, when it comes, only runs its action
        reply(c, "error busy");
        if (!flush(c)) closing[i] = true;
      } else {
        closing[i] = true;  // idle, or not reading its reply
      }
    }
    for (std::size_t i = clients.size(); i-- > 0;) {
      if (!closing[i]) continue;
      runLater(std::exchange(clients[i].afterReply, nullptr));
      ::close(clients[i].fd);
      clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (fds[1].revents & POLLIN) {
      int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0 && outOfDescriptors(errno)) acceptPausedUntil = SteadyClock::now() + kAcceptPause;
      if (fd >= 0) {
        if (clients.size() >= kMaxClients) {
          static constexpr char kFull[] = "error too many clients\n";
          [[maybe_unused]] auto n = ::send(fd, kFull, sizeof(kFull) - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
          ::close(fd);
        } else {
          clients.push_back({fd, {}, {}, 0, false, false, {}, SteadyClock::now() + targets_.idleLimit});
        }
      }
    }
  }
  for (const auto& c : clients) ::close(c.fd);
}

}  // namespace platform
