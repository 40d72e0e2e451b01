#pragma once
// Root of all destinations: line layout, level test, description.
#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "logging/DestinationProtocol.h"

namespace qmlogger {

class BaseDestination : public DestinationProtocol, public std::enable_shared_from_this<BaseDestination> {
 public:
  BaseDestination(const std::shared_ptr<QMLogger>& owner, std::string identifier);
  ~BaseDestination() override = default;

  std::shared_ptr<QMLogger> owner() const override;
  void setOwner(const std::shared_ptr<QMLogger>& owner) override;
  bool isOwnedBy(const std::weak_ptr<QMLogger>& logger) const override;
  std::string identifier() const override;
  void setIdentifier(std::string identifier) override;
  Level outputLevel() const override { return outputLevel_.load(); }
  void setOutputLevel(Level level) override { outputLevel_.store(level); }
  bool haveLoggedAppDetails() const override { return haveLoggedAppDetails_.load(); }
  void setHaveLoggedAppDetails(bool logged) override { haveLoggedAppDetails_.store(logged); }
  std::optional<FormatterList> formatters() const override;
  void setFormatters(std::optional<FormatterList> formatters) override;
  std::optional<FilterList> filters() const override;
  void setFilters(std::optional<FilterList> filters) override;

  // Flags of the line layout.
  bool showLogIdentifier() const { return showLogIdentifier_; }
  void setShowLogIdentifier(bool on) { showLogIdentifier_ = on; }
  bool showFunctionName() const { return showFunctionName_; }
  void setShowFunctionName(bool on) { showFunctionName_ = on; }
  bool showThreadName() const { return showThreadName_; }
  void setShowThreadName(bool on) { showThreadName_ = on; }
  bool showFileName() const { return showFileName_; }
  void setShowFileName(bool on) { showFileName_ = on; }
  bool showLineNumber() const { return showLineNumber_; }
  void setShowLineNumber(bool on) { showLineNumber_ = on; }
  bool showLevel() const { return showLevel_; }
  void setShowLevel(bool on) { showLevel_ = on; }
  virtual bool showDate() const { return showDate_; }
  virtual void setShowDate(bool on) { showDate_ = on; }

  std::map<Level, std::string> levelDescriptions() const;
  void setLevelDescriptions(std::map<Level, std::string> descriptions);

  void process(const LogDetails& logDetails) override;
  void processInternal(const LogDetails& logDetails) override;
  bool isEnabledFor(Level level) const override { return rawValue(outputLevel_.load()) <= rawValue(level); }
  std::string debugDescription() const override;

 protected:
  // Writes a finished line; every concrete destination overrides it.
  virtual void output(const LogDetails& logDetails, const std::string& message);

 private:
  std::string datePiece(const QMLogger& owner, const LogDetails& logDetails) const;

  mutable std::mutex mutex_;
  std::weak_ptr<QMLogger> owner_;
  std::string identifier_;
  std::atomic<Level> outputLevel_{Level::debug};
  std::atomic<bool> haveLoggedAppDetails_{false};
  std::optional<FormatterList> formatters_;
  std::optional<FilterList> filters_;
  std::atomic<bool> showLogIdentifier_{false};
  std::atomic<bool> showFunctionName_{true};
  std::atomic<bool> showThreadName_{false};
  std::atomic<bool> showFileName_{true};
  std::atomic<bool> showLineNumber_{true};
  std::atomic<bool> showLevel_{true};
  std::atomic<bool> showDate_{true};
  std::map<Level, std::string> levelDescriptions_;
};

// "[main] ", "[<thread or queue name>] " or "[0x...] " for the calling thread.
std::string threadPiece();

}  // namespace qmlogger
