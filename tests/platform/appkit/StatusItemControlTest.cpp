#include "platform/appkit/StatusItemControl.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <future>
#include <thread>

using namespace platform;

namespace {

struct Recorder : NSApplicationDelegate {
  std::vector<std::string> actions;
  std::vector<std::optional<std::string>> quits;
  bool performAction(const std::string& selector) override {
    actions.push_back(selector);
    return true;
  }
  NSApplicationTerminateReply applicationShouldTerminate(NSApplication& app) override {
    quits.push_back(app.currentQuitReason());
    return NSApplicationTerminateReply::terminateCancel;
  }
};

struct Control : ::testing::Test {
  NSStatusBar bar;
  NSApplication app{[](int) {}};
  NSWorkspace workspace;
  std::shared_ptr<Recorder> delegate = std::make_shared<Recorder>();
  std::shared_ptr<DispatchQueue> queue = DispatchQueue::makeSerial("control-test");
  std::vector<std::string> notes;
  std::string folder;

  void SetUp() override {
    app.setDelegate(delegate);
    auto item = bar.statusItemWithLength(NSVariableStatusItemLength);
    NSMenu menu;
    menu.addItem({"empty", "", "empty"});
    menu.addItem({"Stop Proxy", "stopProxyFromMenu", "Stop Proxy"});
    menu.addItem({"Quit", "terminate:", "q"});
    item->menu = menu;
    for (auto* name : {NSWorkspaceWillSleepNotification, NSWorkspaceDidWakeNotification,
                       NSWorkspaceWillPowerOffNotification})
      workspace.notificationCenter().addObserver(name, nullptr, [this](const NSNotification& n) { notes.push_back(n.name); });
    char pattern[] = "/tmp/vardeno-control-XXXXXX";
    folder = mkdtemp(pattern);
  }
  void TearDown() override { std::filesystem::remove_all(folder); }

  StatusItemControl::Targets targets() { return {&bar, &app, &workspace, queue}; }

  // Sends each line on one connection and reads one reply line per line.
  static std::vector<std::string> talk(const std::string& path, const std::vector<std::string>& lines) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof(a.sun_path) - 1);
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    std::vector<std::string> replies;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
      ::close(fd);
      return replies;
    }
    std::string text;
    for (auto& l : lines) text += l + "\n";
    ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    std::string buffer;
    char chunk[512];
    while (replies.size() < lines.size()) {
      auto n = ::recv(fd, chunk, sizeof(chunk), 0);
      if (n <= 0) break;
      buffer.append(chunk, static_cast<size_t>(n));
      size_t nl;
      while ((nl = buffer.find('\n')) != std::string::npos) {
        replies.push_back(buffer.substr(0, nl));
        buffer.erase(0, nl + 1);
      }
    }
    ::close(fd);
    return replies;
  }
};

}  // namespace

TEST_F(Control, CommandsAndTheirReplies) {
  StatusItemControl control(targets());
  struct Case {
    std::string line;
    std::string reply;
  };
  for (const auto& c : std::vector<Case>{
           {"menu", R"(ok ["empty","Stop Proxy","Quit"])"},
           {"click Stop Proxy", "ok"},
           {"click empty", "error menu item has no action: empty"},
           {"click Nope", "error no menu item: Nope"},
           {"notify willSleep", "ok"},
           {"notify didWake", "ok"},
           {"notify willPowerOff", "ok"},
           {"notify reboot", "error unknown notification: reboot"},
           {"quit", "ok"},
           {"", "error unknown command: "},
           {"menu x", "error unknown command: menu x"},
           {std::string("bad\x01") + std::string(500, 'x'), "error unknown command: bad?" + std::string(196, 'x')},
       }) {
    auto outcome = control.perform(c.line);
    EXPECT_EQ(outcome.reply, c.reply) << c.line;
    if (outcome.then) outcome.then();
  }
  EXPECT_EQ(delegate->actions, std::vector<std::string>{"stopProxyFromMenu"});
  EXPECT_EQ(notes, (std::vector<std::string>{NSWorkspaceWillSleepNotification, NSWorkspaceDidWakeNotification,
                                             NSWorkspaceWillPowerOffNotification}));
  ASSERT_EQ(delegate->quits.size(), 1u);
  EXPECT_FALSE(delegate->quits[0]);
}

TEST_F(Control, MenuIsEmptyWithoutOne) {
  NSStatusBar none;
  none.statusItemWithLength(NSVariableStatusItemLength);
  StatusItemControl control({&none, &app, &workspace, queue});
  EXPECT_EQ(control.perform("menu").reply, "ok []");
  EXPECT_EQ(control.perform("click Quit").reply, "error no menu item: Quit");
}

