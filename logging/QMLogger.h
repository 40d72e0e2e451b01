#pragma once
// The leveled logger: owns its destinations and hands each event to those
// that admit its level. Loggers are made by `create`, destinations hold them weakly.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include "logging/SourceLocation.h"
#include <string>
#include <vector>

#include "logging/Constants.h"
#include "logging/DateFormatter.h"
#include "logging/DestinationProtocol.h"
#include "logging/Level.h"
#include "logging/LogDetails.h"
#include "logging/LogMessage.h"
#include "logging/UserInfo.h"
#include "logging/WriteTarget.h"

namespace platform {
class DispatchQueue;
}

namespace qmlogger {

class QMLogger : public std::enable_shared_from_this<QMLogger> {
 public:
  using Level = qmlogger::Level;
  using NoMessageClosure = std::function<std::optional<std::string>()>;

  static std::shared_ptr<QMLogger> create(std::string identifier = "", bool includeDefaultDestinations = true);
  // The shared instance, made on first use with a console destination.
  static std::shared_ptr<QMLogger> defaultInstance();
  // A serial queue offered to callers; the library submits nothing to it.
  static std::shared_ptr<platform::DispatchQueue> logQueue();
  // Label of the dispatch queue running the caller, if any.
  static std::optional<std::string> currentQueueLabel();

  virtual ~QMLogger();
  QMLogger(const QMLogger&) = delete;
  QMLogger& operator=(const QMLogger&) = delete;

  std::string identifier() const;
  void setIdentifier(std::string identifier);
  Level outputLevel() const;
  // Also sets the level on every current destination.
  void setOutputLevel(Level level);
  NoMessageClosure noMessageClosure() const;
  void setNoMessageClosure(NoMessageClosure closure);
  std::map<Level, std::string> levelDescriptions() const;
  void setLevelDescriptions(std::map<Level, std::string> descriptions);
  std::optional<FormatterList> formatters() const;
  void setFormatters(std::optional<FormatterList> formatters);
  std::optional<FilterList> filters() const;
  void setFilters(std::optional<FilterList> filters);
  // The custom formatter, else the shared "yyyy-MM-dd HH:mm:ss.SSS" one.
  DateFormatterPtr dateFormatter() const;
  void setDateFormatter(DateFormatterPtr formatter);
  std::vector<DestinationPtr> destinations() const;

  void setup(Level level = Level::debug, bool showLogIdentifier = false, bool showFunctionName = true,
             bool showThreadName = false, bool showLevel = true, bool showFileNames = true,
             bool showLineNumbers = true, bool showDate = true,
             const std::optional<WriteTarget>& writeToFile = std::nullopt,
             std::optional<Level> fileLevel = std::nullopt);

  // The worker: evaluates the message once, only when a destination admits the level.
  void logln(Level level, std::string_view functionName, std::string_view fileName, int64_t lineNumber,
             const UserInfo& userInfo, LogMessage closure);
  void logln(LogMessage message, Level level = Level::debug, const UserInfo& userInfo = {},
             SourceLocation location = SourceLocation::current());

#define QMLOGGER_LEVEL_OPERATIONS(name)                                                               \
  void name(const UserInfo& userInfo = {}, SourceLocation location = SourceLocation::current()); \
  void name(LogMessage message, const UserInfo& userInfo = {},                                       \
            SourceLocation location = SourceLocation::current());                       \
  void name##Exec(const std::function<void()>& closure) { exec(Level::name, closure); }
  QMLOGGER_FOR_EACH_LEVEL(QMLOGGER_LEVEL_OPERATIONS)
#undef QMLOGGER_LEVEL_OPERATIONS

  // Runs the closure only when the logger's own level admits `level`.
  void exec(Level level, const std::function<void()>& closure);
  bool isEnabledFor(Level level) const;

  // The two banner lines, to one destination or to all.
  void logAppDetails(DestinationProtocol* selectedDestination = nullptr);
  // A message of the library about itself; `source` is the reporting destination.
  void _logln(const std::string& message, Level level, const DestinationProtocol* source = nullptr);

  DestinationPtr destination(const std::string& identifier) const;
  bool add(const DestinationPtr& destination);
  bool remove(const DestinationPtr& destination);
  bool remove(const std::string& identifier);

  std::string debugDescription() const;

 protected:
  explicit QMLogger(std::string identifier);

 private:
  using DestinationList = std::vector<DestinationPtr>;
  std::shared_ptr<const DestinationList> snapshot() const;
  void logWithNoMessage(Level level, const UserInfo& userInfo, const SourceLocation& location);

  mutable std::mutex mutex_;
  std::string identifier_;
  Level outputLevel_ = Level::debug;
  NoMessageClosure noMessageClosure_;
  std::map<Level, std::string> levelDescriptions_;
  std::optional<FormatterList> formatters_;
  std::optional<FilterList> filters_;
  DateFormatterPtr customDateFormatter_;
  // Replaced, never changed in place, so a snapshot can be used without the lock.
  std::shared_ptr<const DestinationList> destinations_ = std::make_shared<DestinationList>();
};

// The class-level operations: each acts on QMLogger::defaultInstance().
void setup(Level level = Level::debug, bool showLogIdentifier = false, bool showFunctionName = true,
           bool showThreadName = false, bool showLevel = true, bool showFileNames = true,
           bool showLineNumbers = true, bool showDate = true,
           const std::optional<WriteTarget>& writeToFile = std::nullopt,
           std::optional<Level> fileLevel = std::nullopt);
void logln(Level level, std::string_view functionName, std::string_view fileName, int64_t lineNumber,
           const UserInfo& userInfo, LogMessage closure);
void logln(LogMessage message, Level level = Level::debug, const UserInfo& userInfo = {},
           SourceLocation location = SourceLocation::current());
void exec(Level level, const std::function<void()>& closure);

#define QMLOGGER_DEFAULT_LEVEL_OPERATIONS(name)                                                        \
  void name(const UserInfo& userInfo = {}, SourceLocation location = SourceLocation::current()); \
  void name(LogMessage message, const UserInfo& userInfo = {},                                        \
            SourceLocation location = SourceLocation::current());                        \
  void name##Exec(const std::function<void()>& closure);
QMLOGGER_FOR_EACH_LEVEL(QMLOGGER_DEFAULT_LEVEL_OPERATIONS)
#undef QMLOGGER_DEFAULT_LEVEL_OPERATIONS

}  // namespace qmlogger
