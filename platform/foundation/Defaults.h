#pragma once
// UserDefaults stand-in: one JSON object file per suite at
// $VARDENO_ROOT/defaults/<suite>.json. Writes are atomic (temp file and
// rename under an flock on <suite>.json.lock) and every read sees other
// processes' writes (the file is re-read whenever it changed). Changes are
// learnt from an inotify watch on the suite's folder, so a read of an
// unchanged suite touches no file; without a watch (no folder yet, no
// inotify) every read checks the file's stamp.
// A corrupt or unreadable file reads as empty and is logged; before a write
// replaces a corrupt file, it is kept as <suite>.json.corrupt. Files are
// private to their user (0600 in 0700 folders).
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace platform {

// The process's own state (defaults suites, the agent's control socket):
// VARDENO_STATE, else VARDENO_ROOT, else /var/lib/vardeno for root, else
// ${XDG_STATE_HOME:-~/.local/state}/vardeno.
std::string vardenoRoot();
// The machine-wide store of the system's preferences, shared by every user:
// VARDENO_ROOT, else /var/lib/vardeno.
std::string machineStoreRoot();

class UserDefaults {
 public:
  // Null when the name is not a safe file name (empty, "/", "..").
  static std::shared_ptr<UserDefaults> suite(const std::string& name);
  // The application's own domain.
  static std::shared_ptr<UserDefaults> standard(const std::string& bundleId);

  const std::string& suiteName() const { return name_; }
  const std::string& path() const { return path_; }

  // Only string values; anything else is none.
  std::optional<std::string> string(const std::string& key) const;
  // bool; non-zero number; "true"/"yes"/"1" in any case. Else false.
  bool boolValue(const std::string& key) const;
  // bool as 0/1; number (doubles truncated); a string's leading integer
  // ("42", " -7x"). Else 0.
  int64_t integer(const std::string& key) const;
  // Like integer(), keeping fractions.
  double doubleValue(const std::string& key) const;
  std::optional<nlohmann::json> dictionary(const std::string& key) const;
  std::optional<nlohmann::json> array(const std::string& key) const;
  // Any value stored under the key.
  std::optional<nlohmann::json> object(const std::string& key) const;
  // The whole suite as one JSON object.
  nlohmann::json dictionaryRepresentation() const;
  // The same, shared: the pointer stays the same until the suite changes,
  // so callers can keep what they derived from it.
  std::shared_ptr<const nlohmann::json> snapshot() const { return load(); }

  // A null value removes the key. False (and logged) when the file could
  // not be written.
  bool set(const std::string& key, const nlohmann::json& value);
  bool remove(const std::string& key);

  UserDefaults(std::string name, std::string path);

 private:
  struct FileStamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    timespec mtime{};
    bool operator==(const FileStamp& o) const {
      return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
             mtime.tv_nsec == o.mtime.tv_nsec;
    }
  };
  std::optional<nlohmann::json> value(const std::string& key) const;
  // The suite's current contents, shared until the file changes.
  std::shared_ptr<const nlohmann::json> load() const;
  bool update(const std::string& key, const nlohmann::json* value);

  std::string name_;
  std::string path_;
  mutable std::mutex mutex_;
  mutable std::optional<FileStamp> cachedStamp_;
  mutable std::optional<FileStamp> loggedStamp_;
  mutable time_t cachedAt_ = 0;
  // Set while the folder is watched: the watch generation the cache holds.
  mutable std::optional<uint64_t> cachedGeneration_;
  mutable std::shared_ptr<const nlohmann::json> cached_ = std::make_shared<const nlohmann::json>(nlohmann::json::object());
};

}  // namespace platform
