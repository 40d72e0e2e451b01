#pragma once
// Launch-argument functions of the agent and the status-icon scaling.
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "agent/Describe.h"
#include "agent/NSImage.h"
#include "platform/foundation/Defaults.h"

namespace agent {

class Utils {
 public:
  using SuiteOpener = std::function<std::shared_ptr<platform::UserDefaults>(const std::string&)>;

  // Every element beginning with "--" that has a next element starts a
  // pair; no element is skipped, the last duplicate wins.
  static StringMap parseLaunchArguments(const std::vector<std::string>& arguments);
  // Stores the parsed command line under "parsedConfig" when it names an
  // organisation; returns the parsed command line in every case.
  static StringMap storeLaunchArguments(const std::string& suiteName, const std::vector<std::string>& arguments,
                                        const SuiteOpener& openSuite = platform::UserDefaults::suite);
  static bool isLaunchArgumentNonEmpty(const std::string& key, const std::vector<std::string>& arguments);
  static void printLaunchArguments(const std::vector<std::string>& arguments, std::ostream& out);
  // Fits the image into width x height keeping its aspect; an image with
  // no area is returned unchanged.
  static NSImage resizeImage(const NSImage& image, double width = 20, double height = 18);
};

}  // namespace agent
