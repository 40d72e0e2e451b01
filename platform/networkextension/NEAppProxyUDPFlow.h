#pragma once
// A UDP flow handed to a DNS proxy provider: all datagrams of one client
// endpoint. Completions arrive on a queue of the stand-in, never inline
// on the caller's stack unless a test double is told to.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/networkextension/NEError.h"
#include "platform/networkextension/NEFlowMetaData.h"
#include "platform/networkextension/NWHostEndpoint.h"

namespace platform {

using Datagram = std::vector<uint8_t>;

class NEAppProxyUDPFlow : public std::enable_shared_from_this<NEAppProxyUDPFlow> {
 public:
  using OpenCompletion = std::function<void(std::optional<NEError>)>;
  using ReadCompletion = std::function<void(std::optional<std::vector<Datagram>> datagrams,
                                            std::optional<std::vector<NWHostEndpoint>> remoteEndpoints,
                                            std::optional<NEError> error)>;
  using WriteCompletion = std::function<void(std::optional<NEError>)>;

  virtual ~NEAppProxyUDPFlow() = default;

  virtual void openWithLocalEndpoint(std::optional<NWHostEndpoint> localEndpoint, OpenCompletion completion) = 0;
  // Delivers every datagram pending on the flow, or waits for the next one.
  virtual void readDatagrams(ReadCompletion completion) = 0;
  // datagrams[i] goes toward remoteEndpoints[i].
  virtual void writeDatagrams(std::vector<Datagram> datagrams, std::vector<NWHostEndpoint> remoteEndpoints,
                              WriteCompletion completion) = 0;
  virtual void closeReadWithError(std::optional<NEError> error) = 0;
  virtual void closeWriteWithError(std::optional<NEError> error) = 0;

  virtual NEFlowMetaData metaData() const = 0;
  // Unique per flow, never reused within the process.
  virtual uint64_t hash() const = 0;
  virtual std::string description() const = 0;
  virtual bool isBound() const = 0;
  virtual std::optional<NWHostEndpoint> localEndpoint() const = 0;
  virtual std::optional<std::string> networkInterface() const = 0;

  // A fresh value from the process-wide flow counter (starts at 1).
  static uint64_t nextFlowHash();
};

}  // namespace platform
