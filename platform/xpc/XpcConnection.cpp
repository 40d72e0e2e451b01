#include "platform/xpc/XpcConnection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "platform/foundation/Describe.h"
#include "platform/foundation/JsonNesting.h"
#include "platform/xpc/XpcConnectionQueue.h"
#include "platform/xpc/XpcWire.h"

namespace platform {
namespace {

nlohmann::json errorAnswer(const nlohmann::json& id, const std::string& error) {
  return nlohmann::json{{"id", id}, {"error", error}};
}

}  // namespace

std::shared_ptr<XpcConnection> XpcConnection::adopt(int fd, const std::string& serviceName, uint64_t number) {
  auto queue = XpcConnectionQueue::make(serviceName + ".connection." + std::to_string(number));
  return std::shared_ptr<XpcConnection>(new XpcConnection(fd, std::move(queue)));
}

XpcConnection::XpcConnection(int fd, std::shared_ptr<DispatchQueue> queue) : fd_(fd), queue_(std::move(queue)) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd_, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0) peerPid_ = credentials.pid;
  timeval sendLimit{5, 0};  // a peer that stops reading cannot hold a writer for ever
  ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
}

XpcConnection::~XpcConnection() { ::close(fd_); }

void XpcConnection::setExportedInterface(XpcInterface interface) {
  std::lock_guard lock(mutex_);
  interface_ = std::move(interface);
}

void XpcConnection::setExportedObject(std::shared_ptr<XpcExportedObject> object) {
  std::lock_guard lock(mutex_);
  object_ = std::move(object);
}

void XpcConnection::resume() {
  if (resumed_.exchange(true) || invalidated_) return;
  std::thread([self = shared_from_this()] { self->readLoop(); }).detach();
}

void XpcConnection::invalidate() {
  if (invalidated_.exchange(true)) return;
  ::shutdown(fd_, SHUT_RDWR);
}

void XpcConnection::readLoop() {
  xpcwire::LineReader reader(fd_);
  std::string line;
  for (;;) {
    auto status = reader.next(line);
    if (status == xpcwire::LineReader::Status::tooLong) {
      answer(errorAnswer(nullptr, "line too long"));
      break;
    }
    if (status != xpcwire::LineReader::Status::line) break;
    handleLine(line);
  }
  invalidate();
  // Let queued calls finish before the last reference can go.
  queue_->async([self = shared_from_this()] {});
}

void XpcConnection::handleLine(const std::string& line) {
  nlohmann::json call;
  if (jsonNestingWithin(line)) call = nlohmann::json::parse(line, nullptr, false);
  if (!call.is_object()) {
    answer(errorAnswer(nullptr, "malformed call"));
    return;
  }
  nlohmann::json id = call.contains("id") ? call["id"] : nlohmann::json();
  if (!id.is_number_integer()) {
    answer(errorAnswer(nullptr, "call without an integer id"));
    return;
  }
  auto selectorField = call.find("selector");
  if (selectorField == call.end() || !selectorField->is_string()) {
    answer(errorAnswer(id, "call without a selector"));
    return;
  }
  const std::string selector = selectorField->get<std::string>();

  XpcMethod method;
  std::shared_ptr<XpcExportedObject> object;
  {
    std::lock_guard lock(mutex_);
    const XpcMethod* found = interface_.method(selector);
    if (!found) {
      answer(errorAnswer(id, "unrecognized selector " + selector));
      return;
    }
    method = *found;
    object = object_;
  }
  if (!object) {
    answer(errorAnswer(id, "no exported object"));
    return;
  }

  nlohmann::json arguments = call.contains("args") ? call["args"] : nlohmann::json::array();
  std::size_t expected = method.arguments.size() - (method.takesReply() ? 1 : 0);
  bool fits = arguments.is_array() && arguments.size() == expected;
  for (std::size_t i = 0; fits && i < expected; ++i)
    if (method.arguments[i] == XpcArgument::text && !arguments[i].is_string()) fits = false;
  if (!fits) {
    answer(errorAnswer(id, "wrong arguments for " + selector));
    return;
  }

  XpcReplyBlock reply;
  if (method.takesReply()) {
    auto used = std::make_shared<std::atomic<bool>>(false);
    std::weak_ptr<XpcConnection> weak = weak_from_this();
    reply = [weak, id, used](nlohmann::json replyArguments) {
      if (used->exchange(true)) return;
      if (!replyArguments.is_array()) replyArguments = nlohmann::json::array({replyArguments});
      if (auto self = weak.lock()) self->answer(nlohmann::json{{"id", id}, {"reply", replyArguments}});
    };
  }
  if (callsInFlight_.fetch_add(1) >= kMaxCallsInFlight) {
    --callsInFlight_;
    answer(errorAnswer(id, "too many calls in flight"));
    return;
  }
  queue_->async([self = shared_from_this(), object, selector, arguments = std::move(arguments), reply, id] {
    // A closed connection's waiting calls are dropped.
    if (!self->invalidated_) {
      try {
        object->invoke(selector, arguments, reply);
      } catch (const std::exception& e) {
        self->answer(errorAnswer(id, std::string("call failed: ") + e.what()));
      }
    }
    --self->callsInFlight_;
  });
}

void XpcConnection::answer(const nlohmann::json& message) {
  if (invalidated_) return;
  std::lock_guard lock(writeMutex_);
  if (!xpcwire::writeLine(fd_, jsonText(message))) invalidate();
}

}  // namespace platform
