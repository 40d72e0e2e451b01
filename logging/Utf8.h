#pragma once
// UTF-8 checks and the user-perceived character count of a text.
#include <cstdint>
#include <string_view>

namespace qmlogger {

bool isValidUtf8(std::string_view text);
// Grapheme clusters (ICU when built with it, else code points); invalid bytes count one each.
uint64_t characterCount(std::string_view text);

}  // namespace qmlogger
