#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <limits>
#include <thread>

#include "RecordingDestination.h"
#include "logging/AppleSystemLogDestination.h"
#include "logging/ConsoleDestination.h"
#include "logging/FileNameFilter.h"
#include "logging/PrePostFixLogFormatter.h"
#include "logging/QMLogger.h"
#include "logging/TestDestination.h"
#include "logging/UserInfoFilter.h"
#include "platform/dispatch/Dispatch.h"

using namespace qmlogger;

namespace {

struct Fixture {
  std::shared_ptr<QMLogger> logger = QMLogger::create("logger-id", false);
  std::shared_ptr<RecordingDestination> destination = RecordingDestination::create("rec");
  Fixture() {
    logger->setDateFormatter(std::make_shared<DateFormatter>("'DATE'"));
    logger->add(destination);
  }
};

std::string processName() { return program_invocation_short_name; }

}  // namespace

TEST(Logger, MessageIsLazyAndEvaluatedOnce) {
  Fixture f;
  auto second = RecordingDestination::create("second");
  f.logger->add(second);
  int calls = 0;
  auto message = [&] {
    ++calls;
    return std::string("x");
  };
  f.destination->setOutputLevel(Level::error);
  second->setOutputLevel(Level::error);
  f.logger->info(message);
  EXPECT_EQ(calls, 0);
  f.logger->error(message);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(f.destination->lines().size(), 1u);
  EXPECT_EQ(second->lines().size(), 1u);
}

TEST(Logger, NothingYieldedLogsNothing) {
  Fixture f;
  f.logger->error([]() -> std::optional<std::string> { return std::nullopt; });
  f.logger->error([]() -> std::optional<int> { return 42; });
  ASSERT_EQ(f.destination->lines().size(), 1u);
  EXPECT_NE(f.destination->lines()[0].find("> 42"), std::string::npos);
}

TEST(Logger, DoublesLogAsDecimalTextWithAFraction) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {1000000.0, "1000000.0"},
      {1700000000.0, "1700000000.0"},
      {1714558830.25, "1714558830.25"},
      {0.5, "0.5"},
      {-2.0, "-2.0"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {0.1, "0.1"},
      {0.0001, "0.0001"},
      {123456789012345.0, "123456789012345.0"},
      {1e16, "1e+16"},
      {0.00001, "1e-05"},
      {1.5e300, "1.5e+300"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::numeric_limits<double>::quiet_NaN(), "nan"},
  };
  for (const auto& c : cases) EXPECT_EQ(describeValue(c.value), c.text) << c.text;
  Fixture f;
  f.destination->showNothing();
  f.logger->info([] { return 1000000.0; });
  EXPECT_EQ(f.destination->lines(), (std::vector<std::string>{"> 1000000.0"}));
}

TEST(Logger, NoMessageFormsLogTheNoMessageClosure) {
  Fixture f;
  f.destination->showNothing();
  f.logger->warning();
  f.logger->setNoMessageClosure([] { return std::optional<std::string>("empty"); });
  f.logger->severe();
  EXPECT_EQ(f.destination->lines(), (std::vector<std::string>{"> ", "> empty"}));
}

TEST(Logger, LineLayoutTable) {
  const struct {
    const char* name;
    bool date, level, identifier, thread, file, line, function;
    std::string expected;
  } cases[] = {
      {"defaults", true, true, false, false, true, true, true, "DATE [Info] [Model.src:12] fn() > msg"},
      {"nothing", false, false, false, false, false, false, false, "> msg"},
      {"date only", true, false, false, false, false, false, false, "DATE > msg"},
      {"level only", false, true, false, false, false, false, false, "[Info] > msg"},
      {"identifier", false, false, true, false, false, false, false, "[logger-id] > msg"},
      {"thread on main", false, false, false, true, false, false, false, "[main] > msg"},
      {"file only", false, false, false, false, true, false, false, "[Model.src] > msg"},
      {"line only", false, false, false, false, false, true, false, "[12] > msg"},
      {"function only", false, false, false, false, false, false, true, "fn() > msg"},
      {"all", true, true, true, true, true, true, true, "DATE [Info] [logger-id] [main] [Model.src:12] fn() > msg"},
  };
  for (const auto& c : cases) {
    Fixture f;
    f.destination->setShowDate(c.date);
    f.destination->setShowLevel(c.level);
    f.destination->setShowLogIdentifier(c.identifier);
    f.destination->setShowThreadName(c.thread);
    f.destination->setShowFileName(c.file);
    f.destination->setShowLineNumber(c.line);
    f.destination->setShowFunctionName(c.function);
    f.logger->logln(Level::info, "fn()", "/src/app/Model.src", 12, {}, "msg");
    ASSERT_EQ(f.destination->lines().size(), 1u) << c.name;
    EXPECT_EQ(f.destination->lines()[0], c.expected) << c.name;
  }
}

