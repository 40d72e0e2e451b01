#include "platform/DnsProxyManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/Defaults.h"
#include "platform/Log.h"
#include "platform/ProviderPreferences.h"

namespace platform {
namespace {

constexpr std::size_t kMaxPreferencesBytes = 4 << 20;

NEError configurationError(int code, std::string description) {
  return NEError{code, kNEConfigurationErrorDomain, std::move(description)};
}

}  // namespace

std::string errorDebugDescription(const NEError& error) {
  return "Error Domain=" + error.domain + " Code=" + std::to_string(error.code) + " " + quotedText(error.description);
}

std::string optionalDescription(const std::optional<NEError>& error) {
  return error ? "Optional(" + errorDebugDescription(*error) + ")" : "nil";
}

PreferencesFileText readPreferencesFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return {};
    return {std::nullopt, configurationError(NEConfigurationErrorInternal,
                                             "cannot read " + path + ": " + std::strerror(errno))};
  }
  std::string text;
  char buffer[8192];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      close(fd);
      return {std::nullopt, configurationError(NEConfigurationErrorInternal,
                                               "cannot read " + path + ": " + std::strerror(err))};
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > kMaxPreferencesBytes) {
      close(fd);
      return {std::nullopt, configurationError(NEConfigurationErrorInvalid, path + " is too large")};
    }
  }
  close(fd);
  return {std::move(text), std::nullopt};
}

std::optional<NEError> writePreferencesFile(const std::string& path, const std::string& text) {
  static std::atomic<unsigned> counter{0};
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  std::string temp = path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter++);
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return configurationError(NEConfigurationErrorInternal, "cannot write " + temp + ": " + std::strerror(errno));
  fchmod(fd, 0600);  // whatever the umask
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = fsync(fd) == 0 && ok;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
    int err = errno;
    unlink(temp.c_str());
    return configurationError(NEConfigurationErrorInternal, "cannot save " + path + ": " + std::strerror(err));
  }
  return std::nullopt;
}

NEDNSProxyManager::NEDNSProxyManager(std::string path, std::shared_ptr<DispatchQueue> completionQueue,
                                     std::shared_ptr<DispatchQueue> ioQueue)
    : path_(std::move(path)), completionQueue_(std::move(completionQueue)), ioQueue_(std::move(ioQueue)) {}

std::string NEDNSProxyManager::defaultPath() { return ProviderPreferences::defaultPath(); }

std::shared_ptr<NEDNSProxyManager> NEDNSProxyManager::shared() {
  static auto manager = std::make_shared<NEDNSProxyManager>(
      defaultPath(), DispatchQueue::main(), DispatchQueue::makeSerial("NEDNSProxyManager - preferences"));
  return manager;
}

void NEDNSProxyManager::loadFromPreferences(Completion completion) {
  ioQueue_->async([self = shared_from_this(), this, completion = std::move(completion)] {
    PreferencesFileText file = readPreferencesFile(path_);
    std::optional<ProviderPreferences> prefs;
    std::optional<NEError> error = file.error;
    if (!error && file.text) {
      std::string why;
      prefs = ProviderPreferences::parse(*file.text, &why);
      if (!prefs) error = configurationError(NEConfigurationErrorInvalid, path_ + ": " + why);
    }
    bool missing = !error && !file.text;
    completionQueue_->async([self, this, prefs, error, missing, completion] {
      if (prefs) {
        isEnabled = prefs->enabled;
        localizedDescription = prefs->localizedDescription;
        bool hasProtocol = !prefs->providerBundleIdentifier.empty() || !prefs->serverAddress.empty() ||
                           prefs->providerConfiguration.has_value();
        if (hasProtocol) {
          providerProtocol = NEDNSProxyProviderProtocol{prefs->serverAddress, prefs->providerBundleIdentifier,
                                                        prefs->providerConfiguration, prefs->includeAllNetworks,
                                                        prefs->excludeLocalNetworks};
        } else {
          providerProtocol.reset();
        }
      } else if (missing) {
        providerProtocol.reset();
        isEnabled = false;
        localizedDescription.clear();
      }
      if (completion) completion(error);
    });
  });
}

void NEDNSProxyManager::saveToPreferences(Completion completion) {
  ProviderPreferences prefs;
  prefs.enabled = isEnabled;
  prefs.localizedDescription = localizedDescription;
  if (providerProtocol) {
    prefs.serverAddress = providerProtocol->serverAddress;
    prefs.providerBundleIdentifier = providerProtocol->providerBundleIdentifier;
    prefs.providerConfiguration = providerProtocol->providerConfiguration;
    prefs.includeAllNetworks = providerProtocol->includeAllNetworks;
    prefs.excludeLocalNetworks = providerProtocol->excludeLocalNetworks;
  }
  ioQueue_->async([self = shared_from_this(), this, prefs = std::move(prefs), completion = std::move(completion)] {
    std::optional<NEError> error = writePreferencesFile(path_, prefs.toJson().dump(2) + "\n");
    completionQueue_->async([self, error, completion] {
      if (completion) completion(error);
    });
  });
}

}  // namespace platform
