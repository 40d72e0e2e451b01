#include "platform/appkit/Application.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "platform/dispatch/Dispatch.h"

using namespace platform;
using Reply = NSApplicationTerminateReply;

namespace {

struct ScriptedDelegate : NSApplicationDelegate {
  std::vector<Reply> answers;
  std::vector<std::optional<std::string>> reasons;
  int willTerminate = 0;
  std::vector<std::string> actions;
  NSApplication* app = nullptr;

  Reply applicationShouldTerminate(NSApplication& application) override {
    reasons.push_back(application.currentQuitReason());
    Reply r = answers.empty() ? Reply::terminateNow : answers.front();
    if (!answers.empty()) answers.erase(answers.begin());
    return r;
  }
  void applicationWillTerminate() override { ++willTerminate; }
  bool performAction(const std::string& selector) override {
    actions.push_back(selector);
    return selector == "startProxyFromMenu";
  }
};

struct App : ::testing::Test {
  std::vector<int> exits;
  NSApplication app{[this](int status) { exits.push_back(status); }};
  std::shared_ptr<ScriptedDelegate> delegate = std::make_shared<ScriptedDelegate>();
  void SetUp() override { app.setDelegate(delegate); }
};

}  // namespace

TEST_F(App, TerminateFollowsTheDelegatesAnswer) {
  struct Case {
    Reply answer;
    bool exits;
    bool pending;
  };
  for (auto c : {Case{Reply::terminateNow, true, false}, Case{Reply::terminateCancel, false, false},
                 Case{Reply::terminateLater, false, true}}) {
    std::vector<int> local;
    NSApplication a{[&](int status) { local.push_back(status); }};
    auto d = std::make_shared<ScriptedDelegate>();
    d->answers = {c.answer};
    a.setDelegate(d);
    EXPECT_EQ(a.terminate("why"), c.answer);
    EXPECT_EQ(local.size(), c.exits ? 1u : 0u);
    EXPECT_EQ(d->willTerminate, c.exits ? 1 : 0);
    EXPECT_EQ(a.isTerminationPending(), c.pending);
    ASSERT_EQ(d->reasons.size(), 1u);
    EXPECT_EQ(d->reasons[0], "why");
    EXPECT_FALSE(a.currentQuitReason());
  }
}

TEST_F(App, LaterAnsweredNoLetsALaterQuitAskAgain) {
  delegate->answers = {Reply::terminateLater, Reply::terminateLater};
  app.terminate();
  // While pending, another quit is not asked.
  EXPECT_EQ(app.terminate("again"), Reply::terminateLater);
  EXPECT_EQ(delegate->reasons.size(), 1u);
  app.replyToApplicationShouldTerminate(false);
  EXPECT_FALSE(app.isTerminationPending());
  EXPECT_TRUE(exits.empty());
  app.terminate("second");
  EXPECT_EQ(delegate->reasons.size(), 2u);
  app.replyToApplicationShouldTerminate(true);
  EXPECT_EQ(exits, std::vector<int>{0});
  EXPECT_EQ(delegate->willTerminate, 1);
  // A stray reply after the end does nothing.
  app.replyToApplicationShouldTerminate(true);
  EXPECT_EQ(exits.size(), 1u);
}

TEST_F(App, ActionsGoThroughTheResponderChain) {
  EXPECT_TRUE(app.sendAction("startProxyFromMenu"));
  EXPECT_FALSE(app.sendAction("unknownAction"));
  EXPECT_EQ(delegate->actions, (std::vector<std::string>{"startProxyFromMenu", "unknownAction"}));
  EXPECT_TRUE(app.sendAction("terminate:"));
  ASSERT_EQ(delegate->reasons.size(), 1u);
  EXPECT_FALSE(delegate->reasons[0]);  // a menu quit has no reason
  EXPECT_EQ(exits.size(), 1u);
}

TEST_F(App, ExitRunsTheHooksOnce) {
  int hooks = 0;
  app.addExitHook([&] { ++hooks; });
  app.exit(3);
  app.exit(4);
  EXPECT_EQ(hooks, 1);
  EXPECT_EQ(exits, (std::vector<int>{3, 4}));
}

TEST(AppSignals, SigtermAndSigintAskToTerminateWithTheSignalsName) {
  auto delegate = std::make_shared<ScriptedDelegate>();
  delegate->answers = {Reply::terminateCancel, Reply::terminateCancel};
  auto& app = NSApplication::shared();
  app.setDelegate(delegate);
  app.installSignalHandlers();
  ::raise(SIGTERM);
  runMainQueueFor(std::chrono::seconds(10), [&] { return delegate->reasons.size() == 1; });
  ::raise(SIGINT);
  runMainQueueFor(std::chrono::seconds(10), [&] { return delegate->reasons.size() == 2; });
  ASSERT_EQ(delegate->reasons.size(), 2u);
  EXPECT_EQ(delegate->reasons[0], "SIGTERM");
  EXPECT_EQ(delegate->reasons[1], "SIGINT");
  app.setDelegate(nullptr);
}
