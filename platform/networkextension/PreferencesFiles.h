#pragma once
// The machine-wide preferences files (DNS proxy, content filter, system
// extensions) under machineStoreRoot(). Whoever may touch a file (root, the
// store's owner) reads and writes it directly; anyone else who is refused
// by the file system goes through the extension's preferences service
// (PreferencesService), which decides who may.
#include <optional>
#include <string>

#include "platform/networkextension/NEError.h"

namespace platform {

inline constexpr const char* kNEConfigurationErrorDomain = "NEConfigurationErrorDomain";
enum NEConfigurationErrorCode : int {
  NEConfigurationErrorInvalid = 1,
  NEConfigurationErrorPermission = 5,
  NEConfigurationErrorInternal = 6,
};

inline constexpr std::size_t kMaxPreferencesBytes = 4 << 20;

// Reads a whole preferences file: none when it does not exist; an error
// when it cannot be read.
struct PreferencesFileText {
  std::optional<std::string> text;
  std::optional<NEError> error;
};
PreferencesFileText readPreferencesFile(const std::string& path);
// Atomic write, mode 0600, missing folders made 0700.
std::optional<NEError> writePreferencesFile(const std::string& path, const std::string& text);
// Renames the file to <file>.corrupt (replacing an older one); nothing
// when the file is missing.
std::optional<NEError> setPreferencesFileAside(const std::string& path);

// The same without the service (what the service itself does).
namespace direct {
PreferencesFileText readPreferencesFile(const std::string& path, int* err = nullptr);
std::optional<NEError> writePreferencesFile(const std::string& path, const std::string& text, int* err = nullptr);
std::optional<NEError> setPreferencesFileAside(const std::string& path, int* err = nullptr);
}  // namespace direct

}  // namespace platform
