// fuzz-libs: vardeno_logging
// Hostile texts through the logging library's text handling: date patterns,
// location URLs, character counts, path components, filters and formatters.
#include <cstddef>
#include <cstdint>
#include <string>

#include "logging/ANSIColorLogFormatter.h"
#include "logging/Base64LogFormatter.h"
#include "logging/DateFormatter.h"
#include "logging/FileNameFilter.h"
#include "logging/PathText.h"
#include "logging/Utf8.h"
#include "logging/WriteTarget.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\n');
  const std::string pattern = input.substr(0, split == std::string::npos ? input.size() : split);
  const std::string text = split == std::string::npos ? std::string() : input.substr(split + 1);

  if (pattern.size() < 4096) {
    qmlogger::DateFormatter formatter(pattern);
    (void)formatter.string(qmlogger::dateFromSeconds(static_cast<double>(size) * 86400.0 - 1e9));
  }
  if (auto url = qmlogger::WriteTarget::url(text).fileURL()) (void)url->absoluteString();
  (void)qmlogger::characterCount(text);
  (void)qmlogger::isValidUtf8(text);
  (void)qmlogger::base64Encode(text);
  (void)qmlogger::lastPathComponent(text);

  auto filter = qmlogger::FileNameFilter::excludeFrom({pattern}, true);
  qmlogger::LogDetails details(qmlogger::Level::info, {}, text, "", text, 0, {});
  std::string message = text;
  (void)filter->shouldExclude(details, message);
  qmlogger::ANSIColorLogFormatter colors;
  colors.colorize(qmlogger::Level::info, pattern);
  (void)colors.format(details, message);
  (void)colors.debugDescription();
  return 0;
}
