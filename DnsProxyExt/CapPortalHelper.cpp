#include "DnsProxyExt/CapPortalHelper.h"

#include <cmath>
#include <cstdio>
#include <mutex>
#include <random>

#include "DefaultAddresses.h"
#include "DnsProxyExt/ProviderConfig.h"
#include "DnsProxyExt/Utils.h"
#include "dns/value/Message.h"
#include "dns/object/DNSParser.h"
#include "platform/foundation/Log.h"

namespace dnsproxyext {

namespace {

const std::string kTag = CapPortalHelper::kLogTag;

int64_t wholeSeconds(const platform::Clock& clock) {
  return static_cast<int64_t>(std::floor(clock.wallSeconds()));
}

uint32_t systemRandom() {
  static std::mutex mutex;
  static std::random_device device;
  std::lock_guard lock(mutex);
  return device();
}

}  // namespace

CapPortalHelper::UdpHandler::UdpHandler(std::vector<uint8_t> req, PolicyUDPClient::Environment environment)
    : PolicyUDPClient(std::move(req), std::move(environment), CapPortalHelper::kLogTag) {}

class CapPortalHelper::State : public std::enable_shared_from_this<State> {
 public:
  State(std::vector<std::string> ips, Environment environment) : ips(std::move(ips)), env(std::move(environment)) {
    if (!env.clock) env.clock = platform::Clock::system();
    if (!env.monitor) env.monitor = platform::PathMonitor::create();
    if (!env.random) env.random = systemRandom;
  }

  void checkRegistration() {
    platform::NSLog(kTag + " - check Registration");
    int64_t now = wholeSeconds(*env.clock);
    int64_t last = lastRegistrationTime.load();
    if (now - last < kMinSecondsBetweenChecks) return;
    // Of two flows passing the check together, only one registers.
    if (!lastRegistrationTime.compare_exchange_strong(last, wholeSeconds(*env.clock))) return;
    sendCapPortalRegRequest(ips);
  }

  void sendCapPortalRegRequest(const std::vector<std::string>& addresses) {
    platform::NSLog(kTag + " sendCapPortalRegRequest");
    uint16_t id = static_cast<uint16_t>(env.random() & 0xFFFF);
    const std::map<std::string, std::string> options{{"65007", "1"}};
    platform::NSLog(kTag + ", sendCapPortalRegRequest, serializing query");
    std::vector<uint8_t> encoded;
    try {
      encoded = registrationQuery(id);
    } catch (const std::exception& error) {
      platform::NSLog(kTag + " error of serialization, " + error.what());
      return;
    }
    platform::NSLog(kTag + ", sendCapPortalRegRequest, serialized data - " + std::to_string(encoded.size()));
    auto injected = objectsToDatagrams(datagramsToObjects(
        DnsObjects::DNSParser::injectFlagsToDatagrams(std::vector<std::vector<uint8_t>>{encoded}, options)));
    platform::NSLog(kTag + ", sendCapPortalRegRequest, injected data - " + std::to_string(injected.size()));
    // The injection hands back a datagram it could not rewrite unchanged.
    if (injected.empty() || injected.front() == encoded) {
      platform::NSLog(kTag + ", sendCapPortalRegRequest, injection failed, nothing sent");
      return;
    }
    const std::vector<uint8_t>& datagram = injected.front();
    for (const auto& address : addresses) {
      platform::NSLog(kTag + ", sendCapPortalRegRequest, connecting to " + address);
      auto handler = std::make_shared<UdpHandler>(datagram, env.udp);
      std::weak_ptr<State> weak = weak_from_this();
      auto clock = env.clock;
      handler->setOnPolicyDataReceived(
          [weak, clock, address](std::optional<std::vector<uint8_t>> data, std::optional<bool>,
                                 std::optional<platform::NWError> error) {
            onReply(weak, *clock, address, data, error);
          });
      handler->connectWithUDP(address, env.portalPort);
    }
  }

  static void onReply(const std::weak_ptr<State>& weak, const platform::Clock& clock, const std::string& address,
                      const std::optional<std::vector<uint8_t>>& data, const std::optional<platform::NWError>& error) {
    if (error) {
      platform::NSLog(kTag + ", udp error - " + platform::optionalDescription(error) + ", ip - " + address);
      return;
    }
    if (!data) {
      platform::NSLog(kTag + ", udp received  - data is nil");
      return;
    }
    std::string text = decodeUtf8Lossy(*data);
    if (text.size() != data->size() || !std::equal(text.begin(), text.end(), data->begin())) text.clear();
    platform::NSLog(kTag + ", udp received - " + platform::escapedText(text));
    if (auto self = weak.lock()) self->lastRegistrationTime.store(wholeSeconds(clock));
    try {
      auto message = DnsToolsSocket::Message::deserialize(*data);
      platform::NSLog(kTag + ", udp received, udp - " + message.debugDescription());
    } catch (const std::exception&) {
      platform::NSLog("error of deserialization");
    }
  }

