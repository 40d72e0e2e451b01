#include "logging/FileNameFilter.h"

#include "logging/PathText.h"

namespace qmlogger {

std::string describeFilterNames(const std::set<std::string>& names) {
  std::string out;
  const bool perLine = names.size() > 5;
  bool first = true;
  for (const auto& name : names) {
    if (perLine) {
      out += "\n\t- ";
    } else if (!first) {
      out += ", ";
    }
    out += name;
    first = false;
  }
  return out;
}

FileNameFilter::FileNameFilter(bool inverse, bool excludePath, const std::vector<std::string>& fileNames)
    : inverse(inverse), excludePath(excludePath) {
  add(fileNames);
}

std::shared_ptr<FileNameFilter> FileNameFilter::includeFrom(const std::vector<std::string>& fileNames,
                                                            bool excludePathWhenMatching) {
  return std::make_shared<FileNameFilter>(true, excludePathWhenMatching, fileNames);
}

std::shared_ptr<FileNameFilter> FileNameFilter::excludeFrom(const std::vector<std::string>& fileNames,
                                                            bool excludePathWhenMatching) {
  return std::make_shared<FileNameFilter>(false, excludePathWhenMatching, fileNames);
}

bool FileNameFilter::add(const std::string& fileName) {
  return fileNamesToMatch.insert(excludePath ? lastPathComponent(fileName) : fileName).second;
}

void FileNameFilter::add(const std::vector<std::string>& fileNames) {
  for (const auto& name : fileNames) add(name);
}

bool FileNameFilter::shouldExclude(LogDetails& logDetails, std::string&) {
  const std::string name = excludePath ? lastPathComponent(logDetails.fileName) : logDetails.fileName;
  const bool matched = fileNamesToMatch.count(name) > 0;
  return inverse ? !matched : matched;
}

std::string FileNameFilter::debugDescription() const {
  std::string out = "FileNameFilter: ";
  out += inverse ? "Including only matches for: " : "Excluding matches for: ";
  return out + describeFilterNames(fileNamesToMatch);
}

}  // namespace qmlogger
