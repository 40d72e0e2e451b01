// The agent program: the application delegate on the main run loop, with
// the control socket standing in for the menu bar and the workspace.
#include <string>
#include <vector>

#include "agent/AgentApplication.h"
#include "platform/appkit/Application.h"
#include "platform/foundation/Log.h"
#include "platform/appkit/StatusItemControl.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv, argv + argc);
  auto& application = platform::NSApplication::shared();
  // Before any thread starts: signals are taken by the application.
  application.installSignalHandlers();

  agent::AgentEnvironment environment;
  environment.arguments = arguments;
  environment.exit = [](int status) { platform::NSApplication::shared().exit(status); };
  auto appDelegate = std::make_shared<agent::AppDelegate>(environment);
  auto delegate = std::make_shared<agent::AgentApplication>(appDelegate);

  auto control = std::make_shared<platform::StatusItemControl>();
  std::string error;
  if (control->start(platform::StatusItemControl::defaultPath(), &error))
    application.addExitHook([control] { control->stop(); });
  else
    platform::NSLog("control socket not started: " + error);

  platform::NSApplicationMain(argc, argv, delegate);
}
