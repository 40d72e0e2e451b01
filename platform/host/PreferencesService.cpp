#include "platform/host/PreferencesService.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <list>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/foundation/Defaults.h"
#include "platform/foundation/Describe.h"
#include "platform/foundation/Log.h"
#include "platform/networkextension/PreferencesServiceClient.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

using namespace preferences_service;

std::optional<gid_t> groupId(const std::string& name) {
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  if (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return std::nullopt;
  return found->gr_gid;
}

// Empty when the peer may use the service, else why not.
std::string refusal(int fd, std::optional<gid_t> gid, const std::string& groupName) {
  ucred peer{};
  socklen_t length = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
    return std::string("cannot identify the peer: ") + std::strerror(errno);
  if (peer.uid == 0 || peer.uid == ::geteuid()) return {};
  if (gid) {
    if (peer.gid == *gid) return {};
    std::vector<gid_t> groups(64);
    socklen_t size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    int rc = ::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size);
    if (rc != 0 && errno == ERANGE) {
      groups.resize(size / sizeof(gid_t) + 1);
      size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
      rc = ::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size);
    }
    if (rc == 0) {
      groups.resize(size / sizeof(gid_t));
      if (std::find(groups.begin(), groups.end(), *gid) != groups.end()) return {};
    }
  }
  return "refused: uid " + std::to_string(peer.uid) + " is neither root nor a member of group " + groupName;
}

std::string reply(const nlohmann::json& value) { return jsonText(value) + "\n"; }

// Out of descriptors, accept fails at once while the client waits in the
// backlog: the socket is left alone this long instead of polled again.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

bool outOfDescriptors(int error) { return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM; }

}  // namespace

struct PreferencesService::Client {
  int fd = -1;
  Clock::time_point deadline;
  std::string in;
  std::string out;
  std::size_t sent = 0;
  bool replying = false;
};

std::string PreferencesService::socketPath(const std::string& root) { return preferences_service::socketPath(root); }

