#include "platform/foundation/Defaults.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <thread>

#include "platform/foundation/Describe.h"
#include "platform/foundation/Log.h"

namespace platform {

namespace {

constexpr off_t maxFileSize = 16 << 20;  // a larger file is not a defaults suite

std::string errnoText(int code) { return std::strerror(code); }

bool makeDirectories(const std::string& path) {
  std::string partial;
  for (std::size_t at = 0; at != std::string::npos;) {
    std::size_t next = path.find('/', at + 1);
    partial = path.substr(0, next);
    if (!partial.empty() && ::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
    at = next;
  }
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool writeAll(int fd, const std::string& data) {
  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

enum class ReadResult { ok, missing, failed };

// Reads and parses the suite file; `out` is an object on success.
ReadResult readSuite(const std::string& path, nlohmann::json& out, std::string& problem) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return ReadResult::missing;
    problem = "cannot open: " + errnoText(errno);
    return ReadResult::failed;
  }
  std::string text;
  struct stat st{};
  if (::fstat(fd, &st) == 0 && st.st_size > maxFileSize) {
    ::close(fd);
    problem = "file too large";
    return ReadResult::failed;
  }
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      problem = "cannot read: " + errnoText(errno);
      ::close(fd);
      return ReadResult::failed;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (static_cast<off_t>(text.size()) > maxFileSize) {
      ::close(fd);
      problem = "file too large";
      return ReadResult::failed;
    }
  }
  ::close(fd);
  auto parsed = nlohmann::json::parse(text, nullptr, false);
  if (parsed.is_discarded()) {
    problem = "not valid JSON";
    return ReadResult::failed;
  }
  if (!parsed.is_object()) {
    problem = "not a JSON object";
    return ReadResult::failed;
  }
  out = std::move(parsed);
  return ReadResult::ok;
}

void logProblem(const std::string& path, const std::string& problem) {
  NSLog("[UserDefaults] " + path + ": " + problem + "; read as empty");
}

bool safeSuiteName(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.size() > 200) return false;
  return std::none_of(name.begin(), name.end(), [](char c) { return c == '/' || c == '\0'; });
}

// NSString-style leading number: whitespace, sign, digits.
int64_t leadingInteger(const std::string& text) {
  std::size_t at = 0;
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  uint64_t magnitude = 0;
  bool overflow = false;
  for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at) {
    const unsigned digit = static_cast<unsigned>(text[at] - '0');
    if (magnitude > (std::numeric_limits<uint64_t>::max() - digit) / 10) overflow = true;
    else magnitude = magnitude * 10 + digit;
  }
  constexpr uint64_t maxPositive = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (negative) {
    if (overflow || magnitude > maxPositive + 1) return std::numeric_limits<int64_t>::min();
    return magnitude == maxPositive + 1 ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(magnitude);
  }
  if (overflow || magnitude > maxPositive) return std::numeric_limits<int64_t>::max();
  return static_cast<int64_t>(magnitude);
}

double leadingDouble(const std::string& text) {
  std::size_t at = 0;
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  if (at < text.size() && text[at] == '+') ++at;
  double value = 0;
  auto [end, ec] = std::from_chars(text.data() + at, text.data() + text.size(), value);
  (void)end;
  if (ec != std::errc() || !std::isfinite(value)) return 0;
  return value;
}

