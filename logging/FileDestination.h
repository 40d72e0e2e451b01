#pragma once
// Writes log lines to one file; can append behind a marker, flush, and move
// the file to an archive location tagged with extended attributes.
#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "logging/BaseQueuedDestination.h"
#include "logging/WriteTarget.h"

namespace platform {
class Clock;
}

namespace qmlogger {

// Attributes a new log file is created with.
struct FileAttributesOnCreate {
  std::optional<mode_t> posixPermissions;
};

class FileDestination : public BaseQueuedDestination {
 public:
  static std::shared_ptr<FileDestination> create(const std::shared_ptr<QMLogger>& owner, const WriteTarget& writeToFile,
                                                 std::string identifier = "", bool shouldAppend = false,
                                                 std::optional<std::string> appendMarker = std::nullopt,
                                                 std::optional<FileAttributesOnCreate> attributes = std::nullopt);
  ~FileDestination() override;

  // A new owner opens the file; no owner closes it.
  void setOwner(const std::shared_ptr<QMLogger>& owner) override;

  std::optional<FileURL> writeToFileURL() const;
  // Stores the location and (re)opens the file.
  void setWriteToFileURL(std::optional<FileURL> url);
  bool shouldAppend() const;
  void setShouldAppend(bool append);
  std::optional<std::string> appendMarker() const;
  void setAppendMarker(std::optional<std::string> marker);
  std::optional<FileAttributesOnCreate> fileAttributes() const;
  void setFileAttributes(std::optional<FileAttributesOnCreate> attributes);
  bool hasOpenFile() const;

  void write(const std::string& message) override;
  // Syncs the file to disk, then calls the closure; on the log queue when one is set.
  void flush(std::function<void()> closure = {});
  // Moves the file to `target` (never over an existing file) and starts a new one.
  // The closure gets the result once, before this returns.
  bool rotateFile(const WriteTarget& target, const std::function<void(bool)>& closure = {});

  void setClock(std::shared_ptr<platform::Clock> clock);
  double now() const;

 protected:
  FileDestination(const std::shared_ptr<QMLogger>& owner, std::optional<FileURL> url, std::string identifier,
                  bool shouldAppend, std::optional<std::string> appendMarker,
                  std::optional<FileAttributesOnCreate> attributes);
  // Opens (creating or truncating unless appending) and announces the file.
  void openFile(bool forceAppend = false);

  // Guards this destination's state. Never held while the destination calls
  // its owner, another destination or a caller's closure: those may wait on
  // a queue or a thread that is writing to this very destination.
  mutable std::mutex stateMutex_;
  // The clock, for a caller that holds stateMutex_.
  const platform::Clock& clockLocked() const { return *clock_; }

 private:
  // What an open has to report once the lock is released.
  struct OpenReport {
    std::shared_ptr<QMLogger> logger;
    bool opened = false;
    std::string mode;
    std::string failure;
    std::string location;
  };
  OpenReport openFileLocked(bool forceAppend);
  void deliver(const OpenReport& report);
  void closeFileLocked();
  bool moveItem(const FileURL& from, const FileURL& to, std::string& error);
  void writeBytes(const std::string& bytes);

  std::optional<FileURL> writeToFileURL_;
  int fd_ = -1;
  bool shouldAppend_;
  std::optional<std::string> appendMarker_;
  std::optional<FileAttributesOnCreate> fileAttributes_;
  std::shared_ptr<platform::Clock> clock_;
};

}  // namespace qmlogger
