#pragma once
// The application's delegate: start-up, the status menu, the workspace's
// power, sleep and wake notifications, and quitting. It drives the
// AppDelegate (requests, preferences, user lookup) and owns the status item
// and the captive-portal registration. Main queue only.
#include <memory>
#include <optional>
#include <string>

#include "agent/AppDelegate.h"
#include "agent/CaptivePortalRegistration.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/StatusItem.h"
#include "platform/appkit/Workspace.h"

namespace agent {

class AgentApplication : public platform::NSApplicationDelegate,
                         public std::enable_shared_from_this<AgentApplication> {
 public:
  struct Environment {
    platform::NSStatusBar* statusBar = &platform::NSStatusBar::systemStatusBar();
    platform::NSWorkspace* workspace = &platform::NSWorkspace::shared();
    CaptivePortalRegistration::Environment captivePortal;
    std::function<bool(const std::string& identifier, bool enabled)> setLoginItem;
    // How often a pending quit looks whether its disabling save is over.
    std::chrono::milliseconds quitCheckInterval{100};
  };

  explicit AgentApplication(std::shared_ptr<AppDelegate> appDelegate) : AgentApplication(std::move(appDelegate), {}) {}
  AgentApplication(std::shared_ptr<AppDelegate> appDelegate, Environment environment);
  ~AgentApplication() override;

  // NSApplicationDelegate
  void applicationDidFinishLaunching() override { startAgent(); }
  platform::NSApplicationTerminateReply applicationShouldTerminate(platform::NSApplication& application) override;
  void applicationWillTerminate() override;
  bool performAction(const std::string& selector) override;

  void startAgent();
  void handleProxyPreferencesLoaded(const std::optional<platform::NEError>& error, const std::string& userName,
                                    std::optional<std::string> companyId);

  void buildStatusMenu(const std::optional<StringMap>& launchArguments);
  void startProxyFromMenu();
  void stopProxyFromMenu();
  void reinstallSysEx();
  void sendCmdBypassAllOn() {}
  void sendCmdBypassAllOff() {}

  void addSleepWakeObservers();
  void workspaceWillPowerOffWithNotification(const platform::NSNotification& notification);
  void onWakeNoteWithNote(const platform::NSNotification& notification);
  void onSleepNoteWithNote(const platform::NSNotification& notification);

  void initCaptivePortalHelper(const std::string& captivePortalIp);

  const std::shared_ptr<AppDelegate>& appDelegate() const { return app_; }
  const std::shared_ptr<platform::NSStatusItem>& statusItem() const { return statusItem_; }
  CaptivePortalRegistration& captivePortal() { return captivePortal_; }

 private:
  void both(const std::string& line);
  void watchPendingQuit(platform::NSApplication* application);

  std::shared_ptr<AppDelegate> app_;
  Environment env_;
  std::shared_ptr<platform::NSStatusItem> statusItem_;
  CaptivePortalRegistration captivePortal_;
  std::vector<uint64_t> observers_;
};

}  // namespace agent
