#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "platform/dispatch/Dispatch.h"
#include "platform/xpc/XpcClient.h"
#include "platform/xpc/XpcListener.h"
#include "tests/relay-service/TempRoot.h"

using nlohmann::json;
using platform::XpcArgument;
using platform::XpcClient;
using platform::XpcConnection;
using platform::XpcInterface;
using platform::XpcListener;
using std::chrono::milliseconds;

namespace {

const char* kService = "test.vardeno.xpc";

// Answers "echo:" and "hold:" (which waits until released); records "note:".
class TestObject : public platform::XpcExportedObject {
 public:
  void invoke(const std::string& selector, const json& arguments, platform::XpcReplyBlock reply) override {
    if (selector == "note:") {
      std::lock_guard lock(mutex);
      notes.push_back(arguments[0].get<std::string>());
    } else if (selector == "echo:withReply:") {
      std::string joined;
      {
        std::lock_guard lock(mutex);
        for (auto& n : notes) joined += n + ",";
      }
      reply(json::array({arguments[0].get<std::string>(), joined}));
    } else if (selector == "holdWithReply:") {
      std::unique_lock lock(mutex);
      released.wait_for(lock, std::chrono::seconds(10), [&] { return release; });
      reply(json::array({"held"}));
    } else if (selector == "hidden:") {
      reply(json::array({"should not be reachable"}));
    }
  }
  std::mutex mutex;
  std::condition_variable released;
  bool release = false;
  std::vector<std::string> notes;
};

class Delegate : public platform::XpcListenerDelegate {
 public:
  bool shouldAcceptNewConnection(XpcListener&, const std::shared_ptr<XpcConnection>& c) override {
    ++attempts;
    if (!accept) return false;
    c->setExportedInterface(XpcInterface{"TestProtocol",
                                         {{"note:", {XpcArgument::text}},
                                          {"echo:withReply:", {XpcArgument::text, XpcArgument::replyBlock}},
                                          {"holdWithReply:", {XpcArgument::replyBlock}}}});
    c->setExportedObject(object);
    c->resume();
    std::lock_guard lock(mutex);
    accepted.push_back(c);
    return true;
  }
  std::shared_ptr<XpcConnection> last() {
    std::lock_guard lock(mutex);
    return accepted.empty() ? nullptr : accepted.back().lock();
  }
  std::mutex mutex;
  std::vector<std::weak_ptr<XpcConnection>> accepted;
  std::shared_ptr<TestObject> object = std::make_shared<TestObject>();
  std::atomic<int> attempts{0};
  bool accept = true;
};

class Xpc : public ::testing::Test {
 protected:
  void SetUp() override {
    listener_ = XpcListener::machService(kService);
    ASSERT_TRUE(listener_);
    listener_->setDelegate(delegate_);
    ASSERT_TRUE(listener_->resume()) << listener_->error();
  }
  void TearDown() override {
    {
      std::lock_guard lock(delegate_->object->mutex);
      delegate_->object->release = true;
    }
    delegate_->object->released.notify_all();
  }
  void release() {
    {
      std::lock_guard lock(delegate_->object->mutex);
      delegate_->object->release = true;
    }
    delegate_->object->released.notify_all();
  }
  std::size_t noteCount() {
    std::lock_guard lock(delegate_->object->mutex);
    return delegate_->object->notes.size();
  }
  std::unique_ptr<XpcClient> connect() {
    std::string error;
    auto client = XpcClient::connect(kService, &error);
    EXPECT_TRUE(client) << error;
    return client;
  }

  testsupport::TempRoot root_;
  std::shared_ptr<Delegate> delegate_ = std::make_shared<Delegate>();
  std::shared_ptr<XpcListener> listener_;
};

}  // namespace

TEST_F(Xpc, SocketLivesUnderTheRoot) {
  EXPECT_EQ(listener_->socketPath(), root_.path() + "/xpc/test.vardeno.xpc.sock");
  EXPECT_TRUE(std::filesystem::is_socket(listener_->socketPath()));
}

TEST_F(Xpc, CallsAreAnsweredInOrderOnTheConnection) {
  auto client = connect();
  ASSERT_TRUE(client->post("note:", json::array({"first"})));
  ASSERT_TRUE(client->post("note:", json::array({"second"})));
  auto answer = client->call("echo:withReply:", json::array({"hi"}));
  ASSERT_TRUE(answer.reply) << answer.error.value_or("no answer");
  EXPECT_EQ(*answer.reply, json::array({"hi", "first,second,"}));
}

TEST_F(Xpc, OnlyTheExportedSelectorsWithTheirArgumentsAreCallable) {
  auto client = connect();
  struct Case {
    std::string selector;
    json arguments;
  };
  for (const Case& c : std::vector<Case>{{"hidden:", json::array({"x"})},
                                         {"echo:", json::array({"x"})},
                                         {"", json::array()},
                                         {"echo:withReply:", json::array()},
                                         {"echo:withReply:", json::array({1})},
                                         {"echo:withReply:", json::array({"a", "b"})},
                                         {"echo:withReply:", json::object()},
                                         {"note:", json::array({nullptr})}}) {
    auto answer = client->call(c.selector, c.arguments);
    EXPECT_TRUE(answer.error) << c.selector << " " << c.arguments.dump();
    EXPECT_FALSE(answer.reply) << c.selector;
  }
  // Still usable afterwards.
  EXPECT_TRUE(client->call("echo:withReply:", json::array({"ok"})).reply);
}

