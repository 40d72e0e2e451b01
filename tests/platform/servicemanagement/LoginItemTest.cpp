#include "platform/servicemanagement/LoginItem.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/appkit/RunningInstances.h"

using namespace platform;

namespace {
std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}
struct TempFolder {
  std::string path;
  TempFolder() {
    char pattern[] = "/tmp/vardeno-login-XXXXXX";
    path = mkdtemp(pattern);
  }
  ~TempFolder() { std::filesystem::remove_all(path); }
};
}  // namespace

TEST(LoginItem, ExecLineQuotesThePath) {
  struct Case {
    std::string program;
    std::string exec;
  };
  for (const auto& c : std::vector<Case>{
           {"/opt/vardeno/bin/Vardeno_for_OSX", R"(Exec="/opt/vardeno/bin/Vardeno_for_OSX")"},
           {"/opt/my apps/agent", R"(Exec="/opt/my apps/agent")"},
           {"/opt/a\"b$c", R"(Exec="/opt/a\\"b\\$c")"},
           {"/opt/back\\slash", R"(Exec="/opt/back\\\\slash")"},
       }) {
    auto entry = autostartEntry("com.vardeno.agent", c.program);
    EXPECT_NE(entry.find("\n" + c.exec + "\n"), std::string::npos) << entry;
    EXPECT_EQ(entry.rfind("[Desktop Entry]\nType=Application\n", 0), 0u);
  }
}

TEST(LoginItem, EnableWritesAndDisableRemovesTheEntry) {
  TempFolder t;
  const auto folder = t.path + "/autostart";
  ASSERT_TRUE(setLoginItemEnabled(folder, "com.vardeno.agent", "/bin/agent", true));
  const auto file = folder + "/com.vardeno.agent.desktop";
  EXPECT_EQ(readFile(file), autostartEntry("com.vardeno.agent", "/bin/agent"));
  ASSERT_TRUE(setLoginItemEnabled(folder, "com.vardeno.agent", "/bin/agent", true));  // again: same file
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
  ASSERT_TRUE(setLoginItemEnabled(folder, "com.vardeno.agent", "/bin/agent", false));
  EXPECT_FALSE(std::filesystem::exists(file));
  std::string error;
  EXPECT_FALSE(setLoginItemEnabled(folder, "../escape", "/bin/agent", true, &error));
  EXPECT_FALSE(setLoginItemEnabled(folder, "", "/bin/agent", true));
}

TEST(LoginItem, FolderFollowsXdgConfigHome) {
  TempFolder t;
  ::setenv("XDG_CONFIG_HOME", t.path.c_str(), 1);
  EXPECT_EQ(autostartFolder(), t.path + "/autostart");
  ASSERT_TRUE(SMLoginItemSetEnabled("com.vardeno.agent", true));
  auto text = readFile(t.path + "/autostart/com.vardeno.agent.desktop");
  EXPECT_NE(text.find(ownExecutablePath()), std::string::npos);
  ::setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
  ::setenv("HOME", "/home/x", 1);
  EXPECT_EQ(autostartFolder(), "/home/x/.config/autostart");
  ::unsetenv("XDG_CONFIG_HOME");
}

TEST(RunningInstances, FindsProcessesByTheirExecutable) {
  auto self = ownExecutablePath();
  ASSERT_FALSE(self.empty());
  auto pids = runningInstances(self);
  EXPECT_NE(std::find(pids.begin(), pids.end(), ::getpid()), pids.end());
  EXPECT_TRUE(runningInstances("").empty());

  TempFolder t;
  auto make = [&](const std::string& pid, const std::string& exe) {
    std::filesystem::create_directories(t.path + "/" + pid);
    std::filesystem::create_symlink(exe, t.path + "/" + pid + "/exe");
  };
  make("12", "/opt/agent");
  make("7", "/opt/agent (deleted)");
  make("30", "/usr/bin/other");
  make("self", "/opt/agent");
  std::filesystem::create_directories(t.path + "/99");  // no exe link (kernel thread, other user)
  EXPECT_EQ(runningInstances("/opt/agent", t.path), (std::vector<int>{7, 12}));
}
