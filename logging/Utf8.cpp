#include "logging/Utf8.h"

#include <memory>

#ifdef QMLOGGER_HAVE_ICU
#include <unicode/brkiter.h>
#include <unicode/unistr.h>
#endif

namespace qmlogger {

bool isValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<uint8_t>(text[i]);
    size_t length;
    uint32_t codePoint;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      length = 2;
      codePoint = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3;
      codePoint = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4;
      codePoint = c & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      codePoint = (codePoint << 6) | (next & 0x3F);
    }
    static constexpr uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < smallest[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

uint64_t characterCount(std::string_view text) {
  bool ascii = true;
  for (char c : text) ascii = ascii && static_cast<uint8_t>(c) < 0x80;
  if (ascii) {
    // "\r\n" is one character.
    uint64_t count = text.size();
    for (size_t i = 0; i + 1 < text.size(); ++i) {
      if (text[i] == '\r' && text[i + 1] == '\n') --count;
    }
    return count;
  }
#ifdef QMLOGGER_HAVE_ICU
  thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> made(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    return U_SUCCESS(status) ? std::move(made) : nullptr;
  }();
  if (iterator && text.size() < 0x7fffffff) {
    // Invalid bytes become U+FFFD, one character each.
    const icu::UnicodeString unicode =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    iterator->setText(unicode);
    uint64_t count = 0;
    iterator->first();
    while (iterator->next() != icu::BreakIterator::DONE) ++count;
    return count;
  }
#endif
  uint64_t count = 0;
  for (char c : text) count += (static_cast<uint8_t>(c) & 0xC0) != 0x80;
  return count;
}

}  // namespace qmlogger
