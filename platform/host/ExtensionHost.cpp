#include "platform/host/ExtensionHost.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "platform/foundation/Defaults.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/host/ListenSocket.h"
#include "platform/foundation/Log.h"
#include "platform/networkextension/NEDNSProxyProvider.h"
#include "platform/host/PreferencesService.h"
#include "platform/host/ProviderPreferencesWatcher.h"
#include "platform/host/ProviderSupervisor.h"
#include "platform/host/SocketOwner.h"
#include "platform/host/bpf/UdpSenderRecord.h"
#include "platform/host/TcpPassthrough.h"
#include "platform/host/UdpFlowHost.h"

namespace platform {

const char* ExtensionHostOptions::usage() {
  return "usage: com.vardeno.ruzadevirozo.proxyext [--listen ADDR:PORT]... [--system-dns ADDR:PORT]\n"
         "  --listen ADDR:PORT      UDP and TCP address to serve (repeatable; IPv6 as [ADDR]:PORT;\n"
         "                          default 127.0.0.1:53; port 0 picks a free port)\n"
         "  --system-dns ADDR:PORT  resolver for declined flows and TCP (default: first\n"
         "                          nameserver of /etc/resolv.conf that is not a listen address)\n";
}

std::optional<ExtensionHostOptions> ExtensionHostOptions::parse(const std::vector<std::string>& args,
                                                                std::string& error) {
  ExtensionHostOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    }
    if (arg != "--listen" && arg != "--system-dns") {
      error = "unknown option: " + arg;
      return std::nullopt;
    }
    if (i + 1 >= args.size()) {
      error = arg + " needs ADDR:PORT";
      return std::nullopt;
    }
    auto address = SocketAddress::parse(args[++i]);
    if (!address) {
      error = arg + ": not an ADDR:PORT or [IPv6]:PORT: " + args[i];
      return std::nullopt;
    }
    if (arg == "--listen") {
      options.listen.push_back(*address);
    } else {
      if (address->port() == 0) {
        error = "--system-dns needs a port other than 0";
        return std::nullopt;
      }
      options.systemDns = *address;
    }
  }
  if (options.listen.empty()) options.listen.push_back(*SocketAddress::parse("127.0.0.1:53"));
  return options;
}

std::optional<SocketAddress> systemDnsFromResolvConf(std::string_view text, const std::vector<SocketAddress>& listen) {
  std::istringstream in{std::string(text)};
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string keyword, host;
    if (!(words >> keyword >> host) || keyword != "nameserver") continue;
    auto address = SocketAddress::fromHostPort(host, 53);
    if (!address) continue;
    bool ours = false;
    for (const auto& l : listen) ours = ours || l == *address;
    if (!ours) return address;
  }
  return std::nullopt;
}

namespace {

struct HostState {
  ExtensionHostOptions options;
  bool configured = false;
  NEProvider::ProviderFactory factory;
  std::vector<ListenSocket> sockets;
  std::shared_ptr<ProviderSupervisor> supervisor;
  std::shared_ptr<UdpFlowHost> udp;
  std::unique_ptr<TcpPassthrough> tcp;
  std::unique_ptr<ProviderPreferencesWatcher> watcher;
  std::unique_ptr<PreferencesService> preferencesService;
  std::thread signalThread;
};

HostState& state() {
  static HostState* s = new HostState();  // lives until the process exits
  return *s;
}

sigset_t handledSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGUSR1);
  sigaddset(&set, SIGUSR2);
  return set;
}

void blockHandledSignals() {
  sigset_t set = handledSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "com.vardeno.ruzadevirozo.proxyext: %s\n", message.c_str());
  std::fflush(stderr);
  std::_Exit(1);
}

// The store and its networkextension folder are 0755 so that every user
// reaches the service's socket; the other folders stay private (0700).
void prepareStore(const std::string& root) {
  auto folder = [](const std::string& path, mode_t mode) {
    if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) return;
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
        (st.st_mode & 07777) != mode)
      ::chmod(path.c_str(), mode);
  };
  for (std::size_t at = root.find('/', 1); at != std::string::npos; at = root.find('/', at + 1))
    ::mkdir(root.substr(0, at).c_str(), 0755);
  folder(root, 0755);
  folder(root + "/networkextension", 0755);
  folder(root + "/systemextensions", 0700);
}

