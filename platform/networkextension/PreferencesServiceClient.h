#pragma once
// Client of the system's preferences service (served by the extension
// program on <store>/networkextension/manager.sock, mode 0666): the way a
// user-session agent loads and saves the machine-wide preferences files.
// One JSON line a request, one a reply:
//   {"op":"read","name":N}            -> {"exists":true,"text":T} | {"exists":false}
//   {"op":"write","name":N,"text":T}  -> {"ok":true}
//   {"op":"setAside","name":N}        -> {"ok":true}
//   any failure                       -> {"error":E}
// N is a file of the store, e.g. "networkextension/dnsproxy.json".
#include <sys/un.h>

#include <cstddef>
#include <optional>
#include <string>

#include "platform/networkextension/PreferencesFiles.h"

namespace platform::preferences_service {

// A request carries at most one whole file, escaped.
inline constexpr std::size_t kMaxRequestBytes = kMaxPreferencesBytes + (64 << 10);

std::string socketPath(const std::string& root);
// True for the store's files a client may name.
bool servedFile(const std::string& name);
bool fillAddress(const std::string& path, sockaddr_un& address);
NEError serviceError(int code, std::string description);

// For a file under machineStoreRoot(): none when `path` is not one of the
// store's files (nothing was asked).
std::optional<PreferencesFileText> read(const std::string& path);
std::optional<std::optional<NEError>> write(const std::string& path, const std::string& text);
std::optional<std::optional<NEError>> setAside(const std::string& path);

}  // namespace platform::preferences_service
