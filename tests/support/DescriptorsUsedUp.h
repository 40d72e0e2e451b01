#pragma once
// Lowers the soft descriptor limit to the lowest free descriptor, so that
// the next open or accept fails with EMFILE, until dropped.
#include <sys/resource.h>
#include <unistd.h>

namespace testing_support {

class DescriptorsUsedUp {
 public:
  DescriptorsUsedUp() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    int lowest = dup(0);
    close(lowest);
    rlimit lowered = saved_;
    lowered.rlim_cur = static_cast<rlim_t>(lowest);
    setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~DescriptorsUsedUp() { setrlimit(RLIMIT_NOFILE, &saved_); }
  DescriptorsUsedUp(const DescriptorsUsedUp&) = delete;
  DescriptorsUsedUp& operator=(const DescriptorsUsedUp&) = delete;

 private:
  rlimit saved_{};
};

}  // namespace testing_support