TEST_F(Xpc, MalformedLinesAreRefusedAndTheConnectionGoesOn) {
  auto client = connect();
  for (const std::string& line : std::vector<std::string>{"not json", "[1,2]", R"({"selector":"note:","args":["x"]})",
                                 R"({"id":"7","selector":"note:","args":["x"]})", "\xFF\xFE",
                                 std::string(200000, '[')}) {
    ASSERT_TRUE(client->sendLine(line));
    auto message = client->readMessage(milliseconds(5000));
    ASSERT_TRUE(message) << line.substr(0, 20);
    EXPECT_TRUE(message->contains("error"));
    EXPECT_TRUE((*message)["id"].is_null());
  }
  EXPECT_TRUE(client->call("echo:withReply:", json::array({"ok"})).reply);
}

TEST_F(Xpc, OverlongLineClosesOnlyThatConnection) {
  auto client = connect();
  std::string huge = R"({"id":1,"selector":"note:","args":[")" + std::string(platform::xpcwire::kMaxLine, 'a') + "\"]}";
  client->sendLine(huge);
  auto message = client->readMessage(milliseconds(5000));
  ASSERT_TRUE(message);
  EXPECT_EQ((*message)["error"], "line too long");
  EXPECT_TRUE(client->closedByPeer(milliseconds(5000)));
  EXPECT_TRUE(connect()->call("echo:withReply:", json::array({"ok"})).reply);
}

TEST_F(Xpc, ABlockedConnectionDoesNotHoldUpAnother) {
  auto blocked = connect();
  ASSERT_TRUE(blocked->post("holdWithReply:", json::array()));
  auto other = connect();
  auto answer = other->call("echo:withReply:", json::array({"free"}));
  ASSERT_TRUE(answer.reply);
  {
    std::lock_guard lock(delegate_->object->mutex);
    delegate_->object->release = true;
  }
  delegate_->object->released.notify_all();
  auto held = blocked->readMessage(milliseconds(5000));
  ASSERT_TRUE(held);
  EXPECT_EQ((*held)["reply"], json::array({"held"}));
}

TEST_F(Xpc, CallsBeyondTheBoundAreRefusedAndTheConnectionGoesOn) {
  auto client = connect();
  ASSERT_TRUE(client->post("holdWithReply:", json::array()));
  const std::size_t room = XpcConnection::kMaxCallsInFlight - 1;
  for (std::size_t i = 0; i < room + 10; ++i)
    ASSERT_TRUE(client->post("note:", json::array({std::to_string(i)})));
  int refused = 0;
  while (refused < 10) {
    auto message = client->readMessage(milliseconds(5000));
    ASSERT_TRUE(message) << refused;
    ASSERT_EQ((*message)["error"], "too many calls in flight");
    EXPECT_EQ((*message)["id"], 1 + room + 1 + refused);
    ++refused;
  }
  release();
  auto held = client->readMessage(milliseconds(5000));
  ASSERT_TRUE(held);
  EXPECT_EQ((*held)["reply"], json::array({"held"}));
  // The calls taken in all ran; once they are done there is room again.
  ASSERT_TRUE(platform::waitUntil([&] { return noteCount() == room; }, std::chrono::seconds(5)));
  platform::XpcClient::Answer answer;
  ASSERT_TRUE(platform::waitUntil([&] {
    answer = client->call("echo:withReply:", json::array({"after"}));
    return answer.reply.has_value();
  }, std::chrono::seconds(5))) << answer.error.value_or("no answer");
  EXPECT_EQ(noteCount(), room);
}

TEST_F(Xpc, WaitingCallsOfAClosedConnectionAreDropped) {
  auto client = connect();
  ASSERT_TRUE(client->post("holdWithReply:", json::array()));
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(client->post("note:", json::array({"late"})));
  std::weak_ptr<XpcConnection> served;
  ASSERT_TRUE(platform::waitUntil([&] { return (served = delegate_->last()).lock() != nullptr; }, std::chrono::seconds(5)));
  client.reset();
  ASSERT_TRUE(platform::waitUntil([&] {
    auto c = served.lock();
    return !c || !c->isValid();
  }, std::chrono::seconds(5)));
  release();
  // The connection goes once its queue has run what it still held.
  ASSERT_TRUE(platform::waitUntil([&] { return served.expired(); }, std::chrono::seconds(5)));
  EXPECT_EQ(noteCount(), 0u);
}

TEST_F(Xpc, RefusedConnectionIsClosed) {
  delegate_->accept = false;
  auto client = connect();
  EXPECT_TRUE(client->closedByPeer(milliseconds(5000)));
  EXPECT_EQ(delegate_->attempts.load(), 1);
}

TEST_F(Xpc, SecondListenerOfARunningServiceFails) {
  auto second = XpcListener::machService(kService);
  EXPECT_FALSE(second->resume());
  EXPECT_NE(second->error().find("already running"), std::string::npos);
  EXPECT_TRUE(connect()->call("echo:withReply:", json::array({"ok"})).reply);
}

TEST(XpcListenerSetup, ReplacesAStaleSocketAndRejectsBadNames) {
  testsupport::TempRoot root;
  std::string path = root.path() + "/xpc/stale.sock";
  std::filesystem::create_directories(root.path() + "/xpc");
  {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);  // leaves the file behind, nobody listening
  }
  auto listener = XpcListener::machService("stale");
  EXPECT_TRUE(listener->resume()) << listener->error();

  std::ofstream(root.path() + "/xpc/plainfile.sock") << "x";
  EXPECT_FALSE(XpcListener::machService("plainfile")->resume());

  for (const std::string bad : {"", "..", "a/b"}) EXPECT_FALSE(XpcListener::machService(bad)) << bad;
  EXPECT_FALSE(XpcClient::connect("no.such.service"));
}
