#include "relay-service/Utf8Text.h"

#include <gtest/gtest.h>

using relay::isValidUtf8;
using relay::removingOccurrences;
using relay::repairedUtf8;
using relay::trimmedWhitespace;

namespace {
const std::string R = "\xEF\xBF\xBD";  // U+FFFD
}

TEST(Utf8Text, RepairReplacesEachMaximalSubpart) {
  struct Case {
    std::string in, out;
  };
  for (const Case& c : std::vector<Case>{
           {"", ""},
           {"jdoe", "jdoe"},
           {"j\xC3\xA9r\xC3\xB4me", "j\xC3\xA9r\xC3\xB4me"},
           {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
           {"a\xFF" "b", "a" + R + "b"},
           {"\xC3", R},                       // truncated at the end
           {"\xE2\x82" "x", R + "x"},         // one replacement for a cut sequence
           {"\xC0\xAF", R + R},               // overlong
           {"\xED\xA0\x80", R + R + R},       // surrogate
           {"\xF4\x90\x80\x80", R + R + R + R},  // beyond U+10FFFF
           {"\x80\x80", R + R},
       }) {
    EXPECT_EQ(repairedUtf8(c.in), c.out) << c.in;
    EXPECT_EQ(isValidUtf8(c.in), c.in == c.out) << c.in;
  }
}

TEST(Utf8Text, RemovesEveryOccurrenceInOnePass) {
  EXPECT_EQ(removingOccurrences("&*updateCUjdoe", "&*updateCU"), "jdoe");
  EXPECT_EQ(removingOccurrences("&*updateCUj&*updateCUdoe&*updateCU", "&*updateCU"), "jdoe");
  EXPECT_EQ(removingOccurrences("&*&*ALAL", "&*AL"), "&*AL");
  EXPECT_EQ(removingOccurrences("", "&*AL"), "");
}

TEST(Utf8Text, TrimsBothEnds) {
  EXPECT_EQ(trimmedWhitespace("203.0.113.7\n"), "203.0.113.7");
  EXPECT_EQ(trimmedWhitespace(" \t\r\n a b \n"), "a b");
  EXPECT_EQ(trimmedWhitespace("\n\n"), "");
}
