#include "platform/networkextension/MemoryUdpFlow.h"

#include "platform/dispatch/Dispatch.h"

namespace platform {

MemoryUdpFlow::MemoryUdpFlow(std::string sourceAppSigningIdentifier, std::shared_ptr<DispatchQueue> completionQueue)
    : hash_(nextFlowHash()), appId_(std::move(sourceAppSigningIdentifier)), queue_(std::move(completionQueue)) {}

void MemoryUdpFlow::complete(std::function<void()> fn) {
  if (queue_) {
    queue_->async(std::move(fn));
    return;
  }
  fn();
}

void MemoryUdpFlow::addRead(std::vector<Datagram> datagrams, std::vector<NWHostEndpoint> endpoints) {
  addRead(Read{std::move(datagrams), std::move(endpoints), std::nullopt});
}

void MemoryUdpFlow::addRead(Read read) {
  std::unique_lock lock(mutex_);
  reads_.push_back(std::move(read));
  deliverPendingRead(lock);
}

void MemoryUdpFlow::failOpenWith(NEError error) {
  std::lock_guard lock(mutex_);
  openError_ = std::move(error);
}

void MemoryUdpFlow::failWritesFrom(size_t index, NEError error) {
  std::lock_guard lock(mutex_);
  writeFailure_ = std::make_pair(index, std::move(error));
}

void MemoryUdpFlow::deliverPendingRead(std::unique_lock<std::mutex>& lock) {
  if (!pendingRead_ || reads_.empty()) return;
  auto completion = std::move(*pendingRead_);
  pendingRead_.reset();
  Read read = std::move(reads_.front());
  reads_.pop_front();
  lock.unlock();
  complete([completion = std::move(completion), read = std::move(read)]() mutable {
    completion(std::move(read.datagrams), std::move(read.endpoints), std::move(read.error));
  });
  lock.lock();
}

void MemoryUdpFlow::openWithLocalEndpoint(std::optional<NWHostEndpoint> localEndpoint, OpenCompletion completion) {
  std::optional<NEError> error;
  {
    std::lock_guard lock(mutex_);
    ++openCount_;
    local_ = std::move(localEndpoint);
    error = openError_;
  }
  complete([completion = std::move(completion), error]() { completion(error); });
}

void MemoryUdpFlow::readDatagrams(ReadCompletion completion) {
  std::unique_lock lock(mutex_);
  ++readCount_;
  if (readClosed_) {
    lock.unlock();
    complete([completion = std::move(completion)]() {
      completion(std::nullopt, std::nullopt,
                 NEError{NEAppProxyFlowErrorNotConnected, kNEAppProxyErrorDomain, "The flow is closed for reading"});
    });
    return;
  }
  pendingRead_ = std::move(completion);
  deliverPendingRead(lock);
}

void MemoryUdpFlow::writeDatagrams(std::vector<Datagram> datagrams, std::vector<NWHostEndpoint> remoteEndpoints,
                                   WriteCompletion completion) {
  std::optional<NEError> error;
  {
    std::lock_guard lock(mutex_);
    size_t index = writeCalls_++;
    if (writeClosed_) {
      error = NEError{NEAppProxyFlowErrorNotConnected, kNEAppProxyErrorDomain, "The flow is closed for writing"};
    } else if (writeFailure_ && index >= writeFailure_->first) {
      error = writeFailure_->second;
    } else {
      writes_.push_back(Write{std::move(datagrams), std::move(remoteEndpoints)});
    }
  }
  complete([completion = std::move(completion), error]() { completion(error); });
}

void MemoryUdpFlow::closeReadWithError(std::optional<NEError> error) {
  std::optional<ReadCompletion> pending;
  {
    std::lock_guard lock(mutex_);
    readClosed_ = true;
    closeReadError_ = std::move(error);
    pending.swap(pendingRead_);
  }
  // A read still waiting ends with an error, as the real flow does.
  if (pending) {
    complete([completion = std::move(*pending)]() {
      completion(std::nullopt, std::nullopt,
                 NEError{NEAppProxyFlowErrorAborted, kNEAppProxyErrorDomain, "The flow was closed for reading"});
    });
  }
}

void MemoryUdpFlow::closeWriteWithError(std::optional<NEError> error) {
  std::lock_guard lock(mutex_);
  writeClosed_ = true;
  closeWriteError_ = std::move(error);
}

std::vector<MemoryUdpFlow::Write> MemoryUdpFlow::writes() const {
  std::lock_guard lock(mutex_);
  return writes_;
}

std::vector<Datagram> MemoryUdpFlow::writtenDatagrams() const {
  std::lock_guard lock(mutex_);
  std::vector<Datagram> all;
  for (const auto& w : writes_) all.insert(all.end(), w.datagrams.begin(), w.datagrams.end());
  return all;
}

int MemoryUdpFlow::openCount() const {
  std::lock_guard lock(mutex_);
  return openCount_;
}

std::optional<NWHostEndpoint> MemoryUdpFlow::openedLocalEndpoint() const {
  std::lock_guard lock(mutex_);
  return local_;
}

int MemoryUdpFlow::readCount() const {
  std::lock_guard lock(mutex_);
  return readCount_;
}

bool MemoryUdpFlow::readClosed() const {
  std::lock_guard lock(mutex_);
  return readClosed_;
}

bool MemoryUdpFlow::writeClosed() const {
  std::lock_guard lock(mutex_);
  return writeClosed_;
}

std::optional<NEError> MemoryUdpFlow::closeReadError() const {
  std::lock_guard lock(mutex_);
  return closeReadError_;
}

std::optional<NEError> MemoryUdpFlow::closeWriteError() const {
  std::lock_guard lock(mutex_);
  return closeWriteError_;
}

NEFlowMetaData MemoryUdpFlow::metaData() const { return NEFlowMetaData{appId_}; }

std::string MemoryUdpFlow::description() const {
  return "MemoryUdpFlow(hash: " + std::to_string(hash_) + ", app: " + appId_ + ")";
}

bool MemoryUdpFlow::isBound() const {
  std::lock_guard lock(mutex_);
  return local_.has_value();
}

std::optional<NWHostEndpoint> MemoryUdpFlow::localEndpoint() const {
  std::lock_guard lock(mutex_);
  return local_;
}

}  // namespace platform
