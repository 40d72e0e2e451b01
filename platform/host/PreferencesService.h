#pragma once
// The system's preferences service, served by the extension program on
// <store>/networkextension/manager.sock (mode 0666): the way a user-session
// agent loads and saves the machine-wide preferences files. The peer is
// checked with SO_PEERCRED: root, the store's owner and members of one
// group (VARDENO_GROUP, default "vardeno") are served; anyone else gets a
// refusal. The requests and replies are those of PreferencesServiceClient.
// One thread polls every client; each has a deadline and bounded buffers,
// so no client can stall another or the extension.
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/networkextension/PreferencesFiles.h"

namespace platform {

class PreferencesService {
 public:
  struct Options {
    std::string root;                 // the store; default machineStoreRoot()
    std::optional<std::string> group;  // default VARDENO_GROUP, else "vardeno"
    std::chrono::milliseconds clientTimeout{5000};
    std::size_t maxClients = 8;
  };

  // Binds the socket and serves on a thread of its own; null with `error`.
  static std::unique_ptr<PreferencesService> start(Options options, std::string& error);
  ~PreferencesService();
  PreferencesService(const PreferencesService&) = delete;
  PreferencesService& operator=(const PreferencesService&) = delete;

  const std::string& socketPath() const { return socketPath_; }
  static std::string socketPath(const std::string& root);

  // The client's calls (preferences_service::read, ...).
  static std::optional<PreferencesFileText> read(const std::string& path);
  static std::optional<std::optional<NEError>> write(const std::string& path, const std::string& text);
  static std::optional<std::optional<NEError>> setAside(const std::string& path);

  struct Client;

 private:
  PreferencesService() = default;
  void loop();
  std::string handle(const std::string& line) const;

  Options options_;
  std::optional<gid_t> gid_;
  std::string socketPath_;
  int listenFd_ = -1;
  int stopFds_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace platform
