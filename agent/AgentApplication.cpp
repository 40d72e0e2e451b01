#include "agent/AgentApplication.h"

#include <algorithm>
#include <iostream>

#include "agent/Probes.h"
#include "agent/Utils.h"
#include "platform/servicemanagement/LoginItem.h"
#include "platform/foundation/Log.h"

namespace agent {

using platform::NSLog;

AgentApplication::AgentApplication(std::shared_ptr<AppDelegate> appDelegate, Environment environment)
    : app_(std::move(appDelegate)), env_(std::move(environment)), captivePortal_([&] {
        auto e = env_.captivePortal;
        if (!e.mainQueue) e.mainQueue = app_->mainQueue();
        return e;
      }()) {
  if (!env_.setLoginItem) env_.setLoginItem = platform::SMLoginItemSetEnabled;
}

AgentApplication::~AgentApplication() {
  for (auto token : observers_) env_.workspace->notificationCenter().removeObserver(token);
}

void AgentApplication::both(const std::string& line) {
  NSLog(line);
  app_->relayLog(line);
}

void AgentApplication::startAgent() {
  auto& app = *app_;
  const auto& arguments = app.environment().arguments;
  auto& probes = *app.environment().probes;
  if (app.isAtLeastMacOS12()) NSLog("serial number - " + readSerialNumber(probes));
  std::weak_ptr<AppDelegate> weakApp = app_;
  app.udpLogger->setup([weakApp](const std::vector<uint8_t>& bytes) {
    if (auto a = weakApp.lock()) a->storeCurrentUser(bytes);
  });
  app.relayLog("-------Launch Agent-------");
  app.relayLog("dns servers: " + describe(probeDnsServers(probes)));
  env_.setLoginItem(AppDelegate::kAppBundleId, true);
  app.relayLog("launched app count = " +
               std::to_string(countRunningInstances(probes.runningApplications(), AppDelegate::kAppBundleId).size()));

  std::weak_ptr<AgentApplication> weak = weak_from_this();
  auto* workspace = env_.workspace;
  observers_.push_back(workspace->notificationCenter().addObserver(
      platform::NSWorkspaceWillPowerOffNotification, workspace, [weak](const platform::NSNotification& n) {
        if (auto self = weak.lock()) self->workspaceWillPowerOffWithNotification(n);
      }));
  statusItem_ = env_.statusBar->statusItemWithLength(platform::NSVariableStatusItemLength);
  app.manager = app.sharedProxyManager();
  app.parsedConfArgs = Utils::storeLaunchArguments(app.kUserDefaultsName, arguments, app.environment().openSuite);

  std::string userId = runShellCommand(probes, {"id", "-un"});
  userId.erase(std::remove(userId.begin(), userId.end(), '\n'), userId.end());
  app.userIdOsResponse = userId;
  app.relayLog("userIdOsResponse: " + app.userIdOsResponse + ", xpcUser: " + platform::optionalText(app.xpcUsername()));
  NSLog("userIdOsResponse - " + app.userIdOsResponse);

  app.launcherSource = app.detectLauncherSource(app.userIdOsResponse);
  both(std::string("launcher -  ") + caseName(app.launcherSource));

  if (app.launcherSource != LauncherSource::mdmscript) {
    // The bundled icon always exists here; without it the button keeps no image.
    if (auto icon = platform::NSImage::named("sys_bar_icon")) {
      auto scaled = Utils::resizeImage(NSImage{icon->name, {icon->size.width, icon->size.height}, false}, 20, 18);
      statusItem_->button.image = platform::NSImage{scaled.name, {scaled.size.width, scaled.size.height}, true};
    }
  }

  auto useRelayUser = [&] {
    auto name = app.xpcUsername();
    both("using xpcUsername - " + platform::optionalText(name));
    app.userIdOsResponse = name.value_or("");
  };
  switch (app.launcherSource) {
    case LauncherSource::mdmscript:
      useRelayUser();
      break;
    case LauncherSource::user:
      app.relayLog("app was launched by user");
      break;
    case LauncherSource::launchd:
      app.udpLogger->sendUpdateCurrentUser(app.userIdOsResponse);
      addSleepWakeObservers();
      break;
    case LauncherSource::installer: {
      useRelayUser();
      app.deleteSysExt(app.kDNSProxyExtBundleId);
      app.mainQueue()->asyncAfter(std::chrono::seconds(3), [weakApp] {
        if (auto a = weakApp.lock()) a->installSysExtensions(a->kDNSProxyExtBundleId);
      });
      app.relayLog("installSysExtensions called");
      app.requestSysExtProperties(app.kDNSProxyExtBundleId);
      break;
    }
  }

  if (app.launcherSource != LauncherSource::user) {
    app.relayLog("parsedConfArgs: " + optionalDescription(app.parsedConfArgs));
    std::string userName = app.userIdOsResponse;
    std::optional<std::string> companyId;
    if (app.parsedConfArgs) {
      if (auto it = app.parsedConfArgs->find("--username"); it != app.parsedConfArgs->end()) userName = it->second;
      if (auto it = app.parsedConfArgs->find("--organizationId"); it != app.parsedConfArgs->end()) companyId = it->second;
    }
    if (Utils::isLaunchArgumentNonEmpty("--organizationId", arguments)) {
      if (auto defaults = app.environment().standardDefaults)
        defaults->set("VendorVals", toJson(app.parsedConfArgs.value_or(StringMap{})));
      app.relayLog("installSysExtensions called");
      app.requestSysExtProperties(app.kDNSProxyExtBundleId);
    }
    if (auto defaults = app.environment().standardDefaults) defaults->set("test_key", "test");
    NSLog("trying to get user data from api, username: " + userName + ", companyId: " + platform::optionalText(companyId));
    if (!app.manager) {
      NSLog("NEDNSProxyManager is nil");
    } else {
      app.manager->loadFromPreferences([weak, userName, companyId](std::optional<platform::NEError> error) {
        if (auto self = weak.lock()) self->handleProxyPreferencesLoaded(error, userName, companyId);
      });
    }
  }

  const StringMap parsed = Utils::parseLaunchArguments(arguments);
  if (auto it = parsed.find("--showDropDownMenu"); it != parsed.end() && it->second == "true")
    buildStatusMenu(app.parsedConfArgs);
  Utils::printLaunchArguments(arguments, std::cout);
  std::cout.flush();
  app.relayLog("parsedArgs:" + describe(parsed));
  auto portals = parsed.find("--captivePortalIp");
  initCaptivePortalHelper(portals == parsed.end() ? "" : portals->second);
}

void AgentApplication::handleProxyPreferencesLoaded(const std::optional<platform::NEError>& error,
                                                    const std::string& userName, std::optional<std::string> companyId) {
  auto& app = *app_;
  if (error) {
    both("loadFromPreferences, nsError: " + platform::optionalDescription(error));
    return;
  }
  if (!companyId) {
    companyId = "";
    if (app.manager && app.manager->providerProtocol && app.manager->providerProtocol->providerConfiguration) {
      const auto& configuration = *app.manager->providerProtocol->providerConfiguration;
      if (configuration.is_object())
        if (auto it = configuration.find("--organizationId"); it != configuration.end() && it->is_string())
          companyId = it->get<std::string>();
    }
  }
  both("companyId: " + platform::optionalText(companyId) + ", username: " + userName);
  if (!companyId->empty() && !userName.empty()) {
    NSLog("init user data");
    app.retriveUserDataBy(*companyId, userName, app.userDataResultHandler(*companyId, userName));
    return;
  }
  if (app.parsedConfArgs) {
    app.parsedConfArgs->erase("userEmail");
    app.parsedConfArgs->erase("orgUnitId");
  }
  app.restartProxy();
}

void AgentApplication::initCaptivePortalHelper(const std::string& captivePortalIp) {
  captivePortal_.initCaptivePortalHelper(captivePortalIp);
  app_->cpHelper = captivePortal_.cpHelper();
}

platform::NSApplicationTerminateReply AgentApplication::applicationShouldTerminate(
    platform::NSApplication& application) {
  both("applicationShouldTerminate, reason = " + platform::optionalText(application.currentQuitReason()) + "_");
  if (!app_->dnsProxyStopped && !app_->isRootSession) {
    app_->configureDnsProxy(false, true);
    watchPendingQuit(&application);
    return platform::NSApplicationTerminateReply::terminateLater;
  }
  return platform::NSApplicationTerminateReply::terminateNow;
}

// A successful disabling save ends the process; when the cycles are over
// and we still run, the save failed: the quit is answered no, so a later
// quit can try again.
void AgentApplication::watchPendingQuit(platform::NSApplication* application) {
  std::weak_ptr<AgentApplication> weak = weak_from_this();
  app_->mainQueue()->asyncAfter(env_.quitCheckInterval, [weak, application] {
    auto self = weak.lock();
    if (!self || !application->isTerminationPending()) return;
    if (self->app_->pendingProxyCycles() > 0 || self->app_->dnsProxyStopped) {
      self->watchPendingQuit(application);
      return;
    }
    self->both("applicationShouldTerminate, proxy not switched off, not terminating");
    application->replyToApplicationShouldTerminate(false);
  });
}

void AgentApplication::applicationWillTerminate() {
  captivePortal_.stop();
  if (app_->udpLogger) app_->udpLogger->flush(UDPLogger::kExitFlushLimit);
}

}  // namespace agent
