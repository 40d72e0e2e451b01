#pragma once
// A UDP flow of one client endpoint on one listening socket, as the flow
// host hands it to the provider: the datagrams of one read. State lives
// under the lock of the host's shard that holds the flow.
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/networkextension/NEAppProxyUDPFlow.h"
#include "platform/network/SocketAddress.h"

namespace platform {

class UdpFlowHost;

class HostUdpFlow : public NEAppProxyUDPFlow {
 public:
  // `socket`: the host's socket that received the flow and answers it;
  // `asked`: the address the client sent to, answers leave from it (none:
  // the socket's own); `worker`: the worker loop that runs its callbacks;
  // `shard`: the host's shard that holds the flow, `mutex` its lock.
  HostUdpFlow(std::shared_ptr<UdpFlowHost> host, size_t listenerIndex, size_t socket, size_t worker,
              SocketAddress client, std::optional<SocketAddress> asked, size_t shard, std::mutex& mutex,
              uint32_t generation);

  void openWithLocalEndpoint(std::optional<NWHostEndpoint> localEndpoint, OpenCompletion completion) override;
  void readDatagrams(ReadCompletion completion) override;
  void writeDatagrams(std::vector<Datagram> datagrams, std::vector<NWHostEndpoint> remoteEndpoints,
                      WriteCompletion completion) override;
  void closeReadWithError(std::optional<NEError> error) override;
  void closeWriteWithError(std::optional<NEError> error) override;

  NEFlowMetaData metaData() const override { return metaData_; }
  uint64_t hash() const override { return hash_; }
  std::string description() const override;
  bool isBound() const override;
  std::optional<NWHostEndpoint> localEndpoint() const override;
  std::optional<std::string> networkInterface() const override { return std::nullopt; }

  const SocketAddress& client() const { return client_; }
  const NWHostEndpoint& remoteEndpoint() const { return remote_; }
  size_t listenerIndex() const { return listenerIndex_; }

 private:
  friend class UdpFlowHost;

  void post(std::function<void()> fn) { queue_->async(std::move(fn)); }

  const std::shared_ptr<UdpFlowHost> host_;
  const size_t listenerIndex_;
  const size_t socket_;
  const size_t worker_;
  const size_t shard_;
  const uint32_t generation_;
  const std::shared_ptr<DispatchQueue> queue_;  // the flow's callbacks
  std::mutex& mutex_;
  const SocketAddress client_;
  const std::optional<SocketAddress> asked_;
  const NWHostEndpoint remote_;
  const uint64_t hash_;
  NEFlowMetaData metaData_;  // set before the provider sees the flow

  // Guarded by mutex_.
  std::vector<Datagram> pending_;
  std::optional<ReadCompletion> pendingRead_;
  std::optional<NWHostEndpoint> local_;
  bool readClosed_ = false;
  bool writeClosed_ = false;
  bool finished_ = false;  // out of the host's tables
  bool inSlot_ = false;    // takes its endpoint's new datagrams
  size_t bytes_ = 0;       // charged to the host's budget
  std::chrono::steady_clock::time_point lastActivity_;
};

}  // namespace platform
