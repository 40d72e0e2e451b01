#include "platform/foundation/Defaults.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/foundation/Log.h"

using nlohmann::json;
using platform::UserDefaults;

namespace {

class DefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vardeno-defaults-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    ::setenv("VARDENO_ROOT", root_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("VARDENO_ROOT");
    std::filesystem::remove_all(root_);
  }
  std::string suitePath(const std::string& name) const { return root_ + "/defaults/" + name + ".json"; }
  void writeFile(const std::string& name, const std::string& text) const {
    std::filesystem::create_directories(root_ + "/defaults");
    std::ofstream(suitePath(name)) << text;
  }
  std::set<std::string> defaultsFiles() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(root_ + "/defaults"))
      names.insert(entry.path().filename().string());
    return names;
  }

  std::string root_;
};

}  // namespace

TEST_F(DefaultsTest, RootFromEnvironment) {
  EXPECT_EQ(platform::vardenoRoot(), root_);
  ::unsetenv("VARDENO_ROOT");
  if (::geteuid() == 0) {
    EXPECT_EQ(platform::vardenoRoot(), "/var/lib/vardeno");
  } else {
    ::setenv("XDG_STATE_HOME", "/x/state", 1);
    EXPECT_EQ(platform::vardenoRoot(), "/x/state/vardeno");
    ::unsetenv("XDG_STATE_HOME");
  }
}

TEST_F(DefaultsTest, UnsafeSuiteNamesCannotBeOpened) {
  for (const char* name : {"", "/", "..", ".", "a/b", "../escape", "/etc/passwd"}) {
    EXPECT_EQ(UserDefaults::suite(name), nullptr) << name;
  }
  auto ok = UserDefaults::suite("group.com.vardeno.ruzadevirozo");
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(ok->path(), suitePath("group.com.vardeno.ruzadevirozo"));
  EXPECT_EQ(UserDefaults::suite(std::string("a\0b", 3)), nullptr);
}

TEST_F(DefaultsTest, TypedGettersConvertAsThePlatform) {
  writeFile("conv", R"({
    "t": true, "f": false, "zero": 0, "seven": 7, "neg": -3, "pi": 3.99, "mpi": -3.99,
    "s42": "42", "s-7x": " -7x", "s3.5": "3.5", "sabc": "abc", "sTrue": "TRUE", "sYes": "Yes",
    "s1": "1", "s0": "0", "sNo": "no", "huge": 1e300, "big": "99999999999999999999",
    "dict": {"a": 1}, "arr": [1, 2], "null": null
  })");
  auto d = UserDefaults::suite("conv");
  ASSERT_NE(d, nullptr);
  struct Case {
    const char* key;
    int64_t integer;
    bool flag;
    double number;
    bool isString;
  };
  const Case cases[] = {
      {"t", 1, true, 1.0, false},       {"f", 0, false, 0.0, false},
      {"zero", 0, false, 0.0, false},   {"seven", 7, true, 7.0, false},
      {"neg", -3, true, -3.0, false},   {"pi", 3, true, 3.99, false},
      {"mpi", -3, true, -3.99, false},  {"s42", 42, false, 42.0, true},
      {"s-7x", -7, false, -7.0, true},  {"s3.5", 3, false, 3.5, true},
      {"sabc", 0, false, 0.0, true},    {"sTrue", 0, true, 0.0, true},
      {"sYes", 0, true, 0.0, true},     {"s1", 1, true, 1.0, true},
      {"s0", 0, false, 0.0, true},      {"sNo", 0, false, 0.0, true},
      {"huge", INT64_MAX, true, 1e300, false},
      {"big", INT64_MAX, false, 1e20, true},
      {"dict", 0, false, 0.0, false},   {"arr", 0, false, 0.0, false},
      {"null", 0, false, 0.0, false},   {"missing", 0, false, 0.0, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(d->integer(c.key), c.integer) << c.key;
    EXPECT_EQ(d->boolValue(c.key), c.flag) << c.key;
    EXPECT_DOUBLE_EQ(d->doubleValue(c.key), c.number) << c.key;
    EXPECT_EQ(d->string(c.key).has_value(), c.isString) << c.key;
  }
  EXPECT_EQ(d->string("s42"), "42");
  EXPECT_EQ(d->dictionary("dict"), json({{"a", 1}}));
  EXPECT_EQ(d->dictionary("arr"), std::nullopt);
  EXPECT_EQ(d->array("arr"), json::array({1, 2}));
  EXPECT_EQ(d->array("dict"), std::nullopt);
  EXPECT_EQ(d->object("t"), json(true));
  EXPECT_EQ(d->object("null"), std::nullopt);
  EXPECT_EQ(d->object("missing"), std::nullopt);
}

