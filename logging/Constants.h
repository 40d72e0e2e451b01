#pragma once
// Fixed identifier texts of the library.
#include <string_view>

namespace qmlogger {

struct Constants {
  static constexpr std::string_view baseIdentifier = "com.quillmoor.qmlogger";
  static constexpr std::string_view defaultInstanceIdentifier = "com.quillmoor.qmlogger.defaultInstance";
  static constexpr std::string_view baseConsoleDestinationIdentifier =
      "com.quillmoor.qmlogger.logdestination.console";
  static constexpr std::string_view systemLogDestinationIdentifier =
      "com.quillmoor.qmlogger.logdestination.console.nslog";
  static constexpr std::string_view fileDestinationIdentifier = "com.quillmoor.qmlogger.logdestination.file";
  static constexpr std::string_view logQueueIdentifier = "com.quillmoor.qmlogger.queue";
  static constexpr std::string_view userInfoKeyTags = "com.quillmoor.qmlogger.tags";
  static constexpr std::string_view userInfoKeyDevs = "com.quillmoor.qmlogger.devs";
  static constexpr std::string_view userInfoKeyInternal = "com.quillmoor.qmlogger.internal";
  static constexpr std::string_view extendedAttributeArchivedLogIdentifierKey =
      "com.quillmoor.qmlogger.archived.by";
  static constexpr std::string_view extendedAttributeArchivedLogTimestampKey =
      "com.quillmoor.qmlogger.archived.at";
  static constexpr std::string_view versionString = "7.0.1";
};

}  // namespace qmlogger
