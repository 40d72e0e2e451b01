#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <atomic>
#include <thread>

#include "RecordingDestination.h"
#include "TempFolder.h"
#include "logging/FileAttributes.h"
#include "logging/FileDestination.h"
#include "logging/QMLogger.h"
#include "platform/foundation/Clock.h"
#include "platform/dispatch/Dispatch.h"

using namespace qmlogger;

namespace {

struct Fixture {
  TempFolder folder;
  std::shared_ptr<QMLogger> logger = QMLogger::create("file-logger", false);
  std::shared_ptr<RecordingDestination> other = RecordingDestination::create("other");
  std::filesystem::path logPath = folder / "app.log";

  Fixture() {
    other->showNothing();
    logger->add(other);
  }

  std::shared_ptr<FileDestination> make(bool append, std::optional<std::string> marker = std::nullopt,
                                        bool withOwner = true) {
    auto file = FileDestination::create(withOwner ? logger : nullptr, logPath.string(), "file", append, marker);
    file->setShowDate(false);
    return file;
  }
};

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool anyLineContains(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

std::string attribute(const std::filesystem::path& path, const std::string& name) {
  auto data = extendedAttributeData(FileURL{path}, name);
  return data ? std::string(data->begin(), data->end()) : "<none>";
}

}  // namespace

TEST(FileDestination, WithoutOwnerNothingIsCreatedUntilAdded) {
  Fixture f;
  auto file = f.make(false, std::nullopt, false);
  EXPECT_FALSE(std::filesystem::exists(f.logPath));
  ASSERT_TRUE(f.logger->add(file));
  file->flush();
  const auto lines = linesOf(readFile(f.logPath));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find(" PID: "), std::string::npos);
  EXPECT_EQ(lines[1], "[Info] > QMLogger Version: 7.0.1 - Level: Debug");
  EXPECT_EQ(lines[2], "[Info] > QMLogger writing log to: file://" + f.logPath.string());
  EXPECT_EQ(f.other->lines().back(), "> QMLogger writing log to: file://" + f.logPath.string());
}

TEST(FileDestination, OpenModesTable) {
  const struct {
    const char* name;
    bool existing;
    bool append;
    std::optional<std::string> marker;
    std::vector<std::string> start;
    const char* mode;
  } cases[] = {
      {"append to existing with marker", true, true, "-- mark --", {"old line", "-- mark --"}, "appending"},
      {"append to existing without marker", true, true, std::nullopt, {"old line"}, "appending"},
      {"append to missing", false, true, "-- mark --", {}, "writing"},
      {"truncate existing", true, false, "-- mark --", {}, "writing"},
  };
  for (const auto& c : cases) {
    Fixture f;
    if (c.existing) writeFile(f.logPath, "old line\n");
    auto file = f.make(c.append, c.marker);
    file->flush();
    auto lines = linesOf(readFile(f.logPath));
    ASSERT_EQ(lines.size(), c.start.size() + 3) << c.name;
    for (size_t i = 0; i < c.start.size(); ++i) EXPECT_EQ(lines[i], c.start[i]) << c.name;
    EXPECT_TRUE(endsWith(lines.back(), std::string("[Info] > QMLogger ") + c.mode + " log to: file://" + f.logPath.string()))
        << c.name << ": " << lines.back();
  }
}

TEST(FileDestination, OwnAnnouncementWhenNotInTheOwnersList) {
  Fixture f;
  auto file = f.make(false);
  // Given an owner but never added: the announcement still reaches the file once.
  const auto lines = linesOf(readFile(f.logPath));
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& line) {
                            return endsWith(line, "[Info] > QMLogger writing log to: file://" + f.logPath.string());
                          }),
            1);
  EXPECT_TRUE(file->hasOpenFile());
}

TEST(FileDestination, OpenFailureIsReportedToTheOthers) {
  Fixture f;
  f.logPath = f.folder / "missing-folder" / "app.log";
  auto file = f.make(false);
  EXPECT_FALSE(file->hasOpenFile());
  ASSERT_FALSE(f.other->lines().empty());
  EXPECT_EQ(f.other->lines().back(), "> Attempt to open log file for writing failed: No such file or directory");
  file->write("dropped");
}

TEST(FileDestination, WritesLinesAndInvalidUtf8AsIs) {
  Fixture f;
  auto file = f.make(false);
  file->setShowLevel(false);
  file->setShowFileName(false);
  file->setShowLineNumber(false);
  file->setShowFunctionName(false);
  f.logger->add(file);
  f.logger->info("héllo");
  f.logger->info(std::string("bad \xff\xfe bytes"));
  const auto lines = linesOf(readFile(f.logPath));
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "> héllo");
  EXPECT_EQ(lines.back(), "> bad \xff\xfe bytes");
}

