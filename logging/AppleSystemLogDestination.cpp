#include "logging/AppleSystemLogDestination.h"

#include <syslog.h>

namespace qmlogger {

void AppleSystemLogDestination::write(const std::string& message) {
  // The line is an argument, never the format.
  ::syslog(LOG_USER | LOG_NOTICE, "%s", message.c_str());
}

}  // namespace qmlogger
