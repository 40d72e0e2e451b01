#pragma once
// The UDP plumbing the resolver clients share: one connection at a time, one
// deadline for all answers, every query sent once the connection is ready and
// each answer tied to its query. A client says through the hooks what an
// answer, a partial read or the end means to its owner, and delivers it in
// order through delivery_. Create clients with make_shared: the connection's
// handlers keep them alive until they have finished.
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dns/client/AnswerMatcher.h"
#include "dns/client/SerialDelivery.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/network/UdpConnection.h"

namespace DnsToolsSocket {

class UdpAnswerExchange : public std::enable_shared_from_this<UdpAnswerExchange> {
 public:
  virtual ~UdpAnswerExchange();
  UdpAnswerExchange(const UdpAnswerExchange&) = delete;
  UdpAnswerExchange& operator=(const UdpAnswerExchange&) = delete;

  std::shared_ptr<platform::UdpConnection> connection() const;

 protected:
  // How the logs name the client and the read: "<client> ...", "<key> = <id>".
  struct LogNames {
    std::string client;
    std::string key;
    std::string id;
  };

  // Empty makeConnection or queue: a real UDP socket, the global default-QoS queue.
  UdpAnswerExchange(std::vector<std::vector<uint8_t>> queries, LogNames names,
                    platform::UdpConnection::Factory makeConnection, std::shared_ptr<platform::DispatchQueue> queue,
                    std::chrono::nanoseconds answerDeadline);

  // Opens a connection to `remote` (replacing one still open) and arms the deadline.
  void connectToUDP(const platform::NWEndpoint& remote);
  // Under mutex_: false when the read has ended already; else ends it.
  bool beginFinishLocked();
  bool isOpenLocked() const { return !finished_; }

  // The read cannot be answered (deadline, failed connection): end it with `error`.
  virtual void fail(platform::NWError error) = 0;
  // Under mutex_: the answer to query `matched`; `last` when it is the last one.
  virtual void answerLocked(std::vector<uint8_t> answer, size_t matched, bool last, size_t answered) = 0;
  // A receive for query `index` that brought no complete datagram.
  virtual void incomplete(std::optional<std::vector<uint8_t>>, size_t, std::optional<platform::NWError>) {}
  // There were no queries; the read has ended. `connection` is still current.
  virtual void endWithoutQueries(const std::shared_ptr<platform::UdpConnection>& connection) = 0;
  virtual void stateChanged(const platform::NWConnectionState&) {}
  virtual void sent() {}

  const std::vector<std::vector<uint8_t>> queries_;
  const LogNames names_;
  const std::string tag_;  // "<key> = <id>"
  platform::UdpConnection::Factory makeConnection_;
  std::shared_ptr<platform::DispatchQueue> queue_;
  const std::chrono::nanoseconds answerDeadline_;

  mutable std::mutex mutex_;
  std::shared_ptr<platform::UdpConnection> connection_;
  SerialDelivery delivery_;

 private:
  bool isCurrentLocked(const std::shared_ptr<platform::UdpConnection>& connection) const {
    return !finished_ && connection_ == connection;
  }
  void handleState(const std::shared_ptr<platform::UdpConnection>& connection, const platform::NWConnectionState& state);
  void sendAll(const std::shared_ptr<platform::UdpConnection>& connection);
  void armReceive(const std::shared_ptr<platform::UdpConnection>& connection,
                  const std::shared_ptr<AnswerMatcher>& matcher, size_t index);
  void handleReceive(const std::shared_ptr<platform::UdpConnection>& connection,
                     const std::shared_ptr<AnswerMatcher>& matcher, size_t index,
                     std::optional<std::vector<uint8_t>> content, bool isComplete,
                     std::optional<platform::NWError> error);

  std::shared_ptr<platform::DispatchWorkItem> deadline_;
  bool finished_ = false;
};

}  // namespace DnsToolsSocket
