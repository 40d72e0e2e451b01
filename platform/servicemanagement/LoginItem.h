#pragma once
// ServiceManagement stand-in: a login item is an XDG autostart entry
// ${XDG_CONFIG_HOME:-~/.config}/autostart/<identifier>.desktop whose Exec
// line starts the given program without arguments.
#include <string>

namespace platform {

// The autostart folder: $XDG_CONFIG_HOME/autostart, else ~/.config/autostart.
std::string autostartFolder();
// The entry's text for `program` (quoted and escaped for the Exec key).
std::string autostartEntry(const std::string& identifier, const std::string& program);

// Writes (enabled) or removes the entry for this process's executable.
// False when the folder or file cannot be written.
bool SMLoginItemSetEnabled(const std::string& identifier, bool enabled);
bool setLoginItemEnabled(const std::string& folder, const std::string& identifier, const std::string& program,
                         bool enabled, std::string* error = nullptr);

}  // namespace platform
