#include "DnsProxyExt/ReportSettings.h"

#include <vector>

#include "DnsProxyExt/Utils.h"
#include "platform/foundation/Log.h"

namespace dnsproxyext {

ReportSettings parseReportSettings(std::string_view params) {
  ReportSettings settings;
  platform::NSLog("got params string: " + platform::escapedText(params));
  std::vector<std::string_view> tokens;
  size_t start = 0;
  while (true) {
    size_t cut = params.find('_', start);
    tokens.push_back(params.substr(start, cut == std::string_view::npos ? std::string_view::npos : cut - start));
    if (cut == std::string_view::npos) break;
    start = cut + 1;
  }
  for (size_t i = 0; i < tokens.size(); ++i) {
    std::string_view token = tokens[i];
    bool hasNext = i + 1 < tokens.size();
    if (token == "p") {
      if (hasNext) settings.package = std::string(tokens[i + 1]);
    } else if (token == "tf") {
      if (hasNext) settings.forLastSecs = parseDecimalInt64(tokens[i + 1]);
    } else if (token == "d") {
      settings.detailed = true;
    } else {
      platform::NSLog("");
    }
  }
  return settings;
}

}  // namespace dnsproxyext
