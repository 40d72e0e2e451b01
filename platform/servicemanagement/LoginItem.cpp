#include "platform/servicemanagement/LoginItem.h"

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/foundation/Log.h"
#include "platform/appkit/RunningInstances.h"

namespace platform {

namespace {

// Desktop-entry quoting: the whole path in double quotes with ", `, $ and
// \ escaped, then every \ doubled for the string value itself.
std::string execArgument(const std::string& program) {
  std::string quoted = "\"";
  for (char c : program) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted.push_back('\\');
    quoted.push_back(c);
  }
  quoted.push_back('"');
  std::string out;
  for (char c : quoted) {
    if (c == '\\') out.push_back('\\');
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out.push_back(c);
  }
  return out;
}

// Identifiers name a file: anything but [A-Za-z0-9._-] is refused.
bool safeIdentifier(const std::string& identifier) {
  if (identifier.empty() || identifier == "." || identifier == "..") return false;
  for (char c : identifier)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-')) return false;
  return true;
}

}  // namespace

std::string autostartFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && *config == '/') return std::string(config) + "/autostart";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/") + "/.config/autostart";
}

std::string autostartEntry(const std::string& identifier, const std::string& program) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=" + identifier + "\n"
         "Exec=" + execArgument(program) + "\n"
         "X-GNOME-Autostart-enabled=true\n";
}

bool setLoginItemEnabled(const std::string& folder, const std::string& identifier, const std::string& program,
                         bool enabled, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (!safeIdentifier(identifier)) return fail("bad identifier");
  const std::filesystem::path file = std::filesystem::path(folder) / (identifier + ".desktop");
  std::error_code ec;
  if (!enabled) {
    std::filesystem::remove(file, ec);
    return ec ? fail(ec.message()) : true;
  }
  if (program.empty()) return fail("no program");
  std::filesystem::create_directories(folder, ec);
  if (ec) return fail(ec.message());
  const auto temporary = file.string() + ".tmp" + std::to_string(::getpid());
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << autostartEntry(identifier, program);
    if (!out.flush()) return fail("cannot write " + temporary);
  }
  std::filesystem::rename(temporary, file, ec);
  if (ec) {
    std::filesystem::remove(temporary);
    return fail(ec.message());
  }
  return true;
}

bool SMLoginItemSetEnabled(const std::string& identifier, bool enabled) {
  std::string error;
  bool ok = setLoginItemEnabled(autostartFolder(), identifier, ownExecutablePath(), enabled, &error);
  if (!ok) NSLog("login item " + identifier + ": " + error);
  return ok;
}

}  // namespace platform
