#include "platform/Log.h"

#include <errno.h>
#include <poll.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace platform {

namespace {

enum class SinkKind { stderrSink, syslogSink, off };

SinkKind kindFromEnvironment() {
  const char* value = std::getenv("VARDENO_LOG");
  if (value == nullptr) return SinkKind::stderrSink;
  if (std::strcmp(value, "off") == 0) return SinkKind::off;
  if (std::strcmp(value, "syslog") == 0) return SinkKind::syslogSink;
  return SinkKind::stderrSink;
}

void writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n > 0) {
      data += n;
      size -= static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 100);
    } else {
      return;  // nowhere to write: the lines are lost, not the process
    }
  }
}

// "2026-12-10 09:21:45.123 prog[pid:tid] "; the second-resolution part is
// cached per thread, so a line costs one clock read and a copy.
void appendPrefix(std::string& out) {
  thread_local time_t cachedSecond = -1;
  thread_local char secondText[32];
  thread_local std::size_t secondLength = 0;
  thread_local std::string process;
  if (process.empty()) {
    process = std::string(program_invocation_short_name) + "[" + std::to_string(::getpid()) + ":" +
              std::to_string(static_cast<long>(::syscall(SYS_gettid))) + "] ";
  }
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  if (now.tv_sec != cachedSecond) {
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    secondLength = std::strftime(secondText, sizeof secondText, "%Y-%m-%d %H:%M:%S", &local);
    cachedSecond = now.tv_sec;
  }
  char millis[24];
  std::snprintf(millis, sizeof millis, ".%03ld ", now.tv_nsec / 1'000'000);
  out.append(secondText, secondLength);
  out.append(millis);
  out.append(process);
}

// Bounded buffer between callers and one writer thread. Callers append
// under a short lock; the writer swaps the buffer out and writes it with
// no lock held. Never destroyed, so logging during exit stays safe.
class Sink {
 public:
  Sink() : kind_(kindFromEnvironment()) {
    if (kind_ == SinkKind::syslogSink) ::openlog(program_invocation_short_name, LOG_PID, LOG_USER);
    std::thread([this] { run(); }).detach();
    std::atexit([] { flushLog(); });
  }

  static Sink& shared() {
    static Sink* sink = new Sink();
    return *sink;
  }

  void log(std::string_view line) {
    const SinkKind kind = kind_.load(std::memory_order_relaxed);
    if (kind == SinkKind::off) return;
    thread_local std::string record;
    record.clear();
    if (kind == SinkKind::syslogSink) {
      record.append(line);
      record.push_back('\0');  // syslog records end at a NUL
    } else {
      appendPrefix(record);
      record.append(line);
      record.push_back('\n');
    }
    bool wake = false;
    {
      std::lock_guard lock(mutex_);
      if (kind != kind_.load(std::memory_order_relaxed)) return;  // switched while formatting
      if (lines_ >= capacityLines_ || buffer_.size() + record.size() > capacityBytes_) {
        ++dropped_;
        ++totalDropped_;
        return;
      }
      const bool first = buffer_.empty();
      buffer_.append(record);
      ++lines_;
      ++enqueued_;
      // One wake per batch, not per line: the first line wakes an idle
      // writer, which then gathers for a moment unless the batch grows big.
      if (writerIdle_ && first) {
        writerIdle_ = false;
        wake = true;
      } else if (writerGathering_ && bigBatchLocked()) {
        writerGathering_ = false;
        wake = true;
      }
    }
    if (wake) wakeWriter_.notify_one();
  }

  void flush() {
    std::unique_lock lock(mutex_);
    const uint64_t target = enqueued_;
    const uint64_t droppedTarget = totalDropped_;
    writerIdle_ = writerGathering_ = false;
    wakeWriter_.notify_one();
    // Bounded: a stuck output must not hang the exit.
    flushed_.wait_for(lock, std::chrono::seconds(2),
                      [&] { return written_ >= target && reportedDropped_ >= droppedTarget; });
  }

  LogStats stats() {
    std::lock_guard lock(mutex_);
    return LogStats{enqueued_, totalDropped_};
  }

  void setCapacity(std::size_t lines) {
    std::lock_guard lock(mutex_);
    capacityLines_ = std::max<std::size_t>(lines, 1);
  }

  void setFd(int fd) {
    std::lock_guard lock(mutex_);
    if (fd >= 0) {
      fd_ = fd;
      kind_ = SinkKind::stderrSink;
    } else {
      fd_ = 2;
      kind_ = kindFromEnvironment();
    }
  }

