#include "platform/xpc/XpcClient.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/foundation/Describe.h"

namespace platform {

std::unique_ptr<XpcClient> XpcClient::connect(const std::string& serviceName, std::string* error) {
  auto fail = [error](std::string why) -> std::unique_ptr<XpcClient> {
    if (error) *error = std::move(why);
    return nullptr;
  };
  auto path = xpcwire::socketPath(serviceName);
  if (!path) return fail("bad service name");
  sockaddr_un address{};
  if (path->size() >= sizeof address.sun_path) return fail("socket path too long");
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path->c_str(), path->size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(std::strerror(errno));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    int err = errno;
    ::close(fd);
    return fail(*path + ": " + std::strerror(err));
  }
  return std::unique_ptr<XpcClient>(new XpcClient(fd));
}

XpcClient::XpcClient(int fd) : fd_(fd), reader_(fd) {}

XpcClient::~XpcClient() { ::close(fd_); }

bool XpcClient::sendLine(const std::string& line) { return xpcwire::writeLine(fd_, line); }

bool XpcClient::post(const std::string& selector, const nlohmann::json& arguments) {
  nlohmann::json call{{"id", nextId_++}, {"selector", selector}, {"args", arguments}};
  return sendLine(jsonText(call));
}

std::optional<nlohmann::json> XpcClient::readMessage(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string line;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) return std::nullopt;
    if (reader_.next(line, static_cast<int>(left.count())) != xpcwire::LineReader::Status::line) return std::nullopt;
    auto message = nlohmann::json::parse(line, nullptr, false);
    if (message.is_object()) return message;
  }
}

XpcClient::Answer XpcClient::call(const std::string& selector, const nlohmann::json& arguments,
                                  std::chrono::milliseconds timeout) {
  const int64_t id = nextId_;
  Answer answer;
  if (!post(selector, arguments)) return answer;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    auto message = readMessage(left.count() > 0 ? left : std::chrono::milliseconds(0));
    if (!message) return answer;
    auto idField = message->find("id");
    if (idField == message->end() || !idField->is_number_integer() || idField->get<int64_t>() != id) continue;
    if (auto reply = message->find("reply"); reply != message->end()) answer.reply = *reply;
    if (auto error = message->find("error"); error != message->end())
      answer.error = error->is_string() ? error->get<std::string>() : error->dump();
    return answer;
  }
}

bool XpcClient::closedByPeer(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string line;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) return false;
    auto status = reader_.next(line, static_cast<int>(left.count()));
    if (status == xpcwire::LineReader::Status::closed) return true;
    if (status == xpcwire::LineReader::Status::timedOut) return false;
  }
}

}  // namespace platform