TEST_F(Control, SocketRunsCommandsOnTheQueueAndRepliesPerLine) {
  StatusItemControl control(targets());
  const auto path = folder + "/agent/control.sock";
  std::string error;
  ASSERT_TRUE(control.start(path, &error)) << error;
  struct stat st{};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto replies = talk(path, {"menu", "click Quit", "quit SIGHUP", "notify didWake\r"});
  ASSERT_EQ(replies.size(), 4u);
  EXPECT_EQ(replies[0], R"(ok ["empty","Stop Proxy","Quit"])");
  EXPECT_EQ(replies[1], "ok");
  EXPECT_EQ(replies[3], "ok");
  ASSERT_TRUE(waitUntil([&] {
    std::optional<size_t> n;
    queue->sync([&] { n = delegate->quits.size(); });
    return *n == 2;
  }));
  queue->sync([&] {
    EXPECT_FALSE(delegate->quits[0]);
    EXPECT_EQ(delegate->quits[1], "SIGHUP");
  });
  // A line longer than the limit ends the connection with an error.
  auto tooLong = talk(path, {std::string(StatusItemControl::kMaxLine + 10, 'a')});
  ASSERT_EQ(tooLong.size(), 1u);
  EXPECT_EQ(tooLong[0], "error line too long");
  control.stop();
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(Control, ASecondControlIsRefusedAndAStaleSocketReplaced) {
  const auto path = folder + "/control.sock";
  {
    StatusItemControl first(targets());
    ASSERT_TRUE(first.start(path));
    StatusItemControl second(targets());
    std::string error;
    EXPECT_FALSE(second.start(path, &error));
    EXPECT_NE(error.find("another process"), std::string::npos) << error;
    EXPECT_EQ(talk(path, {"menu"}).size(), 1u);
  }
  // A socket file nobody listens on.
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof(a.sun_path) - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  ::close(fd);
  StatusItemControl again(targets());
  ASSERT_TRUE(again.start(path));
  EXPECT_EQ(talk(path, {"menu"}).size(), 1u);
  EXPECT_FALSE(StatusItemControl(targets()).start(std::string(200, 'p')));
}

namespace {

// A connected client socket that gives up reading after five seconds.
int connectTo(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof(a.sun_path) - 1);
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Reads until a line ends or the peer closes; the text read.
std::string readLine(int fd) {
  std::string text;
  char c;
  while (::recv(fd, &c, 1, 0) == 1 && c != '\n') text.push_back(c);
  return text;
}

// Runs stop() on a thread of its own; true when it returned in time.
bool stopsWithin(StatusItemControl& control, std::chrono::seconds limit) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread([&control, done] {
    control.stop();
    *done = true;
  }).detach();
  return waitUntil([&] { return done->load(); }, limit);
}

double processCpuSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

TEST_F(Control, ClientBeyondTheLimitIsRefusedAndTheLoopStaysIdle) {
  StatusItemControl control(targets());
  const auto path = folder + "/control.sock";
  ASSERT_TRUE(control.start(path));
  std::vector<int> held;
  for (std::size_t i = 0; i < StatusItemControl::kMaxClients; ++i) {
    held.push_back(connectTo(path));
    ASSERT_GE(held.back(), 0);
  }
  // Each held client is served, so all of them were taken.
  for (int fd : held) {
    ASSERT_EQ(::send(fd, "menu\n", 5, MSG_NOSIGNAL), 5);
    EXPECT_EQ(readLine(fd), R"(ok ["empty","Stop Proxy","Quit"])");
  }
  int extra = connectTo(path);
  ASSERT_GE(extra, 0);
  EXPECT_EQ(readLine(extra), "error too many clients");
  ::close(extra);
  // With every slot taken the loop waits in poll instead of spinning.
  int more = connectTo(path);
  const double before = processCpuSeconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(400));  // the window whose CPU use is measured
  EXPECT_LT(processCpuSeconds() - before, 0.2);
  ::close(more);
  for (int fd : held) ::close(fd);
  // A freed slot serves again.
  EXPECT_TRUE(waitUntil([&] { return talk(path, {"menu"}).size() == 1; }));
}

TEST_F(Control, AClientThatNeverReadsHoldsUpNobodyAndStopIsPrompt) {
  StatusItemControl control(targets());
  const auto path = folder + "/control.sock";
  ASSERT_TRUE(control.start(path));
  int greedy = connectTo(path);
  ASSERT_GE(greedy, 0);
  std::string flood;
  for (int i = 0; i < 20000; ++i) flood += "menu\n";
  std::size_t sent = 0;
  while (sent < flood.size()) {
    auto n = ::send(greedy, flood.data() + sent, flood.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  ASSERT_GT(sent, 0u);
  auto replies = talk(path, {"menu", "notify willSleep"});
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[1], "ok");
  EXPECT_TRUE(stopsWithin(control, std::chrono::seconds(5)));
  EXPECT_FALSE(std::filesystem::exists(path));
  ::close(greedy);
}

TEST_F(Control, ABusyQueueIsAnsweredInTimeAndDoesNotHoldUpStop) {
  auto t = targets();
  t.commandLimit = std::chrono::milliseconds(200);
  StatusItemControl control(t);
  const auto path = folder + "/control.sock";
  ASSERT_TRUE(control.start(path));
  // The queue is held by a long block, as a busy main queue would be.
  auto gate = std::make_shared<std::promise<void>>();
  auto opened = gate->get_future().share();
  queue->async([opened] { opened.wait(); });
  EXPECT_EQ(talk(path, {"notify didWake"}), std::vector<std::string>{"error busy"});
  int waiting = connectTo(path);
  ASSERT_EQ(::send(waiting, "menu\n", 5, MSG_NOSIGNAL), 5);
  EXPECT_TRUE(stopsWithin(control, std::chrono::seconds(5)));
  gate->set_value();
  // The command answered busy still ran once the queue was free.
  EXPECT_TRUE(waitUntil([&] {
    std::optional<std::size_t> n;
    queue->sync([&] { n = notes.size(); });
    return *n == 1;
  }));
  ::close(waiting);
}

TEST_F(Control, AnIdleClientIsClosed) {
  auto t = targets();
  t.idleLimit = std::chrono::milliseconds(200);
  StatusItemControl control(t);
  const auto path = folder + "/control.sock";
  ASSERT_TRUE(control.start(path));
  int idle = connectTo(path);
  ASSERT_GE(idle, 0);
  char c;
  EXPECT_EQ(::recv(idle, &c, 1, 0), 0);  // closed by the control, well before the read gives up
  ::close(idle);
}