TEST(Logger, InternalLayoutShowsOnlyDateLevelAndIdentifier) {
  Fixture f;
  f.destination->setShowLogIdentifier(true);
  f.destination->setShowThreadName(true);
  f.destination->setLevelDescriptions({{Level::warning, "W"}});
  f.logger->_logln("inside", Level::warning);
  EXPECT_EQ(f.destination->lines(), (std::vector<std::string>{"DATE [Warning] [logger-id] > inside"}));
}

TEST(Logger, DefaultDateFormat) {
  auto logger = QMLogger::create("x", false);
  EXPECT_EQ(logger->dateFormatter()->dateFormat(), "yyyy-MM-dd HH:mm:ss.SSS");
  logger->setDateFormatter(std::make_shared<DateFormatter>("HH"));
  logger->setDateFormatter(nullptr);
  EXPECT_EQ(logger->dateFormatter()->dateFormat(), "yyyy-MM-dd HH:mm:ss.SSS");
}

TEST(Logger, LevelNamesFromDestinationThenOwnerThenDefault) {
  Fixture f;
  f.destination->showNothing();
  f.destination->setShowLevel(true);
  f.destination->setLevelDescriptions({{Level::info, "I"}, {Level::notice, ""}});
  f.logger->setLevelDescriptions({{Level::info, "owner-I"}, {Level::warning, "owner-W"}, {Level::notice, "owner-N"}});
  f.logger->info("a");
  f.logger->warning("b");
  f.logger->error("c");
  f.logger->notice("d");
  EXPECT_EQ(f.destination->lines(), (std::vector<std::string>{"[I] > a", "[owner-W] > b", "[Error] > c", "[] > d"}));
}

TEST(Logger, FiltersAndFormattersFallBackToTheOwnerOnlyWhenAbsent) {
  Fixture f;
  f.destination->showNothing();
  f.logger->setFilters(FilterList{FileNameFilter::excludeFrom({"Hidden.src"})});
  auto prefix = std::make_shared<PrePostFixLogFormatter>();
  prefix->apply("<", ">");
  f.logger->setFormatters(FormatterList{prefix});
  f.logger->logln(Level::info, "", "/x/Hidden.src", 1, {}, "dropped");
  f.logger->logln(Level::info, "", "/x/Shown.src", 1, {}, "kept");
  f.destination->setFilters(FilterList{});
  f.destination->setFormatters(FormatterList{});
  f.logger->logln(Level::info, "", "/x/Hidden.src", 1, {}, "now kept");
  EXPECT_EQ(f.destination->lines(), (std::vector<std::string>{"<> kept>", "> now kept"}));
}

TEST(Logger, TagFilterDropsTaggedEvents) {
  Fixture f;
  f.destination->showNothing();
  f.destination->setFilters(FilterList{TagFilter::excludeFrom(std::vector<Tag>{Tag("noisy")})});
  f.logger->info("a", Tag("noisy") | Dev("me"));
  f.logger->info("b", Tag("calm") | Dev("me"));
  f.logger->info("c", Tag::names({"calm", "noisy"}));
  EXPECT_EQ(f.destination->lines(), (std::vector<std::string>{"> b"}));
}

TEST(Logger, LevelsSetOnDestinationsAndNone) {
  Fixture f;
  f.logger->setOutputLevel(Level::none);
  EXPECT_EQ(f.destination->outputLevel(), Level::none);
  f.logger->emergency("x");
  f.logger->logln(Level::none, "", "", 0, {}, "y");
  ASSERT_EQ(f.destination->lines().size(), 1u);
  for (Level level : allLevelCases) EXPECT_TRUE(f.destination->isEnabledFor(Level::none)) << rawValue(level);
  f.logger->setOutputLevel(Level::verbose);
  for (Level level : allLevelCases) EXPECT_TRUE(f.logger->isEnabledFor(level));
}

TEST(Logger, ExecRunsOnlyWhenTheLoggerAdmitsTheLevel) {
  auto logger = QMLogger::create("x", false);
  logger->setOutputLevel(Level::warning);
  int runs = 0;
  logger->infoExec([&] { ++runs; });
  logger->warningExec([&] { ++runs; });
  logger->exec(Level::severe, [&] { ++runs; });
  EXPECT_EQ(runs, 2);
}

