#pragma once
// A loopback UDP server on a port picked by the system, for tests: records
// every datagram it gets and answers through a replaceable handler.
#include <string>

#include "support/LoopbackUdpServer.h"

namespace testing_support {

class FakeUdpServer : public LoopbackUdpServer {
 public:
  using Bytes = testing_support::Bytes;
  using LoopbackUdpServer::LoopbackUdpServer;

  int port() const { return address().port(); }
  std::string hostText() const { return "127.0.0.1:" + std::to_string(port()); }
};

}  // namespace testing_support
