#include "relay-service/RunShellCommand.h"

#include "platform/foundation/ProcessRunner.h"
#include "relay-service/Utf8Text.h"

namespace relay {

std::string runShellCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeLimit) {
  platform::ProcessOptions options;
  options.timeLimit = timeLimit;
  options.mergeStderr = true;
  options.maxOutput = 64 * 1024;  // only logged
  platform::ProcessResult result = platform::runProcess(argv, options);
  return repairedUtf8(result.output);
}

}  // namespace relay
