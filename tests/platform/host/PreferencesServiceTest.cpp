#include "platform/host/PreferencesService.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include <gtest/gtest.h>

using namespace platform;
using namespace std::chrono_literals;

namespace {

class PreferencesServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vardeno-prefsvc-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    std::filesystem::create_directories(root_ + "/networkextension");
    ::setenv("VARDENO_ROOT", root_.c_str(), 1);
  }
  void TearDown() override {
    service_.reset();
    for (int fd : clients_) ::close(fd);
    ::unsetenv("VARDENO_ROOT");
    std::filesystem::remove_all(root_);
  }
  void start(std::chrono::milliseconds clientTimeout = 60s, std::size_t maxClients = 8) {
    std::string error;
    service_ = PreferencesService::start({root_, "root", clientTimeout, maxClients}, error);
    ASSERT_TRUE(service_) << error;
  }
  // A raw client of the socket.
  int connectClient() {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", service_->socketPath().c_str());
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    clients_.push_back(fd);
    return fd;
  }
  std::string readLine(int fd) {
    std::string line;
    char c;
    while (::recv(fd, &c, 1, 0) == 1 && c != '\n') line.push_back(c);
    return line;
  }
  std::string prefs() const { return root_ + "/networkextension/dnsproxy.json"; }

  std::string root_;
  std::unique_ptr<PreferencesService> service_;
  std::vector<int> clients_;
};

}  // namespace

TEST_F(PreferencesServiceTest, ReadsWritesAndSetsAsideTheStoresFilesOnly) {
  start();
  struct stat st{};
  ASSERT_EQ(::stat(service_->socketPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);

  auto missing = PreferencesService::read(prefs());
  ASSERT_TRUE(missing);
  EXPECT_FALSE(missing->error);
  EXPECT_FALSE(missing->text);

  auto written = PreferencesService::write(prefs(), "{\"enabled\": true}\n");
  ASSERT_TRUE(written);
  EXPECT_FALSE(*written);
  ASSERT_EQ(::stat(prefs().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto read = PreferencesService::read(prefs());
  ASSERT_TRUE(read && read->text);
  EXPECT_EQ(*read->text, "{\"enabled\": true}\n");

  auto aside = PreferencesService::setAside(prefs());
  ASSERT_TRUE(aside);
  EXPECT_FALSE(*aside);
  EXPECT_TRUE(std::filesystem::exists(prefs() + ".corrupt"));
  EXPECT_FALSE(std::filesystem::exists(prefs()));

  // Paths outside the store's files are not asked for.
  EXPECT_FALSE(PreferencesService::read(root_ + "/defaults/x.json"));
  EXPECT_FALSE(PreferencesService::read("/etc/passwd"));
  // A raw request naming any other file is refused.
  for (std::string request : {R"({"op":"read","name":"../../etc/passwd"})", R"({"op":"write","name":"x","text":""})",
                              R"({"op":"chmod","name":"networkextension/dnsproxy.json"})", "[1,2]", "not json"}) {
    int fd = connectClient();
    request += "\n";
    ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    EXPECT_EQ(readLine(fd).rfind("{\"error\":", 0), 0u) << request;
  }
}

TEST_F(PreferencesServiceTest, SilentPartialAndNonReadingClientsDoNotStallOthers) {
  start();
  ASSERT_FALSE(*PreferencesService::write(prefs(), std::string(3 << 20, 'x')));
  connectClient();  // says nothing
  int partial = connectClient();
  ASSERT_GT(::send(partial, "{\"op\":\"read\"", 12, MSG_NOSIGNAL), 0);
  for (int i = 0; i < 3; ++i) {  // ask for a large reply and never read it
    int greedy = connectClient();
    std::string request = R"({"op":"read","name":"networkextension/dnsproxy.json"})" "\n";
    ASSERT_GT(::send(greedy, request.data(), request.size(), MSG_NOSIGNAL), 0);
  }
  // Each exchange gives up after 5 s: a stalled service fails it.
  for (int i = 0; i < 3; ++i) {
    auto written = PreferencesService::write(prefs(), "{}\n");
    ASSERT_TRUE(written);
    EXPECT_FALSE(*written);
  }
}

TEST_F(PreferencesServiceTest, ClientsBeyondTheBoundWaitForAFreeSlot) {
  start(300ms, 2);
  connectClient();
  connectClient();
  auto read = PreferencesService::read(prefs());
  ASSERT_TRUE(read);
  EXPECT_FALSE(read->error) << read->error->description;
}

TEST_F(PreferencesServiceTest, AnOversizedRequestIsAnsweredWithAnError) {
  start();
  int fd = connectClient();
  std::string chunk(1 << 20, 'x');
  // The service stops reading after its bound and answers.
  for (int i = 0; i < 6; ++i)
    if (::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0) break;
  EXPECT_EQ(readLine(fd), R"({"error":"the request is too large"})");
}
