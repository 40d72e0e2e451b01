#include "logging/QMLogger.h"

#include <errno.h>
#include <unistd.h>

#include "logging/ConsoleDestination.h"
#include "logging/FileDestination.h"
#include "logging/TypeName.h"
#include "logging/Utf8.h"
#include "platform/dispatch/Dispatch.h"

namespace qmlogger {
namespace {

std::string processName() {
  const char* name = program_invocation_short_name;
  return name ? name : "";
}

void applyShowFlags(BaseDestination& destination, bool showLogIdentifier, bool showFunctionName,
                    bool showThreadName, bool showLevel, bool showFileNames, bool showLineNumbers, bool showDate) {
  destination.setShowLogIdentifier(showLogIdentifier);
  destination.setShowFunctionName(showFunctionName);
  destination.setShowThreadName(showThreadName);
  destination.setShowLevel(showLevel);
  destination.setShowFileName(showFileNames);
  destination.setShowLineNumber(showLineNumbers);
  destination.setShowDate(showDate);
}

}  // namespace

QMLogger::QMLogger(std::string identifier)
    : identifier_(std::move(identifier)), noMessageClosure_([] { return std::optional<std::string>(""); }) {}

QMLogger::~QMLogger() {
  // Destinations outlive us only through other holders; they must not keep an owner that is gone.
  const std::weak_ptr<QMLogger> self = weak_from_this();
  for (const auto& destination : *destinations_) {
    if (destination->isOwnedBy(self)) destination->setOwner(nullptr);
  }
}

std::shared_ptr<QMLogger> QMLogger::create(std::string identifier, bool includeDefaultDestinations) {
  std::shared_ptr<QMLogger> logger(new QMLogger(std::move(identifier)));
  if (includeDefaultDestinations) {
    logger->add(ConsoleDestination::create(nullptr, std::string(Constants::baseConsoleDestinationIdentifier)));
  }
  return logger;
}

std::shared_ptr<QMLogger> QMLogger::defaultInstance() {
  static const std::shared_ptr<QMLogger> instance = create(std::string(Constants::defaultInstanceIdentifier), true);
  return instance;
}

std::shared_ptr<platform::DispatchQueue> QMLogger::logQueue() {
  static const std::shared_ptr<platform::DispatchQueue> queue =
      platform::DispatchQueue::makeSerial(std::string(Constants::logQueueIdentifier));
  return queue;
}

std::optional<std::string> QMLogger::currentQueueLabel() {
  platform::DispatchQueue* queue = platform::DispatchQueue::current();
  if (!queue || !isValidUtf8(queue->label())) return std::nullopt;
  return queue->label();
}

std::string QMLogger::identifier() const {
  std::lock_guard lock(mutex_);
  return identifier_;
}

void QMLogger::setIdentifier(std::string identifier) {
  std::lock_guard lock(mutex_);
  identifier_ = std::move(identifier);
}

QMLogger::Level QMLogger::outputLevel() const {
  std::lock_guard lock(mutex_);
  return outputLevel_;
}

void QMLogger::setOutputLevel(Level level) {
  {
    std::lock_guard lock(mutex_);
    outputLevel_ = level;
  }
  for (const auto& destination : *snapshot()) destination->setOutputLevel(level);
}

QMLogger::NoMessageClosure QMLogger::noMessageClosure() const {
  std::lock_guard lock(mutex_);
  return noMessageClosure_;
}

void QMLogger::setNoMessageClosure(NoMessageClosure closure) {
  std::lock_guard lock(mutex_);
  noMessageClosure_ = std::move(closure);
}

std::map<Level, std::string> QMLogger::levelDescriptions() const {
  std::lock_guard lock(mutex_);
  return levelDescriptions_;
}

void QMLogger::setLevelDescriptions(std::map<Level, std::string> descriptions) {
  std::lock_guard lock(mutex_);
  levelDescriptions_ = std::move(descriptions);
}

std::optional<FormatterList> QMLogger::formatters() const {
  std::lock_guard lock(mutex_);
  return formatters_;
}

void QMLogger::setFormatters(std::optional<FormatterList> formatters) {
  std::lock_guard lock(mutex_);
  formatters_ = std::move(formatters);
}

std::optional<FilterList> QMLogger::filters() const {
  std::lock_guard lock(mutex_);
  return filters_;
}

void QMLogger::setFilters(std::optional<FilterList> filters) {
  std::lock_guard lock(mutex_);
  filters_ = std::move(filters);
}

DateFormatterPtr QMLogger::dateFormatter() const {
  static const DateFormatterPtr shared = std::make_shared<DateFormatter>("yyyy-MM-dd HH:mm:ss.SSS");
  std::lock_guard lock(mutex_);
  return customDateFormatter_ ? customDateFormatter_ : shared;
}

void QMLogger::setDateFormatter(DateFormatterPtr formatter) {
  std::lock_guard lock(mutex_);
  customDateFormatter_ = std::move(formatter);
}

std::shared_ptr<const QMLogger::DestinationList> QMLogger::snapshot() const {
  std::lock_guard lock(mutex_);
  return destinations_;
}

std::vector<DestinationPtr> QMLogger::destinations() const { return *snapshot(); }

void QMLogger::setup(Level level, bool showLogIdentifier, bool showFunctionName, bool showThreadName,
                     bool showLevel, bool showFileNames, bool showLineNumbers, bool showDate,
                     const std::optional<WriteTarget>& writeToFile, std::optional<Level> fileLevel) {
  setOutputLevel(level);
  if (auto console =
          std::dynamic_pointer_cast<ConsoleDestination>(destination(std::string(Constants::baseConsoleDestinationIdentifier)))) {
    applyShowFlags(*console, showLogIdentifier, showFunctionName, showThreadName, showLevel, showFileNames,
                   showLineNumbers, showDate);
    console->setOutputLevel(level);
  }
  if (writeToFile) {
    auto file = FileDestination::create(nullptr, *writeToFile, std::string(Constants::fileDestinationIdentifier),
                                        false, std::string("-- ** ** ** --"), std::nullopt);
    applyShowFlags(*file, showLogIdentifier, showFunctionName, showThreadName, showLevel, showFileNames,
                   showLineNumbers, showDate);
    file->setOutputLevel(fileLevel.value_or(level));
    add(file);
  }
  logAppDetails(nullptr);
}

void QMLogger::logln(Level level, std::string_view functionName, std::string_view fileName, int64_t lineNumber,
                     const UserInfo& userInfo, LogMessage closure) {
  const auto all = snapshot();
  // Most events go to one or two destinations; avoid a heap list for those.
  DestinationProtocol* selectedInline[4];
  std::vector<DestinationProtocol*> selectedMore;
  size_t count = 0;
  for (const auto& destination : *all) {
    if (!destination->isEnabledFor(level)) continue;
    if (count < 4) {
      selectedInline[count] = destination.get();
    } else {
      selectedMore.push_back(destination.get());
    }
    ++count;
  }
  if (count == 0) return;
  std::optional<std::string> message = closure();
  if (!message) return;
  const LogDetails details(level, std::chrono::system_clock::now(), std::move(*message), std::string(functionName),
                           std::string(fileName), lineNumber, userInfo);
  for (size_t i = 0; i < count; ++i) {
    DestinationProtocol* destination = i < 4 ? selectedInline[i] : selectedMore[i - 4];
    destination->process(details);
  }
}

void QMLogger::logln(LogMessage message, Level level, const UserInfo& userInfo, SourceLocation location) {
  logln(level, location.function_name(), location.file_name(), location.line(), userInfo, message);
}

void QMLogger::logWithNoMessage(Level level, const UserInfo& userInfo, const SourceLocation& location) {
  const NoMessageClosure closure = noMessageClosure();
  logln(level, location.function_name(), location.file_name(), location.line(), userInfo,
        [&closure]() -> std::optional<std::string> {
          if (!closure) return std::nullopt;
          return closure();
        });
}

#define QMLOGGER_LEVEL_OPERATIONS(name)                                                              \
  void QMLogger::name(const UserInfo& userInfo, SourceLocation location) {                    \
    logWithNoMessage(Level::name, userInfo, location);                                              \
  }                                                                                                  \
  void QMLogger::name(LogMessage message, const UserInfo& userInfo, SourceLocation location) { \
    logln(Level::name, location.function_name(), location.file_name(), location.line(), userInfo, message); \
  }                                                                                                  \
  void name(const UserInfo& userInfo, SourceLocation location) {                              \
    QMLogger::defaultInstance()->name(userInfo, location);                                          \
  }                                                                                                  \
  void name(LogMessage message, const UserInfo& userInfo, SourceLocation location) {          \
    QMLogger::defaultInstance()->name(message, userInfo, location);                                 \
  }                                                                                                  \
  void name##Exec(const std::function<void()>& closure) { QMLogger::defaultInstance()->exec(Level::name, closure); }
QMLOGGER_FOR_EACH_LEVEL(QMLOGGER_LEVEL_OPERATIONS)
#undef QMLOGGER_LEVEL_OPERATIONS

void QMLogger::exec(Level level, const std::function<void()>& closure) {
  if (isEnabledFor(level) && closure) closure();
}

bool QMLogger::isEnabledFor(Level level) const { return rawValue(outputLevel()) <= rawValue(level); }

void QMLogger::logAppDetails(DestinationProtocol* selectedDestination) {
  const Date now = std::chrono::system_clock::now();
  // No bundle information dictionary here, so the build text stays empty.
  const std::string buildText;
  const std::string line1 = processName() + " " + buildText + "PID: " + std::to_string(::getpid());
  const std::string line2 =
      "QMLogger Version: " + std::string(Constants::versionString) + " - Level: " + description(outputLevel());
  const LogDetails records[2] = {
      LogDetails(Level::info, now, line1, "", "", 0, internalUserInfo()),
      LogDetails(Level::info, now, line2, "", "", 0, internalUserInfo()),
  };
  std::shared_ptr<const DestinationList> all;
  std::vector<DestinationProtocol*> targets;
  if (selectedDestination) {
    targets.push_back(selectedDestination);
  } else {
    all = snapshot();
    for (const auto& destination : *all) targets.push_back(destination.get());
  }
  for (DestinationProtocol* target : targets) {
    if (target->haveLoggedAppDetails()) continue;
    for (const LogDetails& record : records) {
      if (target->isEnabledFor(Level::info)) {
        target->setHaveLoggedAppDetails(true);
        target->processInternal(record);
      }
    }
  }
}

void QMLogger::_logln(const std::string& message, Level level, const DestinationProtocol* source) {
  const LogDetails details(level, std::chrono::system_clock::now(), message, "", "", 0, internalUserInfo());
  const std::string sourceIdentifier = source ? source->identifier() : std::string();
  for (const auto& destination : *snapshot()) {
    if (rawValue(level) >= rawValue(Level::error) && source && sourceIdentifier == destination->identifier()) {
      continue;
    }
    if (destination->isEnabledFor(level)) destination->processInternal(details);
  }
}

DestinationPtr QMLogger::destination(const std::string& identifier) const {
  for (const auto& destination : *snapshot()) {
    if (destination->identifier() == identifier) return destination;
  }
  return nullptr;
}

bool QMLogger::add(const DestinationPtr& destination) {
  if (!destination) return false;
  const std::string id = destination->identifier();
  if (this->destination(id)) return false;
  if (auto previous = destination->owner(); previous && previous.get() != this) previous->remove(destination);
  // The owner is set before the destination joins the list, outside our lock:
  // a file destination opens its file and reports through us right here.
  destination->setOwner(shared_from_this());
  {
    std::lock_guard lock(mutex_);
    bool taken = false;
    for (const auto& existing : *destinations_) taken = taken || existing->identifier() == id;
    if (!taken) {
      auto next = std::make_shared<DestinationList>(*destinations_);
      next->push_back(destination);
      destinations_ = std::move(next);
      return true;
    }
  }
  // Another thread added the same identifier meanwhile.
  destination->setOwner(nullptr);
  return false;
}

bool QMLogger::remove(const DestinationPtr& destination) {
  if (!destination) return false;
  auto owner = destination->owner();
  if (!owner || owner.get() != this) return false;
  if (!this->destination(destination->identifier())) return false;
  destination->setOwner(nullptr);
  std::lock_guard lock(mutex_);
  auto next = std::make_shared<DestinationList>();
  for (const auto& each : *destinations_) {
    if (each->owner()) next->push_back(each);
  }
  destinations_ = std::move(next);
  return true;
}

bool QMLogger::remove(const std::string& identifier) {
  auto found = destination(identifier);
  return found ? remove(found) : false;
}

std::string QMLogger::debugDescription() const {
  std::string out = unqualifiedTypeName(typeid(*this)) + ": " + identifier() + " - destinations: \r";
  for (const auto& destination : *snapshot()) out += "\t " + destination->debugDescription() + "\r";
  return out;
}

void setup(Level level, bool showLogIdentifier, bool showFunctionName, bool showThreadName, bool showLevel,
           bool showFileNames, bool showLineNumbers, bool showDate, const std::optional<WriteTarget>& writeToFile,
           std::optional<Level> fileLevel) {
  QMLogger::defaultInstance()->setup(level, showLogIdentifier, showFunctionName, showThreadName, showLevel,
                                     showFileNames, showLineNumbers, showDate, writeToFile, fileLevel);
}

void logln(Level level, std::string_view functionName, std::string_view fileName, int64_t lineNumber,
           const UserInfo& userInfo, LogMessage closure) {
  QMLogger::defaultInstance()->logln(level, functionName, fileName, lineNumber, userInfo, closure);
}

void logln(LogMessage message, Level level, const UserInfo& userInfo, SourceLocation location) {
  QMLogger::defaultInstance()->logln(message, level, userInfo, location);
}

void exec(Level level, const std::function<void()>& closure) { QMLogger::defaultInstance()->exec(level, closure); }

}  // namespace qmlogger
