#pragma once
// A small synchronous client of an XPC stand-in service (tools and tests).
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/xpc/XpcWire.h"

namespace platform {

class XpcClient {
 public:
  struct Answer {
    std::optional<nlohmann::json> reply;  // the reply block's arguments
    std::optional<std::string> error;     // the service refused the call
    bool answered() const { return reply || error; }
  };

  // Null (with `error` set when given) when the service is not there.
  static std::unique_ptr<XpcClient> connect(const std::string& serviceName, std::string* error = nullptr);
  ~XpcClient();
  XpcClient(const XpcClient&) = delete;
  XpcClient& operator=(const XpcClient&) = delete;

  // Sends a call and waits for its answer; unanswered when time runs out or
  // the service closes the connection.
  Answer call(const std::string& selector, const nlohmann::json& arguments,
              std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Sends a call without waiting (methods without a reply block).
  bool post(const std::string& selector, const nlohmann::json& arguments);
  // Raw access for tests of hostile input.
  bool sendLine(const std::string& line);
  std::optional<nlohmann::json> readMessage(std::chrono::milliseconds timeout);
  // True once the service has closed the connection.
  bool closedByPeer(std::chrono::milliseconds timeout);

 private:
  explicit XpcClient(int fd);
  int fd_;
  int64_t nextId_ = 1;
  xpcwire::LineReader reader_;
};

}  // namespace platform
