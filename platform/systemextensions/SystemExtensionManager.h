#pragma once
// OSSystemExtensionManager stand-in. A request names one extension, has a
// delegate (held weakly) and a callback queue; a back end answers it.
// ScriptedSystemExtensionBackend lets a test answer each request;
// StatefulSystemExtensionBackend keeps $VARDENO_ROOT/systemextensions/state.json.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/networkextension/NEError.h"

namespace platform {

inline constexpr const char* kOSSystemExtensionErrorDomain = "OSSystemExtensionErrorDomain";
enum OSSystemExtensionErrorCode : int {
  OSSystemExtensionErrorUnknown = 1,
  OSSystemExtensionErrorExtensionNotFound = 4,
  OSSystemExtensionErrorRequestCanceled = 11,
  OSSystemExtensionErrorRequestSuperseded = 12,
};

enum class OSSystemExtensionRequestResult : int64_t { completed = 0, willCompleteAfterReboot = 1 };
// "OSSystemExtensionRequestResult(rawValue: 0)", the platform's printed form.
std::string resultDescription(OSSystemExtensionRequestResult result);

enum class OSSystemExtensionReplacementAction : int64_t { cancel = 0, replace = 1 };

struct OSSystemExtensionProperties {
  std::string bundleIdentifier;
  std::string bundleVersion = "1";
  std::string bundleShortVersion = "1.0";
  std::string url;
  bool isEnabled = false;
  bool isAwaitingUserApproval = false;
  bool isUninstalling = false;
};

class OSSystemExtensionRequest;

class OSSystemExtensionRequestDelegate {
 public:
  virtual ~OSSystemExtensionRequestDelegate() = default;
  virtual OSSystemExtensionReplacementAction actionForReplacingExtension(
      const std::shared_ptr<OSSystemExtensionRequest>& request, const OSSystemExtensionProperties& existing,
      const OSSystemExtensionProperties& ext) = 0;
  virtual void requestNeedsUserApproval(const std::shared_ptr<OSSystemExtensionRequest>& request) = 0;
  virtual void didFinishWithResult(const std::shared_ptr<OSSystemExtensionRequest>& request,
                                   OSSystemExtensionRequestResult result) = 0;
  virtual void didFailWithError(const std::shared_ptr<OSSystemExtensionRequest>& request, const NEError& error) = 0;
  virtual void foundProperties(const std::shared_ptr<OSSystemExtensionRequest>& request,
                               const std::vector<OSSystemExtensionProperties>& properties) = 0;
};

class OSSystemExtensionRequest : public std::enable_shared_from_this<OSSystemExtensionRequest> {
 public:
  enum class Kind { activation, deactivation, properties };

  static std::shared_ptr<OSSystemExtensionRequest> activationRequest(std::string identifier,
                                                                      std::shared_ptr<DispatchQueue> queue);
  static std::shared_ptr<OSSystemExtensionRequest> deactivationRequest(std::string identifier,
                                                                        std::shared_ptr<DispatchQueue> queue);
  static std::shared_ptr<OSSystemExtensionRequest> propertiesRequest(std::string identifier,
                                                                      std::shared_ptr<DispatchQueue> queue);

  Kind kind() const { return kind_; }
  const std::string& identifier() const { return identifier_; }
  const std::shared_ptr<DispatchQueue>& queue() const { return queue_; }
  uint64_t serial() const { return serial_; }
  // "<OSSystemExtensionActivationRequest #3: com.example.ext>".
  std::string debugDescription() const;

  void setDelegate(std::weak_ptr<OSSystemExtensionRequestDelegate> delegate);
  std::shared_ptr<OSSystemExtensionRequestDelegate> delegate() const;

  // Each runs the delegate call on the request's queue (nothing when the
  // delegate is gone); for back ends.
  void deliverNeedsUserApproval();
  void deliverFinished(OSSystemExtensionRequestResult result);
  void deliverFailed(NEError error);
  void deliverProperties(std::vector<OSSystemExtensionProperties> properties);
  // Asks on the request's queue; `answer` gets cancel when the delegate is gone.
  void askReplacement(OSSystemExtensionProperties existing, OSSystemExtensionProperties ext,
                      std::function<void(OSSystemExtensionReplacementAction)> answer);

 private:
  OSSystemExtensionRequest(Kind kind, std::string identifier, std::shared_ptr<DispatchQueue> queue);

  Kind kind_;
  std::string identifier_;
  std::shared_ptr<DispatchQueue> queue_;
  uint64_t serial_;
  mutable std::mutex mutex_;
  std::weak_ptr<OSSystemExtensionRequestDelegate> delegate_;
};

class SystemExtensionBackend {
 public:
  virtual ~SystemExtensionBackend() = default;
  virtual void submit(std::shared_ptr<OSSystemExtensionRequest> request) = 0;
};

class OSSystemExtensionManager {
 public:
  explicit OSSystemExtensionManager(std::shared_ptr<SystemExtensionBackend> backend);
  // The stateful back end on the default state file.
  static std::shared_ptr<OSSystemExtensionManager> shared();

  void submitRequest(std::shared_ptr<OSSystemExtensionRequest> request);

 private:
  std::shared_ptr<SystemExtensionBackend> backend_;
};

// Keeps every submitted request for the test to answer.
class ScriptedSystemExtensionBackend : public SystemExtensionBackend {
 public:
  void submit(std::shared_ptr<OSSystemExtensionRequest> request) override;
  std::vector<std::shared_ptr<OSSystemExtensionRequest>> submitted() const;
  // The oldest request not yet taken, or null.
  std::shared_ptr<OSSystemExtensionRequest> takeNext();
  std::size_t pendingCount() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<OSSystemExtensionRequest>> submitted_;
  std::size_t taken_ = 0;
};

// Per identifier: activated, enabled, awaiting approval, uninstalling.
// Activation completes at once, or with VARDENO_SYSEXT_APPROVAL=1 waits
// until the state file shows the extension enabled and no longer awaiting
// approval. Deactivation removes the entry.
class StatefulSystemExtensionBackend : public SystemExtensionBackend,
                                       public std::enable_shared_from_this<StatefulSystemExtensionBackend> {
 public:
  struct Entry {
    bool activated = false;
    bool enabled = false;
    bool awaitingApproval = false;
    bool uninstalling = false;
  };

  StatefulSystemExtensionBackend(std::string statePath, bool needsApproval,
                                 std::chrono::milliseconds approvalPoll = std::chrono::milliseconds(500));
  static std::string defaultPath();

  void submit(std::shared_ptr<OSSystemExtensionRequest> request) override;

  std::optional<Entry> entry(const std::string& identifier) const;

 private:
  void activate(const std::shared_ptr<OSSystemExtensionRequest>& request);
  void waitForApproval(std::shared_ptr<OSSystemExtensionRequest> request);
  OSSystemExtensionProperties properties(const std::string& identifier, const Entry& e) const;
  std::optional<Entry> readEntry(const std::string& identifier, std::optional<NEError>* error) const;
  std::optional<NEError> writeEntry(const std::string& identifier, const std::optional<Entry>& e);

  std::string path_;
  bool needsApproval_;
  std::chrono::milliseconds approvalPoll_;
  std::shared_ptr<DispatchQueue> queue_;
  mutable std::mutex mutex_;
};

}  // namespace platform