 private:
  void run() {
    std::string batch;
    std::string note;
    for (;;) {
      uint64_t dropped = 0;
      uint64_t batchEnd = 0;
      uint64_t droppedEnd = 0;
      int fd = 2;
      SinkKind kind;
      {
        std::unique_lock lock(mutex_);
        while (buffer_.empty() && dropped_ == 0) {
          writerIdle_ = true;
          wakeWriter_.wait(lock);
        }
        writerIdle_ = false;
        if (!bigBatchLocked() && dropped_ == 0) {
          writerGathering_ = true;
          wakeWriter_.wait_for(lock, kBatchDelay, [this] { return !writerGathering_; });
          writerGathering_ = false;
        }
        batch.swap(buffer_);
        buffer_.clear();
        lines_ = 0;
        dropped = dropped_;
        dropped_ = 0;
        batchEnd = enqueued_;
        droppedEnd = totalDropped_;
        fd = fd_;
        kind = kind_;
      }
      // The lines of a batch were all queued before the drops were counted.
      note.clear();
      if (dropped > 0) {
        if (kind != SinkKind::syslogSink) appendPrefix(note);
        note += "... " + std::to_string(dropped) + " log lines dropped";
        note.push_back(kind == SinkKind::syslogSink ? '\0' : '\n');
      }
      if (kind == SinkKind::syslogSink) {
        for (const std::string* text : {&batch, &note}) {
          for (std::size_t at = 0; at < text->size();) {
            const char* record = text->data() + at;
            ::syslog(LOG_NOTICE, "%s", record);
            at += std::strlen(record) + 1;
          }
        }
      } else if (kind == SinkKind::stderrSink) {
        writeAll(fd, batch.data(), batch.size());
        writeAll(fd, note.data(), note.size());
      }
      if (batch.capacity() > 4 * capacityBytesDefault) std::string().swap(batch);
      {
        std::lock_guard lock(mutex_);
        written_ = batchEnd;
        reportedDropped_ = droppedEnd;
      }
      flushed_.notify_all();
    }
  }

  static constexpr std::size_t capacityBytesDefault = 4u << 20;
  static constexpr std::size_t kWakeBytes = 256u << 10;

  bool bigBatchLocked() const { return buffer_.size() >= kWakeBytes || lines_ * 2 >= capacityLines_; }
  static constexpr std::chrono::milliseconds kBatchDelay{2};

  std::mutex mutex_;
  std::condition_variable wakeWriter_;
  std::condition_variable flushed_;
  std::atomic<SinkKind> kind_;
  int fd_ = 2;
  std::string buffer_;
  std::size_t lines_ = 0;
  std::size_t capacityLines_ = 8192;
  std::size_t capacityBytes_ = capacityBytesDefault;
  uint64_t dropped_ = 0;
  uint64_t totalDropped_ = 0;
  uint64_t reportedDropped_ = 0;
  uint64_t enqueued_ = 0;
  uint64_t written_ = 0;
  bool writerIdle_ = false;
  bool writerGathering_ = false;
};

// Active captures; the count keeps the no-capture path free of the lock.
std::atomic<int> captureCount{0};
std::mutex captureMutex;
std::vector<LogCapture*>& captures() {
  static auto* list = new std::vector<LogCapture*>();
  return *list;
}

}  // namespace

void NSLog(std::string_view line) {
  if (captureCount.load(std::memory_order_acquire) > 0) {
    std::lock_guard lock(captureMutex);
    for (auto* capture : captures()) capture->add(line);
  }
  Sink::shared().log(line);
}

void flushLog() { Sink::shared().flush(); }
LogStats logStats() { return Sink::shared().stats(); }
void setLogCapacityForTesting(std::size_t lines) { Sink::shared().setCapacity(lines); }
void setLogFdForTesting(int fd) { Sink::shared().setFd(fd); }

std::string quotedText(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (unsigned char c : text) {
    switch (c) {
      case '\0': out += "\\0"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '\'': out += "\\'"; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char escaped[12];
          std::snprintf(escaped, sizeof escaped, "\\u{%x}", c);
          out += escaped;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
  return out;
}

std::string optionalText(const std::optional<std::string>& value) {
  return value ? "Optional(" + quotedText(*value) + ")" : "nil";
}

std::string valueDescription(double value) {
  char text[64];
  auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  std::string out(text, ec == std::errc() ? end : text);
  if (out == "inf") return "inf";
  if (out == "-inf") return "-inf";
  if (out.find_first_of(".en") == std::string::npos) out += ".0";  // 1.0, as the platform prints it
  return out;
}

LogCapture::LogCapture() {
  std::lock_guard lock(captureMutex);
  captures().push_back(this);
  captureCount.fetch_add(1, std::memory_order_release);
}

LogCapture::~LogCapture() {
  std::lock_guard lock(captureMutex);
  std::erase(captures(), this);
  captureCount.fetch_sub(1, std::memory_order_release);
}

void LogCapture::add(std::string_view line) {
  std::lock_guard lock(mutex_);
  lines_.emplace_back(line);
}

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool LogCapture::contains(std::string_view text) const { return count(text) > 0; }

std::size_t LogCapture::count(std::string_view text) const {
  std::lock_guard lock(mutex_);
  return std::count_if(lines_.begin(), lines_.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

bool LogCapture::waitFor(std::string_view text, std::chrono::nanoseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!contains(text)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void LogCapture::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

}  // namespace platform
