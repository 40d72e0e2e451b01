#include "platform/foundation/Log.h"

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
#include <utility>

namespace platform {

namespace {

enum class SinkKind { stderrSink, syslogSink, off };

// Called whenever the sink kind or the capture count changes.
void publishEnabled(bool sinkWrites);

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
  const long ms = now.tv_nsec / 1'000'000;
  const char millis[5] = {'.', static_cast<char>('0' + ms / 100), static_cast<char>('0' + ms / 10 % 10),
                          static_cast<char>('0' + ms % 10), ' '};
  out.append(secondText, secondLength);
  out.append(millis, sizeof millis);
  out.append(process);
}

// Bounded buffer between callers and one writer thread, split in shards so
// callers rarely meet on a lock. Each thread appends to its own shard (picked
// once, round robin); each record carries a number from one global counter,
// taken under the shard lock, so every shard is sorted by number. The writer
// reads the counter (the cut), then takes the shards one by one: every record
// numbered below the cut is in what it took, so it writes exactly those,
// merged by number, and keeps the rest for the next batch. Lines thus keep
// the order in which they were logged, across threads as well.
// One atomic counts the lines and bytes queued and not yet written; a line
// that would take it past the capacity is dropped and counted. Never
// destroyed, so logging during exit stays safe.
class Sink {
 public:
  Sink() : kind_(kindFromEnvironment()) {
    publishEnabled(kind_.load() != SinkKind::off);
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
    const std::size_t size = record.size();
    Shard& shard = shards_[shardOfThisThread()];
    bool big = false;
    {
      std::lock_guard lock(shard.mutex);
      if (kind != kind_.load(std::memory_order_relaxed)) return;  // switched while formatting
      if (!reserve(size, big)) {
        // Counted under the lock; seq_cst pairs with the writer going idle.
        shard.dropped.store(shard.dropped.load(std::memory_order_relaxed) + 1);
        big = true;
      } else {
        const RecordHeader header{sequence_.fetch_add(1), static_cast<uint32_t>(size)};
        shard.buffer.append(reinterpret_cast<const char*>(&header), sizeof header);
        shard.buffer.append(record);
      }
    }
    wakeIfWaiting(big);
  }

  void flush() {
    const uint64_t target = sequence_.load();
    const uint64_t droppedTarget = droppedSoFar();
    std::unique_lock lock(writerMutex_);
    ++flushWaiters_;
    if (state_.load() != WriterState::busy) {
      state_.store(WriterState::busy);
      wakeWriter_.notify_one();
    }
    // Bounded: a stuck output must not hang the exit.
    flushed_.wait_for(lock, std::chrono::seconds(2),
                      [&] { return written_ >= target && reportedDropped_ >= droppedTarget; });
    --flushWaiters_;
  }

  LogStats stats() { return LogStats{sequence_.load(), droppedSoFar()}; }

  // The new bound holds from the next line on.
  void setCapacity(std::size_t lines) {
    lines = std::clamp<std::size_t>(lines, 1, kMaxLines);
    capacityLines_.store(lines);
  }

  void setFd(int fd) {
    std::lock_guard lock(writerMutex_);
    if (fd >= 0) {
      fd_.store(fd);
      kind_ = SinkKind::stderrSink;
    } else {
      fd_.store(2);
      kind_ = kindFromEnvironment();
    }
    publishEnabled(kind_.load() != SinkKind::off);
  }


 private:
  enum class WriterState { busy, idle, gathering };

  struct RecordHeader {
    uint64_t sequence;
    uint32_t size;
  };

  struct alignas(64) Shard {
    std::mutex mutex;
    std::string buffer;  // RecordHeader, record, RecordHeader, record...
    std::atomic<uint64_t> dropped{0};  // written under the lock, read without
  };

