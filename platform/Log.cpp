#include "platform/Log.h"

#include <unistd.h>

#include <algorithm>
#include <thread>

namespace platform {

namespace {
std::mutex captureMutex;
std::vector<LogCapture*> captures;
}  // namespace

void NSLog(std::string_view line) {
  {
    std::lock_guard lock(captureMutex);
    for (auto* c : captures) c->add(line);
  }
  std::string out(line);
  out.push_back('\n');
  (void)!::write(2, out.data(), out.size());
}

void flushLog() {}
LogStats logStats() { return {}; }
void setLogCapacityForTesting(std::size_t) {}
void setLogFdForTesting(int) {}

std::string quotedText(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

std::string optionalText(const std::optional<std::string>& value) {
  return value ? "Optional(" + quotedText(*value) + ")" : "nil";
}

std::string valueDescription(double value) { return std::to_string(value); }

LogCapture::LogCapture() {
  std::lock_guard lock(captureMutex);
  captures.push_back(this);
}

LogCapture::~LogCapture() {
  std::lock_guard lock(captureMutex);
  std::erase(captures, this);
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
