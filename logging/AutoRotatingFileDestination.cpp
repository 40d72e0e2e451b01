#include "logging/AutoRotatingFileDestination.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "logging/Constants.h"
#include "logging/FileAttributes.h"
#include "logging/QMLogger.h"
#include "logging/Utf8.h"
#include "platform/foundation/Clock.h"

namespace qmlogger {
namespace {

namespace fs = std::filesystem;

// Creation time of a file from its birth time, when the file system keeps one.
std::optional<double> birthTime(const fs::path& path) {
  struct statx info {};
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &info) != 0) return std::nullopt;
  if (!(info.stx_mask & STATX_BTIME)) return std::nullopt;
  return static_cast<double>(info.stx_btime.tv_sec) + info.stx_btime.tv_nsec / 1e9;
}

std::optional<double> parsedNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

AutoRotatingFileDestination::AutoRotatingFileDestination(const std::shared_ptr<QMLogger>& owner,
                                                         std::optional<FileURL> url, std::string identifier,
                                                         std::optional<std::string> appendMarker,
                                                         std::optional<FileAttributesOnCreate> attributes)
    : FileDestination(owner, std::move(url), std::move(identifier), true, std::move(appendMarker), attributes) {}

std::shared_ptr<AutoRotatingFileDestination> AutoRotatingFileDestination::create(
    const std::shared_ptr<QMLogger>& owner, const WriteTarget& writeToFile, std::string identifier, bool shouldAppend,
    std::optional<std::string> appendMarker, std::optional<FileAttributesOnCreate> attributes, uint64_t maxFileSize,
    double maxTimeInterval, DateFormatterPtr archiveSuffixDateFormatter, uint8_t targetMaxLogFiles,
    std::shared_ptr<platform::Clock> clock) {
  // Opened for appending whatever `shouldAppend` says: an existing file is archived, not truncated.
  std::shared_ptr<AutoRotatingFileDestination> destination(new AutoRotatingFileDestination(
      owner, writeToFile.fileURL(), std::move(identifier), shouldAppend ? std::move(appendMarker) : std::nullopt,
      attributes));
  if (clock) destination->setClock(std::move(clock));
  if (owner) destination->openFile();
  destination->initialize(shouldAppend, maxFileSize, maxTimeInterval, std::move(archiveSuffixDateFormatter),
                          targetMaxLogFiles);
  return destination;
}

void AutoRotatingFileDestination::initialize(bool shouldAppend, uint64_t maxFileSize, double maxTimeInterval,
                                             DateFormatterPtr archiveSuffixDateFormatter, uint8_t targetMaxLogFiles) {
  const double start = now();
  {
    std::lock_guard lock(stateMutex_);
    currentLogStartTimeInterval_ = start;
    customArchiveSuffixDateFormatter_ = std::move(archiveSuffixDateFormatter);
    targetMaxFileSize_ = maxFileSize == 0 ? std::numeric_limits<uint64_t>::max() : maxFileSize;
    targetMaxTimeInterval_ = maxTimeInterval >= 1 ? maxTimeInterval : 0;
    targetMaxLogFiles_ = targetMaxLogFiles;
  }
  setShouldAppend(shouldAppend);

  const std::optional<FileURL> url = writeToFileURL();
  if (!url) return;
  const fs::path& path = url->path;
  const std::string ext = path.extension().string();
  const std::string extension = ext.empty() ? std::string() : ext.substr(1);
  std::string base = path.filename().string();
  const std::string suffix = "." + extension;
  if (!extension.empty() && base.size() > suffix.size() &&
      base.compare(base.size() - suffix.size(), suffix.size(), suffix) == 0) {
    base.erase(base.size() - suffix.size());
  }
  const std::optional<FileURL> folder =
      extension.empty() ? defaultLogFolderURL() : std::optional<FileURL>(FileURL{path.parent_path()});

  struct stat info {};
  const bool known = ::stat(path.c_str(), &info) == 0;
  const int failure = errno;
  const std::optional<double> born = known ? birthTime(path) : std::nullopt;
  {
    std::lock_guard lock(stateMutex_);
    fileExtension_ = extension;
    baseFileName_ = base;
    archiveFolderURL_ = folder;
    if (known) {
      currentLogFileSize_ = static_cast<uint64_t>(info.st_size);
      currentLogStartTimeInterval_ = born.value_or(start);
    }
  }
  if (!known) {
    if (auto logger = owner()) {
      logger->_logln("Unable to determine current file attributes of log file: " +
                         posixError(failure).localizedDescription(),
                     Level::warning, nullptr);
    }
  }

  if (!shouldAppend || shouldRotate()) rotateFile();
}

