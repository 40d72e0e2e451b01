#include "platform/Log.h"

#include <unistd.h>

namespace platform {

void NSLog(std::string_view line) {
  std::string out(line);
  out.push_back('\n');
  (void)!::write(2, out.data(), out.size());
}

}  // namespace platform