  static constexpr std::size_t kShards = 16;
  // Queued and not yet written: lines << kLineShift | bytes.
  static constexpr int kLineShift = 40;
  static constexpr uint64_t kBytesMask = (uint64_t{1} << kLineShift) - 1;
  static constexpr std::size_t kMaxLines = std::size_t{1} << 21;
  static constexpr std::size_t kCapacityBytes = 4u << 20;
  static constexpr std::size_t kWakeBytes = 256u << 10;
  static constexpr std::size_t kKeptBufferBytes = 256u << 10;
  static constexpr std::chrono::milliseconds kBatchDelay{2};

  static constexpr uint64_t pack(uint64_t lines, uint64_t bytes) { return lines << kLineShift | bytes; }

  static std::size_t shardOfThisThread() {
    static std::atomic<std::size_t> next{0};
    thread_local const std::size_t index = next.fetch_add(1, std::memory_order_relaxed) % kShards;
    return index;
  }

  // Big once half the lines or kWakeBytes are queued.
  bool bigBatch(uint64_t queued) const {
    return (queued & kBytesMask) >= kWakeBytes ||
           (queued >> kLineShift) * 2 >= capacityLines_.load(std::memory_order_relaxed);
  }

  // With the shard's lock held: counts one record of `size` bytes as queued,
  // unless that would pass the capacity.
  bool reserve(uint64_t size, bool& big) {
    const uint64_t add = pack(1, size);
    const uint64_t queued = queued_.fetch_add(add) + add;
    if ((queued >> kLineShift) > capacityLines_.load(std::memory_order_relaxed) ||
        (queued & kBytesMask) > kCapacityBytes) {
      queued_.fetch_sub(add);
      return false;
    }
    big = bigBatch(queued);
    return true;
  }

  uint64_t droppedSoFar() const {
    uint64_t sum = 0;
    for (const auto& shard : shards_) sum += shard.dropped.load();
    return sum;
  }

  // After a record is queued or a line dropped: an idle writer wakes for
  // the first line; a gathering one only once the batch is big.
  void wakeIfWaiting(bool big) {
    WriterState state = state_.load();
    if (state == WriterState::busy || (state == WriterState::gathering && !big)) return;
    if (!state_.compare_exchange_strong(state, WriterState::busy)) return;
    std::lock_guard lock(writerMutex_);
    wakeWriter_.notify_one();
  }

  // Called by the writer: anything queued or dropped since its last batch.
  bool workPending() const { return sequence_.load() != written_ || droppedSoFar() != reportedDropped_; }

  void waitForBatch() {
    std::unique_lock lock(writerMutex_);
    // Idle first, then look: a caller queuing meanwhile either is seen here
    // or sees the idle state and wakes the writer.
    state_.store(WriterState::idle);
    if (!workPending()) wakeWriter_.wait(lock, [this] { return state_.load() != WriterState::idle; });
    state_.store(WriterState::busy);
    if (flushWaiters_ == 0 && !bigBatch(queued_.load()) && droppedSoFar() == reportedDropped_) {
      state_.store(WriterState::gathering);
      wakeWriter_.wait_for(lock, kBatchDelay, [this] { return state_.load() != WriterState::gathering; });
      state_.store(WriterState::busy);
    }
  }

