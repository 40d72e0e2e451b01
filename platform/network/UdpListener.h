#pragma once
// Network framework UDP listener stand-in. Binds a port on the given local
// addresses; each new remote endpoint becomes an inbound UdpConnection handed
// to the new-connection handler. Later datagrams from a known endpoint queue
// on its connection (bounded; beyond the bound they are dropped, counted and
// the count is logged).
// A connection leaves the listener when it is cancelled; when too many are
// open, the one quiet the longest is cancelled to make room.
//
// States: setup -> ready, or failed(error) when the first local address
// cannot be bound; cancelled after cancel(). Handlers run on the start queue.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/network/UdpConnection.h"

namespace platform {

struct NWListenerState {
  enum Kind { setup, waiting, ready, failed, cancelled };
  Kind kind = setup;
  std::optional<NWError> error;  // waiting and failed only

  // "setup", "waiting(<error>)", "ready", "failed(<error>)", "cancelled"
  std::string description() const;
};

struct UdpListenerParameters {
  bool fastOpen = false;  // kept for callers; UDP has nothing to open fast
  // The first address must bind; a failure on the others is logged only.
  std::vector<std::string> localAddresses{"127.0.0.1", "::1"};
  // Per connection: room for bursts of thousands of datagrams.
  std::size_t maxQueuedDatagrams = 8192;
  std::size_t maxQueuedBytes = 4 << 20;
  std::size_t maxConnections = 128;
};

class UdpListener {
 public:
  using StateHandler = std::function<void(NWListenerState)>;
  using NewConnectionHandler = std::function<void(std::shared_ptr<UdpConnection>)>;

  // Port 0 picks a free port (see port()). Null for an empty address list.
  static std::shared_ptr<UdpListener> create(UdpListenerParameters parameters, uint16_t port);
  ~UdpListener();
  UdpListener(const UdpListener&) = delete;
  UdpListener& operator=(const UdpListener&) = delete;

  // Install before start().
  void setStateUpdateHandler(StateHandler handler);
  void setNewConnectionHandler(NewConnectionHandler handler);
  // Binds at once; the state change is delivered on `queue`.
  void start(std::shared_ptr<DispatchQueue> queue);
  // Stops receiving and cancels every connection of this listener.
  void cancel();

  NWListenerState state() const;
  // The bound port once started, else the requested one.
  uint16_t port() const;
  // Datagrams dropped because a connection's queue was full.
  uint64_t droppedDatagrams() const;

  struct Shared;

 private:
  UdpListener(UdpListenerParameters parameters, uint16_t port);
  void setState(NWListenerState state);
  void ioLoop();

  std::shared_ptr<Shared> shared_;
  std::thread ioThread_;
};

}  // namespace platform
