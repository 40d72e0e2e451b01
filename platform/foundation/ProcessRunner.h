#pragma once
// Runs a program from an argv vector (no shell), captures its standard
// output and always reaps the child.
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace platform {

struct ProcessOptions {
  // Zero means no limit. On expiry the child's process group is killed.
  std::chrono::milliseconds timeLimit{0};
  // Send standard error into the same pipe as standard output.
  bool mergeStderr = false;
  // Output beyond this many bytes is read and discarded.
  std::size_t maxOutput = 16 * 1024 * 1024;
};

struct ProcessResult {
  bool launched = false;   // the program was found and started
  bool timedOut = false;   // killed because the time limit ran out
  bool truncated = false;  // output went beyond maxOutput
  int exitStatus = -1;     // exit code when it exited normally, else -1
  int termSignal = 0;      // signal that ended it, else 0
  std::string output;
  std::string error;       // why it could not be launched or waited for

  bool succeeded() const { return launched && !timedOut && termSignal == 0 && exitStatus == 0; }
};

// argv[0] without a slash is looked up on PATH. An empty argv is an error.
ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

}  // namespace platform