std::unique_ptr<PreferencesService> PreferencesService::start(Options options, std::string& error) {
  std::unique_ptr<PreferencesService> service(new PreferencesService());
  if (options.root.empty()) options.root = machineStoreRoot();
  if (!options.group) {
    const char* name = std::getenv("VARDENO_GROUP");
    options.group = name && *name ? name : "vardeno";
  }
  service->gid_ = groupId(*options.group);
  if (!service->gid_) NSLog("[PreferencesService] no group " + *options.group + ": only root may change the preferences");
  service->socketPath_ = socketPath(options.root);
  service->options_ = std::move(options);

  sockaddr_un address;
  if (!fillAddress(service->socketPath_, address)) {
    error = "socket path too long: " + service->socketPath_;
    return nullptr;
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return nullptr;
  }
  ::unlink(service->socketPath_.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::chmod(service->socketPath_.c_str(), 0666) != 0 || ::listen(fd, 64) != 0 ||
      ::pipe2(service->stopFds_, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = "cannot serve " + service->socketPath_ + ": " + std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  service->listenFd_ = fd;
  service->thread_ = std::thread([raw = service.get()] { raw->loop(); });
  return service;
}

PreferencesService::~PreferencesService() {
  if (thread_.joinable()) {
    char byte = 0;
    (void)!::write(stopFds_[1], &byte, 1);
    thread_.join();
  }
  for (int fd : {listenFd_, stopFds_[0], stopFds_[1]})
    if (fd >= 0) ::close(fd);
  if (!socketPath_.empty()) ::unlink(socketPath_.c_str());
}

std::string PreferencesService::handle(const std::string& line) const {
  auto request = nlohmann::json::parse(line, nullptr, false);
  if (!request.is_object()) return reply({{"error", "the request is not a JSON object"}});
  auto op = request.find("op");
  auto name = request.find("name");
  if (op == request.end() || !op->is_string() || name == request.end() || !name->is_string())
    return reply({{"error", "the request needs \"op\" and \"name\" texts"}});
  const std::string file = name->get<std::string>();
  if (!servedFile(file)) return reply({{"error", "not a preferences file: " + file}});
  const std::string path = options_.root + "/" + file;
  const std::string what = op->get<std::string>();
  auto done = [](const std::optional<NEError>& error) {
    return error ? reply({{"error", error->description}}) : reply({{"ok", true}});
  };
  if (what == "read") {
    PreferencesFileText text = direct::readPreferencesFile(path);
    if (text.error) return reply({{"error", text.error->description}});
    if (!text.text) return reply({{"exists", false}});
    return reply({{"exists", true}, {"text", *text.text}});
  }
  if (what == "write") {
    auto text = request.find("text");
    if (text == request.end() || !text->is_string()) return reply({{"error", "\"write\" needs a \"text\""}});
    if (text->get_ref<const std::string&>().size() > kMaxPreferencesBytes)
      return reply({{"error", "the text is too large"}});
    return done(direct::writePreferencesFile(path, text->get<std::string>()));
  }
  if (what == "setAside") return done(direct::setPreferencesFileAside(path));
  return reply({{"error", "unknown op: " + what}});
}

void PreferencesService::loop() {
  std::list<Client> clients;
  std::vector<pollfd> polled;
  std::vector<Client*> owners;
  char buffer[65536];
  auto acceptPausedUntil = Clock::time_point::min();
  bool shortageLogged = false;
  for (;;) {
    const auto now = Clock::now();
    for (auto it = clients.begin(); it != clients.end();) {
      if (it->deadline <= now) {
        ::close(it->fd);
        it = clients.erase(it);
      } else {
        ++it;
      }
    }
    polled.clear();
    owners.clear();
    polled.push_back({stopFds_[0], POLLIN, 0});
    owners.push_back(nullptr);
    auto nextDeadline = now + std::chrono::hours(1);
    if (clients.size() < options_.maxClients && now >= acceptPausedUntil) {
      polled.push_back({listenFd_, POLLIN, 0});
      owners.push_back(nullptr);
    } else if (now < acceptPausedUntil) {
      nextDeadline = acceptPausedUntil;
    }
    for (auto& c : clients) {
      polled.push_back({c.fd, static_cast<short>(c.replying ? POLLOUT : POLLIN), 0});
      owners.push_back(&c);
      nextDeadline = std::min(nextDeadline, c.deadline);
    }
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextDeadline - now).count() + 1;
    int n = ::poll(polled.data(), polled.size(), static_cast<int>(std::max<long long>(wait, 1)));
    if (n < 0 && errno != EINTR) {
      NSLog(std::string("[PreferencesService] poll failed: ") + std::strerror(errno));
      break;
    }
    if (n <= 0) continue;
    if (polled[0].revents) break;

    std::vector<Client*> finished;
    for (std::size_t i = 1; i < polled.size(); ++i) {
      if (!polled[i].revents) continue;
      Client* c = owners[i];
      if (!c) {
        // Accept what fits; a refused peer is answered and dropped.
        while (clients.size() < options_.maxClients) {
          int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
          if (fd < 0) {
            if (outOfDescriptors(errno)) {
              if (!shortageLogged)
                NSLog(std::string("[PreferencesService] cannot accept a client: ") + std::strerror(errno) +
                      "; trying again shortly");
              shortageLogged = true;
              acceptPausedUntil = Clock::now() + kAcceptPause;
            }
            break;
          }
          shortageLogged = false;
          Client client{fd, Clock::now() + options_.clientTimeout, {}, {}, 0, false};
          std::string why = refusal(fd, gid_, *options_.group);
          if (!why.empty()) {
            NSLog("[PreferencesService] " + why);
            client.out = reply({{"error", why}});
            client.replying = true;
          }
          clients.push_back(std::move(client));
        }
        continue;
      }
      if (!c->replying) {
        ssize_t got = ::recv(c->fd, buffer, sizeof buffer, 0);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (got <= 0) {
          finished.push_back(c);
          continue;
        }
        c->in.append(buffer, static_cast<std::size_t>(got));
        auto newline = c->in.find('\n');
        if (newline != std::string::npos) {
          c->out = handle(c->in.substr(0, newline));
          c->in.clear();
          c->in.shrink_to_fit();
          c->replying = true;
        } else if (c->in.size() > kMaxRequestBytes) {
          c->out = reply({{"error", "the request is too large"}});
          c->in.clear();
          c->in.shrink_to_fit();
          c->replying = true;
        }
      }
      if (c->replying && (polled[i].revents & (POLLOUT | POLLIN))) {
        ssize_t put = ::send(c->fd, c->out.data() + c->sent, c->out.size() - c->sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (put < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (put <= 0) {
          finished.push_back(c);
          continue;
        }
        c->sent += static_cast<std::size_t>(put);
        if (c->sent == c->out.size()) finished.push_back(c);
      } else if (polled[i].revents & (POLLERR | POLLHUP | POLLNVAL)) {
        finished.push_back(c);
      }
    }
    for (Client* c : finished) {
      ::close(c->fd);
      clients.remove_if([c](const Client& x) { return &x == c; });
    }
  }
  for (auto& c : clients) ::close(c.fd);
}

std::optional<PreferencesFileText> PreferencesService::read(const std::string& path) {
  return preferences_service::read(path);
}
std::optional<std::optional<NEError>> PreferencesService::write(const std::string& path, const std::string& text) {
  return preferences_service::write(path, text);
}
std::optional<std::optional<NEError>> PreferencesService::setAside(const std::string& path) {
  return preferences_service::setAside(path);
}

}  // namespace platform
