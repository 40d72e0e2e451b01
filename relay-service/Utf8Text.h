#pragma once
// UTF-8 checks and repair for the texts the relay receives and runs.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace relay {

// The bytes as UTF-8, each invalid sequence (maximal subpart) replaced by
// U+FFFD, as the platform decodes received data.
std::string repairedUtf8(std::span<const uint8_t> bytes);
std::string repairedUtf8(std::string_view bytes);

bool isValidUtf8(std::string_view bytes);

// `text` with every non-overlapping occurrence of `what` removed, scanning
// left to right.
std::string removingOccurrences(std::string_view text, std::string_view what);

// `text` without white space and line breaks at either end.
std::string trimmedWhitespace(std::string_view text);

}  // namespace relay