TEST(Logger, AddAndRemoveRules) {
  auto a = QMLogger::create("a", false);
  auto b = QMLogger::create("b", false);
  auto d1 = RecordingDestination::create("same");
  auto d2 = RecordingDestination::create("same");
  EXPECT_TRUE(a->add(d1));
  EXPECT_FALSE(a->add(d2));
  EXPECT_EQ(a->destinations().size(), 1u);
  EXPECT_EQ(d2->owner(), nullptr);
  EXPECT_FALSE(b->remove(d1));
  EXPECT_TRUE(b->add(d1));  // moves it
  EXPECT_EQ(d1->owner(), b);
  EXPECT_TRUE(a->destinations().empty());
  EXPECT_FALSE(b->remove(std::string("missing")));
  EXPECT_EQ(b->destination("same"), d1);
  EXPECT_TRUE(b->remove(std::string("same")));
  EXPECT_EQ(d1->owner(), nullptr);
  EXPECT_TRUE(b->destinations().empty());
}

TEST(Logger, DestinationWithoutOwnerWritesNothing) {
  auto destination = RecordingDestination::create("free");
  LogDetails details(Level::error, Date{}, "m", "", "", 0, {});
  destination->process(details);
  destination->processInternal(details);
  EXPECT_TRUE(destination->lines().empty());
}

TEST(Logger, OwnerIsWeakAndClearedWhenTheLoggerGoes) {
  auto destination = RecordingDestination::create("d");
  std::weak_ptr<QMLogger> weak;
  {
    auto logger = QMLogger::create("gone", false);
    logger->add(destination);
    weak = logger;
  }
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(destination->owner(), nullptr);
}

TEST(Logger, InternalErrorsSkipTheirSource) {
  Fixture f;
  auto other = RecordingDestination::create("other");
  f.logger->add(other);
  f.destination->showNothing();
  other->showNothing();
  f.logger->_logln("failed", Level::error, f.destination.get());
  f.logger->_logln("note", Level::warning, f.destination.get());
  EXPECT_EQ(f.destination->lines(), (std::vector<std::string>{"> note"}));
  EXPECT_EQ(other->lines(), (std::vector<std::string>{"> failed", "> note"}));
}

TEST(Logger, BannerLinesOncePerDestination) {
  Fixture f;
  f.destination->showNothing();
  f.logger->setOutputLevel(Level::warning);
  f.destination->setOutputLevel(Level::info);
  f.logger->logAppDetails();
  f.logger->logAppDetails();
  const std::vector<std::string> expected{"> " + processName() + " PID: " + std::to_string(::getpid()),
                                          "> QMLogger Version: 7.0.1 - Level: Warning"};
  EXPECT_EQ(f.destination->lines(), expected);
  EXPECT_TRUE(f.destination->haveLoggedAppDetails());
}

TEST(Logger, BannerSkipsDestinationsBelowInfo) {
  Fixture f;
  f.destination->setOutputLevel(Level::error);
  f.logger->logAppDetails();
  EXPECT_TRUE(f.destination->lines().empty());
  EXPECT_FALSE(f.destination->haveLoggedAppDetails());
}

TEST(Logger, SetupConfiguresTheConsoleAndWritesTheBanner) {
  auto logger = QMLogger::create("setup", true);
  auto recorder = RecordingDestination::create("rec");
  logger->add(recorder);
  logger->setup(Level::info, true, false, true, false, false, false, false);
  auto console = std::dynamic_pointer_cast<ConsoleDestination>(
      logger->destination("com.quillmoor.qmlogger.logdestination.console"));
  ASSERT_NE(console, nullptr);
  EXPECT_EQ(console->debugDescription(),
            "ConsoleDestination: com.quillmoor.qmlogger.logdestination.console - Level: Info showLogIdentifier: "
            "true showFunctionName: false showThreadName: true showLevel: false showFileName: false "
            "showLineNumber: false showDate: false");
  EXPECT_EQ(logger->destinations().size(), 2u);
  ASSERT_EQ(recorder->lines().size(), 2u);
  EXPECT_NE(recorder->lines()[1].find("QMLogger Version: 7.0.1 - Level: Info"), std::string::npos);
}

TEST(Logger, DebugDescriptions) {
  auto logger = QMLogger::create("desc", false);
  auto console = ConsoleDestination::create(nullptr, "c");
  EXPECT_EQ(console->debugDescription(),
            "ConsoleDestination: c - Level: Debug showLogIdentifier: false showFunctionName: true showThreadName: "
            "false showLevel: true showFileName: true showLineNumber: true showDate: true");
  logger->add(console);
  EXPECT_EQ(logger->debugDescription(), "QMLogger: desc - destinations: \r\t " + console->debugDescription() + "\r");
}

TEST(Logger, SystemLogDestinationNeverShowsTheDate) {
  auto destination = AppleSystemLogDestination::create(nullptr, "syslog");
  destination->setShowDate(true);
  EXPECT_FALSE(destination->showDate());
}

