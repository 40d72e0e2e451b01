#pragma once
// Who started the agent; printed by case name.
#include <string>

namespace agent {

enum class LauncherSource { mdmscript, user, launchd, installer };

inline const char* caseName(LauncherSource source) {
  switch (source) {
    case LauncherSource::mdmscript: return "mdmscript";
    case LauncherSource::user: return "user";
    case LauncherSource::launchd: return "launchd";
    case LauncherSource::installer: return "installer";
  }
  return "user";
}

}  // namespace agent
