#include "dns/client/DnsSafeSearchClient.h"

#include <cerrno>
#include <utility>

#include "dns/client/DnsServerSettings.h"
#include "platform/foundation/Log.h"

namespace DnsToolsSocket {

using platform::NSLog;
using platform::NWError;
using platform::UdpConnection;

DnsSafeSearchClient::DnsSafeSearchClient(std::vector<std::vector<uint8_t>> data, std::optional<std::string> url,
                                         Callback onDataReceived)
    : DnsSafeSearchClient(std::move(data), std::move(url), std::move(onDataReceived), Environment{}) {}

DnsSafeSearchClient::DnsSafeSearchClient(std::vector<std::vector<uint8_t>> data, std::optional<std::string> url,
                                         Callback callback, Environment environment)
    : UdpAnswerExchange(std::move(data), LogNames{"DnsSafeSearchClient", "url", platform::optionalText(url)},
                        std::move(environment.makeConnection), std::move(environment.queue),
                        environment.answerDeadline),
      onDataReceived(std::move(callback)),
      url_(std::move(url)),
      server_(std::move(environment.server)) {
  NSLog("init new DnsSafeSearchClient, url = " + url_.value_or("nil"));
}

void DnsSafeSearchClient::start() {
  connectToUDP(server_.value_or(platform::NWEndpoint{DnsServerSettings::hostUDP(), DnsServerSettings::portUDP()}));
}

void DnsSafeSearchClient::endWithoutQueries(const std::shared_ptr<UdpConnection>& connection) {
  {
    std::lock_guard lock(mutex_);
    connection_.reset();
  }
  connection->cancel();
}

void DnsSafeSearchClient::answerLocked(std::vector<uint8_t>, size_t, bool last, size_t answered) {
  enqueueLocked(last, std::nullopt, last, answered);
}

void DnsSafeSearchClient::fail(NWError error) {
  {
    std::lock_guard lock(mutex_);
    if (!beginFinishLocked()) return;
    enqueueLocked(false, std::move(error), true, 0);
  }
  delivery_.drain();
}

void DnsSafeSearchClient::enqueueLocked(std::optional<bool> allAnswered, std::optional<NWError> error,
                                        bool cancelAfter, size_t answered) {
  delivery_.enqueue([self = self(), allAnswered, error = std::move(error), cancelAfter, answered]() mutable {
    const bool isAnswer = !error;
    if (isAnswer) {
      NSLog("Udp received, url = " + self->urlText_ + ", arr.count = " + std::to_string(answered) +
            ", content.count = " + std::to_string(self->queries_.size()));
    }
    if (self->onDataReceived) {
      self->onDataReceived(allAnswered, std::move(error));
    } else {
      NSLog("DnsSafeSearchClient onDataReceived is not set, url = " + self->urlText_);
    }
    if (!cancelAfter) return;
    std::shared_ptr<UdpConnection> connection;
    {
      std::lock_guard lock(self->mutex_);
      connection = std::move(self->connection_);
    }
    if (!connection) return;
    if (isAnswer) {
      const std::string r = std::to_string(answered);
      NSLog("self.connection?.cancel(), arr.count = " + r + ", content count = " + r + ", url = " + self->urlText_);
    }
    connection->cancel();
  });
}

}  // namespace DnsToolsSocket
