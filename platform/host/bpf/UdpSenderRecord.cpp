#include "platform/host/bpf/UdpSenderRecord.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string_view>
#include <utility>

#ifdef VARDENO_HAVE_BPF
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#endif

#include "platform/host/bpf/UdpSenders.h"

#ifdef VARDENO_HAVE_BPF
extern "C" const unsigned char vardeno_udp_senders_bpf[];
extern "C" const size_t vardeno_udp_senders_bpf_size;
#endif

namespace platform {

#ifdef VARDENO_HAVE_BPF

// The hooks that record senders, and those that count changes beside them.
constexpr const char* kRecordPrograms[] = {"udp4_sendmsg", "udp6_sendmsg", "udp4_connect", "udp6_connect"};
constexpr const char* kChangePrograms[] = {"udp4_bind", "udp6_bind", "udp_release"};
// Records by local port; its entries are cleared on release, so only with
// the hooks above.
constexpr const char* kPortProgram = "udp_egress";
constexpr size_t kRecordCount = std::size(kRecordPrograms);
constexpr size_t kChangeCount = std::size(kChangePrograms);

struct UdpSenderRecord::Loaded {
  bpf_object* object = nullptr;
  bpf_link* links[kRecordCount + kChangeCount + 1] = {};
  // The map of change counts, where its hooks attached.
  const uint64_t* changes = nullptr;
  static constexpr size_t kChangesSize = UDP_PORTS * sizeof(uint64_t);
  // The senders by local port, where its hook attached.
  udp_port_sender* ports = nullptr;
  static constexpr size_t kPortsSize = UDP_PORT_SENDERS * sizeof(udp_port_sender);
  ~Loaded() {
    // The links first: no program writes the mappings once they are gone.
    for (bpf_link*& link : links)
      if (link) bpf_link__destroy(std::exchange(link, nullptr));
    if (ports) munmap(ports, kPortsSize);
    if (changes) munmap(const_cast<uint64_t*>(changes), kChangesSize);
    if (object) bpf_object__close(object);
  }
};

namespace {

// libbpf's last warning while loading, for the reason of a failure.
std::string* loadMessages = nullptr;

int keepLibbpfMessage(enum libbpf_print_level level, const char* format, va_list args) {
  if (level == LIBBPF_DEBUG || !loadMessages) return 0;
  char line[512];
  int n = std::vsnprintf(line, sizeof line, format, args);
  if (n <= 0) return 0;
  std::string text(line, std::min<size_t>(static_cast<size_t>(n), sizeof line - 1));
  while (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty()) *loadMessages = text;
  return 0;
}

// The root of the cgroup v2 tree: where it is mounted, else a mount of our
// own, taken away again once opened.
int openCgroupRoot(std::string& why) {
  std::ifstream mountinfo("/proc/self/mountinfo");
  std::string line;
  while (std::getline(mountinfo, line)) {
    // "id parent major:minor root mount-point options ... - type source ..."
    std::istringstream fields(line);
    std::string id, parent, device, root, mountPoint;
    fields >> id >> parent >> device >> root >> mountPoint;
    auto dash = line.find(" - ");
    if (dash == std::string::npos || root != "/") continue;
    if (line.compare(dash + 3, 8, "cgroup2 ") != 0) continue;
    int fd = open(mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) return fd;
  }
  char dir[] = "/tmp/vardeno-cgroup2-XXXXXX";
  if (!mkdtemp(dir)) {
    why = std::string("no cgroup v2 tree: ") + std::strerror(errno);
    return -1;
  }
  int fd = -1;
  if (mount("cgroup2", dir, "cgroup2", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0) {
    fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) why = std::string("no cgroup v2 tree: ") + std::strerror(errno);
    umount2(dir, MNT_DETACH);
  } else {
    why = std::string("no cgroup v2 tree: mount: ") + std::strerror(errno);
  }
  rmdir(dir);
  return fd;
}

std::atomic<bool> leaveOutSelf{false};

// Sets the process the programs leave out (0: none), before the object is
// loaded.
bool leaveOut(bpf_object* object, uint32_t tgid) {
  if (tgid == 0) return true;
  bpf_map* rodata = nullptr;
  bpf_map* map = nullptr;
  bpf_object__for_each_map(map, object) {
    const char* name = bpf_map__name(map);
    if (name && std::string_view(name).ends_with(".rodata")) rodata = map;
  }
  size_t size = 0;
  if (!rodata || !bpf_map__initial_value(rodata, &size) || size != sizeof(uint32_t)) return false;
  return bpf_map__set_initial_value(rodata, &tgid, sizeof tgid) == 0;  // its only value
}

std::string failure(const char* step, int error, const std::string& detail) {
  std::string why = std::string(step) + ": " + std::strerror(error < 0 ? -error : error);
  if (!detail.empty()) why += " (" + detail + ")";
  return why;
}

}  // namespace

void UdpSenderRecord::leaveOutThisProcess() { leaveOutSelf = true; }

std::shared_ptr<UdpSenderRecord> UdpSenderRecord::load(std::string& reason, uint32_t unrecordedTgid) {
  static std::mutex loading;  // libbpf's messages go to one place
  std::lock_guard guard(loading);
  std::string messages;
  loadMessages = &messages;
  libbpf_print_fn_t previous = libbpf_set_print(keepLibbpfMessage);
  auto loaded = std::make_unique<Loaded>();
  LIBBPF_OPTS(bpf_object_open_opts, options, .object_name = "udp_senders");
  loaded->object = bpf_object__open_mem(vardeno_udp_senders_bpf, vardeno_udp_senders_bpf_size, &options);
  int error = 0;
  if (!loaded->object) {
    error = errno;
    loaded->object = nullptr;
    reason = failure("cannot open the BPF object", error, messages);
  } else if (!leaveOut(loaded->object, unrecordedTgid)) {
    reason = "the BPF object has no .rodata to set";
  } else if ((error = bpf_object__load(loaded->object)) != 0) {
    reason = failure("cannot load the BPF program", error, messages);
  } else if (int cgroup = openCgroupRoot(reason); cgroup >= 0) {
    for (size_t i = 0; i < kRecordCount && reason.empty(); ++i) {
      bpf_program* program = bpf_object__find_program_by_name(loaded->object, kRecordPrograms[i]);
      loaded->links[i] = program ? bpf_program__attach_cgroup(program, cgroup) : nullptr;
      if (!loaded->links[i]) reason = failure("cannot attach the BPF program", program ? errno : ENOENT, messages);
    }
    // The counts of changes, where these hooks attach (the record works
    // without them; owners are then looked up for every flow).
    bool counted = reason.empty();
    for (size_t i = 0; i < kChangeCount && counted; ++i) {
      bpf_program* program = bpf_object__find_program_by_name(loaded->object, kChangePrograms[i]);
      bpf_link*& link = loaded->links[kRecordCount + i];
      link = program ? bpf_program__attach_cgroup(program, cgroup) : nullptr;
      counted = link != nullptr;
    }
    if (bpf_map* map = counted ? bpf_object__find_map_by_name(loaded->object, "udp_changes") : nullptr) {
      void* mapped = mmap(nullptr, Loaded::kChangesSize, PROT_READ, MAP_SHARED, bpf_map__fd(map), 0);
      if (mapped != MAP_FAILED) loaded->changes = static_cast<const uint64_t*>(mapped);
    }
    bpf_map* ports = loaded->changes ? bpf_object__find_map_by_name(loaded->object, "udp_port_senders") : nullptr;
    bpf_program* portProgram = ports ? bpf_object__find_program_by_name(loaded->object, kPortProgram) : nullptr;
    if (portProgram) {
      // Mapped before the hook writes it: a mapping that fails leaves it detached.
      void* mapped = mmap(nullptr, Loaded::kPortsSize, PROT_READ, MAP_SHARED, bpf_map__fd(ports), 0);
      if (mapped != MAP_FAILED) {
        loaded->links[kRecordCount + kChangeCount] = bpf_program__attach_cgroup(portProgram, cgroup);
        if (loaded->links[kRecordCount + kChangeCount]) loaded->ports = static_cast<udp_port_sender*>(mapped);
        else munmap(mapped, Loaded::kPortsSize);
      }
    }
    close(cgroup);  // the links hold the cgroup
  }
  libbpf_set_print(previous);
  loadMessages = nullptr;
  if (!reason.empty()) return nullptr;
  bpf_map* map = bpf_object__find_map_by_name(loaded->object, "udp_senders");
  if (!map) {
    reason = "the BPF object has no map udp_senders";
    return nullptr;
  }
  const int fd = bpf_map__fd(map);
  std::shared_ptr<UdpSenderRecord> record(new UdpSenderRecord(std::move(loaded)));
  record->mapFd_ = fd;
  return record;
}

std::shared_ptr<UdpSenderRecord> UdpSenderRecord::shared(std::string& why) {
  static std::once_flag once;
  static std::shared_ptr<UdpSenderRecord> record;
  static std::string reason;
  std::call_once(once, [] { record = load(reason, leaveOutSelf ? static_cast<uint32_t>(getpid()) : 0); });
  if (!record) why = reason;
  return record;
}

std::optional<UdpSenderRecord::Sender> UdpSenderRecord::lastSender(uint64_t cookie) const {
  udp_sender value{};
  if (bpf_map_lookup_elem(mapFd_, &cookie, &value) != 0) return std::nullopt;
  Sender sender;
  sender.tgid = value.tgid;
  sender.boottime = value.boottime;
  sender.comm.assign(value.comm, strnlen(value.comm, sizeof value.comm));
  return sender;
}

std::optional<UdpSenderRecord::Sender> UdpSenderRecord::portSender(bool ipv6, uint16_t port,
                                                                    const void* address) const {
  if (!loaded_->ports) return std::nullopt;
  udp_port_sender& entry = loaded_->ports[(ipv6 ? UDP_PORTS : 0) + port];
  const uint64_t seq = __atomic_load_n(&entry.seq, __ATOMIC_ACQUIRE);
  if (seq & 1) return std::nullopt;  // being written
  const uint64_t cookie = __atomic_load_n(&entry.cookie, __ATOMIC_RELAXED);
  Sender sender;
  sender.tgid = __atomic_load_n(&entry.tgid, __ATOMIC_RELAXED);
  sender.boottime = __atomic_load_n(&entry.boottime, __ATOMIC_RELAXED);
  char comm[sizeof entry.comm];
  for (size_t i = 0; i < sizeof comm; ++i) comm[i] = __atomic_load_n(&entry.comm[i], __ATOMIC_RELAXED);
  uint32_t from[4];
  for (size_t i = 0; i < 4; ++i) from[i] = __atomic_load_n(&entry.address[i], __ATOMIC_RELAXED);
  const uint32_t shared = __atomic_load_n(&entry.shared, __ATOMIC_RELAXED);
  __atomic_thread_fence(__ATOMIC_ACQUIRE);
  if (__atomic_load_n(&entry.seq, __ATOMIC_RELAXED) != seq) return std::nullopt;  // written meanwhile
  if (shared || cookie == 0 || sender.tgid == 0) return std::nullopt;
  uint32_t asked[4] = {};
  std::memcpy(asked, address, ipv6 ? 16 : 4);
  if (std::memcmp(asked, from, sizeof from) != 0) return std::nullopt;
  sender.comm.assign(comm, strnlen(comm, sizeof comm));
  return sender;
}

std::optional<uint64_t> UdpSenderRecord::changes(uint64_t index) const {
  if (!loaded_->changes) return std::nullopt;
  return __atomic_load_n(loaded_->changes + (index & (UDP_PORTS - 1)), __ATOMIC_ACQUIRE);
}

#else

struct UdpSenderRecord::Loaded {};

std::optional<uint64_t> UdpSenderRecord::changes(uint64_t) const { return std::nullopt; }

std::optional<UdpSenderRecord::Sender> UdpSenderRecord::portSender(bool, uint16_t, const void*) const {
  return std::nullopt;
}

void UdpSenderRecord::leaveOutThisProcess() {}

std::shared_ptr<UdpSenderRecord> UdpSenderRecord::load(std::string& why, uint32_t) {
  why = "built without libbpf";
  return nullptr;
}

std::shared_ptr<UdpSenderRecord> UdpSenderRecord::shared(std::string& why) { return load(why, 0); }

std::optional<UdpSenderRecord::Sender> UdpSenderRecord::lastSender(uint64_t) const { return std::nullopt; }

#endif

UdpSenderRecord::UdpSenderRecord(std::unique_ptr<Loaded> loaded) : loaded_(std::move(loaded)) {}
UdpSenderRecord::~UdpSenderRecord() = default;

}  // namespace platform
