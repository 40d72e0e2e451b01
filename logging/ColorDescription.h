#pragma once
// "(r: 1, g: 2, b: 3) #010203", shared by both colour formatters.
#include <string>

namespace qmlogger {

std::string rgbDescription(int red, int green, int blue);

// The per-level description list of the colour and affix formatters.
template <class EntryFor>
std::string levelTable(const std::string& typeName, EntryFor entryFor);

}  // namespace qmlogger

#include "logging/Level.h"

namespace qmlogger {

template <class EntryFor>
std::string levelTable(const std::string& typeName, EntryFor entryFor) {
  std::string out = typeName + ": ";
  for (Level level : allLevelCases) out += "\n\t- " + description(level) + " > " + entryFor(level);
  return out;
}

}  // namespace qmlogger
