#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "RecordingDestination.h"
#include "TempFolder.h"
#include "logging/AutoRotatingFileDestination.h"
#include "logging/Constants.h"
#include "logging/FileAttributes.h"
#include "logging/QMLogger.h"
#include "platform/foundation/Clock.h"

using namespace qmlogger;
namespace fs = std::filesystem;

namespace {

// 2024-05-01 10:20:30 UTC
constexpr double mayFirst = 1714558830.0;

class AutoRotatingTest : public testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    other->showNothing();
    logger->add(other);
    clock->setWall(mayFirst);
  }

  std::shared_ptr<AutoRotatingFileDestination> make(bool append, uint64_t maxSize, double maxAge, uint8_t keep = 10,
                                                    std::string identifier = "auto", fs::path path = {},
                                                    bool withOwner = true) {
    auto destination = AutoRotatingFileDestination::create(
        withOwner ? logger : nullptr, (path.empty() ? logPath : path).string(), std::move(identifier), append, std::string("-- mark --"),
        std::nullopt, maxSize, maxAge, nullptr, keep, clock);
    destination->setShowDate(false);
    destination->setShowFileName(false);
    destination->setShowLineNumber(false);
    destination->setShowFunctionName(false);
    destination->setShowLevel(false);
    return destination;
  }

  void tag(const fs::path& path, const std::string& identifier, const std::string& stamp) {
    setExtendedAttribute(FileURL{path}, std::vector<uint8_t>(identifier.begin(), identifier.end()),
                         Constants::extendedAttributeArchivedLogIdentifierKey);
    setExtendedAttribute(FileURL{path}, std::vector<uint8_t>(stamp.begin(), stamp.end()),
                         Constants::extendedAttributeArchivedLogTimestampKey);
  }

  std::vector<std::string> names(const std::vector<FileURL>& urls) {
    std::vector<std::string> out;
    for (const auto& url : urls) out.push_back(url.path.filename().string());
    return out;
  }

  // Made without owner, then added: the banner lines it writes count toward the size.
  std::shared_ptr<AutoRotatingFileDestination> added(uint64_t maxSize, double maxAge) {
    auto destination = make(true, maxSize, maxAge, 10, "auto", {}, false);
    logger->add(destination);
    return destination;
  }

  std::string archiveName(double seconds) {
    return "app" + DateFormatter("_yyyy-MM-dd_HHmmss").string(dateFromSeconds(seconds)) + ".log";
  }

  bool needsAttributes() {
    if (folder.supportsUserAttributes()) return true;
    return false;
  }

  TempFolder folder;
  fs::path logPath = folder / "app.log";
  std::shared_ptr<QMLogger> logger = QMLogger::create("auto-logger", false);
  std::shared_ptr<RecordingDestination> other = RecordingDestination::create("other");
  std::shared_ptr<platform::FakeClock> clock = std::make_shared<platform::FakeClock>();
};

#define REQUIRE_ATTRIBUTES() \
  if (!needsAttributes()) GTEST_SKIP() << "no user extended attributes in the build tree"

}  // namespace

TEST_F(AutoRotatingTest, NamesAndLimitsFromTheArguments) {
  auto d = make(true, 0, 0.5);
  EXPECT_EQ(d->baseFileName(), "app");
  EXPECT_EQ(d->fileExtension(), "log");
  ASSERT_TRUE(d->archiveFolderURL());
  EXPECT_EQ(d->archiveFolderURL()->path, folder.path());
  EXPECT_EQ(d->targetMaxFileSize(), UINT64_MAX);
  EXPECT_EQ(d->targetMaxTimeInterval(), 0.0);
  EXPECT_EQ(d->archiveSuffixDateFormatter()->dateFormat(), "_yyyy-MM-dd_HHmmss");
  clock->advance(std::chrono::hours(24 * 365));
  logger->add(d);
  for (int i = 0; i < 50; ++i) logger->info(std::string(100, 'x'));
  EXPECT_TRUE(d->archivedFileURLs().empty());
  EXPECT_FALSE(d->shouldRotate());
}

