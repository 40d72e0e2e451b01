#include "platform/networkextension/PreferencesServiceClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <nlohmann/json.hpp>

#include "platform/foundation/Defaults.h"
#include "platform/foundation/Describe.h"

namespace platform::preferences_service {
namespace {

using Clock = std::chrono::steady_clock;

// The store's files a client may name.
constexpr std::array<const char*, 3> kServedFiles = {
    "networkextension/dnsproxy.json", "networkextension/contentfilter.json", "systemextensions/state.json"};

constexpr std::size_t kMaxReplyBytes = 8 * kMaxPreferencesBytes;
constexpr auto kClientExchangeTime = std::chrono::seconds(5);

std::string reply(const nlohmann::json& value) { return jsonText(value) + "\n"; }

// The file's name in the store, none when it is not one of the served files.
std::optional<std::string> nameInStore(const std::string& path) {
  std::string root = machineStoreRoot();
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (path.size() <= root.size() + 1 || path.compare(0, root.size(), root) != 0 || path[root.size()] != '/')
    return std::nullopt;
  std::string name = path.substr(root.size() + 1);
  if (!servedFile(name)) return std::nullopt;
  return name;
}

// One exchange with the service; the reply object, or an error.
nlohmann::json exchange(const nlohmann::json& request) {
  auto failed = [](const std::string& why) { return nlohmann::json{{"error", why}}; };
  const std::string path = socketPath(machineStoreRoot());
  sockaddr_un address;
  if (!fillAddress(path, address)) return failed("socket path too long: " + path);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return failed(std::string("socket: ") + std::strerror(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  const auto deadline = Clock::now() + kClientExchangeTime;
  auto wait = [&](short events) {
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{fd, events, 0};
      int n = ::poll(&p, 1, static_cast<int>(left));
      if (n > 0) return true;
      if (n < 0 && errno != EINTR) return false;
    }
  };
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno != EAGAIN &&
      errno != EINPROGRESS)
    return failed("the preferences service at " + path + " is not reachable: " + std::strerror(errno));
  const std::string text = reply(request);
  for (std::size_t sent = 0; sent < text.size();) {
    if (!wait(POLLOUT)) return failed("the preferences service did not answer in time");
    ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) {
      // A refused peer is answered and dropped before its request is read.
      break;
    }
    sent += static_cast<std::size_t>(n);
  }
  std::string in;
  char buffer[65536];
  while (in.find('\n') == std::string::npos) {
    if (!wait(POLLIN)) return failed("the preferences service did not answer in time");
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return failed("the preferences service closed the connection");
    in.append(buffer, static_cast<std::size_t>(n));
    if (in.size() > kMaxReplyBytes) return failed("the preferences service's reply is too large");
  }
  auto answer = nlohmann::json::parse(in.substr(0, in.find('\n')), nullptr, false);
  if (!answer.is_object()) return failed("the preferences service's reply is not a JSON object");
  return answer;
}

std::optional<NEError> errorOf(const nlohmann::json& answer) {
  auto it = answer.find("error");
  if (it == answer.end()) return std::nullopt;
  std::string text = it->is_string() ? it->get<std::string>() : jsonText(*it);
  int code = text.rfind("refused", 0) == 0 ? NEConfigurationErrorPermission : NEConfigurationErrorInternal;
  return serviceError(code, "preferences service: " + text);
}

}  // namespace

std::string socketPath(const std::string& root) { return root + "/networkextension/manager.sock"; }

NEError serviceError(int code, std::string description) {
  return NEError{code, kNEConfigurationErrorDomain, std::move(description)};
}

bool fillAddress(const std::string& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

bool servedFile(const std::string& name) {
  return std::any_of(kServedFiles.begin(), kServedFiles.end(), [&](const char* f) { return name == f; });
}

std::optional<PreferencesFileText> read(const std::string& path) {
  auto name = nameInStore(path);
  if (!name) return std::nullopt;
  auto answer = exchange({{"op", "read"}, {"name", *name}});
  if (auto error = errorOf(answer)) return PreferencesFileText{std::nullopt, error};
  auto exists = answer.find("exists");
  if (exists == answer.end() || !exists->is_boolean())
    return PreferencesFileText{std::nullopt, serviceError(NEConfigurationErrorInternal, "preferences service: bad reply")};
  if (!exists->get<bool>()) return PreferencesFileText{};
  auto text = answer.find("text");
  if (text == answer.end() || !text->is_string())
    return PreferencesFileText{std::nullopt, serviceError(NEConfigurationErrorInternal, "preferences service: bad reply")};
  return PreferencesFileText{text->get<std::string>(), std::nullopt};
}

std::optional<std::optional<NEError>> write(const std::string& path, const std::string& text) {
  auto name = nameInStore(path);
  if (!name) return std::nullopt;
  return errorOf(exchange({{"op", "write"}, {"name", *name}, {"text", text}}));
}

std::optional<std::optional<NEError>> setAside(const std::string& path) {
  auto name = nameInStore(path);
  if (!name) return std::nullopt;
  return errorOf(exchange({{"op", "setAside"}, {"name", *name}}));
}

}  // namespace platform::preferences_service