std::optional<FileURL> AutoRotatingFileDestination::defaultLogFolderURL() const {
  std::error_code error;
  fs::path temp = fs::temp_directory_path(error);
  if (error) temp = "/tmp";
  const uid_t uid = ::geteuid();
  const fs::path folder = temp / ("log-" + std::to_string(uid));
  ::mkdir(folder.c_str(), 0700);
  // Only a real folder of ours that nobody else can write to.
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != uid ||
      (info.st_mode & 022) != 0) {
    return std::nullopt;
  }
  return FileURL{folder};
}

uint64_t AutoRotatingFileDestination::targetMaxFileSize() const {
  std::lock_guard lock(stateMutex_);
  return targetMaxFileSize_;
}

void AutoRotatingFileDestination::setTargetMaxFileSize(uint64_t size) {
  std::lock_guard lock(stateMutex_);
  targetMaxFileSize_ = size;
}

double AutoRotatingFileDestination::targetMaxTimeInterval() const {
  std::lock_guard lock(stateMutex_);
  return targetMaxTimeInterval_;
}

void AutoRotatingFileDestination::setTargetMaxTimeInterval(double seconds) {
  std::lock_guard lock(stateMutex_);
  targetMaxTimeInterval_ = seconds;
}

uint8_t AutoRotatingFileDestination::targetMaxLogFiles() const {
  std::lock_guard lock(stateMutex_);
  return targetMaxLogFiles_;
}

void AutoRotatingFileDestination::setTargetMaxLogFiles(uint8_t count) {
  {
    std::lock_guard lock(stateMutex_);
    targetMaxLogFiles_ = count;
  }
  cleanUpLogFiles();
}

std::optional<FileURL> AutoRotatingFileDestination::archiveFolderURL() const {
  std::lock_guard lock(stateMutex_);
  return archiveFolderURL_;
}

void AutoRotatingFileDestination::setArchiveFolderURL(std::optional<FileURL> folder) {
  {
    std::lock_guard lock(stateMutex_);
    archiveFolderURL_ = folder;
  }
  if (folder) {
    std::error_code ignored;
    fs::create_directories(folder->path, ignored);
  }
}

void AutoRotatingFileDestination::setAutoRotationCompletion(std::function<void(bool)> completion) {
  std::lock_guard lock(stateMutex_);
  autoRotationCompletion_ = std::move(completion);
}

DateFormatterPtr AutoRotatingFileDestination::archiveSuffixDateFormatter() const {
  static const DateFormatterPtr shared = std::make_shared<DateFormatter>("_yyyy-MM-dd_HHmmss");
  std::lock_guard lock(stateMutex_);
  return customArchiveSuffixDateFormatter_ ? customArchiveSuffixDateFormatter_ : shared;
}

void AutoRotatingFileDestination::setArchiveSuffixDateFormatter(DateFormatterPtr formatter) {
  std::lock_guard lock(stateMutex_);
  customArchiveSuffixDateFormatter_ = std::move(formatter);
}

uint64_t AutoRotatingFileDestination::currentLogFileSize() const {
  std::lock_guard lock(stateMutex_);
  return currentLogFileSize_;
}

double AutoRotatingFileDestination::currentLogStartTimeInterval() const {
  std::lock_guard lock(stateMutex_);
  return currentLogStartTimeInterval_;
}

std::string AutoRotatingFileDestination::baseFileName() const {
  std::lock_guard lock(stateMutex_);
  return baseFileName_;
}

std::string AutoRotatingFileDestination::fileExtension() const {
  std::lock_guard lock(stateMutex_);
  return fileExtension_;
}

void AutoRotatingFileDestination::write(const std::string& message) {
  const uint64_t characters = characterCount(message);
  {
    std::lock_guard lock(stateMutex_);
    currentLogFileSize_ += characters;
  }
  FileDestination::write(message);
  // Lines written by the rotation itself are counted but never start another one.
  if (!rotating_ && shouldRotate()) rotateFile();
}