TEST_F(AutoRotatingTest, FreshStartArchivesTheOldFileAtOnce) {
  REQUIRE_ATTRIBUTES();
  writeFile(logPath, "old content\n");
  std::vector<bool> results;
  auto d = make(false, 1 << 20, 600);
  const fs::path archive = folder / "app_2024-05-01_102030.log";
  ASSERT_TRUE(fs::exists(archive));
  EXPECT_EQ(readFile(archive).rfind("old content\n", 0), 0u);
  const std::string fresh = readFile(logPath);
  EXPECT_EQ(fresh.find("old content"), std::string::npos);
  EXPECT_NE(fresh.find("QMLogger Version: 7.0.1"), std::string::npos);
  EXPECT_EQ(names(d->archivedFileURLs()), (std::vector<std::string>{"app_2024-05-01_102030.log"}));
  EXPECT_EQ(d->currentLogFileSize(), 0u);
}

TEST_F(AutoRotatingTest, AppendKeepsTheFileBehindTheMarker) {
  writeFile(logPath, "old content\n");
  auto d = make(true, 1 << 20, 600);
  const std::string text = readFile(logPath);
  EXPECT_EQ(text.rfind("old content\n-- mark --\n", 0), 0u);
  EXPECT_NE(text.find("QMLogger appending log to: "), std::string::npos);
  EXPECT_TRUE(d->archivedFileURLs().empty());
  EXPECT_EQ(d->currentLogFileSize(), text.size());
}

TEST_F(AutoRotatingTest, AppendRotatesWhenTheFileOnDiskIsAlreadyTooBig) {
  REQUIRE_ATTRIBUTES();
  writeFile(logPath, std::string(200, 'x') + "\n");
  auto d = make(true, 100, 600);
  EXPECT_EQ(d->archivedFileURLs().size(), 1u);
}

TEST_F(AutoRotatingTest, SizeLimitRotatesAfterTheLineThatReachesIt) {
  REQUIRE_ATTRIBUTES();
  auto d = added(1 << 20, 600);
  const uint64_t start = d->currentLogFileSize();
  EXPECT_GT(start, 0u);  // banner and announcement
  d->setTargetMaxFileSize(start + 30);
  std::vector<bool> results;
  d->setAutoRotationCompletion([&](bool moved) { results.push_back(moved); });
  logger->info("0123456789");  // "> " + 10 = 12
  logger->info("0123456789");  // 24
  EXPECT_TRUE(results.empty());
  EXPECT_EQ(d->currentLogFileSize(), start + 24);
  logger->info("0123456789");  // 36: over the limit, so this line ends the file
  EXPECT_EQ(results, (std::vector<bool>{true}));
  EXPECT_EQ(d->currentLogFileSize(), 0u);
  const auto archives = d->archivedFileURLs();
  ASSERT_EQ(archives.size(), 1u);
  const std::string archived = readFile(archives[0].path);
  EXPECT_NE(archived.rfind("> 0123456789\n"), std::string::npos);
  EXPECT_EQ(readFile(logPath).find("> 0123456789"), std::string::npos);
}

TEST_F(AutoRotatingTest, AgeLimitUsesTheClockAndOnlyOnWrite) {
  REQUIRE_ATTRIBUTES();
  // The start time comes from the file's birth time, so the clock starts at the real time.
  const double now = platform::Clock::system()->wallSeconds();
  clock->setWall(now);
  auto d = added(1 << 20, 60);
  int rotations = 0;
  d->setAutoRotationCompletion([&](bool moved) { rotations += moved; });
  clock->advance(std::chrono::seconds(59));
  logger->info("young");
  EXPECT_EQ(rotations, 0);
  clock->advance(std::chrono::seconds(1));
  EXPECT_TRUE(d->shouldRotate());
  EXPECT_EQ(rotations, 0);  // idle files are not rotated
  logger->info("old enough");
  EXPECT_EQ(rotations, 1);
  EXPECT_NEAR(d->currentLogStartTimeInterval(), now + 60, 1e-6);
  EXPECT_EQ(names(d->archivedFileURLs()), (std::vector<std::string>{archiveName(now + 60)}));
}

