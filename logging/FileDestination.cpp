#include "logging/FileDestination.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "logging/Constants.h"
#include "logging/ExceptionGuard.h"
#include "logging/FileAttributes.h"
#include "logging/LogMessage.h"
#include "logging/QMLogger.h"
#include "platform/foundation/Clock.h"
#include "platform/dispatch/Dispatch.h"

namespace qmlogger {
namespace {

void printException(const platform::NamedException& exception) {
  std::string line = "Objective-C Exception occurred: " + exception.reason() + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

std::string errorText(int errorNumber) { return posixError(errorNumber).localizedDescription(); }

bool pathExists(const std::filesystem::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

std::vector<uint8_t> bytesOf(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

}  // namespace

FileDestination::FileDestination(const std::shared_ptr<QMLogger>& owner, std::optional<FileURL> url,
                                 std::string identifier, bool shouldAppend, std::optional<std::string> appendMarker,
                                 std::optional<FileAttributesOnCreate> attributes)
    : BaseQueuedDestination(owner, std::move(identifier)),
      writeToFileURL_(std::move(url)),
      shouldAppend_(shouldAppend),
      appendMarker_(std::move(appendMarker)),
      fileAttributes_(attributes),
      clock_(platform::Clock::system()) {}

std::shared_ptr<FileDestination> FileDestination::create(const std::shared_ptr<QMLogger>& owner,
                                                         const WriteTarget& writeToFile, std::string identifier,
                                                         bool shouldAppend, std::optional<std::string> appendMarker,
                                                         std::optional<FileAttributesOnCreate> attributes) {
  std::shared_ptr<FileDestination> destination(new FileDestination(
      owner, writeToFile.fileURL(), std::move(identifier), shouldAppend, std::move(appendMarker), attributes));
  if (owner) destination->openFile();
  return destination;
}

FileDestination::~FileDestination() {
  std::lock_guard lock(stateMutex_);
  closeFileLocked();
}

void FileDestination::setClock(std::shared_ptr<platform::Clock> clock) {
  std::lock_guard lock(stateMutex_);
  clock_ = clock ? std::move(clock) : platform::Clock::system();
}

double FileDestination::now() const {
  std::lock_guard lock(stateMutex_);
  return clock_->wallSeconds();
}

void FileDestination::setOwner(const std::shared_ptr<QMLogger>& owner) {
  BaseQueuedDestination::setOwner(owner);
  if (owner) {
    openFile();
  } else {
    std::lock_guard lock(stateMutex_);
    closeFileLocked();
  }
}

std::optional<FileURL> FileDestination::writeToFileURL() const {
  std::lock_guard lock(stateMutex_);
  return writeToFileURL_;
}

void FileDestination::setWriteToFileURL(std::optional<FileURL> url) {
  {
    std::lock_guard lock(stateMutex_);
    writeToFileURL_ = std::move(url);
  }
  openFile();
}

bool FileDestination::shouldAppend() const {
  std::lock_guard lock(stateMutex_);
  return shouldAppend_;
}

void FileDestination::setShouldAppend(bool append) {
  std::lock_guard lock(stateMutex_);
  shouldAppend_ = append;
}

std::optional<std::string> FileDestination::appendMarker() const {
  std::lock_guard lock(stateMutex_);
  return appendMarker_;
}

void FileDestination::setAppendMarker(std::optional<std::string> marker) {
  std::lock_guard lock(stateMutex_);
  appendMarker_ = std::move(marker);
}

std::optional<FileAttributesOnCreate> FileDestination::fileAttributes() const {
  std::lock_guard lock(stateMutex_);
  return fileAttributes_;
}

void FileDestination::setFileAttributes(std::optional<FileAttributesOnCreate> attributes) {
  std::lock_guard lock(stateMutex_);
  fileAttributes_ = attributes;
}

bool FileDestination::hasOpenFile() const {
  std::lock_guard lock(stateMutex_);
  return fd_ >= 0;
}

void FileDestination::closeFileLocked() {
  if (fd_ < 0) return;
  ::fsync(fd_);
  ::close(fd_);
  fd_ = -1;
}

void FileDestination::openFile(bool forceAppend) {
  OpenReport report;
  {
    std::lock_guard lock(stateMutex_);
    report = openFileLocked(forceAppend);
  }
  deliver(report);
}

FileDestination::OpenReport FileDestination::openFileLocked(bool forceAppend) {
  OpenReport report;
  closeFileLocked();
  report.logger = owner();
  if (!report.logger) return report;
  if (!writeToFileURL_) {
    report.logger.reset();
    return report;
  }
  const FileURL url = *writeToFileURL_;
  const bool exists = pathExists(url.path);
  const bool appending = exists && (shouldAppend_ || forceAppend);
  report.mode = appending ? "appending" : "writing";

  int fd;
  if (appending) {
    fd = ::open(url.path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  } else {
    const mode_t permissions =
        fileAttributes_ && fileAttributes_->posixPermissions ? *fileAttributes_->posixPermissions : 0644;
    fd = ::open(url.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, permissions);
    if (fd >= 0 && fileAttributes_ && fileAttributes_->posixPermissions) ::fchmod(fd, permissions);
  }
  if (fd < 0) {
    report.failure = errorText(errno);
    return report;
  }
  fd_ = fd;
  report.opened = true;
  report.location = url.absoluteString();
  // The marker goes only to a file kept from before, not after a failed rotation.
  if (appending && !forceAppend && appendMarker_) {
    const std::string marker = *appendMarker_ + "\n";
    tryCatchingExceptions([&] { writeBytes(marker); }, printException);
  }
  return report;
}

void FileDestination::deliver(const OpenReport& report) {
  QMLogger* logger = report.logger.get();
  if (!logger) return;
  if (!report.opened) {
    logger->_logln("Attempt to open log file for " + report.mode + " failed: " + report.failure, Level::error, this);
    return;
  }
  logger->logAppDetails(this);
  const std::string text = "QMLogger " + report.mode + " log to: " + report.location;
  const LogDetails details(Level::info, std::chrono::system_clock::now(), text, "", "", 0, internalUserInfo());
  logger->_logln(text, Level::info, this);
  if (!logger->destination(identifier())) processInternal(details);
}

void FileDestination::writeBytes(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      throw platform::NamedException("NSFileHandleOperationException",
                                     "*** -[NSConcreteFileHandle writeData:]: " + errorText(errno));
    }
    done += static_cast<size_t>(written);
  }
}

void FileDestination::write(const std::string& message) {
  std::lock_guard lock(stateMutex_);
  if (fd_ < 0) return;
  // Bytes go out as they are, valid UTF-8 or not: a line is never dropped for its encoding.
  const std::string line = message + "\n";
  tryCatchingExceptions([&] { writeBytes(line); }, printException);
}

void FileDestination::flush(std::function<void()> closure) {
  auto work = [this, closure = std::move(closure)] {
    {
      std::lock_guard lock(stateMutex_);
      if (fd_ >= 0) ::fsync(fd_);
    }
    if (closure) closure();
  };
  auto queue = logQueue();
  auto self = std::static_pointer_cast<FileDestination>(weak_from_this().lock());
  if (queue && self) {
    queue->async([self, work = std::move(work)] { work(); });
  } else {
    work();
  }
}

bool FileDestination::moveItem(const FileURL& from, const FileURL& to, std::string& error) {
  if (::renameat2(AT_FDCWD, from.path.c_str(), AT_FDCWD, to.path.c_str(), RENAME_NOREPLACE) == 0) return true;
  int failure = errno;
  if (failure == EINVAL || failure == ENOSYS) {
    // No atomic no-replace here: check, then rename.
    if (pathExists(to.path)) {
      failure = EEXIST;
    } else if (::rename(from.path.c_str(), to.path.c_str()) == 0) {
      return true;
    } else {
      failure = errno;
    }
  }
  if (failure == EXDEV) {
    std::error_code copyError;
    if (std::filesystem::copy_file(from.path, to.path, std::filesystem::copy_options::none, copyError)) {
      std::error_code removeError;
      if (std::filesystem::remove(from.path, removeError)) return true;
      std::filesystem::remove(to.path, copyError);
      error = removeError.message();
      return false;
    }
    error = copyError.message();
    return false;
  }
  error = errorText(failure);
  return false;
}

bool FileDestination::rotateFile(const WriteTarget& target, const std::function<void(bool)>& closure) {
  auto finish = [&closure](bool result) {
    if (closure) closure(result);
    return result;
  };
  const std::optional<FileURL> archive = target.fileURL();
  std::optional<FileURL> current;
  std::string moveError;
  std::optional<std::string> attributeError;
  bool moved = false;
  OpenReport reopened;
  {
    std::lock_guard lock(stateMutex_);
    if (!archive || !writeToFileURL_) return finish(false);
    if (pathExists(archive->path)) return finish(false);
    current = *writeToFileURL_;
    // The handle stays open on the moved file until the new one is open, so
    // lines that arrive while the rotation reports still land in the archive.
    if (fd_ >= 0) ::fsync(fd_);
    setHaveLoggedAppDetails(false);
    moved = moveItem(*current, *archive, moveError);
    if (!moved) {
      // The live log is kept: reopen it for appending, never truncate it here.
      reopened = openFileLocked(true);
    } else {
      try {
        setExtendedAttribute(*archive, bytesOf(identifier()), Constants::extendedAttributeArchivedLogIdentifierKey);
        setExtendedAttribute(*archive, bytesOf(describeValue(clock_->wallSeconds())),
                             Constants::extendedAttributeArchivedLogTimestampKey);
      } catch (const PosixError& error) {
        attributeError = error.localizedDescription();
      }
    }
  }
  if (!moved) {
    deliver(reopened);
    if (auto logger = owner()) {
      logger->_logln("Unable to rotate file " + current->path.string() + " to " + archive->path.string() + ": " +
                         moveError,
                     Level::error, this);
    }
    return finish(false);
  }
  if (auto logger = owner()) {
    if (attributeError) {
      logger->_logln("Unable to set extended file attributes on file " + archive->path.string() + ": " +
                         *attributeError,
                     Level::error, this);
    }
    logger->_logln("Rotated file " + current->path.string() + " to " + archive->path.string(), Level::info, this);
  }
  openFile();
  return finish(true);
}

}  // namespace qmlogger