bool AutoRotatingFileDestination::shouldRotate() const {
  std::lock_guard lock(stateMutex_);
  if (!archiveFolderURL_) return false;
  if (currentLogFileSize_ >= targetMaxFileSize_) return true;
  if (targetMaxTimeInterval_ <= 0) return false;
  return clockLocked().wallSeconds() - currentLogStartTimeInterval_ >= targetMaxTimeInterval_;
}

std::optional<FileURL> AutoRotatingFileDestination::archiveFolder() const {
  std::optional<FileURL> folder = archiveFolderURL();
  return folder ? folder : defaultLogFolderURL();
}

void AutoRotatingFileDestination::rotateFile() {
  // A rotation's own reports come back here as lines; they never start another one.
  if (rotating_.exchange(true)) return;
  std::function<void(bool)> completion;
  std::string base;
  std::string extension;
  {
    std::lock_guard lock(stateMutex_);
    completion = autoRotationCompletion_;
    base = baseFileName_;
    extension = fileExtension_;
  }
  const std::optional<FileURL> folder = archiveFolder();
  if (folder) {
    std::string name = base + archiveSuffixDateFormatter()->string(dateFromSeconds(now()));
    if (!extension.empty()) name += "." + extension;
    FileDestination::rotateFile(WriteTarget(FileURL{folder->path / name}), completion);
  } else if (completion) {
    completion(false);
  }
  {
    std::lock_guard lock(stateMutex_);
    currentLogStartTimeInterval_ = clockLocked().wallSeconds();
    currentLogFileSize_ = 0;
  }
  rotating_ = false;
  cleanUpLogFiles();
}

std::vector<FileURL> AutoRotatingFileDestination::archivedFileURLs() const {
  const std::optional<FileURL> folder = archiveFolder();
  if (!folder) return {};
  const std::string reference = identifier();
  struct Entry {
    FileURL url;
    std::string timestamp;
    std::optional<double> number;
  };
  std::vector<Entry> entries;
  std::error_code error;
  // Hidden files are listed too: recognition is by attribute, not by name.
  for (fs::directory_iterator it(folder->path, error), end; !error && it != end; it.increment(error)) {
    const FileURL url{it->path()};
    try {
      auto by = extendedAttributeData(url, Constants::extendedAttributeArchivedLogIdentifierKey);
      if (!by || std::string(by->begin(), by->end()) != reference) continue;
      auto at = extendedAttributeData(url, Constants::extendedAttributeArchivedLogTimestampKey);
      if (!at) continue;
      std::string text(at->begin(), at->end());
      if (!isValidUtf8(text)) continue;
      entries.push_back(Entry{url, text, parsedNumber(text)});
    } catch (const PosixError&) {
      continue;
    }
  }
  // Newest first: numeric stamps by value, ahead of any stamp that is not a number (by text).
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    if (a.number && b.number) {
      if (*a.number != *b.number) return *a.number > *b.number;
      return a.timestamp > b.timestamp;
    }
    if (a.number != b.number && (a.number.has_value() != b.number.has_value())) return a.number.has_value();
    return a.timestamp > b.timestamp;
  });
  std::vector<FileURL> result;
  for (auto& entry : entries) result.push_back(std::move(entry.url));
  return result;
}

void AutoRotatingFileDestination::deleteArchives(const std::vector<FileURL>& archives) {
  auto logger = owner();
  for (const auto& archive : archives) {
    std::error_code error;
    if (!fs::remove(archive.path, error) && error) {
      // Reported as our own message, so it never comes back to this destination.
      if (logger) {
        logger->_logln("Unable to delete old archived log file " + archive.path.string() + ": " + error.message(),
                       Level::error, this);
      }
    }
  }
}

void AutoRotatingFileDestination::cleanUpLogFiles() {
  std::vector<FileURL> archives = archivedFileURLs();
  const size_t keep = targetMaxLogFiles();
  if (archives.size() <= keep) return;
  archives.erase(archives.begin(), archives.begin() + static_cast<std::ptrdiff_t>(keep));
  deleteArchives(archives);
}

void AutoRotatingFileDestination::purgeArchivedLogFiles() { deleteArchives(archivedFileURLs()); }

}  // namespace qmlogger
