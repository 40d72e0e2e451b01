#pragma once
// In-memory UDP flow for tests: scripted reads, recorded writes and closes,
// injectable failures. Completions run on the given queue, or inline when
// no queue is given.
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/networkextension/NEAppProxyUDPFlow.h"

namespace platform {

class DispatchQueue;

class MemoryUdpFlow : public NEAppProxyUDPFlow {
 public:
  struct Read {
    std::optional<std::vector<Datagram>> datagrams;
    std::optional<std::vector<NWHostEndpoint>> endpoints;
    std::optional<NEError> error;
  };
  struct Write {
    std::vector<Datagram> datagrams;
    std::vector<NWHostEndpoint> endpoints;
  };

  explicit MemoryUdpFlow(std::string sourceAppSigningIdentifier = "",
                         std::shared_ptr<DispatchQueue> completionQueue = nullptr);

  // Script: each readDatagrams call takes the next Read; with none left the
  // read stays pending until one is added.
  void addRead(std::vector<Datagram> datagrams, std::vector<NWHostEndpoint> endpoints);
  void addRead(Read read);
  void failOpenWith(NEError error);
  // The n-th write (0-based) and every later one fail with the error.
  void failWritesFrom(size_t index, NEError error);

  std::vector<Write> writes() const;
  std::vector<Datagram> writtenDatagrams() const;
  int openCount() const;
  std::optional<NWHostEndpoint> openedLocalEndpoint() const;
  int readCount() const;
  bool readClosed() const;
  bool writeClosed() const;
  std::optional<NEError> closeReadError() const;
  std::optional<NEError> closeWriteError() const;

  void openWithLocalEndpoint(std::optional<NWHostEndpoint> localEndpoint, OpenCompletion completion) override;
  void readDatagrams(ReadCompletion completion) override;
  void writeDatagrams(std::vector<Datagram> datagrams, std::vector<NWHostEndpoint> remoteEndpoints,
                      WriteCompletion completion) override;
  void closeReadWithError(std::optional<NEError> error) override;
  void closeWriteWithError(std::optional<NEError> error) override;

  NEFlowMetaData metaData() const override;
  uint64_t hash() const override { return hash_; }
  std::string description() const override;
  bool isBound() const override;
  std::optional<NWHostEndpoint> localEndpoint() const override;
  std::optional<std::string> networkInterface() const override { return std::nullopt; }

 private:
  void complete(std::function<void()> fn);
  void deliverPendingRead(std::unique_lock<std::mutex>& lock);

  const uint64_t hash_;
  const std::string appId_;
  const std::shared_ptr<DispatchQueue> queue_;
  mutable std::mutex mutex_;
  std::deque<Read> reads_;
  std::optional<ReadCompletion> pendingRead_;
  std::vector<Write> writes_;
  std::optional<NEError> openError_;
  std::optional<std::pair<size_t, NEError>> writeFailure_;
  size_t writeCalls_ = 0;
  int openCount_ = 0;
  int readCount_ = 0;
  std::optional<NWHostEndpoint> local_;
  bool readClosed_ = false;
  bool writeClosed_ = false;
  std::optional<NEError> closeReadError_;
  std::optional<NEError> closeWriteError_;
};

}  // namespace platform