void signalLoop() {
  sigset_t set = handledSignals();
  for (;;) {
    int number = 0;
    if (sigwait(&set, &number) != 0) continue;
    auto& s = state();
    if (number == SIGUSR1) {
      s.supervisor->sleep();
    } else if (number == SIGUSR2) {
      s.supervisor->wake();
    } else {
      s.watcher->stop();
      // Queries already read get their answers, for a second at most.
      s.udp->stopReading();
      if (!s.udp->waitForFlows(std::chrono::seconds(1)))
        NSLog("[NEHost] stopping with " + std::to_string(s.udp->flowCount()) + " flows still open");
      s.supervisor->stop(NEProviderStopReason::userInitiated);
      flushLog();
      std::fflush(stderr);
      std::_Exit(0);
    }
  }
}

}  // namespace

void ExtensionHost::configure(ExtensionHostOptions options) {
  blockHandledSignals();
  state().options = std::move(options);
  state().configured = true;
}

void NEProvider::setProviderFactory(ProviderFactory factory) { state().factory = std::move(factory); }

void NEProvider::startSystemExtensionMode() {
  blockHandledSignals();
  auto& s = state();
  if (!s.configured) {
    std::string error;
    s.options = *ExtensionHostOptions::parse({}, error);
  }
  if (s.options.preferencesPath.empty()) s.options.preferencesPath = ProviderPreferences::defaultPath();

  std::string error;
  s.sockets = bindListenSockets(s.options.listen, error);
  if (s.sockets.empty()) fail(error);
  std::vector<SocketAddress> bound;
  for (const auto& socket : s.sockets) bound.push_back(socket.bound);

  std::optional<SocketAddress> systemDns = s.options.systemDns;
  if (!systemDns) {
    std::ifstream in("/etc/resolv.conf");
    std::stringstream text;
    text << in.rdbuf();
    systemDns = systemDnsFromResolvConf(text.str(), bound);
    if (!systemDns) fail("no system DNS in /etc/resolv.conf; give --system-dns ADDR:PORT");
  }

  // The first line on stderr: what the listeners got (port 0 picks one).
  std::string line = "listening on";
  for (const auto& address : bound) line += " " + address.description();
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);

  s.supervisor = std::make_shared<ProviderSupervisor>(
      s.factory, std::vector<NEDNSSettings>{NEDNSSettings{{systemDns->host()}}});
  UdpFlowHost::Settings settings;
  for (const auto& socket : s.sockets) settings.listeners.push_back({socket.udpFd, socket.bound});
  settings.systemDns = *systemDns;
  // Its own sockets are never looked up: the record leaves them out.
  UdpSenderRecord::leaveOutThisProcess();
  settings.owner = SocketOwner::system();
  settings.holdFlows = [supervisor = s.supervisor] { return supervisor->holding(); };
  s.udp = UdpFlowHost::create(settings, [supervisor = s.supervisor] { return supervisor->current(); });
  s.supervisor->setChangeHandler([udp = std::weak_ptr(s.udp)] {
    if (auto host = udp.lock()) host->releaseHeldFlows();
  });
  std::vector<int> tcpFds;
  for (const auto& socket : s.sockets) tcpFds.push_back(socket.tcpFd);
  s.tcp = std::make_unique<TcpPassthrough>(tcpFds, *systemDns);
  s.udp->start();
  s.tcp->start();

  prepareStore(machineStoreRoot());
  std::string serviceError;
  s.preferencesService = PreferencesService::start({}, serviceError);
  if (!s.preferencesService) NSLog("[NEHost] no preferences service: " + serviceError);

  s.watcher = std::make_unique<ProviderPreferencesWatcher>(
      s.options.preferencesPath, [supervisor = s.supervisor, path = s.options.preferencesPath,
                                  told = false](std::optional<ProviderPreferences> preferences) mutable {
        // Once per absence: a new user learns what the proxy waits for.
        if (!preferences && !told)
          NSLog("[NEHost] no DNS proxy preferences at " + path +
                " yet: the system resolver answers every query until they appear (the agent writes them)");
        told = !preferences;
        supervisor->apply(preferences);
      });
  s.watcher->start();
  s.signalThread = std::thread(signalLoop);
  s.signalThread.detach();
}

}  // namespace platform
