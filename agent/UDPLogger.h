#pragma once
// The agent's relay client: prefixed text datagrams to localhost:9899
// (VARDENO_RELAY_AGENT_PORT), one reply read per ready transition.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/network/UdpConnection.h"

namespace agent {

class UDPLogger {
 public:
  using ReplyCallback = std::function<void(const std::vector<uint8_t>&)>;

  static constexpr int kRelayAgentPort = 9899;
  // VARDENO_RELAY_AGENT_PORT when it is a valid port, else 9899.
  static int relayPort();

  explicit UDPLogger(platform::NWEndpoint relay = {"localhost", relayPort()},
                     std::shared_ptr<platform::DispatchQueue> queue = nullptr,
                     platform::UdpConnection::Factory factory = nullptr);

  // Cancels the connection (the agent's logger lives as long as the process).
  ~UDPLogger();
  UDPLogger(const UDPLogger&) = delete;
  UDPLogger& operator=(const UDPLogger&) = delete;

  void setup(ReplyCallback callback);
  void sendAgentLog(const std::optional<std::string>& text);
  void sendUpdateCurrentUser(const std::string& name);
  void sendRequestCurrentUser();

  // Waits until every send made so far has completed, at most `limit`.
  // True when none is left; the exit path calls it so its last lines go out.
  bool flush(std::chrono::milliseconds limit);
  static constexpr std::chrono::milliseconds kExitFlushLimit{200};

  std::shared_ptr<platform::UdpConnection> connection() const;

 private:
  // Sends not yet completed; shared with their completions.
  struct Outstanding {
    std::mutex mutex;
    std::condition_variable done;
    uint64_t count = 0;
  };

  void send(std::string text);
  // Static: the connection's handlers never touch the logger.
  static void sendText(const std::shared_ptr<platform::UdpConnection>& connection, const std::string& text,
                       const std::shared_ptr<Outstanding>& outstanding);
  static void receiveReply(const std::shared_ptr<platform::UdpConnection>& connection, const ReplyCallback& callback);

  platform::NWEndpoint relay_;
  std::shared_ptr<platform::DispatchQueue> queue_;
  platform::UdpConnection::Factory factory_;
  mutable std::mutex mutex_;
  std::shared_ptr<platform::UdpConnection> connection_;
  const std::shared_ptr<Outstanding> outstanding_ = std::make_shared<Outstanding>();
};

}  // namespace agent