  // Spins before sleeping: callers hold a shard lock only for a moment but
  // take it again soon, so a writer sleeping on it would wake too late.
  static void lockSoon(std::mutex& mutex) {
    for (int i = 0; i < 4096; ++i) {
      if (mutex.try_lock()) return;
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
    mutex.lock();
  }

  // Takes every shard's records; returns the cut (every
  // record numbered below it is now held by the writer) and the drops
  // counted by then.
  std::pair<uint64_t, uint64_t> takeShards() {
    const uint64_t cut = sequence_.load();
    uint64_t dropped = 0;
    for (std::size_t i = 0; i < kShards; ++i) {
      Shard& shard = shards_[i];
      lockSoon(shard.mutex);
      fresh_[i].swap(shard.buffer);
      dropped += shard.dropped.load(std::memory_order_relaxed);
      shard.mutex.unlock();
    }
    return {cut, dropped};
  }

  // Appends the records numbered below `cut` to `out`, by number; keeps the
  // others for the next batch; what it appends is no longer queued.
  void mergeTaken(uint64_t cut, std::string& out) {
    struct Run {
      const char* at;
      const char* end;
      RecordHeader head;
    };
    // Per shard, what was kept from before precedes what was just taken.
    Run runs[2 * kShards];
    std::size_t count = 0;
    for (std::size_t i = 0; i < 2 * kShards; ++i) {
      const std::string& buffer = i % 2 == 0 ? kept_[i / 2] : fresh_[i / 2];
      runs[i] = Run{buffer.data(), buffer.data() + buffer.size(), {}};
      if (!buffer.empty()) std::memcpy(&runs[i].head, runs[i].at, sizeof(RecordHeader));
    }
    Run* live[2 * kShards];
    for (auto& run : runs)
      if (run.at != run.end) live[count++] = &run;
    uint64_t lines = 0;
    uint64_t bytes = 0;
    while (count > 0) {
      std::size_t first = 0;
      uint64_t second = UINT64_MAX;
      for (std::size_t i = 1; i < count; ++i) {
        if (live[i]->head.sequence < live[first]->head.sequence) {
          second = live[first]->head.sequence;
          first = i;
        } else {
          second = std::min(second, live[i]->head.sequence);
        }
      }
      Run& run = *live[first];
      if (run.head.sequence >= cut) break;
      const uint64_t limit = std::min(second, cut);
      // Copy from the lowest run while it stays below every other run's head.
      for (;;) {
        out.append(run.at + sizeof(RecordHeader), run.head.size);
        ++lines;
        bytes += run.head.size;
        run.at += sizeof(RecordHeader) + run.head.size;
        if (run.at == run.end) {
          live[first] = live[--count];
          break;
        }
        std::memcpy(&run.head, run.at, sizeof(RecordHeader));
        if (run.head.sequence >= limit) break;
      }
    }
    queued_.fetch_sub(pack(lines, bytes));
    for (std::size_t i = 0; i < kShards; ++i) {
      const Run& kept = runs[2 * i];
      const Run& fresh = runs[2 * i + 1];
      spare_.assign(kept.at, kept.end);
      spare_.append(fresh.at, fresh.end);
      kept_[i].swap(spare_);
      for (std::string* buffer : {&spare_, &fresh_[i]}) {
        if (buffer->capacity() > kKeptBufferBytes) std::string().swap(*buffer);
        else buffer->clear();
      }
    }
  }

  void run() {
    std::string batch;
    std::string note;
    for (;;) {
      waitForBatch();
      const int fd = fd_.load();
      const SinkKind kind = kind_.load();
      // Drops counted by now are reported after the lines taken.
      const auto [cut, droppedEnd] = takeShards();
      const uint64_t dropped = droppedEnd - reportedDropped_;
      batch.clear();
      mergeTaken(cut, batch);
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
      if (batch.capacity() > 4 * kCapacityBytes) std::string().swap(batch);
      {
        std::lock_guard lock(writerMutex_);
        written_ = cut;
        reportedDropped_ = droppedEnd;
      }
      flushed_.notify_all();
    }
  }

  Shard shards_[kShards];
  alignas(64) std::atomic<uint64_t> sequence_{0};  // records queued so far, and the next number
  std::atomic<uint64_t> queued_{0};  // beside sequence_: a line updates both, one cache line moves
  alignas(64) std::atomic<WriterState> state_{WriterState::busy};
  std::atomic<std::size_t> capacityLines_{8192};
  std::atomic<SinkKind> kind_;
  std::atomic<int> fd_{2};
  // Writer-side state.
  alignas(64) std::mutex writerMutex_;
  std::condition_variable wakeWriter_;
  std::condition_variable flushed_;
  int flushWaiters_ = 0;
  uint64_t written_ = 0;          // records numbered below it are written
  uint64_t reportedDropped_ = 0;  // drops reported in notes
  std::string fresh_[kShards];    // taken from the shards
  std::string kept_[kShards];     // numbered at or past the last cut
  std::string spare_;
};

// Active captures; the count keeps the no-capture path free of the lock.
std::atomic<int> captureCount{0};

// The sink writes (1) plus active captures (2 each): nonzero when a line goes
// somewhere. -1 until the sink is made.
std::atomic<int> enabledState{-1};

std::mutex captureMutex;
std::vector<LogCapture*>& captures() {
  static auto* list = new std::vector<LogCapture*>();
  return *list;
}

std::atomic<bool> sinkWritesState{false};
std::mutex enabledMutex;

void publishEnabled(bool sinkWrites) {
  std::lock_guard lock(enabledMutex);
  sinkWritesState.store(sinkWrites);
  enabledState.store((sinkWrites ? 1 : 0) + 2 * captureCount.load());
}

void publishCaptures() {
  std::lock_guard lock(enabledMutex);
  if (enabledState.load() < 0) return;  // the sink publishes when it is made
  enabledState.store((sinkWritesState.load() ? 1 : 0) + 2 * captureCount.load());
}

}  // namespace

bool logEnabled() {
  int state = enabledState.load(std::memory_order_relaxed);
  if (state < 0) {
    Sink::shared();
    state = enabledState.load();
  }
  return state != 0;
}

void NSLog(std::string_view line) {
  if (captureCount.load(std::memory_order_acquire) > 0) {
    std::lock_guard lock(captureMutex);
    for (auto* capture : captures()) capture->add(line);
  }
  Sink::shared().log(line);
}

namespace logdetail {
std::string& lineBuffer() {
  thread_local std::string line;
  if (line.capacity() > 64u << 10) std::string().swap(line);  // one huge line does not stay
  return line;
}
}  // namespace logdetail

void flushLog() { Sink::shared().flush(); }
LogStats logStats() { return Sink::shared().stats(); }
void setLogCapacityForTesting(std::size_t lines) { Sink::shared().setCapacity(lines); }
void setLogFdForTesting(int fd) { Sink::shared().setFd(fd); }

namespace {

// Appends the escape of a control character; false for any other byte.
bool appendControlEscape(std::string& out, unsigned char c) {
  switch (c) {
    case '\0': out += "\\0"; return true;
    case '\t': out += "\\t"; return true;
    case '\n': out += "\\n"; return true;
    case '\r': out += "\\r"; return true;
    default:
      if (c < 0x20 || c == 0x7f) {
        char escaped[12];
        std::snprintf(escaped, sizeof escaped, "\\u{%x}", c);
        out += escaped;
        return true;
      }
      return false;
  }
}

void appendQuoted(std::string& out, std::string_view text) {
  out.push_back('"');
  for (unsigned char c : text) {
    if (appendControlEscape(out, c)) continue;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\'': out += "\\'"; break;
      case '\\': out += "\\\\"; break;
      default: out.push_back(static_cast<char>(c));
    }
  }
  out.push_back('"');
}

}  // namespace

std::string quotedText(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  appendQuoted(out, text);
  return out;
}

std::string escapedText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (!appendControlEscape(out, c)) out.push_back(static_cast<char>(c));
  }
  return out;
}

std::string optionalText(const std::optional<std::string>& value) {
  if (!value) return "nil";
  std::string out;
  out.reserve(value->size() + 12);
  out += "Optional(";
  appendQuoted(out, *value);
  out.push_back(')');
  return out;
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
  publishCaptures();
}

LogCapture::~LogCapture() {
  std::lock_guard lock(captureMutex);
  std::erase(captures(), this);
  captureCount.fetch_sub(1, std::memory_order_release);
  publishCaptures();
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
