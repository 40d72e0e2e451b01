#pragma once
// Running copies of a program: processes whose /proc/PID/exe is its file.
#include <string>
#include <vector>

namespace platform {

// This process's executable, "" when /proc/self/exe cannot be read.
std::string ownExecutablePath(const std::string& proc = "/proc");
// Process ids whose executable is `executable` (ascending).
std::vector<int> runningInstances(const std::string& executable, const std::string& proc = "/proc");

}  // namespace platform
