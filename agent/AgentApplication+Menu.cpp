#include "agent/AgentApplication.h"
#include "agent/Utils.h"
#include "platform/foundation/Log.h"

namespace agent {

using platform::NSLog;

void AgentApplication::buildStatusMenu(const std::optional<StringMap>& launchArguments) {
  auto& app = *app_;
  std::optional<nlohmann::json> menuData;
  if (Utils::isLaunchArgumentNonEmpty("--organizationId", app.environment().arguments)) {
    if (launchArguments) menuData = toJson(*launchArguments);
  } else if (auto suite = app.environment().openSuite(app.kUserDefaultsName)) {
    menuData = suite->dictionary("mdmConf");
  }
  NSLog("menu data is: " + optionalDescription(menuData));
  platform::NSMenu menu;
  menu.addItem({"empty", "", "empty"});
  menu.addItem({"Start Proxy", "startProxyFromMenu", "Start Proxy"});
  menu.addItem({"Stop Proxy", "stopProxyFromMenu", "Stop Proxy"});
  menu.addItem({"reinstallSysEx", "reinstallSysEx", "reinstallSysEx"});
  menu.addItem({"Owner: " + app.userIdOsResponse, "", "owner"});
  menu.addItem({"Quit", "terminate:", "q"});
  if (statusItem_) statusItem_->menu = std::move(menu);
}

bool AgentApplication::performAction(const std::string& selector) {
  if (selector == "startProxyFromMenu") startProxyFromMenu();
  else if (selector == "stopProxyFromMenu") stopProxyFromMenu();
  else if (selector == "reinstallSysEx") reinstallSysEx();
  else if (selector == "sendCmdBypassAllOn") sendCmdBypassAllOn();
  else if (selector == "sendCmdBypassAllOff") sendCmdBypassAllOff();
  else return false;
  return true;
}

void AgentApplication::startProxyFromMenu() {
  NSLog("startProxyFromMenu");
  app_->configureDnsProxy(true, false);
}

void AgentApplication::stopProxyFromMenu() {
  NSLog("stopProxyFromMenu");
  app_->configureDnsProxy(false, false);
}

void AgentApplication::reinstallSysEx() { app_->reinstallSysEx(); }

void AgentApplication::addSleepWakeObservers() {
  std::weak_ptr<AgentApplication> weak = weak_from_this();
  auto& center = env_.workspace->notificationCenter();
  observers_.push_back(center.addObserver(platform::NSWorkspaceDidWakeNotification, nullptr,
                                          [weak](const platform::NSNotification& n) {
                                            if (auto self = weak.lock()) self->onWakeNoteWithNote(n);
                                          }));
  observers_.push_back(center.addObserver(platform::NSWorkspaceWillSleepNotification, nullptr,
                                          [weak](const platform::NSNotification& n) {
                                            if (auto self = weak.lock()) self->onSleepNoteWithNote(n);
                                          }));
}

void AgentApplication::workspaceWillPowerOffWithNotification(const platform::NSNotification&) {
  both("workspaceWillPowerOff");
}

void AgentApplication::onWakeNoteWithNote(const platform::NSNotification&) {
  app_->relayLog("onWakeNote");
  app_->configureDnsProxy(true, false);
}

void AgentApplication::onSleepNoteWithNote(const platform::NSNotification&) {
  app_->relayLog("onSleepNote");
  app_->configureDnsProxy(false, false);
}

}  // namespace agent
