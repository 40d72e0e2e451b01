#include "platform/StatusItemControl.h"

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
#include <future>
#include <nlohmann/json.hpp>

#include "platform/Defaults.h"
#include "platform/Describe.h"
#include "platform/Log.h"

namespace platform {

namespace {

constexpr std::size_t kMaxClients = 8;
constexpr std::size_t kMaxEcho = 200;
constexpr auto kCommandWait = std::chrono::seconds(10);

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

void writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    auto n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

StatusItemControl::StatusItemControl(Targets targets) : targets_(std::move(targets)) {}

StatusItemControl::~StatusItemControl() { stop(); }

std::string StatusItemControl::defaultPath() { return vardenoRoot() + "/agent/control.sock"; }

StatusItemControl::Outcome StatusItemControl::perform(const std::string& line) {
  const auto space = line.find(' ');
  const std::string command = line.substr(0, space);
  const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);

  if (command == "menu" && rest.empty()) {
    auto titles = nlohmann::json::array();
    if (const auto* menu = targets_.statusBar->firstMenu())
      for (const auto& item : menu->items) titles.push_back(item.title);
    return {"ok " + jsonText(titles), {}};
  }
  if (command == "click") {
    const auto* menu = targets_.statusBar->firstMenu();
    const auto* item = menu ? menu->itemWithTitle(rest) : nullptr;
    if (!item) return {"error no menu item: " + echo(rest), {}};
    if (item->action.empty()) return {"error menu item has no action: " + echo(rest), {}};
    auto* application = targets_.application;
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
    targets_.workspace->postNotification(name);
    return {"ok", {}};
  }
  if (command == "quit") {
    auto* application = targets_.application;
    std::optional<std::string> reason;
    if (!rest.empty()) reason = rest;
    return {"ok", [application, reason] { application->terminate(reason); }};
  }
  return {"error unknown command: " + echo(line), {}};
}

std::string StatusItemControl::runOnQueue(const std::string& line) {
  auto promise = std::make_shared<std::promise<std::string>>();
  auto reply = promise->get_future();
  auto queue = targets_.queue;
  queue->async([this, line, promise, queue] {
    auto outcome = perform(line);
    promise->set_value(outcome.reply);
    if (outcome.then) queue->async(std::move(outcome.then));
  });
  if (reply.wait_for(kCommandWait) != std::future_status::ready) return "error busy";
  return reply.get();
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
  thread_ = std::thread([this] { serve(); });
  return true;
}

void StatusItemControl::stop() {
  if (thread_.joinable()) {
    uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof(one));
    thread_.join();
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
    std::string buffer;
  };
  std::vector<Client> clients;
  for (;;) {
    std::vector<pollfd> fds = {{wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
    for (const auto& c : clients) fds.push_back({c.fd, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) break;
    if ((fds[1].revents & POLLIN) && clients.size() < kMaxClients) {
      int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) clients.push_back({fd, {}});
    }
    std::vector<int> closing;
    for (std::size_t i = 2; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      auto& client = clients[i - 2];
      char chunk[1024];
      auto n = ::recv(client.fd, chunk, sizeof(chunk), 0);
      if (n <= 0) {
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        closing.push_back(client.fd);
        continue;
      }
      client.buffer.append(chunk, static_cast<std::size_t>(n));
      std::size_t nl;
      bool tooLong = false;
      while ((nl = client.buffer.find('\n')) != std::string::npos) {
        if (nl > kMaxLine) {
          tooLong = true;
          break;
        }
        std::string line = client.buffer.substr(0, nl);
        client.buffer.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        writeAll(client.fd, runOnQueue(line) + "\n");
      }
      if (tooLong || client.buffer.size() > kMaxLine) {
        writeAll(client.fd, "error line too long\n");
        closing.push_back(client.fd);
      }
    }
    for (int fd : closing) {
      ::close(fd);
      std::erase_if(clients, [fd](const Client& c) { return c.fd == fd; });
    }
  }
  for (const auto& c : clients) ::close(c.fd);
}

}  // namespace platform
