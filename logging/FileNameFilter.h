#pragma once
// Keeps or drops events by the source file they come from.
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "logging/FilterProtocol.h"

namespace qmlogger {

class FileNameFilter : public FilterProtocol {
 public:
  FileNameFilter(bool inverse, bool excludePath, const std::vector<std::string>& fileNames);
  // Keeps only events from the listed files.
  static std::shared_ptr<FileNameFilter> includeFrom(const std::vector<std::string>& fileNames,
                                                     bool excludePathWhenMatching = true);
  // Drops events from the listed files.
  static std::shared_ptr<FileNameFilter> excludeFrom(const std::vector<std::string>& fileNames,
                                                     bool excludePathWhenMatching = true);

  bool add(const std::string& fileName);
  void add(const std::vector<std::string>& fileNames);
  void clear() { fileNamesToMatch.clear(); }

  bool shouldExclude(LogDetails& logDetails, std::string& message) override;
  std::string debugDescription() const override;

  bool inverse = false;
  bool excludePath = true;
  std::set<std::string> fileNamesToMatch;
};

}  // namespace qmlogger