  void startConnectivityListener(std::function<void(const platform::NWPath&)> callback) {
    platform::NSLog(kTag + ": current path: " + env.monitor->currentPath().description());
    std::weak_ptr<State> weak = weak_from_this();
    env.monitor->setPathUpdateHandler([weak, callback](const platform::NWPath& path) {
      if (auto self = weak.lock()) self->onPath(path, callback);
    });
    std::shared_ptr<platform::DispatchQueue> queue;
    {
      std::lock_guard lock(mutex);
      if (!env.monitorQueue) env.monitorQueue = platform::DispatchQueue::makeSerial("VardenoMonitor - network status");
      queue = env.monitorQueue;
    }
    env.monitor->start(queue);
  }

  void onPath(const platform::NWPath& path, const std::function<void(const platform::NWPath&)>& callback) {
    {
      std::lock_guard lock(mutex);
      if (stopped) return;
    }
    platform::NSLog(kTag + " path: " + path.description());
    if (path.status == platform::NWPath::Status::satisfied) {
      platform::NSLog(kTag + "  connected!");
      sendCapPortalRegRequest(ips);
      std::weak_ptr<State> weak = weak_from_this();
      std::lock_guard lock(mutex);
      // A stop that ran meanwhile wins: no timer after it.
      if (!stopped) {
        if (timer) timer->cancel();
        timer = platform::DispatchTimer::make(env.monitorQueue, kDoRegistrationEach, [weak] {
          auto self = weak.lock();
          if (!self) return;
          {
            std::lock_guard timerLock(self->mutex);
            if (self->stopped) return;
          }
          self->sendCapPortalRegRequest(self->ips);
        });
      }
    } else {
      platform::NSLog(kTag + " " + path.statusText() + ": No connection.");
      sendCapPortalRegRequest(ips);
    }
    if (callback) callback(path);
    std::fputs(path.isExpensive ? "true\n" : "false\n", stdout);
    std::fflush(stdout);
  }

  void stop() {
    std::shared_ptr<platform::DispatchTimer> current;
    {
      std::lock_guard lock(mutex);
      stopped = true;
      current = timer;
    }
    env.monitor->cancel();
    if (current) current->cancel();
  }

  std::shared_ptr<platform::DispatchTimer> currentTimer() const {
    std::lock_guard lock(mutex);
    return timer;
  }

  const std::vector<std::string> ips;
  Environment env;
  std::atomic<int64_t> lastRegistrationTime{0};
  mutable std::mutex mutex;
  std::shared_ptr<platform::DispatchTimer> timer;
  bool stopped = false;
};

CapPortalHelper::CapPortalHelper(std::vector<std::string> ips, Environment environment)
    : state_(std::make_shared<State>(std::move(ips), std::move(environment))) {
  platform::NSLog(kTag + ": init,  ips - " + describe(state_->ips));
}

CapPortalHelper::~CapPortalHelper() { state_->stop(); }

std::vector<uint8_t> CapPortalHelper::registrationQuery(uint16_t id) {
  DnsToolsSocket::Message message;
  message.id = id;
  message.type = DnsToolsSocket::MessageType::query;
  message.operationCode = 0;
  message.authoritativeAnswer = true;
  message.truncation = false;
  message.recursionDesired = false;
  message.recursionAvailable = false;
  message.returnCode = 0;
  DnsToolsSocket::Question question;
  question.name = vardeno::defaults::kCaptivePortalHost;
  question.type = 1;
  question.internetClass = 1;
  question.unique = false;
  message.questions.push_back(question);
  return message.serialize();
}

void CapPortalHelper::checkRegistration() { state_->checkRegistration(); }

void CapPortalHelper::startConnectivityListener() { state_->startConnectivityListener(nullptr); }

void CapPortalHelper::startConnectivityListener(std::function<void(const platform::NWPath&)> connectivityDidChanged) {
  state_->startConnectivityListener(std::move(connectivityDidChanged));
}

void CapPortalHelper::stopConnectivityListener() { state_->stop(); }

std::shared_ptr<platform::DispatchTimer> CapPortalHelper::doRegistrationTimer() const { return state_->currentTimer(); }

int64_t CapPortalHelper::lastRegistrationTime() const { return state_->lastRegistrationTime.load(); }

const std::vector<std::string>& CapPortalHelper::ips() const { return state_->ips; }

}  // namespace dnsproxyext
