#include "logging/BaseDestination.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "logging/PathText.h"
#include "logging/QMLogger.h"
#include "logging/TypeName.h"

namespace qmlogger {
namespace {

bool isMainThread() { return static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid(); }

// Linux threads inherit the process name; that inherited name counts as no name.
const std::string& processThreadName() {
  static const std::string name = [] {
    std::ifstream comm("/proc/self/comm");
    std::string line;
    std::getline(comm, line);
    return line;
  }();
  return name;
}

}  // namespace

std::string threadPiece() {
  if (isMainThread()) return "[main] ";
  char name[64] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) == 0 && name[0] != '\0' &&
      processThreadName() != name) {
    return std::string("[") + name + "] ";
  }
  if (auto label = QMLogger::currentQueueLabel(); label && !label->empty()) return "[" + *label + "] ";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "[%p] ", reinterpret_cast<void*>(pthread_self()));
  return buffer;
}

BaseDestination::BaseDestination(const std::shared_ptr<QMLogger>& owner, std::string identifier)
    : owner_(owner), identifier_(std::move(identifier)) {}

std::shared_ptr<QMLogger> BaseDestination::owner() const {
  std::lock_guard lock(mutex_);
  return owner_.lock();
}

void BaseDestination::setOwner(const std::shared_ptr<QMLogger>& owner) {
  std::lock_guard lock(mutex_);
  owner_ = owner;
}

bool BaseDestination::isOwnedBy(const std::weak_ptr<QMLogger>& logger) const {
  auto sameBlock = [](const std::weak_ptr<QMLogger>& a, const std::weak_ptr<QMLogger>& b) {
    return !a.owner_before(b) && !b.owner_before(a);
  };
  if (sameBlock(logger, std::weak_ptr<QMLogger>())) return false;
  std::lock_guard lock(mutex_);
  return sameBlock(owner_, logger);
}

std::string BaseDestination::identifier() const {
  std::lock_guard lock(mutex_);
  return identifier_;
}

void BaseDestination::setIdentifier(std::string identifier) {
  std::lock_guard lock(mutex_);
  identifier_ = std::move(identifier);
}

std::optional<FormatterList> BaseDestination::formatters() const {
  std::lock_guard lock(mutex_);
  return formatters_;
}

void BaseDestination::setFormatters(std::optional<FormatterList> formatters) {
  std::lock_guard lock(mutex_);
  formatters_ = std::move(formatters);
}

std::optional<FilterList> BaseDestination::filters() const {
  std::lock_guard lock(mutex_);
  return filters_;
}

void BaseDestination::setFilters(std::optional<FilterList> filters) {
  std::lock_guard lock(mutex_);
  filters_ = std::move(filters);
}

std::map<Level, std::string> BaseDestination::levelDescriptions() const {
  std::lock_guard lock(mutex_);
  return levelDescriptions_;
}

void BaseDestination::setLevelDescriptions(std::map<Level, std::string> descriptions) {
  std::lock_guard lock(mutex_);
  levelDescriptions_ = std::move(descriptions);
}

std::string BaseDestination::datePiece(const QMLogger& owner, const LogDetails& logDetails) const {
  DateFormatterPtr formatter = owner.dateFormatter();
  return (formatter ? formatter->string(logDetails.date) : defaultDateText(logDetails.date)) + " ";
}

void BaseDestination::process(const LogDetails& logDetails) {
  std::shared_ptr<QMLogger> logger = owner();
  if (!logger) return;
  std::string line;
  if (showDate()) line += datePiece(*logger, logDetails);
  if (showLevel()) {
    std::optional<std::string> name;
    {
      std::lock_guard lock(mutex_);
      auto own = levelDescriptions_.find(logDetails.level);
      if (own != levelDescriptions_.end()) name = own->second;
    }
    if (!name) {
      auto ownerNames = logger->levelDescriptions();
      auto found = ownerNames.find(logDetails.level);
      name = found != ownerNames.end() ? found->second : description(logDetails.level);
    }
    line += "[" + *name + "] ";
  }
  if (showLogIdentifier()) line += "[" + logger->identifier() + "] ";
  if (showThreadName()) line += threadPiece();
  if (showFileName()) {
    line += "[" + lastPathComponent(logDetails.fileName);
    if (showLineNumber()) line += ":" + std::to_string(logDetails.lineNumber);
    line += "] ";
  } else if (showLineNumber()) {
    line += "[" + std::to_string(logDetails.lineNumber) + "] ";
  }
  if (showFunctionName()) line += logDetails.functionName + " ";
  line += "> ";
  line += logDetails.message;
  output(logDetails, line);
}

void BaseDestination::processInternal(const LogDetails& logDetails) {
  std::shared_ptr<QMLogger> logger = owner();
  if (!logger) return;
  std::string line;
  if (showDate()) line += datePiece(*logger, logDetails);
  if (showLevel()) line += "[" + description(logDetails.level) + "] ";
  if (showLogIdentifier()) line += "[" + logger->identifier() + "] ";
  line += "> ";
  line += logDetails.message;
  output(logDetails, line);
}

void BaseDestination::output(const LogDetails&, const std::string&) {}

std::string BaseDestination::debugDescription() const {
  auto flag = [](const char* name, bool on) { return std::string(" ") + name + ": " + (on ? "true" : "false"); };
  return unqualifiedTypeName(typeid(*this)) + ": " + identifier() + " - Level: " + description(outputLevel()) +
         flag("showLogIdentifier", showLogIdentifier()) + flag("showFunctionName", showFunctionName()) +
         flag("showThreadName", showThreadName()) + flag("showLevel", showLevel()) +
         flag("showFileName", showFileName()) + flag("showLineNumber", showLineNumber()) +
         flag("showDate", showDate());
}

}  // namespace qmlogger
