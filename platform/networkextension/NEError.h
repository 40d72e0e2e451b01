#pragma once
// Error value handed to flow and provider completions.
#include <string>

namespace platform {

struct NEError {
  int code = 0;
  std::string domain;
  std::string description;
};

// Error domain and codes of flow operations.
inline constexpr const char* kNEAppProxyErrorDomain = "NEAppProxyErrorDomain";
enum NEAppProxyFlowErrorCode : int {
  NEAppProxyFlowErrorNotConnected = 1,
  NEAppProxyFlowErrorPeerReset = 2,
  NEAppProxyFlowErrorHostUnreachable = 3,
  NEAppProxyFlowErrorInvalidArgument = 4,
  NEAppProxyFlowErrorAborted = 5,
  NEAppProxyFlowErrorRefused = 6,
  NEAppProxyFlowErrorTimedOut = 7,
  NEAppProxyFlowErrorInternal = 8,
  NEAppProxyFlowErrorDatagramTooLarge = 9,
  NEAppProxyFlowErrorReadAlreadyPending = 10,
};

}  // namespace platform
