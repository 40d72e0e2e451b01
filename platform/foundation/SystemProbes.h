#pragma once
// Facts about the machine that the agent probes: serial number, command
// output, network services and their DNS servers, running applications.
// Every command runs from an argv vector; nothing is ever shell text.
#include <memory>
#include <string>
#include <vector>

namespace platform {

struct RunningApplication {
  int pid = 0;
  std::string bundleIdentifier;
};

class SystemProbes {
 public:
  struct Paths {
    std::string dmiSerial = "/sys/class/dmi/id/product_serial";
    std::string sysClassNet = "/sys/class/net";
    std::string resolvConf = "/etc/resolv.conf";
    std::string proc = "/proc";
    // Program name of the agent and the bundle identifier it stands for.
    std::string agentProgram = "Vardeno_for_OSX";
    std::string agentBundleId;
  };

  SystemProbes() = default;
  explicit SystemProbes(Paths paths) : paths_(std::move(paths)) {}
  virtual ~SystemProbes() = default;

  // Trimmed serial number, "" when there is none.
  virtual std::string serialNumber();
  // Standard output and standard error of the program, "" when it cannot run.
  virtual std::string commandOutput(const std::vector<std::string>& argv);
  // Like the network-setup listing: a header line, then one service a line.
  virtual std::string listAllNetworkServices();
  // One server address a line; a text containing "Error" for an unknown
  // service, a sentence without addresses when the service has none.
  virtual std::string dnsServers(const std::string& service);
  virtual std::vector<RunningApplication> runningApplications();

  static std::shared_ptr<SystemProbes> system();

 protected:
  Paths paths_;
};

}  // namespace platform
