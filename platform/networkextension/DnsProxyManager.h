#pragma once
// NEDNSProxyManager stand-in: loads, changes and saves the DNS proxy
// preferences in $VARDENO_ROOT/networkextension/dnsproxy.json, the file the
// extension host watches. File I/O runs on a worker queue; completions run
// on the completion queue (the main queue by default). The properties
// belong to the completion queue's thread.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/dispatch/Dispatch.h"
#include "platform/networkextension/NEError.h"
#include "platform/networkextension/PreferencesFiles.h"

namespace platform {

// "Error Domain=<domain> Code=<code> \"<description>\"".
std::string errorDebugDescription(const NEError& error);
// Optional(<debug description>) or nil.
std::string optionalDescription(const std::optional<NEError>& error);

struct NEDNSProxyProviderProtocol {
  std::string serverAddress;
  std::string providerBundleIdentifier;
  std::optional<nlohmann::json> providerConfiguration;  // a JSON object
  bool includeAllNetworks = false;
  bool excludeLocalNetworks = false;
};

class NEDNSProxyManager : public std::enable_shared_from_this<NEDNSProxyManager> {
 public:
  using Completion = std::function<void(std::optional<NEError>)>;

  // Made through std::make_shared (completions keep the manager alive).
  NEDNSProxyManager(std::string path, std::shared_ptr<DispatchQueue> completionQueue,
                    std::shared_ptr<DispatchQueue> ioQueue);

  // The manager of the default file, completing on the main queue.
  static std::shared_ptr<NEDNSProxyManager> shared();
  static std::string defaultPath();

  // A missing file loads as empty preferences; so does a corrupt one, which
  // is kept as <file>.corrupt (logged) and replaced by fresh preferences.
  // An unreadable file is an error and leaves the properties as they were.
  void loadFromPreferences(Completion completion);
  // Writes the properties as they are now (atomically, mode 0600).
  void saveToPreferences(Completion completion);

  std::optional<NEDNSProxyProviderProtocol> providerProtocol;
  bool isEnabled = false;
  std::string localizedDescription;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::shared_ptr<DispatchQueue> completionQueue_;
  std::shared_ptr<DispatchQueue> ioQueue_;
};

}  // namespace platform