TEST(FileDestination, FlushOnQueueCallsTheClosureOnceAfterTheWrites) {
  Fixture f;
  auto file = f.make(false);
  f.logger->add(file);
  auto queue = std::make_shared<platform::ManualQueue>();
  file->setLogQueue(queue);
  f.logger->info("queued");
  int calls = 0;
  std::string seen;
  file->flush([&] {
    ++calls;
    seen = readFile(f.logPath);
  });
  EXPECT_EQ(calls, 0);
  queue->runPending();
  EXPECT_EQ(calls, 1);
  EXPECT_NE(seen.find("> queued"), std::string::npos);
}

TEST(FileDestination, LoggerGoingAwayClosesTheFile) {
  Fixture f;
  auto file = f.make(false, std::nullopt, false);
  {
    auto logger = QMLogger::create("short", false);
    logger->add(file);
    EXPECT_TRUE(file->hasOpenFile());
  }
  EXPECT_EQ(file->owner(), nullptr);
  EXPECT_FALSE(file->hasOpenFile());
}

TEST(FileDestination, RemovingClosesAndNewLocationReopens) {
  Fixture f;
  auto file = f.make(false, std::nullopt, false);
  f.logger->add(file);
  EXPECT_TRUE(file->hasOpenFile());
  const auto second = f.folder / "second.log";
  file->setWriteToFileURL(FileURL{second});
  EXPECT_TRUE(std::filesystem::exists(second));
  f.logger->remove(file);
  EXPECT_FALSE(file->hasOpenFile());
}

TEST(FileDestination, TargetsThatGiveNoLocation) {
  Fixture f;
  for (const WriteTarget& target : {WriteTarget(""), WriteTarget::url("https://example.com/x.log"),
                                    WriteTarget::url("file://host/x.log"), WriteTarget::url("file:///a%00b")}) {
    auto file = FileDestination::create(f.logger, target, "none", false);
    EXPECT_FALSE(file->writeToFileURL().has_value());
    EXPECT_FALSE(file->hasOpenFile());
  }
  auto url = WriteTarget::url("file:///tmp/a%20b.log").fileURL();
  ASSERT_TRUE(url);
  EXPECT_EQ(url->path, "/tmp/a b.log");
  EXPECT_EQ(url->absoluteString(), "file:///tmp/a%20b.log");
}

TEST(FileDestination, RotationMovesTagsAndStartsAFreshFile) {
  Fixture f;
  if (!f.folder.supportsUserAttributes()) GTEST_SKIP() << "no user extended attributes here";
  auto file = f.make(false);
  file->setClock(std::make_shared<platform::FakeClock>(1700000000.0));
  f.logger->add(file);
  f.logger->info("before");
  const auto archive = f.folder / "archive.log";
  int calls = 0;
  bool result = false;
  EXPECT_TRUE(file->rotateFile(archive.string(), [&](bool moved) {
    ++calls;
    result = moved;
  }));
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(result);
  EXPECT_NE(readFile(archive).find("before"), std::string::npos);
  EXPECT_EQ(attribute(archive, "com.quillmoor.qmlogger.archived.by"), "file");
  const std::string stamp = attribute(archive, "com.quillmoor.qmlogger.archived.at");
  // The archiving time as decimal text with its fraction, never in exponent form.
  EXPECT_EQ(stamp, "1700000000.0");
  // Stored under the user namespace on Linux.
  char raw[64];
  EXPECT_GT(::getxattr(archive.c_str(), "user.com.quillmoor.qmlogger.archived.by", raw, sizeof raw), 0);
  const std::string fresh = readFile(f.logPath);
  EXPECT_EQ(fresh.find("before"), std::string::npos);
  EXPECT_NE(fresh.find("QMLogger Version: 7.0.1"), std::string::npos);
  EXPECT_TRUE(anyLineContains(f.other->lines(), "> Rotated file " + f.logPath.string() + " to " + archive.string()));
}

TEST(FileDestination, RotationOntoAnExistingFileChangesNothing) {
  Fixture f;
  auto file = f.make(false);
  f.logger->add(file);
  f.logger->info("keep");
  const auto archive = f.folder / "taken.log";
  writeFile(archive, "taken\n");
  const std::string before = readFile(f.logPath);
  int calls = 0;
  EXPECT_FALSE(file->rotateFile(archive.string(), [&](bool moved) {
    ++calls;
    EXPECT_FALSE(moved);
  }));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(readFile(archive), "taken\n");
  EXPECT_EQ(readFile(f.logPath), before);
  EXPECT_TRUE(file->hasOpenFile());
  EXPECT_FALSE(file->rotateFile(WriteTarget::url("http://x/y"), {}));
}

