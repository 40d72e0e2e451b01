#include "platform/appkit/RunningInstances.h"

#include <algorithm>
#include <filesystem>

namespace platform {

namespace {

std::string exeOf(const std::filesystem::path& link) {
  std::error_code ec;
  auto target = std::filesystem::read_symlink(link, ec);
  if (ec) return "";
  auto text = target.string();
  // A replaced binary still counts as the same program.
  const std::string deleted = " (deleted)";
  if (text.size() > deleted.size() && text.compare(text.size() - deleted.size(), deleted.size(), deleted) == 0)
    text.resize(text.size() - deleted.size());
  return text;
}

}  // namespace

std::string ownExecutablePath(const std::string& proc) { return exeOf(std::filesystem::path(proc) / "self" / "exe"); }

std::vector<int> runningInstances(const std::string& executable, const std::string& proc) {
  std::vector<int> pids;
  if (executable.empty()) return pids;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(proc, ec)) {
    const auto name = entry.path().filename().string();
    if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    if (name.size() > 9) continue;
    if (exeOf(entry.path() / "exe") == executable) pids.push_back(std::stoi(name));
  }
  std::sort(pids.begin(), pids.end());
  return pids;
}

}  // namespace platform