TEST_F(AutoRotatingTest, CharactersAreCountedNotBytes) {
  auto d = added(1 << 20, 600);
  const uint64_t before = d->currentLogFileSize();
  d->write("héllo wörl");  // 10 characters, 12 bytes
  EXPECT_EQ(d->currentLogFileSize() - before, 10u);
  d->write("\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7");  // one family emoji cluster
#ifdef QMLOGGER_TEST_EXPECT_GRAPHEMES
  EXPECT_EQ(d->currentLogFileSize() - before, 11u);
#endif
  d->write("\r\n");
  EXPECT_GE(d->currentLogFileSize() - before, 12u);
}

TEST_F(AutoRotatingTest, RotationInsideRotationIsNotStarted) {
  REQUIRE_ATTRIBUTES();
  // Every line passes the limit, the rotation's own banner lines included.
  // Each line passes the limit, and so does each banner line the rotation writes.
  auto d = make(true, 50, 600, 100, "auto", {}, false);
  logger->add(d);
  clock->advance(std::chrono::seconds(1));
  d->rotateFile();
  const size_t archivesBefore = d->archivedFileURLs().size();
  std::vector<bool> results;
  d->setAutoRotationCompletion([&](bool moved) { results.push_back(moved); });
  for (int i = 0; i < 3; ++i) {
    clock->advance(std::chrono::seconds(1));
    logger->info(std::string(60, 'a' + i));
  }
  // One rotation per line; none started from inside another in the same second.
  EXPECT_EQ(results, (std::vector<bool>{true, true, true}));
  EXPECT_EQ(d->archivedFileURLs().size(), archivesBefore + 3);
}

TEST_F(AutoRotatingTest, SameSecondRotationKeepsWritingToTheLiveFile) {
  REQUIRE_ATTRIBUTES();
  auto d = added(1 << 20, 600);
  std::vector<bool> results;
  d->setAutoRotationCompletion([&](bool moved) { results.push_back(moved); });
  d->rotateFile();
  logger->info("still here");
  d->rotateFile();
  EXPECT_EQ(results, (std::vector<bool>{true, false}));
  EXPECT_NE(readFile(logPath).find("still here"), std::string::npos);
}

TEST_F(AutoRotatingTest, CleanUpKeepsTheNewestOfOursOnly) {
  REQUIRE_ATTRIBUTES();
  auto d = make(true, 1 << 20, 600, 2);
  const struct {
    const char* name;
    const char* identifier;
    const char* stamp;
  } files[] = {
      {"a.log", "auto", "9.5"},          {"b.log", "auto", "10.25"},        {"c.log", "auto", "100"},
      {".hidden.log", "auto", "1.0"},    {"foreign.log", "someone", "1.0"}, {"d.log", "auto", "11.0"},
  };
  for (const auto& file : files) {
    writeFile(folder / file.name, "x");
    tag(folder / file.name, file.identifier, file.stamp);
  }
  writeFile(folder / "untagged.log", "x");
  EXPECT_EQ(names(d->archivedFileURLs()),
            (std::vector<std::string>{"c.log", "d.log", "b.log", "a.log", ".hidden.log"}));
  d->cleanUpLogFiles();
  EXPECT_EQ(names(d->archivedFileURLs()), (std::vector<std::string>{"c.log", "d.log"}));
  for (const char* kept : {"c.log", "d.log", "foreign.log", "untagged.log", "app.log"}) {
    EXPECT_TRUE(fs::exists(folder / kept)) << kept;
  }
  for (const char* gone : {"a.log", "b.log", ".hidden.log"}) EXPECT_FALSE(fs::exists(folder / gone)) << gone;
  d->setTargetMaxLogFiles(0);
  EXPECT_TRUE(d->archivedFileURLs().empty());
  EXPECT_TRUE(fs::exists(folder / "foreign.log"));
}