int64_t truncatedInteger(double value) {
  if (!std::isfinite(value)) return 0;
  if (value >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
  if (value <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

// One inotify descriptor per process watches the folders of the suites in
// use; a thread reads the events and bumps the generation whenever a suite
// file (or its folder) changes. A read compares generations and touches no
// file while nothing changed. A forked child has no such thread: its suites
// check the file's stamp on every read.
class SuiteWatch {
 public:
  static SuiteWatch& shared() {
    static SuiteWatch* watch = new SuiteWatch();  // never destroyed: the thread uses it
    return *watch;
  }

  bool active() const { return active_.load(std::memory_order_acquire); }
  uint64_t generation() const { return generation_.load(std::memory_order_acquire); }
  void changed() { generation_.fetch_add(1, std::memory_order_acq_rel); }

  // Watches `file` in `folder`; the generation from which on its changes
  // count, or none when it cannot be watched.
  std::optional<uint64_t> watch(const std::string& folder, const std::string& file) {
    if (!active()) return std::nullopt;
    std::lock_guard lock(mutex_);
    int wd;
    if (auto it = byPath_.find(folder); it != byPath_.end()) {
      wd = it->second;
    } else {
      constexpr uint32_t mask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
      wd = ::inotify_add_watch(fd_, folder.c_str(), mask);
      if (wd < 0) return std::nullopt;
      byPath_[folder] = wd;
      folders_[wd].paths.insert(folder);
    }
    folders_[wd].files.insert(file);
    return generation();
  }

 private:
  struct Folder {
    std::set<std::string> paths;
    std::set<std::string> files;
  };

  SuiteWatch() {
    fd_ = ::inotify_init1(IN_CLOEXEC);
    if (fd_ < 0) return;
    active_.store(true);
    ::pthread_atfork(nullptr, nullptr, [] { shared().active_.store(false); });
    std::thread([this] { run(); }).detach();
  }

  void forget(int wd) {
    auto it = folders_.find(wd);
    if (it == folders_.end()) return;
    for (const auto& path : it->second.paths) byPath_.erase(path);
    folders_.erase(it);
  }

  void run() {
    alignas(inotify_event) char buffer[16384];
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        active_.store(false);  // every suite checks its file from now on
        changed();
        return;
      }
      bool relevant = false;
      {
        std::lock_guard lock(mutex_);
        for (ssize_t at = 0; at < n;) {
          const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
          at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
          if (event->mask & IN_Q_OVERFLOW) {
            relevant = true;
            continue;
          }
          auto it = folders_.find(event->wd);
          if (it == folders_.end()) continue;
          if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
            // The folder is gone or elsewhere: its suites watch afresh.
            if (event->mask & IN_MOVE_SELF) ::inotify_rm_watch(fd_, event->wd);
            forget(event->wd);
            relevant = true;
          } else if (event->len > 0 && it->second.files.count(event->name)) {
            relevant = true;
          }
        }
      }
      if (relevant) changed();
    }
  }

  int fd_ = -1;
  std::atomic<bool> active_{false};
  std::atomic<uint64_t> generation_{1};
  std::mutex mutex_;
  std::map<std::string, int> byPath_;
  std::map<int, Folder> folders_;
};

}  // namespace

std::string machineStoreRoot() {
  if (const char* root = std::getenv("VARDENO_ROOT"); root && *root) return root;
  return "/var/lib/vardeno";
}

std::string vardenoRoot() {
  if (const char* state = std::getenv("VARDENO_STATE"); state && *state) return state;
  if (const char* root = std::getenv("VARDENO_ROOT"); root && *root) return root;
  if (::geteuid() == 0) return "/var/lib/vardeno";
  if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/') return std::string(state) + "/vardeno";
  std::string home;
  if (const char* h = std::getenv("HOME"); h && *h) home = h;
  else if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_dir) home = pw->pw_dir;
  else home = "/tmp";
  return home + "/.local/state/vardeno";
}

UserDefaults::UserDefaults(std::string name, std::string path) : name_(std::move(name)), path_(std::move(path)) {}

std::shared_ptr<UserDefaults> UserDefaults::suite(const std::string& name) {
  if (!safeSuiteName(name)) return nullptr;
  return std::make_shared<UserDefaults>(name, vardenoRoot() + "/defaults/" + name + ".json");
}

std::shared_ptr<UserDefaults> UserDefaults::standard(const std::string& bundleId) { return suite(bundleId); }

std::shared_ptr<const nlohmann::json> UserDefaults::load() const {
  SuiteWatch& watch = SuiteWatch::shared();
  if (watch.active()) {
    const uint64_t generation = watch.generation();
    std::lock_guard lock(mutex_);
    if (cachedGeneration_ == generation) return cached_;
  }
  // Watched before the stamp is taken: a change after it bumps the generation.
  const std::size_t slash = path_.rfind('/');
  const std::optional<uint64_t> generation =
      slash == std::string::npos ? std::nullopt
                                 : watch.watch(slash == 0 ? "/" : path_.substr(0, slash), path_.substr(slash + 1));
  // Re-parse only when the file changed. A file modified within a second of
  // the last read is always re-read: a later rewrite in the same clock tick
  // could reuse its inode, size and time stamp.
  struct stat st{};
  std::optional<FileStamp> stamp;
  if (::stat(path_.c_str(), &st) == 0) stamp = FileStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
  std::lock_guard lock(mutex_);
  if (stamp && stamp == cachedStamp_ && stamp->mtime.tv_sec + 1 < cachedAt_) {
    cachedGeneration_ = generation;
    return cached_;
  }
  if (!stamp && !cachedStamp_ && cachedAt_ != 0) {
    cachedGeneration_ = generation;  // still no file
    return cached_;
  }
  nlohmann::json parsed = nlohmann::json::object();
  std::string problem;
  if (stamp && readSuite(path_, parsed, problem) == ReadResult::failed) {
    if (stamp != loggedStamp_) logProblem(path_, problem);  // once per version of the file
    loggedStamp_ = stamp;
    parsed = nlohmann::json::object();
  }
  cached_ = std::make_shared<const nlohmann::json>(std::move(parsed));
  cachedStamp_ = stamp;
  cachedAt_ = ::time(nullptr);
  cachedGeneration_ = generation;
  return cached_;
}

