#pragma once
// What the system knows about the application behind a flow.
#include <string>

namespace platform {

struct NEFlowMetaData {
  // Name of the process owning the client socket; empty when unknown.
  std::string sourceAppSigningIdentifier;
};

}  // namespace platform
