#pragma once
// A file destination that archives its file when it passes a size or age limit,
// and keeps only the newest archives that carry its identifier.
#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "logging/DateFormatter.h"
#include "logging/FileDestination.h"

namespace qmlogger {

class AutoRotatingFileDestination : public FileDestination {
 public:
  static constexpr uint64_t autoRotatingFileDefaultMaxFileSize = 1'048'576;
  static constexpr double autoRotatingFileDefaultMaxTimeInterval = 600.0;

  static std::shared_ptr<AutoRotatingFileDestination> create(
      const std::shared_ptr<QMLogger>& owner, const WriteTarget& writeToFile, std::string identifier = "",
      bool shouldAppend = false, std::optional<std::string> appendMarker = std::nullopt,
      std::optional<FileAttributesOnCreate> attributes = std::nullopt,
      uint64_t maxFileSize = autoRotatingFileDefaultMaxFileSize,
      double maxTimeInterval = autoRotatingFileDefaultMaxTimeInterval,
      DateFormatterPtr archiveSuffixDateFormatter = nullptr, uint8_t targetMaxLogFiles = 10,
      std::shared_ptr<platform::Clock> clock = nullptr);

  // The per-user folder "<temp>/log-<uid>" (mode 0700), or nothing when it is not ours.
  virtual std::optional<FileURL> defaultLogFolderURL() const;

  uint64_t targetMaxFileSize() const;
  void setTargetMaxFileSize(uint64_t size);
  double targetMaxTimeInterval() const;
  void setTargetMaxTimeInterval(double seconds);
  uint8_t targetMaxLogFiles() const;
  // Prunes the archives at once.
  void setTargetMaxLogFiles(uint8_t count);
  std::optional<FileURL> archiveFolderURL() const;
  // Creates the folder when a value is given.
  void setArchiveFolderURL(std::optional<FileURL> folder);
  void setAutoRotationCompletion(std::function<void(bool)> completion);
  DateFormatterPtr archiveSuffixDateFormatter() const;
  void setArchiveSuffixDateFormatter(DateFormatterPtr formatter);
  uint64_t currentLogFileSize() const;
  double currentLogStartTimeInterval() const;
  std::string baseFileName() const;
  std::string fileExtension() const;

  void write(const std::string& message) override;
  bool shouldRotate() const;
  void rotateFile();
  // This destination's archives, newest first.
  std::vector<FileURL> archivedFileURLs() const;
  void cleanUpLogFiles();
  void purgeArchivedLogFiles();

 protected:
  AutoRotatingFileDestination(const std::shared_ptr<QMLogger>& owner, std::optional<FileURL> url,
                              std::string identifier, std::optional<std::string> appendMarker,
                              std::optional<FileAttributesOnCreate> attributes);

 private:
  void initialize(bool shouldAppend, uint64_t maxFileSize, double maxTimeInterval,
                  DateFormatterPtr archiveSuffixDateFormatter, uint8_t targetMaxLogFiles);
  std::optional<FileURL> archiveFolder() const;
  void deleteArchives(const std::vector<FileURL>& archives);

  uint64_t targetMaxFileSize_ = autoRotatingFileDefaultMaxFileSize;
  double targetMaxTimeInterval_ = autoRotatingFileDefaultMaxTimeInterval;
  uint8_t targetMaxLogFiles_ = 10;
  std::optional<FileURL> archiveFolderURL_;
  std::function<void(bool)> autoRotationCompletion_;
  DateFormatterPtr customArchiveSuffixDateFormatter_;
  uint64_t currentLogFileSize_ = 0;
  double currentLogStartTimeInterval_ = 0;
  std::string baseFileName_ = "qmlogger";
  std::string fileExtension_ = "log";
  std::atomic<bool> rotating_{false};
};

}  // namespace qmlogger
