#include "platform/systemextensions/SystemExtensionManager.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

#include "platform/foundation/Defaults.h"
#include "platform/foundation/Describe.h"
#include "platform/networkextension/DnsProxyManager.h"

namespace platform {
namespace {

std::atomic<uint64_t> nextSerial{1};

const char* kindName(OSSystemExtensionRequest::Kind kind) {
  switch (kind) {
    case OSSystemExtensionRequest::Kind::activation: return "OSSystemExtensionActivationRequest";
    case OSSystemExtensionRequest::Kind::deactivation: return "OSSystemExtensionDeactivationRequest";
    case OSSystemExtensionRequest::Kind::properties: return "OSSystemExtensionPropertiesRequest";
  }
  return "OSSystemExtensionRequest";
}

NEError extensionError(int code, std::string description) {
  return NEError{code, kOSSystemExtensionErrorDomain, std::move(description)};
}

}  // namespace

std::string resultDescription(OSSystemExtensionRequestResult result) {
  return "OSSystemExtensionRequestResult(rawValue: " + std::to_string(static_cast<int64_t>(result)) + ")";
}

OSSystemExtensionRequest::OSSystemExtensionRequest(Kind kind, std::string identifier,
                                                   std::shared_ptr<DispatchQueue> queue)
    : kind_(kind), identifier_(std::move(identifier)), queue_(std::move(queue)), serial_(nextSerial++) {}

std::shared_ptr<OSSystemExtensionRequest> OSSystemExtensionRequest::activationRequest(
    std::string identifier, std::shared_ptr<DispatchQueue> queue) {
  return std::shared_ptr<OSSystemExtensionRequest>(
      new OSSystemExtensionRequest(Kind::activation, std::move(identifier), std::move(queue)));
}

std::shared_ptr<OSSystemExtensionRequest> OSSystemExtensionRequest::deactivationRequest(
    std::string identifier, std::shared_ptr<DispatchQueue> queue) {
  return std::shared_ptr<OSSystemExtensionRequest>(
      new OSSystemExtensionRequest(Kind::deactivation, std::move(identifier), std::move(queue)));
}

std::shared_ptr<OSSystemExtensionRequest> OSSystemExtensionRequest::propertiesRequest(
    std::string identifier, std::shared_ptr<DispatchQueue> queue) {
  return std::shared_ptr<OSSystemExtensionRequest>(
      new OSSystemExtensionRequest(Kind::properties, std::move(identifier), std::move(queue)));
}

std::string OSSystemExtensionRequest::debugDescription() const {
  return std::string("<") + kindName(kind_) + " #" + std::to_string(serial_) + ": " + identifier_ + ">";
}

void OSSystemExtensionRequest::setDelegate(std::weak_ptr<OSSystemExtensionRequestDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<OSSystemExtensionRequestDelegate> OSSystemExtensionRequest::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void OSSystemExtensionRequest::deliverNeedsUserApproval() {
  queue_->async([self = shared_from_this()] {
    if (auto d = self->delegate()) d->requestNeedsUserApproval(self);
  });
}

void OSSystemExtensionRequest::deliverFinished(OSSystemExtensionRequestResult result) {
  queue_->async([self = shared_from_this(), result] {
    if (auto d = self->delegate()) d->didFinishWithResult(self, result);
  });
}

void OSSystemExtensionRequest::deliverFailed(NEError error) {
  queue_->async([self = shared_from_this(), error = std::move(error)] {
    if (auto d = self->delegate()) d->didFailWithError(self, error);
  });
}

void OSSystemExtensionRequest::deliverProperties(std::vector<OSSystemExtensionProperties> properties) {
  queue_->async([self = shared_from_this(), properties = std::move(properties)] {
    if (auto d = self->delegate()) d->foundProperties(self, properties);
  });
}

void OSSystemExtensionRequest::askReplacement(OSSystemExtensionProperties existing, OSSystemExtensionProperties ext,
                                              std::function<void(OSSystemExtensionReplacementAction)> answer) {
  queue_->async([self = shared_from_this(), existing = std::move(existing), ext = std::move(ext),
                 answer = std::move(answer)] {
    auto action = OSSystemExtensionReplacementAction::cancel;
    if (auto d = self->delegate()) action = d->actionForReplacingExtension(self, existing, ext);
    if (answer) answer(action);
  });
}

OSSystemExtensionManager::OSSystemExtensionManager(std::shared_ptr<SystemExtensionBackend> backend)
    : backend_(std::move(backend)) {}

std::shared_ptr<OSSystemExtensionManager> OSSystemExtensionManager::shared() {
  static auto manager = [] {
    const char* approval = std::getenv("VARDENO_SYSEXT_APPROVAL");
    bool needsApproval = approval && std::strcmp(approval, "1") == 0;
    return std::make_shared<OSSystemExtensionManager>(std::make_shared<StatefulSystemExtensionBackend>(
        StatefulSystemExtensionBackend::defaultPath(), needsApproval));
  }();
  return manager;
}

void OSSystemExtensionManager::submitRequest(std::shared_ptr<OSSystemExtensionRequest> request) {
  if (request && backend_) backend_->submit(std::move(request));
}

void ScriptedSystemExtensionBackend::submit(std::shared_ptr<OSSystemExtensionRequest> request) {
  std::lock_guard lock(mutex_);
  submitted_.push_back(std::move(request));
}

std::vector<std::shared_ptr<OSSystemExtensionRequest>> ScriptedSystemExtensionBackend::submitted() const {
  std::lock_guard lock(mutex_);
  return submitted_;
}

std::shared_ptr<OSSystemExtensionRequest> ScriptedSystemExtensionBackend::takeNext() {
  std::lock_guard lock(mutex_);
  if (taken_ >= submitted_.size()) return nullptr;
  return submitted_[taken_++];
}

std::size_t ScriptedSystemExtensionBackend::pendingCount() const {
  std::lock_guard lock(mutex_);
  return submitted_.size() - taken_;
}

StatefulSystemExtensionBackend::StatefulSystemExtensionBackend(std::string statePath, bool needsApproval,
                                                               std::chrono::milliseconds approvalPoll)
    : path_(std::move(statePath)),
      needsApproval_(needsApproval),
      approvalPoll_(approvalPoll),
      queue_(DispatchQueue::makeSerial("SystemExtensions - state")) {}

std::string StatefulSystemExtensionBackend::defaultPath() { return machineStoreRoot() + "/systemextensions/state.json"; }

std::optional<StatefulSystemExtensionBackend::Entry> StatefulSystemExtensionBackend::readEntry(
    const std::string& identifier, std::optional<NEError>* error) const {
  PreferencesFileText file = readPreferencesFile(path_);
  if (file.error) {
    if (error) *error = extensionError(OSSystemExtensionErrorUnknown, file.error->description);
    return std::nullopt;
  }
  if (!file.text) return std::nullopt;
  nlohmann::json root = nlohmann::json::parse(*file.text, nullptr, false);
  if (!root.is_object()) return std::nullopt;  // a bad state file counts as empty
  auto it = root.find(identifier);
  if (it == root.end() || !it->is_object()) return std::nullopt;
  auto flag = [&](const char* key) {
    auto f = it->find(key);
    return f != it->end() && f->is_boolean() && f->get<bool>();
  };
  return Entry{flag("activated"), flag("enabled"), flag("awaitingApproval"), flag("uninstalling")};
}

std::optional<NEError> StatefulSystemExtensionBackend::writeEntry(const std::string& identifier,
                                                                  const std::optional<Entry>& e) {
  PreferencesFileText file = readPreferencesFile(path_);
  nlohmann::json root = nlohmann::json::object();
  if (file.text) {
    root = nlohmann::json::parse(*file.text, nullptr, false);
    if (!root.is_object()) root = nlohmann::json::object();
  }
  if (e) {
    root[identifier] = {{"activated", e->activated},
                        {"enabled", e->enabled},
                        {"awaitingApproval", e->awaitingApproval},
                        {"uninstalling", e->uninstalling}};
  } else {
    root.erase(identifier);
  }
  auto error = writePreferencesFile(path_, jsonText(root, 2) + "\n");
  if (error) return extensionError(OSSystemExtensionErrorUnknown, error->description);
  return std::nullopt;
}

std::optional<StatefulSystemExtensionBackend::Entry> StatefulSystemExtensionBackend::entry(
    const std::string& identifier) const {
  std::lock_guard lock(mutex_);
  return readEntry(identifier, nullptr);
}

OSSystemExtensionProperties StatefulSystemExtensionBackend::properties(const std::string& identifier,
                                                                       const Entry& e) const {
  OSSystemExtensionProperties p;
  p.bundleIdentifier = identifier;
  p.url = "file://" + machineStoreRoot() + "/systemextensions/" + identifier + ".systemextension/";
  p.isEnabled = e.enabled;
  p.isAwaitingUserApproval = e.awaitingApproval;
  p.isUninstalling = e.uninstalling;
  return p;
}

void StatefulSystemExtensionBackend::submit(std::shared_ptr<OSSystemExtensionRequest> request) {
  queue_->async([self = shared_from_this(), request = std::move(request)] {
    std::unique_lock lock(self->mutex_);
    std::optional<NEError> error;
    auto current = self->readEntry(request->identifier(), &error);
    if (error) {
      lock.unlock();
      request->deliverFailed(*error);
      return;
    }
    switch (request->kind()) {
      case OSSystemExtensionRequest::Kind::properties: {
        std::vector<OSSystemExtensionProperties> list;
        if (current) list.push_back(self->properties(request->identifier(), *current));
        lock.unlock();
        request->deliverProperties(std::move(list));
        return;
      }
      case OSSystemExtensionRequest::Kind::deactivation: {
        if (!current) {
          lock.unlock();
          request->deliverFailed(extensionError(OSSystemExtensionErrorExtensionNotFound, "Extension not found"));
          return;
        }
        error = self->writeEntry(request->identifier(), std::nullopt);
        lock.unlock();
        if (error) request->deliverFailed(*error);
        else request->deliverFinished(OSSystemExtensionRequestResult::completed);
        return;
      }
      case OSSystemExtensionRequest::Kind::activation: {
        lock.unlock();
        if (current && current->activated) {
          auto existing = self->properties(request->identifier(), *current);
          std::weak_ptr<StatefulSystemExtensionBackend> weak = self;
          request->askReplacement(existing, existing, [weak, request](OSSystemExtensionReplacementAction action) {
            auto backend = weak.lock();
            if (!backend) return;
            if (action == OSSystemExtensionReplacementAction::cancel) {
              request->deliverFailed(extensionError(OSSystemExtensionErrorRequestCanceled, "Request canceled"));
              return;
            }
            backend->queue_->async([backend, request] { backend->activate(request); });
          });
          return;
        }
        self->activate(request);
        return;
      }
    }
  });
}

void StatefulSystemExtensionBackend::activate(const std::shared_ptr<OSSystemExtensionRequest>& request) {
  std::unique_lock lock(mutex_);
  auto current = readEntry(request->identifier(), nullptr);
  bool approved = current && current->enabled && !current->awaitingApproval;
  Entry e{true, !needsApproval_ || approved, needsApproval_ && !approved, false};
  auto error = writeEntry(request->identifier(), e);
  lock.unlock();
  if (error) {
    request->deliverFailed(*error);
  } else if (e.awaitingApproval) {
    request->deliverNeedsUserApproval();
    waitForApproval(request);
  } else {
    request->deliverFinished(OSSystemExtensionRequestResult::completed);
  }
}

void StatefulSystemExtensionBackend::waitForApproval(std::shared_ptr<OSSystemExtensionRequest> request) {
  std::weak_ptr<StatefulSystemExtensionBackend> weak = weak_from_this();
  queue_->asyncAfter(approvalPoll_, [weak, request] {
    auto self = weak.lock();
    if (!self) return;
    auto e = self->entry(request->identifier());
    if (!e) {
      request->deliverFailed(extensionError(OSSystemExtensionErrorRequestCanceled, "Request canceled"));
    } else if (e->enabled && !e->awaitingApproval) {
      request->deliverFinished(OSSystemExtensionRequestResult::completed);
    } else {
      self->waitForApproval(request);
    }
  });
}

}  // namespace platform