std::optional<nlohmann::json> UserDefaults::value(const std::string& key) const {
  auto all = load();
  auto it = all->find(key);
  if (it == all->end() || it->is_null()) return std::nullopt;
  return *it;
}

std::optional<std::string> UserDefaults::string(const std::string& key) const {
  auto v = value(key);
  if (!v || !v->is_string()) return std::nullopt;
  return v->get<std::string>();
}

bool UserDefaults::boolValue(const std::string& key) const {
  auto v = value(key);
  if (!v) return false;
  if (v->is_boolean()) return v->get<bool>();
  if (v->is_number_integer()) return v->get<int64_t>() != 0;
  if (v->is_number_unsigned()) return v->get<uint64_t>() != 0;
  if (v->is_number_float()) return v->get<double>() != 0.0;
  if (v->is_string()) {
    std::string text = v->get<std::string>();
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text == "true" || text == "yes" || text == "1";
  }
  return false;
}

int64_t UserDefaults::integer(const std::string& key) const {
  auto v = value(key);
  if (!v) return 0;
  if (v->is_boolean()) return v->get<bool>() ? 1 : 0;
  if (v->is_number_integer()) return v->get<int64_t>();
  if (v->is_number_unsigned()) {
    uint64_t u = v->get<uint64_t>();
    return u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                                           : static_cast<int64_t>(u);
  }
  if (v->is_number_float()) return truncatedInteger(v->get<double>());
  if (v->is_string()) return leadingInteger(v->get<std::string>());
  return 0;
}

double UserDefaults::doubleValue(const std::string& key) const {
  auto v = value(key);
  if (!v) return 0;
  if (v->is_boolean()) return v->get<bool>() ? 1 : 0;
  if (v->is_number()) return v->get<double>();
  if (v->is_string()) return leadingDouble(v->get<std::string>());
  return 0;
}

std::optional<nlohmann::json> UserDefaults::dictionary(const std::string& key) const {
  auto v = value(key);
  if (!v || !v->is_object()) return std::nullopt;
  return v;
}

std::optional<nlohmann::json> UserDefaults::array(const std::string& key) const {
  auto v = value(key);
  if (!v || !v->is_array()) return std::nullopt;
  return v;
}

std::optional<nlohmann::json> UserDefaults::object(const std::string& key) const { return value(key); }

nlohmann::json UserDefaults::dictionaryRepresentation() const { return *load(); }

bool UserDefaults::set(const std::string& key, const nlohmann::json& value) {
  return update(key, value.is_null() ? nullptr : &value);
}

bool UserDefaults::remove(const std::string& key) { return update(key, nullptr); }

bool UserDefaults::update(const std::string& key, const nlohmann::json* value) {
  const std::string directory = path_.substr(0, path_.rfind('/'));
  auto fail = [&](const std::string& what) {
    NSLog("[UserDefaults] " + path_ + ": cannot write \"" + key + "\": " + what);
    return false;
  };
  if (!makeDirectories(directory)) return fail("cannot create " + directory + ": " + errnoText(errno));

  // One writer at a time across processes; readers never need the lock.
  const std::string lockPath = path_ + ".lock";
  int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd < 0) return fail("cannot open " + lockPath + ": " + errnoText(errno));
  while (::flock(lockFd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      int err = errno;
      ::close(lockFd);
      return fail("cannot lock: " + errnoText(err));
    }
  }
  struct Unlock {
    int fd;
    ~Unlock() { ::close(fd); }  // closing drops the flock
  } unlock{lockFd};

  nlohmann::json all = nlohmann::json::object();
  std::string problem;
  switch (readSuite(path_, all, problem)) {
    case ReadResult::ok:
    case ReadResult::missing:
      break;
    case ReadResult::failed:
      // Keep the unreadable file for inspection instead of losing it.
      logProblem(path_, problem);
      ::rename(path_.c_str(), (path_ + ".corrupt").c_str());
      all = nlohmann::json::object();
      break;
  }
  if (value) all[key] = *value;
  else all.erase(key);

  const std::string text = jsonText(all, 2) + "\n";

  static std::atomic<unsigned> sequence{0};
  const std::string temp = path_ + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(sequence++);
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return fail("cannot create " + temp + ": " + errnoText(errno));
  ::fchmod(fd, 0600);  // whatever the umask
  bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
  int err = errno;
  ok = (::close(fd) == 0) && ok;
  if (!ok || ::rename(temp.c_str(), path_.c_str()) != 0) {
    if (ok) err = errno;
    ::unlink(temp.c_str());
    return fail(errnoText(err));
  }
  SuiteWatch::shared().changed();  // this process's readers see it at once
  return true;
}

}  // namespace platform
