#include "agent/Utils.h"

#include <cmath>

#include "platform/foundation/Log.h"

namespace agent {

StringMap Utils::parseLaunchArguments(const std::vector<std::string>& arguments) {
  StringMap map;
  for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
    if (arguments[i].rfind("--", 0) == 0) map[arguments[i]] = arguments[i + 1];
  }
  return map;
}

StringMap Utils::storeLaunchArguments(const std::string& suiteName, const std::vector<std::string>& arguments,
                                      const SuiteOpener& openSuite) {
  platform::NSLog("args: " + describe(arguments));
  std::shared_ptr<platform::UserDefaults> suite = openSuite ? openSuite(suiteName) : nullptr;
  StringMap parsed = parseLaunchArguments(arguments);
  auto org = parsed.find("--organizationId");
  if (org != parsed.end() && !org->second.empty()) {
    platform::NSLog("parsed args: " + describe(parsed));
    if (!suite) {
      platform::NSLog("defaults suite cannot be opened: " + suiteName);
      return parsed;
    }
    suite->set("parsedConfig", toJson(parsed));
    platform::NSLog("storedVendorArgs: " + optionalDescription(suite->dictionary("parsedConfig")));
  } else {
    std::optional<nlohmann::json> stored;
    if (suite) stored = suite->dictionary("parsedConfig");
    platform::NSLog("the app was launched without params, storedVendorArgs: " + optionalDescription(stored));
  }
  return parsed;
}

bool Utils::isLaunchArgumentNonEmpty(const std::string& key, const std::vector<std::string>& arguments) {
  StringMap parsed = parseLaunchArguments(arguments);
  auto it = parsed.find(key);
  return it != parsed.end() && !it->second.empty();
}

void Utils::printLaunchArguments(const std::vector<std::string>& arguments, std::ostream& out) {
  out << "Script: " << (arguments.empty() ? "" : arguments[0]) << "\n";
  out << "Number of arguments: " << (arguments.empty() ? 0 : arguments.size() - 1) << "\n";
  out << "Arguments:\n";
  for (std::size_t i = 1; i < arguments.size(); ++i) out << "-- " << arguments[i] << "\n";
  out.flush();
}

NSImage Utils::resizeImage(const NSImage& image, double width, double height) {
  const float w = static_cast<float>(image.size.width);
  const float h = static_cast<float>(image.size.height);
  if (!(w > 0) || !(h > 0) || !std::isfinite(w) || !std::isfinite(h)) return image;
  const float scale = h < w ? static_cast<float>(width) / w : static_cast<float>(height) / h;
  NSImage out = image;
  out.size.width = std::trunc(static_cast<double>(w * scale));
  out.size.height = std::trunc(static_cast<double>(h * scale));
  return out;
}

}  // namespace agent
