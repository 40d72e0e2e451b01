#pragma once
// Runs a command (argv, no shell) with standard output and standard error in
// one pipe and returns what it printed, as UTF-8 (invalid bytes repaired).
// A command that cannot be started prints nothing.
#include <chrono>
#include <string>
#include <vector>

namespace relay {

std::string runShellCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeLimit);

}  // namespace relay