TEST(Logger, TestDestinationMatchesExpectedLines) {
  auto logger = QMLogger::create("t", false);
  auto test = TestDestination::create(nullptr, "test");
  test->setShowDate(false);
  test->setShowFileName(false);
  test->setShowLineNumber(false);
  test->setShowFunctionName(false);
  logger->add(test);
  test->add("[Info] > once");
  test->add("[Info] > once");
  logger->info("once");
  logger->info("never expected");
  EXPECT_EQ(test->remainingNumberOfExpectedLogMessages(), 1u);
  EXPECT_EQ(test->numberOfUnexpectedLogMessages(), 1u);
  EXPECT_EQ(test->unexpectedLogMessages(), (std::vector<std::string>{"[Info] > never expected"}));
  test->reset();
  EXPECT_EQ(test->remainingNumberOfExpectedLogMessages(), 0u);
  EXPECT_EQ(test->numberOfUnexpectedLogMessages(), 0u);
}

TEST(Logger, TestDestinationOnAQueueRecordsBeforeTheCallReturns) {
  auto logger = QMLogger::create("t", false);
  auto test = TestDestination::create(nullptr, "test");
  test->setLogQueue(platform::DispatchQueue::makeSerial("test-destination"));
  test->setShowDate(false);
  logger->add(test);
  logger->info("x");
  EXPECT_EQ(test->numberOfUnexpectedLogMessages(), 1u);
}

TEST(Logger, QueuedDestinationWritesOnItsQueueWithTheCallersThreadName) {
  Fixture f;
  auto queue = std::make_shared<platform::ManualQueue>();
  f.destination->setLogQueue(queue);
  f.destination->showNothing();
  f.destination->setShowThreadName(true);
  f.logger->info("later");
  EXPECT_TRUE(f.destination->lines().empty());
  queue->runPending();
  EXPECT_EQ(f.destination->lines(), (std::vector<std::string>{"[main] > later"}));
}

TEST(Logger, ThreadPieceNamesTheQueueOffTheMainThread) {
  Fixture f;
  f.destination->showNothing();
  f.destination->setShowThreadName(true);
  auto queue = platform::DispatchQueue::makeSerial("com.example.worker");
  std::atomic<bool> done{false};
  queue->async([&] {
    f.logger->info("q");
    done = true;
  });
  ASSERT_TRUE(platform::waitUntil([&] { return done.load(); }));
  std::thread([&] { f.logger->info("t"); }).join();
  const auto lines = f.destination->lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "[com.example.worker] > q");
  EXPECT_EQ(lines[1].rfind("[0x", 0), 0u) << lines[1];
}

TEST(Logger, ConcurrentLoggingAndListChanges) {
  Fixture f;
  std::atomic<bool> stop{false};
  std::thread changer([&] {
    for (int i = 0; i < 200; ++i) {
      auto extra = RecordingDestination::create("extra" + std::to_string(i % 3));
      f.logger->add(extra);
      f.logger->remove(std::string("extra" + std::to_string((i + 1) % 3)));
    }
    stop = true;
  });
  int logged = 0;
  while (!stop) {
    f.logger->info("m");
    ++logged;
  }
  changer.join();
  EXPECT_EQ(f.destination->lines().size(), static_cast<size_t>(logged));
}

TEST(Logger, DefaultInstanceAndClassOperations) {
  auto shared = QMLogger::defaultInstance();
  EXPECT_EQ(shared, QMLogger::defaultInstance());
  EXPECT_EQ(shared->identifier(), "com.quillmoor.qmlogger.defaultInstance");
  auto recorder = RecordingDestination::create("default-rec");
  recorder->showNothing();
  ASSERT_TRUE(shared->add(recorder));
  shared->setOutputLevel(Level::none);
  recorder->setOutputLevel(Level::verbose);
  qmlogger::verbose("via class");
  qmlogger::logln(Level::alert, "f", "file", 1, {}, "worker");
  int runs = 0;
  qmlogger::emergencyExec([&] { ++runs; });
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(recorder->lines(), (std::vector<std::string>{"> via class", "> worker"}));
  shared->remove(recorder);
  shared->setOutputLevel(Level::debug);
}

TEST(Logger, SourceLocationNamesTheCaller) {
  Fixture f;
  f.destination->showNothing();
  f.destination->setShowFileName(true);
  f.destination->setShowLineNumber(true);
  f.destination->setShowFunctionName(true);
  const int line = __LINE__ + 1;
  f.logger->info("here");
  ASSERT_EQ(f.destination->lines().size(), 1u);
  EXPECT_EQ(f.destination->lines()[0], "[LoggerTest.cpp:" + std::to_string(line) + "] TestBody > here");
}
