#pragma once
// Path-text helpers that behave as the platform's path components do.
#include <string>

namespace qmlogger {

// Last component of a path text; trailing separators are ignored, "/" stays "/".
std::string lastPathComponent(const std::string& path);

}  // namespace qmlogger
