#include "platform/foundation/SystemProbes.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/foundation/ProcessRunner.h"

namespace platform {
namespace {

std::string trim(std::string text) {
  const char* blanks = " \t\r\n\v\f";
  auto first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  auto last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

std::string readFile(const std::string& path, std::size_t limit = 1 << 20) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::string text(limit, '\0');
  in.read(text.data(), static_cast<std::streamsize>(limit));
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

std::vector<std::string> interfaces(const std::string& sysClassNet) {
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(sysClassNet, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name != "lo") names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

}  // namespace

std::string SystemProbes::serialNumber() { return trim(readFile(paths_.dmiSerial, 4096)); }

std::string SystemProbes::commandOutput(const std::vector<std::string>& argv) {
  ProcessOptions options;
  options.mergeStderr = true;
  options.timeLimit = std::chrono::seconds(10);
  options.maxOutput = 1 << 20;
  return runProcess(argv, options).output;
}

std::string SystemProbes::listAllNetworkServices() {
  std::string out = "An asterisk (*) denotes that a network service is disabled.\n";
  for (const auto& name : interfaces(paths_.sysClassNet)) out += name + "\n";
  return out;
}

std::string SystemProbes::dnsServers(const std::string& service) {
  auto names = interfaces(paths_.sysClassNet);
  if (std::find(names.begin(), names.end(), service) == names.end())
    return service + " is not a recognized network service.\n** Error: The parameters were not valid.\n";
  std::string servers;
  // "Link 2 (eth0): 192.0.2.53 2001:db8::53"
  std::string link = commandOutput({"resolvectl", "dns", service});
  auto colon = link.find("):");
  if (link.rfind("Link ", 0) == 0 && colon != std::string::npos) {
    for (const auto& w : words(link.substr(colon + 2))) servers += w + "\n";
  }
  if (servers.empty()) {
    std::istringstream conf(readFile(paths_.resolvConf));
    for (std::string line; std::getline(conf, line);) {
      auto w = words(line);
      if (w.size() >= 2 && w[0] == "nameserver") servers += w[1] + "\n";
    }
  }
  if (servers.empty()) return "There aren't any DNS Servers set on " + service + ".\n";
  return servers;
}

std::vector<RunningApplication> SystemProbes::runningApplications() {
  std::vector<RunningApplication> apps;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(paths_.proc, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
    // comm holds at most 15 characters of the program name.
    std::string comm = trim(readFile(it->path().string() + "/comm", 64));
    if (comm.empty() || comm != paths_.agentProgram.substr(0, 15)) continue;
    apps.push_back({std::stoi(name), paths_.agentBundleId});
  }
  return apps;
}

std::shared_ptr<SystemProbes> SystemProbes::system() {
  static auto probes = std::make_shared<SystemProbes>();
  return probes;
}

}  // namespace platform