TEST(FileDestination, FailedMoveKeepsTheLiveLog) {
  Fixture f;
  auto file = f.make(false);
  f.logger->add(file);
  f.logger->info("precious");
  const auto archive = f.folder / "no-such-folder" / "archive.log";
  EXPECT_FALSE(file->rotateFile(archive.string()));
  f.logger->info("after");
  const std::string text = readFile(f.logPath);
  EXPECT_NE(text.find("precious"), std::string::npos);
  EXPECT_NE(text.find("after"), std::string::npos);
  EXPECT_NE(text.find("QMLogger appending log to: "), std::string::npos);
  const auto lines = f.other->lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.rfind("> Unable to rotate file " + f.logPath.string() + " to " + archive.string() + ": ", 0) == 0;
  }));
}

TEST(FileDestination, AttributeFailureStillCountsAsRotated) {
  Fixture f;
  auto file = f.make(false);
  f.logger->add(file);
  // Identifiers longer than any attribute value the file system accepts.
  file->setIdentifier(std::string(70000, 'x'));
  const auto archive = f.folder / "big.log";
  EXPECT_TRUE(file->rotateFile(archive.string()));
  const auto lines = f.other->lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.rfind("> Unable to set extended file attributes on file " + archive.string() + ": ", 0) == 0;
  }));
}

TEST(FileDestination, TwoFileDestinationsReportingToEachOther) {
  Fixture f;
  auto a = FileDestination::create(nullptr, (f.folder / "a.log").string(), "a", false);
  auto b = FileDestination::create(nullptr, (f.folder / "b.log").string(), "b", false);
  f.logger->add(a);
  f.logger->add(b);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        auto& target = (t + i) % 2 ? a : b;
        target->rotateFile((f.folder / ("r" + std::to_string(t) + "-" + std::to_string(i) + ".log")).string());
        f.logger->info("line");
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(a->hasOpenFile());
  EXPECT_TRUE(b->hasOpenFile());
}

TEST(FileDestination, WriteErrorIsCaughtAndPrinted) {
  Fixture f;
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP();
  auto file = FileDestination::create(f.logger, std::string("/dev/full"), "full", true);
  testing::internal::CaptureStdout();
  file->write("cannot fit");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Objective-C Exception occurred: "), std::string::npos) << out;
}

TEST(FileDestination, SetupAddsTheFileDestination) {
  Fixture f;
  f.logger->setup(Level::verbose, false, false, false, true, false, false, false, WriteTarget(f.logPath),
                  Level::info);
  auto file = std::dynamic_pointer_cast<FileDestination>(f.logger->destination("com.quillmoor.qmlogger.logdestination.file"));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->outputLevel(), Level::info);
  EXPECT_EQ(f.other->outputLevel(), Level::verbose);
  f.logger->debug("below the file level");
  f.logger->info("kept");
  const auto lines = linesOf(readFile(f.logPath));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1], "[Info] > QMLogger Version: 7.0.1 - Level: Verbose");
  EXPECT_EQ(lines[2], "[Info] > QMLogger writing log to: file://" + f.logPath.string());
  EXPECT_EQ(lines[3], "[Info] > kept");
}

TEST(FileAttributes, ReadsSurviveValuesThatChangeSize) {
  TempFolder folder;
  if (!folder.supportsUserAttributes()) GTEST_SKIP();
  const auto path = folder / "changing";
  writeFile(path, "x");
  const FileURL url{path};
  const std::vector<uint8_t> small(1, 's'), large(4000, 'l');
  setExtendedAttribute(url, small, "com.example.changing");
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (bool big = false; !stop; big = !big) setExtendedAttribute(url, big ? large : small, "com.example.changing");
  });
  int failures = 0;
  for (int i = 0; i < 2000; ++i) {
    try {
      auto value = extendedAttributeData(url, "com.example.changing");
      if (!value || (*value != small && *value != large)) ++failures;
    } catch (const PosixError&) {
      ++failures;
    }
  }
  stop = true;
  writer.join();
  EXPECT_EQ(failures, 0);
}

TEST(FileAttributes, MissingAttributeIsNothingAndErrorsCarryTheText) {
  TempFolder folder;
  const auto path = folder / "plain";
  writeFile(path, "x");
  EXPECT_FALSE(extendedAttributeData(FileURL{path}, "com.example.absent").has_value());
  EXPECT_THROW(setExtendedAttribute(FileURL{folder / "missing"}, {1}, "com.example.k"), PosixError);
  const PosixError error = posixError(ENOENT);
  EXPECT_EQ(error.code(), ENOENT);
  EXPECT_EQ(error.localizedDescription(), "No such file or directory");
  EXPECT_EQ(systemAttributeName("com.x"), "user.com.x");
  EXPECT_EQ(systemAttributeName("trusted.x"), "trusted.x");
  if (!folder.supportsUserAttributes()) GTEST_SKIP();
  setExtendedAttribute(FileURL{path}, {}, "com.example.empty");
  auto empty = extendedAttributeData(FileURL{path}, "com.example.empty");
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());
}