TEST_F(DefaultsTest, CorruptOrWrongFileReadsAsEmptyAndIsLogged) {
  const std::string bodies[] = {"{not json", "[1,2,3]", "\"text\"", "", std::string(1000, '\0'), "{\"a\": 1} trailing"};
  int n = 0;
  for (const std::string& body : bodies) {
    const std::string name = "bad" + std::to_string(n++);
    writeFile(name, body);
    platform::LogCapture capture;
    auto d = UserDefaults::suite(name);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->dictionaryRepresentation(), json::object()) << name;
    EXPECT_EQ(d->string("x"), std::nullopt);
    EXPECT_TRUE(capture.contains(suitePath(name))) << name;
    // Logged once per version of the file, not on every read.
    d->integer("y");
    EXPECT_EQ(capture.count(suitePath(name)), 1u);
  }
}

TEST_F(DefaultsTest, WriteOverCorruptFileKeepsItAside) {
  writeFile("c", "{oops");
  auto d = UserDefaults::suite("c");
  ASSERT_TRUE(d->set("k", "v"));
  EXPECT_EQ(d->string("k"), "v");
  std::ifstream kept(suitePath("c") + ".corrupt");
  std::string text((std::istreambuf_iterator<char>(kept)), {});
  EXPECT_EQ(text, "{oops");
}

TEST_F(DefaultsTest, UnreadableFileIsEmptyNotFatal) {
  // A directory where the file should be: open works, read fails (even for root).
  std::filesystem::create_directories(suitePath("dir"));
  platform::LogCapture capture;
  auto d = UserDefaults::suite("dir");
  EXPECT_EQ(d->integer("a"), 0);
  EXPECT_TRUE(capture.contains("cannot read"));
  // A write moves the unreadable entry aside and starts afresh.
  ASSERT_TRUE(d->set("a", 1));
  EXPECT_EQ(d->integer("a"), 1);
  EXPECT_TRUE(std::filesystem::is_directory(suitePath("dir") + ".corrupt"));
}

TEST_F(DefaultsTest, SetRemoveAndNullRemoves) {
  auto d = UserDefaults::suite("rw");
  EXPECT_EQ(d->object("mdmConf"), std::nullopt);  // no file yet
  json conf = {{"--organizationId", "org"}, {"--secondDNS", "192.0.2.1"}};
  ASSERT_TRUE(d->set("mdmConf", conf));
  ASSERT_TRUE(d->set("n", 5));
  EXPECT_EQ(d->dictionary("mdmConf"), conf);
  EXPECT_EQ(d->integer("n"), 5);
  ASSERT_TRUE(d->remove("n"));
  EXPECT_EQ(d->object("n"), std::nullopt);
  ASSERT_TRUE(d->set("mdmConf", nullptr));
  EXPECT_EQ(d->dictionaryRepresentation(), json::object());
  ASSERT_TRUE(d->remove("never-there"));
}

TEST_F(DefaultsTest, TwoInstancesSeeEachOthersWrites) {
  auto a = UserDefaults::suite("shared");
  auto b = UserDefaults::suite("shared");
  ASSERT_TRUE(a->set("x", "one"));
  EXPECT_EQ(b->string("x"), "one");
  ASSERT_TRUE(b->set("y", 2));
  EXPECT_EQ(a->string("x"), "one");
  EXPECT_EQ(a->integer("y"), 2);
  // Rewrites of the same size in quick succession (inodes get reused).
  for (int i = 0; i < 30; ++i) {
    ASSERT_TRUE(a->set("x", std::to_string(i % 10)));
    EXPECT_EQ(b->string("x"), std::to_string(i % 10));
  }
}

TEST_F(DefaultsTest, ConcurrentWritersFromProcessesLoseNothing) {
  // Each child writes its own keys; the lock serializes read-modify-write.
  constexpr int children = 4, keys = 25;
  std::vector<pid_t> pids;
  for (int c = 0; c < children; ++c) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      auto d = UserDefaults::suite("race");
      bool ok = true;
      for (int k = 0; k < keys; ++k) ok = d->set("c" + std::to_string(c) + "k" + std::to_string(k), k) && ok;
      ::_exit(ok ? 0 : 1);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  auto all = UserDefaults::suite("race")->dictionaryRepresentation();
  EXPECT_EQ(all.size(), static_cast<std::size_t>(children * keys));
  // Atomic writes leave no temp files behind.
  EXPECT_EQ(defaultsFiles(), (std::set<std::string>{"race.json", "race.json.lock"}));
}

