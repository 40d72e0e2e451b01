#pragma once
// Network framework UDP connection stand-in. The real connection is a
// connect()ed non-blocking UDP socket; callbacks run on the queue given to
// start(). Tests and listeners can subclass UdpConnection.
//
// States: setup -> preparing -> ready, or failed(error). A connection
// keeps itself alive while started and not cancelled or failed; the socket
// is closed on cancel and on failure.
// Sends made before ready are queued and sent on ready. Each
// receiveMessage() takes one whole datagram; pending receives are served in
// FIFO order. An ICMP port unreachable shows as a receive error.
// cancel() delivers `cancelled` once; pending receives and queued sends are
// dropped and their completions are NOT called, nor those of later calls.
// After failed, pending and later completions get the failure's error.
// The state handler is released after the final state (cancelled or
// failed) was delivered, so reference cycles through it end there.
// Hosts: numeric addresses are parsed strictly (inet_pton; "[::1]" too);
// forms such as "2001" or "127.1" are neither addresses nor names and fail.
// Other names go through getaddrinfo, IPv4 results first.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"

namespace platform {

// An error as the platform reports it.
struct NWError {
  enum Domain { posixDomain, dnsDomain };
  int code = 0;
  std::string description;  // "POSIXErrorCode(rawValue: 111): Connection refused"
  Domain domain = posixDomain;

  static NWError posix(int code);
  // A name-resolution failure (getaddrinfo's EAI_* code).
  static NWError dns(int eaiCode);
};

struct NWConnectionState {
  enum Kind { setup, preparing, ready, waiting, failed, cancelled };
  Kind kind = setup;
  std::optional<NWError> error;  // waiting and failed only

  // "setup", "preparing", "ready", "waiting(<error>)", "failed(<error>)", "cancelled"
  std::string description() const;
};

struct NWEndpoint {
  std::string host;
  int port = 0;

  // "host:port", IPv6 hosts in brackets.
  std::string description() const;
};

// The optional debug text of an error, as log lines print it.
std::string optionalDescription(const std::optional<NWError>& error);

class UdpConnection : public std::enable_shared_from_this<UdpConnection> {
 public:
  using StateHandler = std::function<void(NWConnectionState)>;
  using SendCompletion = std::function<void(std::optional<NWError>)>;
  using ReceiveCompletion =
      std::function<void(std::optional<std::vector<uint8_t>> data, bool isComplete, std::optional<NWError> error)>;
  using Factory = std::function<std::shared_ptr<UdpConnection>(const NWEndpoint&)>;

  // A real socket connection to `remote`.
  static std::shared_ptr<UdpConnection> create(NWEndpoint remote);

  virtual ~UdpConnection() = default;

  // Install before start(); called on the start queue at every change.
  virtual void setStateUpdateHandler(StateHandler handler) = 0;
  virtual void start(std::shared_ptr<DispatchQueue> queue) = 0;
  // One whole datagram per call.
  virtual void send(std::vector<uint8_t> datagram, SendCompletion completion) = 0;
  virtual void receiveMessage(ReceiveCompletion completion) = 0;
  virtual void cancel() = 0;
  virtual NWConnectionState state() const = 0;
  virtual const NWEndpoint& endpoint() const = 0;
  // Text of the current path while ready, else none.
  virtual std::optional<std::string> currentPath() const = 0;

 protected:
  UdpConnection() = default;
};

}  // namespace platform