TEST_F(AutoRotatingTest, TimestampsThatAreNotNumbersSortAsText) {
  REQUIRE_ATTRIBUTES();
  auto d = make(true, 1 << 20, 600);
  for (auto [name, stamp] : {std::pair{"n.log", "5"}, std::pair{"x.log", "abc"}, std::pair{"y.log", "abd"}}) {
    writeFile(folder / name, "x");
    tag(folder / name, "auto", stamp);
  }
  writeFile(folder / "bad.log", "x");
  tag(folder / "bad.log", "auto", "\xff\xfe");
  EXPECT_EQ(names(d->archivedFileURLs()), (std::vector<std::string>{"n.log", "y.log", "x.log"}));
}

TEST_F(AutoRotatingTest, PurgeDeletesAllOfOursAndReportsFailuresElsewhere) {
  REQUIRE_ATTRIBUTES();
  auto d = added(1 << 20, 600);
  writeFile(folder / "one.log", "x");
  tag(folder / "one.log", "auto", "1");
  writeFile(folder / "foreign.log", "x");
  tag(folder / "foreign.log", "other-dest", "1");
  // A tagged folder that is not empty cannot be deleted.
  fs::create_directory(folder / "stuck");
  writeFile(folder / "stuck" / "inside", "x");
  tag(folder / "stuck", "auto", "2");
  d->purgeArchivedLogFiles();
  EXPECT_FALSE(fs::exists(folder / "one.log"));
  EXPECT_TRUE(fs::exists(folder / "foreign.log"));
  EXPECT_TRUE(fs::exists(folder / "stuck"));
  const auto lines = other->lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.rfind("> Unable to delete old archived log file " + (folder / "stuck").string() + ": ", 0) == 0;
  }));
  EXPECT_EQ(readFile(logPath).find("Unable to delete"), std::string::npos);
}

TEST_F(AutoRotatingTest, NoExtensionArchivesIntoThePrivateDefaultFolder) {
  REQUIRE_ATTRIBUTES();
  const char* previous = std::getenv("TMPDIR");
  const std::string saved = previous ? previous : "";
  ::setenv("TMPDIR", folder.path().c_str(), 1);
  auto d = make(false, 1 << 20, 600, 10, "auto", folder / "plainlog");
  EXPECT_EQ(d->baseFileName(), "plainlog");
  EXPECT_EQ(d->fileExtension(), "");
  const fs::path expected = folder / ("log-" + std::to_string(::geteuid()));
  ASSERT_TRUE(d->archiveFolderURL());
  EXPECT_EQ(d->archiveFolderURL()->path, expected);
  struct stat info {};
  ASSERT_EQ(::lstat(expected.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_TRUE(fs::exists(expected / "plainlog_2024-05-01_102030"));
  // A folder others can write to is not used.
  ::chmod(expected.c_str(), 0777);
  EXPECT_FALSE(d->defaultLogFolderURL().has_value());
  if (previous) {
    ::setenv("TMPDIR", saved.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
}

TEST_F(AutoRotatingTest, NoArchiveFolderStopsRotation) {
  auto d = make(true, 1, 600, 10, "auto", {}, false);
  d->setArchiveFolderURL(std::nullopt);
  logger->add(d);
  logger->info("a");
  logger->info("b");
  EXPECT_FALSE(d->shouldRotate());
  EXPECT_NE(readFile(logPath).find("> b"), std::string::npos);
}

TEST_F(AutoRotatingTest, SettingAnArchiveFolderCreatesIt) {
  auto d = make(true, 1 << 20, 600);
  d->setArchiveFolderURL(FileURL{folder / "deep" / "archive"});
  EXPECT_TRUE(fs::is_directory(folder / "deep" / "archive"));
}

TEST_F(AutoRotatingTest, UnreadableFileAttributesAreReported) {
  auto d = make(true, 1 << 20, 600, 10, "auto", folder / "missing" / "app.log");
  EXPECT_EQ(d->currentLogFileSize(), 0u);
  EXPECT_NEAR(d->currentLogStartTimeInterval(), mayFirst, 1e-6);
  const auto lines = other->lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line == "> Unable to determine current file attributes of log file: No such file or directory";
  }));
}