TEST_F(DefaultsTest, TextThatIsNotUtf8IsStoredWithReplacementCharacters) {
  auto d = UserDefaults::suite("enc");
  ASSERT_TRUE(d->set("ok", 1));
  EXPECT_TRUE(d->set("bad", std::string("caf\xe9 \xff\xfe")));  // Latin-1, not UTF-8
  EXPECT_EQ(d->string("bad"), "caf\xef\xbf\xbd \xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_EQ(d->integer("ok"), 1);
  EXPECT_EQ(defaultsFiles(), (std::set<std::string>{"enc.json", "enc.json.lock"}));
}

TEST_F(DefaultsTest, SuitesArePrivateToTheirUser) {
  const mode_t old = ::umask(022);
  const std::string store = root_ + "/store";
  ::setenv("VARDENO_ROOT", store.c_str(), 1);
  ASSERT_TRUE(UserDefaults::suite("private")->set("userEmail", "jdoe@example.com"));
  ::umask(old);
  auto mode = [](const std::string& path) {
    struct stat st{};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
  };
  EXPECT_EQ(mode(store), 0700u);
  EXPECT_EQ(mode(store + "/defaults"), 0700u);
  EXPECT_EQ(mode(store + "/defaults/private.json"), 0600u);
  EXPECT_EQ(mode(store + "/defaults/private.json.lock"), 0600u);
}

TEST_F(DefaultsTest, OwnStateMovesWithVardenoStateAndTheStoreStays) {
  ::setenv("VARDENO_STATE", "/x/own", 1);
  EXPECT_EQ(platform::vardenoRoot(), "/x/own");
  EXPECT_EQ(platform::machineStoreRoot(), root_);
  ::unsetenv("VARDENO_STATE");
  ::unsetenv("VARDENO_ROOT");
  EXPECT_EQ(platform::machineStoreRoot(), "/var/lib/vardeno");
}

namespace {

template <typename Condition>
bool eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace

TEST_F(DefaultsTest, UnchangedSuiteIsParsedOnceNotPerRead) {
  writeFile("hot", R"({"send_timezone": 1, "ip": "198.51.100.7"})");
  auto d = UserDefaults::suite("hot");
  ASSERT_TRUE(eventually([&] { return d->integer("send_timezone") == 1; }));
  // A file written just now: the stamp alone cannot tell a same-tick rewrite,
  // yet reads of an unchanged suite share one parsed copy.
  std::vector<std::shared_ptr<const json>> seen;
  for (int i = 0; i < 1000; ++i) seen.push_back(d->snapshot());
  std::set<const json*> distinct;
  for (const auto& s : seen) distinct.insert(s.get());
  EXPECT_LE(distinct.size(), 3u);
  EXPECT_EQ(d->string("ip"), "198.51.100.7");
}

TEST_F(DefaultsTest, WritesByOthersAreSeenAlsoWhenTheFolderIsReplaced) {
  writeFile("other", R"({"x": "one"})");
  auto d = UserDefaults::suite("other");
  EXPECT_EQ(d->string("x"), "one");
  // Rewritten in place, as another program might.
  writeFile("other", R"({"x": "two"})");
  EXPECT_TRUE(eventually([&] { return d->string("x") == "two"; }));
  std::filesystem::remove_all(root_ + "/defaults");
  EXPECT_TRUE(eventually([&] { return d->string("x") == std::nullopt; }));
  writeFile("other", R"({"x": "three"})");
  EXPECT_TRUE(eventually([&] { return d->string("x") == "three"; }));
  // A write through another instance is seen by the very next read.
  ASSERT_TRUE(UserDefaults::suite("other")->set("x", "four"));
  EXPECT_EQ(d->string("x"), "four");
}

TEST_F(DefaultsTest, ForkedChildSeesChangesOnItsNextRead) {
  writeFile("forked", R"({"n": 1})");
  auto d = UserDefaults::suite("forked");
  ASSERT_EQ(d->integer("n"), 1);
  const std::string path = suitePath("forked");
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // No watching thread here: each read checks the file.
    bool ok = true;
    for (int i = 2; i < 40; ++i) {
      std::ofstream(path + ".new") << "{\"n\": " << i << "}";
      std::filesystem::rename(path + ".new", path);
      ok = d->integer("n") == i && ok;
    }
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
