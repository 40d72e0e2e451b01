#include "platform/networkextension/PreferencesFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/networkextension/PreferencesServiceClient.h"

namespace platform {
namespace {

NEError configurationError(int code, std::string description) {
  return NEError{code, kNEConfigurationErrorDomain, std::move(description)};
}

bool deniedByFileSystem(int err) { return err == EACCES || err == EPERM; }

// Missing folders above `path` are made 0700.
void makeParentFolders(const std::string& path) {
  for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
    std::string folder = path.substr(0, at);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return;
  }
}

}  // namespace

namespace direct {

PreferencesFileText readPreferencesFile(const std::string& path, int* err) {
  if (err) *err = 0;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return {};
    if (err) *err = errno;
    return {std::nullopt, configurationError(NEConfigurationErrorInternal,
                                             "cannot read " + path + ": " + std::strerror(errno))};
  }
  std::string text;
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int e = errno;
      ::close(fd);
      if (err) *err = e;
      return {std::nullopt, configurationError(NEConfigurationErrorInternal,
                                               "cannot read " + path + ": " + std::strerror(e))};
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > kMaxPreferencesBytes) {
      ::close(fd);
      return {std::nullopt, configurationError(NEConfigurationErrorInvalid, path + " is too large")};
    }
  }
  ::close(fd);
  return {std::move(text), std::nullopt};
}

std::optional<NEError> writePreferencesFile(const std::string& path, const std::string& text, int* err) {
  static std::atomic<unsigned> counter{0};
  if (err) *err = 0;
  makeParentFolders(path);
  std::string temp = path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (err) *err = errno;
    return configurationError(NEConfigurationErrorInternal, "cannot write " + temp + ": " + std::strerror(errno));
  }
  ::fchmod(fd, 0600);  // whatever the umask
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    int e = errno;
    ::unlink(temp.c_str());
    if (err) *err = e;
    return configurationError(NEConfigurationErrorInternal, "cannot save " + path + ": " + std::strerror(e));
  }
  return std::nullopt;
}

std::optional<NEError> setPreferencesFileAside(const std::string& path, int* err) {
  if (err) *err = 0;
  if (::rename(path.c_str(), (path + ".corrupt").c_str()) == 0 || errno == ENOENT) return std::nullopt;
  if (err) *err = errno;
  return configurationError(NEConfigurationErrorInternal,
                            "cannot keep " + path + " aside: " + std::strerror(errno));
}

}  // namespace direct

PreferencesFileText readPreferencesFile(const std::string& path) {
  int err = 0;
  PreferencesFileText file = direct::readPreferencesFile(path, &err);
  if (!deniedByFileSystem(err)) return file;
  return preferences_service::read(path).value_or(file);
}

std::optional<NEError> writePreferencesFile(const std::string& path, const std::string& text) {
  int err = 0;
  auto error = direct::writePreferencesFile(path, text, &err);
  if (!deniedByFileSystem(err)) return error;
  return preferences_service::write(path, text).value_or(error);
}

std::optional<NEError> setPreferencesFileAside(const std::string& path) {
  int err = 0;
  auto error = direct::setPreferencesFileAside(path, &err);
  if (!deniedByFileSystem(err)) return error;
  return preferences_service::setAside(path).value_or(error);
}

}  // namespace platform
